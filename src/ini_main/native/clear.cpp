// Emptying an engine, as its clear() does.
//
// The engine's clear() is MutableMapping.clear: popitem() until KeyError,
// each popitem removing the first section, then releasing its proxy. Each
// RawConfigParser.popitem lists every section to find the first one, so
// that loop costs time quadratic in the number of sections, more than a
// save's write and reload together. Here each step removes the section
// that follows the last one removed; a release that runs code (a weakref
// callback on the proxy, a finalizer in its dict) may change the engine
// as it would have between two popitems, so the next step is proven
// afresh, and where the sections changed (or anything else of the proof)
// the rest is left to the engine's own popitem, as its loop would go on.
// Anything that the Python code would trip over (a section named as the
// default one, a section without a proxy, keys other than exact str) or
// whose removal from _sections could run code (a value other than an exact
// str) is declined, or, half way through, left to popitem likewise.
#include <cstdint>

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

// A section that popitem removes as the native step does: an exact str
// name, not the default section's, a proxy of its own, options whose
// release runs no code. Nothing here allocates or runs code of the caller's.
bool removable(PyObject* name, PyObject* options, PyObject* proxies) noexcept {
    if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "DEFAULT") == 0 ||
        !plain_dict(options) || !values_are_text(options)) {
        return false;
    }
    PyObject* proxy = PyDict_GetItemWithError(proxies, name);
    return proxy != nullptr &&
           reinterpret_cast<PyObject*>(Py_TYPE(proxy)) == original(Original::global_configparser_SectionProxy);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// A dict's version: 3.13 gives a dict a new one at every change.
uint64_t version_of(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#pragma GCC diagnostic pop

// What the engine's clear() goes on doing: popitem() until its KeyError.
Ref popitems_until_empty(PyObject* engine) noexcept {
    static PyObject* popitem = PyUnicode_InternFromString("popitem");
    if (popitem == nullptr) return Ref();
    for (;;) {
        if (!Ref::steal(PyObject_CallMethodNoArgs(engine, popitem))) break;
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Ref();
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

}  // namespace

Ref clear(PyObject* engine) noexcept {
    constexpr unsigned needs = need_sections | need_proxies;
    Engine e;
    // view() proves the class, every method clear() runs (bypassed.def)
    // and an instance dict of the plain settings alone, so that nothing of
    // clear() is replaced on the instance and the default section is
    // "DEFAULT"; its exact-str keys make every lookup below run no code.
    if (!view(engine, e, needs) || !abc_key_error_is_builtin()) {
        PyErr_Clear();
        return Ref();
    }
    const Ref sections = e.sections;
    const Ref proxies = e.proxies;
    bool started = false;
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* options;
    while (PyDict_Next(sections.get(), &position, &name, &options)) {
        if (!removable(name, options, proxies.get())) break;
        Ref held_name = Ref::borrow(name);
        Ref proxy = Ref::borrow(PyDict_GetItemWithError(proxies.get(), name));
        // Present exact str keys: neither deletion fails.
        if (PyDict_DelItem(sections.get(), name) < 0 || PyDict_DelItem(proxies.get(), name) < 0) return Ref();
        started = true;
        const uint64_t sections_version = version_of(sections.get());
        const uint64_t proxies_version = version_of(proxies.get());
        proxy = Ref();  // may run code: the next step is proven again
        Engine again;
        if (!view(engine, again, needs) || again.sections.get() != sections.get() ||
            again.proxies.get() != proxies.get() || version_of(sections.get()) != sections_version ||
            version_of(proxies.get()) != proxies_version) {
            if (PyErr_Occurred()) return Ref();
            return popitems_until_empty(engine);
        }
    }
    if (PyErr_Occurred()) return Ref();
    if (PyDict_GET_SIZE(sections.get()) == 0) return Ref::borrow(Py_None);
    return started ? popitems_until_empty(engine) : Ref();
}

}  // namespace ini::fast
