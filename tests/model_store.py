"""A plain-Python store that behaves, and writes bytes, as KestraIniMain does; the reference for stateful tests."""
import configparser
import io


def _refuse(what, subject):
    if what:
        raise ValueError(f"{subject} {what}")


def _encodes(text):
    return not any("\ud800" <= ch <= "\udfff" for ch in text)


def check_section(section):
    if isinstance(section, str):
        _refuse("is empty" if not section else "contains a line break" if "\n" in section or "\r" in section
                else None if _encodes(section) else "cannot be encoded as UTF-8", f"section name {section!r}")


def check_option(section, option):
    if isinstance(option, str):
        _refuse("is empty" if not option
                else "contains a line break" if "\n" in option or "\r" in option
                else "contains '=' or ':'" if "=" in option or ":" in option
                else "starts with '#', ';' or '['" if option[0] in "#;["
                else "starts with whitespace" if option[0].isspace()
                else "ends with whitespace" if option[-1].isspace()
                else None if _encodes(option) else "cannot be encoded as UTF-8",
                f"option name {option!r} in section {section!r}")


def check_value(section, option, text):
    _refuse("contains a carriage return" if "\r" in text
            else "has a line that would be read back as a comment"
            if any(line.lstrip()[:1] in ("#", ";") for line in text.split("\n")[1:])
            else None if _encodes(text) else "cannot be encoded as UTF-8",
            f"value of option {option!r} in section {section!r}")


class ModelStore:
    def __init__(self, path):
        self._path = path
        self._set_path()

    def _set_path(self):
        self._config = configparser.ConfigParser()
        self._read()

    def _read(self):
        self._config.read(self._path, encoding="utf-8-sig")

    def _save(self):
        text = io.StringIO()
        self._config.write(text)
        with open(self._path, "wb") as f:
            f.write(text.getvalue().encode("utf-8-sig") if text.getvalue() else b"")
        self._config.clear()

    def _sync(self, save, result=True):
        if save:
            self._save()
            self._read()
        return result

    def _get_option(self, section):
        result = {}
        for option, value in self._config.items(section):
            result.setdefault(option, value)
        return result

    def _get_all(self):
        result = {}
        for section in self._sections():
            result.setdefault(section, self._get_option(section))
        return result

    def _set_section(self, section, save=True):
        check_section(section)
        if self._has_section(section):
            return True
        self._config.add_section(section)
        return self._sync(save)

    def _set(self, section, option, value, save=True):
        check_section(section)
        check_option(section, option)
        text = value if type(value) is str else str(value)
        check_value(section, option, text)
        self._set_section(section, save)
        self._config.set(section, option, text)
        return self._sync(save)

    def _set_option(self, section, option_dict, save=True):
        self._set_section(section, save)
        for option, value in option_dict.items():
            self._set(section, option, value, save=False)
        return self._sync(save)

    def _set_all(self, section_dict, save=True):
        for section, option_dict in section_dict.items():
            self._set_option(section, option_dict, save=False)
        return self._sync(save)

    def _remove_section(self, section, save=True):
        return self._sync(save, self._config.remove_section(section))

    def _remove_option(self, section, options, save=True):
        return self._sync(save, self._config.remove_option(section, options))


def _engine_answer(name):
    return lambda self, *args: getattr(self._config, name)(*args)


for _name in ("get", "sections", "options", "has_section", "has_option"):
    setattr(ModelStore, "_" + _name, _engine_answer(_name))
