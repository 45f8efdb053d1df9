# Set-up is idempotent: each step leaves a stamp, so a second `make test` only
# rebuilds what changed.
VENV      := .venv
PY        := $(VENV)/bin/python
SOURCES   := $(wildcard src/ini_main/*.cpp src/ini_main/*.hpp src/ini_main/*.map src/kestra_ini/*) CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=

.PHONY: all venv install run test bench sanitize clean

all: install

$(VENV)/.created:
	"$$(tools/find-python)" -m venv $(VENV)
	touch $@

$(VENV)/.deps: $(VENV)/.created requirements-dev.txt
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

venv: $(VENV)/.deps

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

run: install
	$(PY) examples/demo.py examples/settings.ini

test: install
	cd tests && ../$(PY) -m pytest $(PYTEST_ARGS)

bench: install
	$(PY) bench/run.py

sanitize: $(VENV)/.deps
	bash tools/sanitize

clean:
	rm -rf build $(VENV) .pytest_cache
