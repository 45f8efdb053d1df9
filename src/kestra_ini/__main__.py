"""``python -m kestra_ini FILE COMMAND ...``: see kestra_ini.cli."""
from kestra_ini.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
