// The engine's queries and changes, answered from its structures.
//
// Each follows the engine's own code step by step (RawConfigParser and
// ConfigParser of 3.13, with BasicInterpolation), for exact str arguments
// only. Wherever that code would raise, the call is declined instead, so
// the engine raises it itself.
#include "native/engine.hpp"

namespace ini::fast {

namespace {

bool exact_str(PyObject* obj) noexcept { return PyUnicode_CheckExact(obj); }

bool is_default_section(PyObject* section) noexcept {
    return PyUnicode_CompareWithASCIIString(section, "DEFAULT") == 0;
}

// `not section or section == self.default_section`
bool names_defaults(PyObject* section) noexcept {
    return PyUnicode_GET_LENGTH(section) == 0 || is_default_section(section);
}

Ref answer(bool yes) noexcept { return Ref::borrow(yes ? Py_True : Py_False); }

// The dict an exact-str key finds in `dict`, borrowed, or null. A str key
// compares without running any code of the caller's.
PyObject* lookup(PyObject* dict, PyObject* key) noexcept {
    return PyDict_GetItemWithError(dict, key);
}

PyObject* empty_str() noexcept { return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR); }

// What BasicInterpolation.before_get returns for a value without '%': the
// value itself (''.join of one exact str), or '' for an empty one.
bool passes_unchanged(PyObject* value) noexcept {
    if (!exact_str(value)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    if (length == 0) return value == empty_str();
    return PyUnicode_FindChar(value, '%', 0, length, 1) == -1;
}

// The option dict of `section` for get() and items(): the section's own,
// or none for the default section. Declines a missing section.
bool section_options(const Engine& e, PyObject* section, PyObject*& options) noexcept {
    options = lookup(e.sections.get(), section);
    return options != nullptr || (!PyErr_Occurred() && is_default_section(section));
}

// The dict that set() and remove_option() change.
PyObject* target_options(const Engine& e, PyObject* section) noexcept {
    if (names_defaults(section)) return e.defaults.get();
    return lookup(e.sections.get(), section);
}

}  // namespace

Ref has_section(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections)) return Ref();
    const int found = PyDict_Contains(e.sections.get(), section);
    if (found < 0) return Ref();
    return answer(found);
}

Ref sections(PyObject* engine) noexcept {
    Engine e;
    if (!view(engine, e, need_sections)) return Ref();
    return Ref::steal(PyDict_Keys(e.sections.get()));
}

Ref options(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections | need_defaults)) return Ref();
    PyObject* own = lookup(e.sections.get(), section);
    if (own == nullptr) return Ref();
    Ref merged = Ref::steal(PyDict_Copy(own));
    if (!merged || PyDict_Update(merged.get(), e.defaults.get()) < 0) return Ref();
    return Ref::steal(PyDict_Keys(merged.get()));
}

Ref has_option(PyObject* engine, PyObject* section, PyObject* option) noexcept {
    Engine e;
    if (!exact_str(section) || !exact_str(option) || !view(engine, e, need_sections | need_defaults)) return Ref();
    PyObject* own = nullptr;
    if (!names_defaults(section)) {
        own = lookup(e.sections.get(), section);
        if (own == nullptr) return PyErr_Occurred() ? Ref() : answer(false);
    }
    Ref key = lowered(option);
    if (!key) return key;
    if (own != nullptr) {
        const int found = PyDict_Contains(own, key.get());
        if (found != 0) return found < 0 ? Ref() : answer(true);
    }
    const int found = PyDict_Contains(e.defaults.get(), key.get());
    if (found < 0) return Ref();
    return answer(found);
}

Ref get(PyObject* engine, PyObject* section, PyObject* option) noexcept {
    Engine e;
    if (!exact_str(section) || !exact_str(option) || !view(engine, e, need_sections | need_defaults | need_interpolation)) return Ref();
    PyObject* own = nullptr;
    if (!section_options(e, section, own)) return Ref();
    Ref key = lowered(option);
    if (!key) return key;
    PyObject* value = own != nullptr ? lookup(own, key.get()) : nullptr;
    if (value == nullptr && !PyErr_Occurred()) value = lookup(e.defaults.get(), key.get());
    if (value == nullptr) return Ref();
    if (value == Py_None) return Ref::borrow(value);
    if (!passes_unchanged(value)) return Ref();
    return Ref::borrow(value);
}

Ref option_dict(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections | need_defaults | need_interpolation)) return Ref();
    PyObject* own = nullptr;
    if (!section_options(e, section, own)) return Ref();
    Ref merged = Ref::steal(PyDict_Copy(e.defaults.get()));
    if (!merged) return merged;
    if (own != nullptr && PyDict_Update(merged.get(), own) < 0) return Ref();
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(merged.get(), &position, &key, &value)) {
        if (!passes_unchanged(value)) return Ref();
    }
    return merged;
}

Ref add_section(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections | need_proxies) || is_default_section(section)) return Ref();
    const int present = PyDict_Contains(e.sections.get(), section);
    if (present != 0) return Ref();
    Ref options = Ref::steal(PyDict_New());
    if (!options || PyDict_SetItem(e.sections.get(), section, options.get()) < 0) return Ref();
    Ref proxy_class = engine_global("SectionProxy");
    if (!proxy_class) return proxy_class;
    Ref proxy = Ref::steal(PyObject_CallFunctionObjArgs(proxy_class.get(), engine, section, nullptr));
    if (!proxy || PyDict_SetItem(e.proxies.get(), section, proxy.get()) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref set(PyObject* engine, PyObject* section, PyObject* option, PyObject* value) noexcept {
    Engine e;
    if (!exact_str(section) || !exact_str(option) || !exact_str(value) || !view(engine, e, need_all)) {
        return Ref();
    }
    // BasicInterpolation.before_set judges a value with '%'; leave it that.
    if (PyUnicode_FindChar(value, '%', 0, PyUnicode_GET_LENGTH(value), 1) != -1) return Ref();
    PyObject* options = target_options(e, section);
    if (options == nullptr) return Ref();
    Ref held = Ref::borrow(options);
    Ref key = lowered(option);
    if (!key || PyDict_SetItem(options, key.get(), value) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref remove_section(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections | need_proxies)) return Ref();
    const int existed = PyDict_Contains(e.sections.get(), section);
    if (existed <= 0) return existed < 0 ? Ref() : answer(false);
    // The engine deletes the proxy too, and raises if it is missing.
    const int proxied = PyDict_Contains(e.proxies.get(), section);
    if (proxied <= 0) return Ref();
    if (PyDict_DelItem(e.sections.get(), section) < 0 ||
        PyDict_DelItem(e.proxies.get(), section) < 0) {
        return Ref();
    }
    return answer(true);
}

Ref remove_option(PyObject* engine, PyObject* section, PyObject* option) noexcept {
    Engine e;
    if (!exact_str(section) || !exact_str(option) || !view(engine, e, need_sections | need_defaults)) return Ref();
    PyObject* options = target_options(e, section);
    if (options == nullptr) return Ref();
    Ref held = Ref::borrow(options);
    Ref key = lowered(option);
    if (!key) return key;
    const int existed = PyDict_Contains(options, key.get());
    if (existed <= 0) return existed < 0 ? Ref() : answer(false);
    if (PyDict_DelItem(options, key.get()) < 0) return Ref();
    return answer(true);
}

}  // namespace ini::fast
