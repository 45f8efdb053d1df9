// The seventeen methods of KestraIniMain: names, parameters, bodies and the
// line numbers that their traceback entries carry.
#pragma once

#include <Python.h>

#include <cstddef>

#include "names.hpp"

namespace ini {

enum class MethodId : int {
    init,
    set_path,
    get,
    get_option,
    get_all,
    set,
    set_section,
    set_option,
    set_all,
    sections,
    options,
    remove_section,
    remove_option,
    has_section,
    has_option,
    read,
    save,
};

inline constexpr int method_count = 17;
inline constexpr int max_params = 5;

// A body receives exactly one borrowed object per parameter, self first.
using Body = PyObject* (*)(PyObject* const* args) noexcept;

// Pointer to the interned name of a parameter inside `names`.
using NameSlot = PyObject* Names::*;

struct Method {
    MethodId id;
    const char* name;        // bare name, as argument errors print it
    const char* qualname;    // "KestraIniMain.<name>"
    const char* trace_name;  // "ini_main.KestraIniMain.<name>"
    const char* doc;
    int nparams;
    bool has_save;  // the last parameter is save=True
    NameSlot params[max_params];
    Body body;

    int required() const noexcept { return has_save ? nparams - 1 : nparams; }
    PyObject* param(int i) const noexcept { return names.*params[i]; }
};

extern const Method methods[method_count];

inline const Method& method(MethodId id) noexcept {
    return methods[static_cast<int>(id)];
}

// Line numbers of the virtual source file "ini_main": the import's own
// statements are lines 1-99, and each method owns a block of a hundred lines
// whose first is its header (argument binding) and whose next lines are the
// statements of its body.
inline constexpr int lines_per_method = 100;
inline constexpr int max_line = lines_per_method * (method_count + 1);

inline int header_line(MethodId id) noexcept {
    return lines_per_method * (static_cast<int>(id) + 1);
}

}  // namespace ini
