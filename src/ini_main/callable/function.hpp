// The function objects that stand for KestraIniMain's methods.
#pragma once

#include <Python.h>

#include "methods.hpp"

namespace ini {

// Creates the function type once per process; idempotent.
bool make_function_type() noexcept;

// A new function object for `m`, with `code` as its __code__ and
// `defaults` as the __defaults__ it reports (nullptr for none).
PyObject* new_function(const Method& m, PyObject* code, PyObject* defaults) noexcept;

// The code object whose parameters make inspect.signature agree with the
// method's documentation string.
PyObject* new_method_code(const Method& m) noexcept;

}  // namespace ini
