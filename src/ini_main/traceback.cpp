#include "traceback.hpp"

#include <frameobject.h>

#include "ref.hpp"
#include "state.hpp"

namespace ini {

namespace {

// One empty code object per line, made at the first failure reported there.
// A line belongs to one method (or to the import), so the function name
// stored in the code object is always the right one for later reuse.
PyObject* line_codes[max_line + 1] = {};

PyObject* code_for_line(const char* function, int line) noexcept {
    if (line < 0 || line > max_line) return nullptr;
    PyObject*& code = line_codes[line];
    if (code == nullptr) {
        code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("ini_main", function, line));
    }
    return code;
}

}  // namespace

void add_traceback(const char* function, int line) noexcept {
    // Making the code object and the frame must not disturb the exception
    // being reported, so it is set aside meanwhile.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* code = code_for_line(function, line);
    Ref frame;
    if (code != nullptr) {
        // An empty code object's only instruction sits at its first line,
        // so the new frame reports `line` without touching frame internals.
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                        state.module_dict, nullptr)));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

PyObject* fail(MethodId id, int line) noexcept {
    add_traceback(method(id).trace_name, line);
    return nullptr;
}

}  // namespace ini
