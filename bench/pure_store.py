"""The store a Python developer would write instead of the extension.

`PureStore` has the seventeen methods of `KestraIniMain` with the same
parameters, the same calls into `configparser`, the same refusals (same
exception types and messages) and the same durable save: the text is
rendered in memory, encoded as UTF-8 behind a byte-order mark, written to a
temporary file beside the target (unnamed where the kernel allows it),
synced, given the old file's mode and renamed over the target, and the
directory is synced. It is written to be fast in plain Python, so that the
benchmark compares the extension with a serious alternative, not a straw man.

Where the two differ it is in wording only: argument errors carry Python's
own messages, since these are ordinary Python methods.
"""

import configparser
import errno
import io
import os
import re
import stat

__all__ = ["PureStore", "durable_write", "encode_text"]

_BOM = b"\xef\xbb\xbf"
_MAX_SYMLINK_HOPS = 40
_TEMPORARY_ATTEMPTS = 8
# Errors of the unnamed temporary file that mean "this file system cannot".
_NO_TMPFILE = frozenset({errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL})
# Errors that mean the directory refuses a new file (the file may still be writable).
_DIRECTORY_REFUSED = frozenset({errno.EACCES, errno.EPERM, errno.EROFS})

_surrogate = re.compile("[\ud800-\udfff]").search
# A line after the first that configparser would read back as a comment.
# `\s` matches exactly what str.isspace() accepts, as str.lstrip() strips.
_comment_line = re.compile(r"\n\s*[#;]").search
_too_few = re.compile(r"not enough values to unpack \(expected 2, got (\d+)\)").fullmatch


def _has_surrogate(text):
    return not text.isascii() and _surrogate(text) is not None


def _check_section(section):
    if not isinstance(section, str):
        return
    if not section:
        why = "is empty"
    elif "\n" in section or "\r" in section:
        why = "contains a line break"
    elif _has_surrogate(section):
        why = "cannot be encoded as UTF-8"
    else:
        return
    raise ValueError(f"section name {section!r} {why}")


def _check_option(section, option):
    if not isinstance(option, str):
        return
    if not option:
        why = "is empty"
    elif "\n" in option or "\r" in option:
        why = "contains a line break"
    elif "=" in option or ":" in option:
        why = "contains '=' or ':'"
    elif option[0] in "#;[":
        why = "starts with '#', ';' or '['"
    elif option[0].isspace():
        why = "starts with whitespace"
    elif option[-1].isspace():
        why = "ends with whitespace"
    elif _has_surrogate(option):
        why = "cannot be encoded as UTF-8"
    else:
        return
    raise ValueError(f"option name {option!r} in section {section!r} {why}")


def _check_value(section, option, text):
    if "\r" in text:
        why = "contains a carriage return"
    elif "\n" in text and _comment_line(text) is not None:
        why = "has a line that would be read back as a comment"
    elif _has_surrogate(text):
        why = "cannot be encoded as UTF-8"
    else:
        return
    raise ValueError(f"value of option {option!r} in section {section!r} {why}")


def _pair_error(exc):
    """The store's wording for a pair of the wrong size unpacked in the caller's own frame.

    Only an error raised by the unpacking itself (no callee frame in its
    traceback) is reworded; for anything else the answer is None.
    """
    if exc.__traceback__ is None or exc.__traceback__.tb_next is not None:
        return None
    found = _too_few(str(exc))
    if found is None:
        return None
    count = int(found.group(1))
    return ValueError(f"need more than {count} value{'' if count == 1 else 's'} to unpack")


# --- the durable save -----------------------------------------------------

def encode_text(text):
    """The bytes of a saved file: UTF-8 behind a BOM, or nothing at all for no text."""
    return _BOM + text.encode("utf-8") if text else b""


def _directory_of(path):
    slash = path.rfind(b"/")
    if slash < 0:
        return b"."
    return path[:slash] if slash else b"/"


def _resolve_links(path):
    for _ in range(_MAX_SYMLINK_HOPS):
        try:
            if not stat.S_ISLNK(os.lstat(path).st_mode):
                return path
        except OSError:
            return path
        link = os.readlink(path)
        path = link if link.startswith(b"/") else _directory_of(path) + b"/" + link
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP))


def _raise_errno(code):
    raise OSError(code, os.strerror(code))


def _inspect(target):
    """The old file's status (None when there is none), failing as open(path, "w+") would."""
    if not target:
        _raise_errno(errno.ENOENT)
    if target.endswith(b"/"):
        _raise_errno(errno.EISDIR)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return None
    if stat.S_ISDIR(st.st_mode):
        _raise_errno(errno.EISDIR)
    if not os.access(target, os.W_OK, effective_ids=True):
        _raise_errno(errno.EACCES)
    return st


