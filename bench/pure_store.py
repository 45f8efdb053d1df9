"""The store a Python developer would write instead of the extension.

`PureStore` has the seventeen methods of `KestraIniMain` with the same
parameters, the same calls into `configparser`, the same refusals (same
exception types and messages) and the same durable save: the text is
rendered in memory, encoded as UTF-8 behind a byte-order mark, written to a
temporary file beside the target (unnamed where the kernel allows it),
synced, given the old file's owner and mode and renamed over the target,
leftovers of killed saves are removed, and the directory is synced; a file
with other hard links is overwritten in place, its old text put back if a
write fails. It is written to be fast in plain Python, so that the benchmark
compares the extension with a serious alternative, not a straw man.

Where the two differ: argument errors carry Python's own messages, since
these are ordinary Python methods; and a dict that a value's str() changes
during a bulk walk without changing its size raises here ("dictionary keys
changed during iteration"), where the extension walks on.
"""

import configparser
import contextlib
import ctypes
import errno
import functools
import io
import os
import re
import stat
import time

__all__ = ["PureStore", "durable_write", "encode_text"]

_BOM = b"\xef\xbb\xbf"
_MAX_SYMLINK_HOPS = 40
_TEMPORARY_ATTEMPTS = 8
_TEMPORARY_SUFFIX = b".ini-tmp"
# A save holds a temporary name for no longer than one rename (or one write
# and fsync), so a temporary older than this was left by a killed save.
_STALE_AFTER_SECONDS = 60
# Linux's values, for faccessat through ctypes.
_AT_FDCWD = -100
_AT_EACCESS = 0x200
# Errors of the unnamed temporary file that mean "this file system cannot".
_NO_TMPFILE = frozenset({errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL})
# Errors that mean the directory refuses a new file (the file may still be writable).
_DIRECTORY_REFUSED = frozenset({errno.EACCES, errno.EPERM, errno.EROFS})

_surrogate = re.compile("[\ud800-\udfff]").search
# A line after the first that configparser would read back as a comment.
# `\s` matches exactly what str.isspace() accepts, as str.lstrip() strips.
_comment_line = re.compile(r"\n\s*[#;]").search
_too_few = re.compile(r"not enough values to unpack \(expected 2, got (\d+)\)").fullmatch
_not_iterable = re.compile(r"cannot unpack non-iterable (.*) object", re.DOTALL).fullmatch
_hex_digits = re.compile(b"[0-9a-f]{16}").fullmatch


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
    """The store's wording for a pair of the wrong size, or no pair at all, unpacked in the caller's own frame.

    Only an error raised by the unpacking itself (no callee frame in its
    traceback) is reworded; for anything else the answer is None.
    """
    if exc.__traceback__ is None or exc.__traceback__.tb_next is not None:
        return None
    if isinstance(exc, TypeError):
        found = _not_iterable(str(exc))
        return None if found is None else TypeError(f"'{found.group(1)}' object is not iterable")
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


def _base_name_of(path):
    return path[path.rfind(b"/") + 1:]


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


@functools.cache
def _libc():
    return ctypes.CDLL(None, use_errno=True)


def _write_refusal(target):
    """Why the file may not be written (an errno), or 0.

    os.access only answers yes or no; the reason (a mode, an immutable file,
    a read-only file system) comes from faccessat itself.
    """
    if os.access(target, os.W_OK, effective_ids=True):
        return 0
    if _libc().faccessat(_AT_FDCWD, target, os.W_OK, _AT_EACCESS) == 0:
        return 0
    return ctypes.get_errno()


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
    refusal = _write_refusal(target)
    if refusal:
        _raise_errno(refusal)
    return st


def _write_from_start(fd, data):
    view = memoryview(data)
    offset = 0
    while view:
        written = os.pwrite(fd, view, offset)
        view = view[written:]
        offset += written


def _write_synced(fd, data):
    _write_from_start(fd, data)
    os.fsync(fd)


def _copy_ownership(fd, old):
    """Gives the new file the old one's permission bits and, where allowed, its owner."""
    if old is None:
        return
    # Owner first: a change of owner may drop set-id bits that the mode then restores.
    if old.st_uid != os.geteuid() or old.st_gid != os.getegid():
        try:
            os.fchown(fd, old.st_uid, old.st_gid)
        except OSError:
            with contextlib.suppress(OSError):
                os.fchown(fd, -1, old.st_gid)
    os.fchmod(fd, stat.S_IMODE(old.st_mode))


def _abandon(fd=None, temporary=None):
    """Closes and removes what a failed save made; their own failures add nothing to its error."""
    if fd is not None:
        with contextlib.suppress(OSError):
            os.close(fd)
    if temporary is not None:
        with contextlib.suppress(OSError):
            os.unlink(temporary)


