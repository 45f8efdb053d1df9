// Argument binding shared by every method.
#pragma once

#include <Python.h>

#include "methods.hpp"

namespace ini {

// Binds a vectorcall's arguments to the method's parameters, one borrowed
// object per slot, save defaulting to True. Allocates nothing. On failure
// the TypeError is set and false returned.
bool bind_arguments(const Method& m, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) noexcept;

}  // namespace ini