def _write_synced(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
    os.fsync(fd)


def _copy_ownership(fd, old):
    if old is None:
        return
    os.fchmod(fd, stat.S_IMODE(old.st_mode))
    if old.st_uid != os.geteuid() or old.st_gid != os.getegid():
        try:
            os.fchown(fd, old.st_uid, old.st_gid)
        except OSError:
            try:
                os.fchown(fd, -1, old.st_gid)
            except OSError:
                pass


def _temporary_name(target):
    base = target[target.rfind(b"/") + 1:]
    return b"%s/.%s.%s.ini-tmp" % (_directory_of(target), base, os.urandom(8).hex().encode())


def _rename_into_place(temporary, target):
    try:
        os.replace(temporary, target)
    except OSError:
        os.unlink(temporary)
        raise
    try:
        fd = os.open(_directory_of(target), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _save_through_unnamed(target, old, data):
    """Returns False when the file system cannot make an unnamed temporary file."""
    try:
        fd = os.open(_directory_of(target), os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno in _NO_TMPFILE:
            return False
        raise
    temporary = None
    try:
        _write_synced(fd, data)
        _copy_ownership(fd, old)
        for _ in range(_TEMPORARY_ATTEMPTS):
            name = _temporary_name(target)
            try:
                # os.link asks linkat() to follow the /proc link only when a
                # directory fd is given; an absolute name ignores which one.
                os.link(f"/proc/self/fd/{fd}", name, src_dir_fd=fd, follow_symlinks=True)
            except FileExistsError:
                continue
            except OSError:
                return False
            temporary = name
            break
        else:
            _raise_errno(errno.EEXIST)
    finally:
        try:
            os.close(fd)
        except OSError:
            if temporary is not None:
                os.unlink(temporary)
            raise
    _rename_into_place(temporary, target)
    return True


def _save_through_named(target, old, data):
    for _ in range(_TEMPORARY_ATTEMPTS):
        temporary = _temporary_name(target)
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    else:
        _raise_errno(errno.EEXIST)
    try:
        try:
            _write_synced(fd, data)
            _copy_ownership(fd, old)
        finally:
            os.close(fd)
    except BaseException:
        os.unlink(temporary)
        raise
    _rename_into_place(temporary, target)


def _save_in_place(target, data):
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        _write_synced(fd, data)
        os.ftruncate(fd, len(data))
        os.fsync(fd)
    finally:
        os.close(fd)


def _replace(target, data):
    target = _resolve_links(target)
    old = _inspect(target)
    if old is not None and old.st_nlink > 1:
        _save_in_place(target, data)
        return
    try:
        if not _save_through_unnamed(target, old, data):
            _save_through_named(target, old, data)
    except OSError as exc:
        if exc.errno not in _DIRECTORY_REFUSED:
            raise
        _save_in_place(target, data)


def durable_write(path, data):
    """Makes the file at `path` hold exactly `data`, never leaving it half written.

    Failures raise the OSError subclass for their errno with `path` as the
    file name, and leave the file as it was.
    """
    target = os.fsencode(path)
    try:
        _replace(target, data)
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, path) from None


# --- the store ------------------------------------------------------------

class PureStore:
    def __init__(self, path):
        """PureStore.__init__(self, path)"""
        self._path = path
        self._set_path()

    def _set_path(self):
        """PureStore._set_path(self)"""
        self._config = configparser.ConfigParser()
        self._read()

    def _get(self, section, option):
        """PureStore._get(self, section, option)"""
        return self._config.get(section, option)

    def _get_option(self, section):
        """PureStore._get_option(self, section)"""
        result = {}
        try:
            for name, value in self._config.items(section):
                if name not in result:
                    result[name] = value
        except ValueError as exc:
            reworded = _pair_error(exc)
            if reworded is None:
                raise
            raise reworded from None
        return result

    def _get_all(self):
        """PureStore._get_all(self)"""
        result = {}
        for name in self._sections():
            options = self._get_option(name)
            if name not in result:
                result[name] = options
        return result

    def _set(self, section, option, value, save=True):
        """PureStore._set(self, section, option, value, save=True)"""
        _check_section(section)
        _check_option(section, option)
        text = value if type(value) is str else str(value)
        _check_value(section, option, text)
        self._set_section(section, save)
        self._config.set(section, option, text)
        if save:
            self._save()
            self._read()
        return True

    def _set_section(self, section, save=True):
        """PureStore._set_section(self, section, save=True)"""
        _check_section(section)
        if self._has_section(section):
            return True
        self._config.add_section(section)
        if save:
            self._save()
            self._read()
        return True

    def _set_option(self, section, option_dict, save=True):
        """PureStore._set_option(self, section, option_dict, save=True)"""
        self._set_section(section, save)
        try:
            for option, value in option_dict.items():
                self._set(section, option, value, save=False)
        except ValueError as exc:
            reworded = _pair_error(exc)
            if reworded is None:
                raise
            raise reworded from None
        if save:
            self._save()
            self._read()
        return True

    def _set_all(self, section_dict, save=True):
        """PureStore._set_all(self, section_dict, save=True)"""
        try:
            for section, option_dict in section_dict.items():
                self._set_option(section, option_dict, save=False)
        except ValueError as exc:
            reworded = _pair_error(exc)
            if reworded is None:
                raise
            raise reworded from None
        if save:
            self._save()
            self._read()
        return True

    def _sections(self):
        """PureStore._sections(self)"""
        return self._config.sections()

    def _options(self, section):
        """PureStore._options(self, section)"""
        return self._config.options(section)

    def _remove_section(self, section, save=True):
        """PureStore._remove_section(self, section, save=True)"""
        removed = self._config.remove_section(section)
        if save:
            self._save()
            self._read()
        return removed

    def _remove_option(self, section, options, save=True):
        """PureStore._remove_option(self, section, options, save=True)"""
        removed = self._config.remove_option(section, options)
        if save:
            self._save()
            self._read()
        return removed

    def _has_section(self, section):
        """PureStore._has_section(self, section)"""
        return self._config.has_section(section)

    def _has_option(self, section, option):
        """PureStore._has_option(self, section, option)"""
        return self._config.has_option(section, option)

    def _read(self):
        """PureStore._read(self)"""
        self._config.read(self._path, encoding="utf-8-sig")

    def _save(self):
        """PureStore._save(self)"""
        write = self._config.write
        path = self._path
        buffer = io.StringIO()
        write(buffer)
        durable_write(path, encode_text(buffer.getvalue()))
        self._config.clear()
