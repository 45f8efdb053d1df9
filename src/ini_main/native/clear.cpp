// Emptying an engine, as its clear() does, in one pass.
//
// The engine's clear() is MutableMapping.clear: popitem() until KeyError.
// Each RawConfigParser.popitem lists every section to take the first one,
// so emptying costs time quadratic in the number of sections, which makes
// a save of a large file slower than its write and its reload together.
// For a plain engine the outcome is plain too: every section leaves
// _sections and _proxies, in order; the defaults and their proxy stay.
// Anything that the Python code would trip over (a section named as the
// default one, a section without a proxy, keys other than exact str) is
// declined, so that the engine's own code meets it.
#include "native/engine.hpp"

namespace ini::fast {

namespace {

// A function the engine's clear() runs, found through the engine's class.
struct Expected {
    const char* name;
    const char* qualname;
    bool from_configparser;  // else from _collections_abc
};

constexpr Expected clear_methods[] = {
    {"clear", "MutableMapping.clear", false},
    {"popitem", "RawConfigParser.popitem", true},
    {"__getitem__", "RawConfigParser.__getitem__", true},
    {"__delitem__", "RawConfigParser.__delitem__", true},
    {"sections", "RawConfigParser.sections", true},
    {"has_section", "RawConfigParser.has_section", true},
    {"remove_section", "RawConfigParser.remove_section", true},
};

// Names an engine's own dict must not hold: these methods are looked up
// on the instance first (the item access goes to the class).
constexpr const char* instance_names[] = {"clear", "popitem", "sections", "has_section",
                                          "remove_section"};

// The class whose functions were proven, and its version tag then: the
// interpreter changes the tag on any change to the class or its bases.
struct Proof {
    PyTypeObject* type = nullptr;
    unsigned tag = 0;
    // Borrowed from the proven functions, which the class keeps alive.
    PyObject* configparser_globals = nullptr;
    PyObject* abc_globals = nullptr;
    PyObject* configparser_builtins = nullptr;
    PyObject* abc_builtins = nullptr;
};

Proof proof;

bool is_text(PyObject* obj, const char* text) noexcept {
    return obj != nullptr && PyUnicode_CheckExact(obj) &&
           PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// The function that `type.<name>` finds, borrowed, if it is the one with
// `qualname`; else null.
PyFunctionObject* function_of(PyTypeObject* type, const char* name, const char* qualname) noexcept {
    Ref found = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    if (!found || !PyFunction_Check(found.get())) return nullptr;
    Ref found_qualname = Ref::steal(PyObject_GetAttrString(found.get(), "__qualname__"));
    if (!is_text(found_qualname.get(), qualname)) return nullptr;
    return reinterpret_cast<PyFunctionObject*>(found.get());  // the class holds it
}

// The namespace of the module imported as `name`: _collections_abc calls
// itself collections.abc, so its __name__ cannot tell.
bool namespace_of(PyObject* globals, const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return false;
    Ref module = Ref::steal(PyImport_GetModule(key.get()));
    return module && PyModule_Check(module.get()) && PyModule_GetDict(module.get()) == globals;
}

// The engine's class runs the original functions of clear(), all from
// the namespaces of configparser and _collections_abc.
bool prove(PyTypeObject* type) noexcept {
    proof = Proof{};
    Proof found{type, type->tp_version_tag};
    for (const Expected& expected : clear_methods) {
        PyFunctionObject* function = function_of(type, expected.name, expected.qualname);
        if (function == nullptr) return false;
        if (expected.from_configparser) {
            if (found.configparser_globals == nullptr) {
                if (!namespace_of(function->func_globals, "configparser")) return false;
                found.configparser_globals = function->func_globals;
                found.configparser_builtins = function->func_builtins;
            }
            if (function->func_globals != found.configparser_globals ||
                function->func_builtins != found.configparser_builtins) {
                return false;
            }
        } else {
            if (!namespace_of(function->func_globals, "_collections_abc")) return false;
            found.abc_globals = function->func_globals;
            found.abc_builtins = function->func_builtins;
        }
    }
    if (found.tag == 0 || type->tp_version_tag != found.tag) return false;
    proof = found;
    return true;
}

bool class_holds(PyTypeObject* type) noexcept {
    if (proof.type == type && proof.tag != 0 && type->tp_version_tag == proof.tag) return true;
    const bool proven = prove(type);
    PyErr_Clear();
    return proven;
}

// popitem raises KeyError when no section is left and clear catches it:
// both names must reach the builtin one, as a module-level KeyError in
// either namespace, or another in the builtins, could break that pairing.
bool key_error_is_builtin() noexcept {
    for (PyObject* globals : {proof.configparser_globals, proof.abc_globals}) {
        if (PyDict_GetItemString(globals, "KeyError") != nullptr) return false;
    }
    for (PyObject* builtins : {proof.configparser_builtins, proof.abc_builtins}) {
        if (!PyDict_Check(builtins) ||
            PyDict_GetItemString(builtins, "KeyError") != PyExc_KeyError) {
            return false;
        }
    }
    return true;
}

// Nothing of clear() replaced in the engine's own dict, and the default
// section, which popitem never removes, named as by default.
bool instance_plain(PyObject* engine) noexcept {
    Ref dict = Ref::steal(PyObject_GenericGetDict(engine, nullptr));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    for (const char* name : instance_names) {
        if (PyDict_GetItemString(dict.get(), name) != nullptr) return false;
    }
    return is_text(PyDict_GetItemString(dict.get(), "default_section"), "DEFAULT");
}

bool keys_exact_str(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// `names` are all the sections, and each is removable as popitem removes
// it: an exact str, not the default section's name, with a proxy of its
// own. Nothing here allocates or runs code of the caller's.
bool all_removable(PyObject* names, PyObject* sections, PyObject* proxies) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(names);
    if (count != PyDict_GET_SIZE(sections) || !keys_exact_str(proxies)) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name) ||
            PyUnicode_CompareWithASCIIString(name, "DEFAULT") == 0 ||
            PyDict_GetItemWithError(sections, name) == nullptr ||
            PyDict_GetItemWithError(proxies, name) == nullptr) {
            return false;
        }
    }
    return true;
}

