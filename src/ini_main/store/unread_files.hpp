// The engine passes over a file that it cannot open and loads nothing, so a
// store over an unreadable file looks empty; its next save would replace
// every setting the file holds. The store therefore remembers, out of its
// instance attributes, which file its last read could not read, and refuses
// to replace that file.
#pragma once

#include <Python.h>

namespace ini {

// After the engine's read of `path` returned `result` (its list of the files
// it read): remembers whether the file exists but could not be read. A
// missing file is not unreadable: the first save creates it.
bool note_read(PyObject* self, PyObject* path, PyObject* result) noexcept;

// Before a save to `path`: raises OSError (of the failed read's kind, the
// path as filename) and returns false when that file exists and the store's
// last read of it could not read it.
bool check_may_replace(PyObject* self, PyObject* path) noexcept;

}  // namespace ini
