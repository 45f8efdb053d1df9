// Process-wide state. The module serves one interpreter per process, so this
// lives in static storage rather than in the module object. Its references
// are deliberately never released: they must outlive every instance and
// every traceback that refers to them, which is the life of the process.
#pragma once

#include <Python.h>

#include <cstdint>

#include "methods.hpp"

namespace ini {

struct ProcessState {
    PyObject* module = nullptr;       // the module whose exec step has begun
    int64_t interpreter = -1;         // ID of the interpreter of the first import
    PyObject* module_dict = nullptr;  // globals of every method and traceback frame
    PyObject* builtins = nullptr;
    PyObject* open = nullptr;         // the built-in open, resolved at import
    PyObject* string_io = nullptr;    // io.StringIO, the buffer a save renders into
    PyObject* file_io = nullptr;      // _io.FileIO, the raw file that the built-in open makes
    PyObject* save_defaults = nullptr;            // the shared (True,)
    PyObject* codes[method_count] = {};           // each method's __code__
    PyObject* function_type = nullptr;
};

extern ProcessState state;

}  // namespace ini
