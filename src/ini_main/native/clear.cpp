// Emptying an engine, as its clear() does, in one pass.
//
// The engine's clear() is MutableMapping.clear: popitem() until KeyError.
// Each RawConfigParser.popitem lists every section to take the first one,
// so emptying costs time quadratic in the number of sections, which makes
// a save of a large file slower than its write and its reload together.
// For a plain engine the outcome is plain too: every section leaves
// _sections and _proxies, in order; the defaults and their proxy stay.
// Anything that the Python code would trip over (a section named as the
// default one, a section without a proxy, keys other than exact str) or
// whose release could run code (a value other than an exact str) is
// declined, so that the engine's own code meets it.
#include "native/engine.hpp"
#include "native/text_values.hpp"

namespace ini::fast {

namespace {

// The engine's clear() is MutableMapping.clear, whose code lives in
// _collections_abc: its `except KeyError` finds the name in that module's
// namespace first, which the guard does not hold for configparser's own
// code. Only the builtin KeyError pairs with the one popitem raises.
bool abc_key_error_is_builtin() noexcept {
    PyObject* clear = original(Original::attr_ConfigParser_clear);
    if (clear == nullptr || !PyFunction_Check(clear)) return false;
    static PyObject* key_error = PyUnicode_InternFromString("KeyError");
    if (key_error == nullptr) return false;
    const auto* function = reinterpret_cast<PyFunctionObject*>(clear);
    if (PyDict_GetItemWithError(function->func_globals, key_error) != nullptr || PyErr_Occurred()) {
        return false;
    }
    return PyDict_CheckExact(function->func_builtins) &&
           PyDict_GetItemWithError(function->func_builtins, key_error) ==
               original(Original::global_builtins_KeyError);
}

// Options whose release runs no code: exact str keys and values. The
// engine's clear() releases each section as it pops it, and a finalizer
// run then meets the engine half emptied and may add to it; the engine's
// loop would pop what it added, one pass here would keep it.
bool releases_quietly(PyObject* options) noexcept {
    return plain_dict(options) && values_are_text(options);
}

// `names` are all the sections, and each is removable as popitem removes
// it: an exact str, not the default section's name, with a proxy of its
// own, and nothing in it that runs code when released. Nothing here
// allocates or runs code of the caller's.
bool all_removable(PyObject* names, PyObject* sections, PyObject* proxies) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(names);
    if (count != PyDict_GET_SIZE(sections)) return false;
    PyObject* proxy_class = original(Original::global_configparser_SectionProxy);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "DEFAULT") == 0) {
            return false;
        }
        PyObject* options = PyDict_GetItemWithError(sections, name);
        PyObject* proxy = PyDict_GetItemWithError(proxies, name);
        if (options == nullptr || proxy == nullptr || !releases_quietly(options) ||
            reinterpret_cast<PyObject*>(Py_TYPE(proxy)) != proxy_class) {
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
    // view() proves the class, every method clear() runs (bypassed.def)
    // and an instance dict of the plain settings alone, so that nothing of
    // clear() is replaced on the instance and the default section is
    // "DEFAULT"; its exact-str keys make every lookup below run no code.
    if (!view(engine, e, need_sections | need_proxies) || !abc_key_error_is_builtin()) {
        PyErr_Clear();
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
