"""Misuses KestraIniMain; each marked line must draw exactly the mypy error code in its comment."""
from typing import Literal

from kestra_ini.ini_main import KestraIniMain

store = KestraIniMain()  # error: call-arg
KestraIniMain(42)  # error: arg-type
KestraIniMain(file="settings.ini")  # error: call-arg
store._get("server")  # error: call-arg
store._get(section="server", name="host")  # error: call-arg
store._set("server", "port", 1, True, True)  # error: call-arg
store._has_section(1)  # error: arg-type
store._set_option("client", [("name", "x")])  # error: arg-type
store._set_option("client", {1: "x"})  # error: dict-item
store._set_all({"client": "name=x"})  # error: dict-item
store._remove_option("client")  # error: call-arg
store._read(True)  # error: call-arg
port: int = store._get("server", "port")  # error: assignment
store._sections().append(1)  # error: arg-type
store._get_option("server")["port"] + 1  # error: operator
store._get_all()["server"]["port"] = 8080  # error: assignment
nothing = store._save()  # error: func-returns-value
flag: Literal[False] = store._set_section("client")  # error: assignment
store._config.no_such_operation()  # error: attr-defined
store._no_such_method()  # error: attr-defined
store._path = 3  # error: assignment
