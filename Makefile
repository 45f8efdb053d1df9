# Set-up is idempotent: each step leaves a stamp, so a second `make test` only
# rebuilds what changed.
VENV      := .venv
PY        := $(VENV)/bin/python
SOURCES   := $(wildcard src/ini_main/*.* src/ini_main/*/*.* src/kestra_ini/*) CMakeLists.txt pyproject.toml
ANSIBLE_SOURCES := $(shell find ansible_collections -type f 2>/dev/null)
PYTEST_ARGS ?=

.PHONY: all venv install run test test-py311 lint bench sanitize test-portable strict wheels collection test-dist clean

all: install

$(VENV)/.created:
	"$$(tools/find-python)" -m venv $(VENV)
	touch $@

$(VENV)/.deps: $(VENV)/.created requirements-dev.txt
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

venv: $(VENV)/.deps

$(VENV)/.installed: $(VENV)/.deps $(SOURCES) $(ANSIBLE_SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

# The command line at work on a copy of the example, in a temporary directory removed afterwards.
run: install
	@set -e; tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	cp examples/settings.ini "$$tmp/settings.ini"; \
	for args in "sections" "get server host" "set server port 9090" "dump"; do \
		echo "\$$ python -m kestra_ini settings.ini $$args"; \
		$(PY) -m kestra_ini "$$tmp/settings.ini" $$args; \
	done

test: install
	cd tests && ../$(PY) -m pytest $(PYTEST_ARGS)

# The command line, crudini's front end and the Ansible module on CPython 3.11 (Debian 12's), from a wheel of
# that interpreter's own build: the limited-API _durable and no ini_main. Its own venv; ansible-core picks the
# newest release that runs there.
VENV311   := .venv-py311
PY311     := $(VENV311)/bin/python
PY311_TESTS ?= test_cli.py test_cli_dialects.py test_cli_edits.py test_crudini.py test_ansible.py

$(VENV311)/.created:
	"$$(tools/find-python 3.11)" -m venv $(VENV311)
	touch $@

$(VENV311)/.deps: $(VENV311)/.created requirements-py311.txt
	$(PY311) -m pip install --quiet --upgrade pip
	$(PY311) -m pip install --quiet -r requirements-py311.txt
	touch $@

$(VENV311)/.installed: $(VENV311)/.deps $(SOURCES) $(ANSIBLE_SOURCES)
	$(PY311) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

# tools/pytest_without_class.py skips the tests of the class and the engine's grammar there, saying why.
test-py311: $(VENV311)/.installed
	cd tests && PYTHONPATH=../tools ../$(PY311) -m pytest -p pytest_without_class $(PYTEST_ARGS) $(PY311_TESTS)

# What a fleet installs: the sdist, and from it a wheel for CPython 3.13 (the class and _durable) and a
# limited-API wheel for 3.9 to 3.12 (the 3.11 venv builds it), each linked to load on any x86_64 glibc since
# 2.28 and tagged by auditwheel; see tools/build-wheels.
wheels: $(VENV)/.deps $(VENV311)/.deps
	$(PY) tools/build-wheels $(abspath $(PY)) $(abspath $(PY311))

# The Ansible collection as ansible-galaxy builds it; its tarball is named after galaxy.yml's version, which
# must be pyproject.toml's.
VERSION    := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
COLLECTION := dist/kestra-ini-$(VERSION).tar.gz

collection: $(COLLECTION)

$(COLLECTION): $(VENV)/.deps $(ANSIBLE_SOURCES) pyproject.toml
	$(VENV)/bin/ansible-galaxy collection build --force --output-path dist ansible_collections/kestra/ini
	@test -f $@ || { echo "galaxy.yml's version is not pyproject.toml's ($(VERSION))" >&2; exit 1; }

# The install test puts ansible-core beside kestra-ini in venvs that reach no index: these are its wheels, and
# its dependencies', for each interpreter, the release each dev venv has (pip's cache keeps the downloads).
WHEELHOUSE := build/wheelhouse

ansible_wheels = $(1) -m pip download --quiet --only-binary=:all: --dest $(WHEELHOUSE) \
	"ansible-core==$$($(1) -c 'import importlib.metadata as m; print(m.version("ansible-core"))')"

$(WHEELHOUSE)/.py313: $(VENV)/.deps
	$(call ansible_wheels,$(PY))
	touch $@

$(WHEELHOUSE)/.py311: $(VENV311)/.deps
	$(call ansible_wheels,$(PY311))
	touch $@

# dist/ installed as a fleet's host installs it: fresh venvs for 3.13 and 3.11, no index, wheels only, no
# compiler on PATH (tests/test_dist_install.py).
test-dist: wheels collection $(WHEELHOUSE)/.py313 $(WHEELHOUSE)/.py311
	cd tests && KESTRA_DIST=$(CURDIR)/dist KESTRA_WHEELHOUSE=$(CURDIR)/$(WHEELHOUSE) \
		../$(PY) -m pytest $(PYTEST_ARGS) test_dist_install.py

# The Python code, by ruff; its rules are in pyproject.toml. The tests' child harnesses also by mypy, strictly,
# against the package's sources (no build needed); only their own errors are reported.
HARNESSES := child_process.py trust_child.py save_fault_child.py concurrency_child.py cli_recovery_child.py size_limit_child.py \
	installed_store.py

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	cd tests && MYPYPATH=../src ../$(VENV)/bin/mypy --strict --follow-imports=silent --cache-dir=../$(VENV)/mypy-cache \
		$(HARNESSES)

bench: install
	$(PY) bench/timing.py

sanitize: $(VENV)/.deps
	bash tools/sanitize

# The save without its Linux-only features, as other platforms build it.
test-portable: $(VENV)/.deps
	bash tools/test-portable $(PYTEST_ARGS)

# Every warning of -Wpedantic -Wshadow -Wconversion is an error.
strict: $(VENV)/.deps
	bash tools/build-strict

clean:
	rm -rf build dist $(VENV) $(VENV311) .pytest_cache
