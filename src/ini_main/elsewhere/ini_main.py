"""Installed in place of the ini_main extension on every interpreter but CPython 3.13, which it is built for.

The command line, the crudini front end and the Ansible module run on CPython 3.9 and later without it."""
import platform

raise ImportError(
    f"kestra_ini.ini_main (the KestraIniMain class) needs CPython 3.13; this is "
    f"{platform.python_implementation()} {platform.python_version()}. The command line "
    f"(kestra-ini), kestra-crudini and the Ansible module kestra.ini.ini_file work here without it.",
    name="kestra_ini.ini_main")
