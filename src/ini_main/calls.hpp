// Small helpers for the store's calls into Python: each looks its target up
// at the moment of the call, as an override or a reassigned attribute must
// take effect at once.
#pragma once

#include <Python.h>

#include "names.hpp"
#include "ref.hpp"

namespace ini {

inline Ref get_attr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.<name>(args...), without making a bound method.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) noexcept {
    // The spare leading slot lets the callee prepend in place.
    PyObject* stack[] = {nullptr, obj, args...};
    constexpr size_t nargs = 1 + sizeof...(Args);
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.<name>(args..., save=False): the inner calls of the bulk mutations.
template <typename... Args>
Ref call_method_unsaved(PyObject* obj, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {nullptr, obj, args..., Py_False};
    constexpr size_t nargs = 1 + sizeof...(Args);
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_save));
}

// self._config.<name>(args...)
template <typename... Args>
Ref call_engine(PyObject* self, PyObject* name, Args... args) noexcept {
    Ref engine = get_attr(self, names.attr_config);
    if (!engine) return engine;
    return call_method(engine.get(), name, args...);
}

}  // namespace ini
