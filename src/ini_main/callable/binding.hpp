// Argument binding shared by every method.
#pragma once

#include <Python.h>

#include "methods.hpp"

namespace ini {

// The keyword case of bind_arguments, and its error for a wrong count.
bool bind_keywords(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) noexcept;
[[gnu::cold]] bool bind_count_error(const Method& m, Py_ssize_t given) noexcept;

// Binds a vectorcall's arguments to the method's parameters, one borrowed
// object per slot, save defaulting to True. Allocates nothing. On failure
// the TypeError is set and false returned. Inline: for positional
// arguments it is a few moves, less than the call would cost.
inline bool bind_arguments(const Method& m, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) noexcept {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        return bind_keywords(m, args, nargs, kwnames, slots);
    }
    if (nargs < m.required() || nargs > m.nparams) return bind_count_error(m, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (nargs < m.nparams) slots[m.nparams - 1] = Py_True;
    return true;
}

}  // namespace ini
