// Traceback entries for failures leaving the module.
#pragma once

#include <Python.h>

#include "methods.hpp"

namespace ini {

// Adds an entry "function" in the file "ini_main" at `line` to the pending
// exception. Never fails: if the entry cannot be made, the exception stays
// as it was.
void add_traceback(const char* function, int line) noexcept;

// Adds the method's entry at `line` and returns nullptr, so that a body can
// write `return fail(id, line)`.
PyObject* fail(MethodId id, int line) noexcept;

// The entry of a failing statement of a method body: `step` counts the
// statements from the header.
inline PyObject* fail_at(MethodId id, int step) noexcept {
    return fail(id, header_line(id) + step);
}

}  // namespace ini
