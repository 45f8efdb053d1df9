// Names and values that the engine would accept but write as text that it
// cannot read back as the same settings. Each check raises ValueError and
// returns false for such a text; objects that are not str pass untouched,
// for the engine to judge.
#pragma once

#include <Python.h>

namespace ini {

bool check_section_name(PyObject* section) noexcept;
bool check_option_name(PyObject* section, PyObject* option) noexcept;
bool check_value_text(PyObject* section, PyObject* option, PyObject* text) noexcept;

}  // namespace ini
