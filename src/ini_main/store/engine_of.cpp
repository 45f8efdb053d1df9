// The store's engine, self._config, found as the generic attribute lookup
// finds it but without its cost, which was a fifth of a query.
//
// For an instance of a class that keeps the generic lookup and holds no
// `_config` anywhere in its MRO, PyObject_GetAttr comes down to a lookup in
// the instance's own dict. The class's version tag says that this still
// holds: the interpreter gives a class a new tag on any change to it or to
// a class it inherits from, and never hands an old tag out again. A
// subclass that overrides the lookup or defines `_config` (a property, say)
// takes the full lookup at every call.
#include "store/engine_calls.hpp"

namespace ini {

namespace {

unsigned int plain_tag = 0;  // the version tag of a class found plain; 0: none yet

// Remembers `type` as plain when it is: called after a full lookup, which
// gave the class its version tag where it could.
void note_class(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_version_tag == 0) return;
    if (_PyType_Lookup(type, names.attr_config) != nullptr) return;
    plain_tag = type->tp_version_tag;
}

}  // namespace

Ref engine_of(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (plain_tag != 0 && type->tp_version_tag == plain_tag) {
        PyObject** slot = _PyObject_GetDictPtr(self);
        PyObject* dict = slot != nullptr ? *slot : nullptr;
        if (dict != nullptr && fast::plain_dict(dict)) {
            // Exact str keys only: the lookup compares no key by its code.
            PyObject* found = PyDict_GetItemWithError(dict, names.attr_config);
            if (found != nullptr || PyErr_Occurred()) return Ref::borrow(found);
        } else if (dict != nullptr) {
            // Held, as the lookup may compare a key of the caller's by its code.
            Ref held = Ref::borrow(dict);
            PyObject* found = nullptr;
            const int hit = PyDict_GetItemRef(held.get(), names.attr_config, &found);
            if (hit != 0) return Ref::steal(found);
        }
    }
    Ref engine = get_attr(self, names.attr_config);
    if (engine) note_class(type);
    return engine;
}

}  // namespace ini
