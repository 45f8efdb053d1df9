// Method bodies of KestraIniMain.
#pragma once

#include <Python.h>

namespace ini::store {

PyObject* init(PyObject* const* args) noexcept;
PyObject* set_path(PyObject* const* args) noexcept;
PyObject* read(PyObject* const* args) noexcept;
PyObject* save(PyObject* const* args) noexcept;

PyObject* get(PyObject* const* args) noexcept;
PyObject* get_option(PyObject* const* args) noexcept;
PyObject* get_all(PyObject* const* args) noexcept;
PyObject* sections(PyObject* const* args) noexcept;
PyObject* options(PyObject* const* args) noexcept;
PyObject* has_section(PyObject* const* args) noexcept;
PyObject* has_option(PyObject* const* args) noexcept;

PyObject* set(PyObject* const* args) noexcept;
PyObject* set_section(PyObject* const* args) noexcept;
PyObject* set_option(PyObject* const* args) noexcept;
PyObject* set_all(PyObject* const* args) noexcept;
PyObject* remove_section(PyObject* const* args) noexcept;
PyObject* remove_option(PyObject* const* args) noexcept;

}  // namespace ini::store
