#include "names.hpp"

namespace ini {

Names names{};

namespace {

bool intern(PyObject*& slot, const char* text) noexcept {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) return false;
    // Hash now so that no lookup pays for it later.
    if (PyObject_Hash(name) == -1) {
        Py_DECREF(name);
        return false;
    }
    slot = name;
    return true;
}

}  // namespace

bool make_names() noexcept {
    if (names.kw_encoding != nullptr) return true;
#define INI_MAKE_NAME(member, text) \
    if (names.member == nullptr && !intern(names.member, text)) return false;
    INI_NAMES(INI_MAKE_NAME)
#undef INI_MAKE_NAME
    if (names.kw_save == nullptr) {
        names.kw_save = PyTuple_Pack(1, names.save);
        if (names.kw_save == nullptr) return false;
    }
    names.kw_encoding = PyTuple_Pack(1, names.encoding);
    return names.kw_encoding != nullptr;
}

}  // namespace ini