def _close_or_abandon(fd, temporary):
    # Closing can report a deferred write error, so it is asked.
    try:
        os.close(fd)
    except OSError:
        _abandon(temporary=temporary)
        raise


def _temporary_name(target):
    return b"%s/.%s.%s%s" % (_directory_of(target), _base_name_of(target), os.urandom(8).hex().encode(),
                              _TEMPORARY_SUFFIX)


def _is_temporary_of(name, base):
    head = b"." + base + b"."
    return (len(name) == len(head) + 16 + len(_TEMPORARY_SUFFIX) and name.startswith(head)
            and name.endswith(_TEMPORARY_SUFFIX) and _hex_digits(name[len(head):len(head) + 16]) is not None)


def _remove_if_stale(entry, now):
    with contextlib.suppress(OSError):
        info = entry.stat(follow_symlinks=False)
        if stat.S_ISREG(info.st_mode) and now - int(info.st_mtime) > _STALE_AFTER_SECONDS:
            os.unlink(entry.path)


def _remove_stale_temporaries(target):
    """Removes the temporaries that killed saves of `target` left behind, so they never pile up."""
    base = _base_name_of(target)
    now = int(time.time())
    with contextlib.suppress(OSError), os.scandir(_directory_of(target)) as entries:
        for entry in entries:
            if _is_temporary_of(entry.name, base):
                _remove_if_stale(entry, now)


def _sync_directory(target):
    try:
        fd = os.open(_directory_of(target), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    with contextlib.suppress(OSError):
        os.fsync(fd)
    os.close(fd)


def _rename_into_place(temporary, target):
    try:
        os.replace(temporary, target)
    except OSError:
        _abandon(temporary=temporary)
        raise
    _remove_stale_temporaries(target)
    _sync_directory(target)


def _link_unnamed(fd, target):
    """Names the unnamed file `fd` beside the target; None where /proc cannot do it."""
    for _ in range(_TEMPORARY_ATTEMPTS):
        name = _temporary_name(target)
        try:
            # os.link asks linkat() to follow the /proc link only when a
            # directory fd is given; an absolute name ignores which one.
            os.link(f"/proc/self/fd/{fd}", name, src_dir_fd=fd, follow_symlinks=True)
        except FileExistsError:
            continue
        except OSError:
            return None
        return name
    _raise_errno(errno.EEXIST)


def _save_through_unnamed(target, old, data):
    """Returns False when the file system cannot make an unnamed temporary file."""
    try:
        fd = os.open(_directory_of(target), os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno in _NO_TMPFILE:
            return False
        raise
    try:
        _write_synced(fd, data)
        _copy_ownership(fd, old)
        temporary = _link_unnamed(fd, target)
    except BaseException:
        _abandon(fd)
        raise
    if temporary is None:
        _abandon(fd)
        return False
    _close_or_abandon(fd, temporary)
    _rename_into_place(temporary, target)
    return True


def _create_named(target):
    for _ in range(_TEMPORARY_ATTEMPTS):
        temporary = _temporary_name(target)
        try:
            return temporary, os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
    _raise_errno(errno.EEXIST)


def _save_through_named(target, old, data):
    temporary, fd = _create_named(target)
    try:
        _write_synced(fd, data)
        _copy_ownership(fd, old)
    except BaseException:
        _abandon(fd, temporary)
        raise
    _close_or_abandon(fd, temporary)
    _rename_into_place(temporary, target)


def _read_all(fd):
    size = os.fstat(fd).st_size
    chunks, done = [], 0
    while done < size:
        chunk = os.pread(fd, size - done, done)
        if not chunk:
            break
        chunks.append(chunk)
        done += len(chunk)
    return b"".join(chunks)


def _overwrite(fd, data):
    _write_from_start(fd, data)
    os.ftruncate(fd, len(data))
    os.fsync(fd)


def _save_in_place(target, data):
    """Overwrites the file where it must stay the same inode.

    The old bytes are kept and the new length reserved first, so that a write
    that fails part way (a full disk, a size limit) puts the old text back
    instead of leaving a mixture of both.
    """
    fd = os.open(target, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        old = _read_all(fd)
        if len(data) > len(old):
            try:
                os.posix_fallocate(fd, 0, len(data))
            except OSError:
                with contextlib.suppress(OSError):
                    os.ftruncate(fd, len(old))
                raise
        try:
            _overwrite(fd, data)
        except OSError:
            with contextlib.suppress(OSError):
                _overwrite(fd, old)
            raise
    except BaseException:
        _abandon(fd)
        raise
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
    if b"\0" in target:
        raise ValueError("embedded null byte")
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
        except (ValueError, TypeError) as exc:
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
        except (ValueError, TypeError) as exc:
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
        except (ValueError, TypeError) as exc:
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
