// Replacing a file's content so that no reader and no crash ever sees it
// half written.
#pragma once

#include <Python.h>

#include <string_view>

namespace ini {

// Makes the file named by `path` (str, bytes or path-like) hold exactly
// `head` followed by `body`. The text goes to a new file beside the target,
// which is synced and renamed over it; a symbolic link is followed so that
// the link survives. Where the directory refuses a new file but the file
// itself is writable, or the file has other hard links, the bytes are
// written over the file in place instead.
//
// On failure an OSError (the subclass for its errno, the path as filename)
// is set, no temporary file remains and the target is as it was.
bool replace_file(PyObject* path, std::string_view head, std::string_view body) noexcept;

}  // namespace ini
