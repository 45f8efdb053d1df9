// Dicts whose values are all exact str: what the engine's own code leaves in
// its sections, and what may be released or merged without running code.
#pragma once

#include <Python.h>

namespace ini::fast {

inline bool values_are_text(PyObject* dict) noexcept {
    Py_ssize_t position = 0;
    PyObject* value;
    while (PyDict_Next(dict, &position, nullptr, &value)) {
        if (!PyUnicode_CheckExact(value)) return false;
    }
    return true;
}

}  // namespace ini::fast