// Removes every key of `names` from both dicts. What leaves the dicts is
// kept in `kept` until the end, so no destructor runs while the dicts are
// half emptied; nothing here allocates, so the collector cannot run either.
void remove_all(PyObject* names, PyObject* sections, PyObject* proxies, PyObject* kept) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(names, i);
        PyList_SET_ITEM(kept, 2 * i, Py_NewRef(PyDict_GetItemWithError(sections, name)));
        PyList_SET_ITEM(kept, 2 * i + 1, Py_NewRef(PyDict_GetItemWithError(proxies, name)));
        // Exact str keys, present: neither deletion can fail.
        if (PyDict_DelItem(sections, name) < 0 || PyDict_DelItem(proxies, name) < 0) {
            PyErr_Clear();
        }
    }
}

}  // namespace

Ref clear(PyObject* engine) noexcept {
    Engine e;
    if (!view(engine, e, need_sections | need_proxies)) return Ref();
    if (!class_holds(Py_TYPE(engine)) || !key_error_is_builtin() || !instance_plain(engine)) {
        return Ref();
    }
    PyObject* sections = e.sections.get();
    PyObject* proxies = e.proxies.get();
    // Everything is allocated before the checks: an allocation may start
    // the collector, and a finalizer may change the engine.
    Ref names = Ref::steal(PyDict_Keys(sections));
    if (!names) return names;
    Ref kept = Ref::steal(PyList_New(2 * PyList_GET_SIZE(names.get())));
    if (!kept) return kept;
    if (!all_removable(names.get(), sections, proxies)) return Ref();
    remove_all(names.get(), sections, proxies, kept.get());
    return Ref::borrow(Py_None);
}

}  // namespace ini::fast
