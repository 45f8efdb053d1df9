#include "callable/binding.hpp"

namespace ini {

namespace {

constexpr Py_ssize_t not_found = -1;
constexpr Py_ssize_t lookup_failed = -2;

[[gnu::cold, gnu::noinline]] bool count_error(const Method& m, Py_ssize_t given) noexcept {
    const char* kind = "exactly";
    Py_ssize_t expected = m.nparams;
    if (m.has_save) {
        const bool too_few = given < m.required();
        kind = too_few ? "at least" : "at most";
        expected = too_few ? m.required() : m.nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 m.name, kind, expected, expected == 1 ? "" : "s", given);
    return false;
}

[[gnu::cold, gnu::noinline]] bool keyword_error(const Method& m, PyObject* key,
                                                bool bound_by_position) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", m.name);
    } else if (bound_by_position) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     m.name, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.name,
                     key);
    }
    return false;
}

// Index of `name` among the keyword names: the very object first, as
// ordinary calls pass interned names, then by string equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(kwnames, i), name, Py_EQ);
        if (equal < 0) return lookup_failed;
        if (equal) return i;
    }
    return not_found;
}

// Index of the parameter that `key` names, searched from `first` on.
Py_ssize_t find_parameter(const Method& m, PyObject* key, int first) noexcept {
    for (int i = first; i < m.nparams; ++i) {
        if (m.param(i) == key) return i;
    }
    for (int i = first; i < m.nparams; ++i) {
        const int equal = PyObject_RichCompareBool(key, m.param(i), Py_EQ);
        if (equal < 0) return lookup_failed;
        if (equal) return i;
    }
    return not_found;
}

// Keywords left over once every parameter had its chance: each either names
// a parameter after the positional ones (and binds it again) or is an error,
// reported for the first offender in call order.
[[gnu::noinline]] bool bind_leftover_keywords(const Method& m, PyObject* const* kwvalues,
                                              Py_ssize_t nargs, PyObject* kwnames,
                                              PyObject** slots) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return keyword_error(m, key, false);
        const Py_ssize_t index = find_parameter(m, key, 0);
        if (index == lookup_failed) return false;
        if (index == not_found || index < nargs) return keyword_error(m, key, index != not_found);
        slots[index] = kwvalues[k];
    }
    return true;
}

// Whether the keywords name the parameters right after the positional ones,
// in the parameters' own order, by the interned names that ordinary calls
// pass, and leave no required parameter out. Their values then follow the
// positional ones in the argument array just as the parameters do, and the
// general rules below could only come to the same binding.
bool keywords_in_order(const Method& m, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Py_ssize_t given = nargs + PyTuple_GET_SIZE(kwnames);
    if (given < m.required() || given > m.nparams) return false;
    for (Py_ssize_t i = nargs; i < given; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i - nargs) != m.param(static_cast<int>(i))) return false;
    }
    return true;
}

// The keyword case; the positional one is inline in binding.hpp.
bool bind_with_keywords(const Method& m, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          PyObject** slots) noexcept {
    if (keywords_in_order(m, nargs, kwnames)) {
        const Py_ssize_t given = nargs + PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];
        if (given < m.nparams) slots[m.nparams - 1] = Py_True;
        return true;
    }
    if (nargs > m.nparams) return count_error(m, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t consumed = 0;
    for (int i = static_cast<int>(nargs); i < m.required(); ++i) {
        const Py_ssize_t k = find_keyword(kwnames, m.param(i));
        if (k == lookup_failed) return false;
        if (k == not_found) return count_error(m, i);
        slots[i] = kwvalues[k];
        ++consumed;
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (m.has_save && nargs < m.nparams) {
        const int last = m.nparams - 1;
        slots[last] = Py_True;
        if (consumed < nkw) {
            const Py_ssize_t k = find_keyword(kwnames, m.param(last));
            if (k == lookup_failed) return false;
            if (k != not_found) {
                slots[last] = kwvalues[k];
                ++consumed;
            }
        }
    }
    if (consumed < nkw) return bind_leftover_keywords(m, kwvalues, nargs, kwnames, slots);
    return true;
}

}  // namespace

bool bind_keywords(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) noexcept {
    return bind_with_keywords(m, args, nargs, kwnames, slots);
}

bool bind_count_error(const Method& m, Py_ssize_t given) noexcept { return count_error(m, given); }

}  // namespace ini
