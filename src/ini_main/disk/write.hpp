// Replacing a file's content so that no reader and no crash ever sees it
// half written.
#pragma once

#include <Python.h>

#include <string_view>

#include "disk/posix_io.hpp"
#include "disk/save.hpp"
#include "ref.hpp"

namespace ini {

// Makes the file named by `path` (str, bytes or path-like) hold exactly
// `head` followed by `body`. The text goes to a new file beside the target,
// which is synced and renamed over it; a symbolic link is followed so that
// the link survives. Where the file has other hard links, where a new file
// could not keep its owner, or where the directory refuses a new file, the
// bytes are written over the file in place, behind a rollback journal.
// A device or a FIFO is written to, never replaced.
//
// On failure an OSError (the subclass for its errno, the path as filename)
// is set, no file of the save remains and the target is as it was.
bool replace_file(PyObject* path, std::string_view head, std::string_view body) noexcept;

// As replace_file, but only while the file is still what `seen` says an
// edit read (rule L7 of disk/PROTOCOL.md); anything else writes nothing and
// returns 0. 1 when written, -1 with an exception set on failure. Its waits
// are counted from `started`, as the save's own (L1-L3).
int replace_file_if(PyObject* path, std::string_view head, std::string_view body, const posix::Seen* seen,
                    posix::Started started) noexcept;

// Takes the exclusive lock on `byte` of the file open as `fd` within
// `bounds` after `started`, as the save waits for its own (L1-L3): signal
// handlers run during the wait and an exception from one ends it (false,
// set).
bool lock_file(int fd, posix::LockByte byte, posix::Started started, posix::Bounds bounds,
               posix::LockOutcome& outcome) noexcept;

// Puts back the old text of a file whose in-place save by this user was
// killed part way, so that a load finds the old text or the new, never a
// mixture. Call it before reading the file; `hold`, if given, then keeps
// in-place writers of the file waiting until it is destroyed after the
// read. Where the file cannot be written, the text to read instead of the
// torn file is set in `old` (bytes). False with an exception set only when
// a torn file cannot be repaired, or when a signal handler raised during a
// wait; a path that names no file is left to the reader.
bool recover_interrupted_save(PyObject* path, posix::LoadHold* hold = nullptr, Ref* old = nullptr) noexcept;

// The bytes of the regular file at `path`, read once settled as above and
// under the same locks; None where the path names no regular file (the
// caller's open then answers, and a FIFO is opened by that open alone).
Ref read_settled(PyObject* path) noexcept;

}  // namespace ini
