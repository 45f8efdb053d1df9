// Calls of the store into its engine that a native path may answer.
#pragma once

#include <Python.h>

#include "calls.hpp"
#include "native/engine.hpp"

namespace ini {

// self._config, as PyObject_GetAttr gives it.
Ref engine_of(PyObject* self) noexcept;

// engine.<name>(args...), answered by `fast` where it does not decline.
template <typename Fast, typename... Args>
Ref engine_call(PyObject* engine, Fast fast, PyObject* name, Args... args) noexcept {
    Ref answer = fast(engine, args...);
    if (answer || PyErr_Occurred()) return answer;
    return call_method(engine, name, args...);
}

// self._config.<name>(args...), likewise.
template <typename Fast, typename... Args>
Ref call_engine_fast(PyObject* self, Fast fast, PyObject* name, Args... args) noexcept {
    Ref engine = engine_of(self);
    if (!engine) return engine;
    return engine_call(engine.get(), fast, name, args...);
}

}  // namespace ini
