// The engine's queries and changes, answered from its structures.
//
// Each follows the engine's own code step by step (RawConfigParser and
// ConfigParser of 3.13, with BasicInterpolation), for exact str arguments
// only. Wherever that code would raise, the call is declined instead, so
// the engine raises it itself. A decline is decided before anything that
// could run code of the caller's: every dict looked into is an exact dict
// with exact str keys (plain_dict), so a lookup compares nothing but str.
// What may still run code is the release of a replaced or deleted value
// (its finalizer, a weakref callback) and a proxy made by its class: every
// object used after one is held by a strong reference, and what
// configparser's next line looks up on the engine is looked up again
// (after_code_ran, engine.hpp).
#include <cstring>

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

// `dict[key]` of a plain dict, held; null with no exception when missing.
Ref lookup(const Ref& dict, PyObject* key) noexcept {
    PyObject* found = nullptr;
    PyDict_GetItemRef(dict.get(), key, &found);
    return Ref::steal(found);
}

PyObject* empty_str() noexcept { return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR); }

// What BasicInterpolation.before_get returns for a value without '%': the
// value itself (''.join of one exact str), or '' for an empty one.
bool passes_unchanged(PyObject* value) noexcept {
    if (!exact_str(value)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    if (length == 0) return value == empty_str();
    // A one-byte text is searched directly: the general search costs more
    // than the rest of a query.
    if (PyUnicode_KIND(value) == PyUnicode_1BYTE_KIND) {
        return std::memchr(PyUnicode_1BYTE_DATA(value), '%', static_cast<size_t>(length)) == nullptr;
    }
    return PyUnicode_FindChar(value, '%', 0, length, 1) == -1;
}

// The option dict of `section` for get() and items(): the section's own,
// or none for the default section. Declined (false, no exception) for a
// missing section, or one whose dict is not plain.
bool section_options(const Engine& e, PyObject* section, Ref& options) noexcept {
    options = lookup(e.sections, section);
    if (options) return plain_dict(options.get());
    return !PyErr_Occurred() && is_default_section(section);
}

// The dict that set() and remove_option() change, plain, or declined.
Ref target_options(const Engine& e, PyObject* section) noexcept {
    if (names_defaults(section)) return e.defaults;
    Ref options = lookup(e.sections, section);
    if (!options || !plain_dict(options.get())) return Ref();
    return options;
}

// The key that optionxform(option) looks up: an equal str. For a lookup
// alone, an option already in lower case is its own key, with its hash
// already known, and no new string is made.
Ref lookup_key(PyObject* option) noexcept {
    if (PyUnicode_IS_ASCII(option)) {
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(option);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(option);
        Py_ssize_t i = 0;
        while (i < length && !(text[i] >= 'A' && text[i] <= 'Z')) ++i;
        if (i == length) return Ref::borrow(option);
    }
    return lowered(option);
}

}  // namespace

Ref has_section(PyObject* engine, PyObject* section) noexcept {
    Peeked e;
    if (!exact_str(section) || !peek(engine, e, need_sections | runs(Scope::has_section))) return Ref();
    const int found = PyDict_Contains(e.sections, section);
    if (found < 0) return Ref();
    return answer(found);
}

Ref sections(PyObject* engine) noexcept {
    Engine e;
    if (!view(engine, e, need_sections | runs(Scope::sections))) return Ref();
    return Ref::steal(PyDict_Keys(e.sections.get()));
}

Ref options(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections | need_defaults | runs(Scope::options))) return Ref();
    Ref own = lookup(e.sections, section);
    if (!own || !plain_dict(own.get())) return Ref();
    Ref merged = Ref::steal(PyDict_Copy(own.get()));
    if (!merged || PyDict_Update(merged.get(), e.defaults.get()) < 0) return Ref();
    return Ref::steal(PyDict_Keys(merged.get()));
}

Ref has_option(PyObject* engine, PyObject* section, PyObject* option) noexcept {
    Peeked e;
    if (!exact_str(section) || !exact_str(option) ||
        !peek(engine, e, need_sections | need_defaults | runs(Scope::has_option))) {
        return Ref();
    }
    PyObject* own = nullptr;
    if (!names_defaults(section)) {
        own = PyDict_GetItemWithError(e.sections, section);
        if (own == nullptr) return PyErr_Occurred() ? Ref() : answer(false);
        if (!plain_dict(own)) return Ref();
    }
    Ref key = lookup_key(option);
    if (!key) return key;
    if (own != nullptr) {
        const int found = PyDict_Contains(own, key.get());
        if (found != 0) return found < 0 ? Ref() : answer(true);
    }
    const int found = PyDict_Contains(e.defaults, key.get());
    if (found < 0) return Ref();
    return answer(found);
}

Ref get(PyObject* engine, PyObject* section, PyObject* option) noexcept {
    Peeked e;
    if (!exact_str(section) || !exact_str(option) ||
        !peek(engine, e, need_sections | need_defaults | need_interpolation | runs(Scope::get))) {
        return Ref();
    }
    PyObject* own = PyDict_GetItemWithError(e.sections, section);
    if (own == nullptr ? PyErr_Occurred() || !is_default_section(section) : !plain_dict(own)) return Ref();
    Ref key = lookup_key(option);
    if (!key) return key;
    PyObject* value = own != nullptr ? PyDict_GetItemWithError(own, key.get()) : nullptr;
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(e.defaults, key.get());
    if (value == nullptr) return Ref();
    if (value == Py_None || passes_unchanged(value)) return Ref::borrow(value);
    return Ref();
}

Ref option_dict(PyObject* engine, PyObject* section) noexcept {
    Engine e;
    if (!exact_str(section) || !view(engine, e, need_sections | need_defaults | need_interpolation | runs(Scope::items))) {
        return Ref();
    }
    Ref own;
    if (!section_options(e, section, own)) return Ref();
    Ref merged = Ref::steal(PyDict_Copy(e.defaults.get()));
    if (!merged) return merged;
    if (own && PyDict_Update(merged.get(), own.get()) < 0) return Ref();
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
    Ref proxy = section_proxy(engine, section);
    if (!proxy) return proxy;
    // `self._proxies[section] = SectionProxy(self, section)`: the proxy
    // first, then _proxies, found after whatever its making ran.
    Ref proxies = after_code_ran(engine, Structure::proxies);
    if (!proxies || PyObject_SetItem(proxies.get(), section, proxy.get()) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref set(PyObject* engine, PyObject* section, PyObject* option, PyObject* value) noexcept {
    Engine e;
    if (!exact_str(section) || !exact_str(option) || !exact_str(value) ||
        !view(engine, e, need_sections | need_defaults | need_interpolation)) {
        return Ref();
    }
    // BasicInterpolation.before_set judges a value with '%'; leave it that.
    if (PyUnicode_FindChar(value, '%', 0, PyUnicode_GET_LENGTH(value), 1) != -1) return Ref();
    Ref options = target_options(e, section);
    if (!options) return Ref();
    Ref key = lowered(option);
    if (!key || PyDict_SetItem(options.get(), key.get(), value) < 0) return Ref();
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
    if (PyDict_DelItem(e.sections.get(), section) < 0) return Ref();
    // The section's release may have run a finalizer; the engine's next
    // line looks _proxies up again, and its `del` raises what it raises.
    Ref proxies = after_code_ran(engine, Structure::proxies);
    if (!proxies || PyObject_DelItem(proxies.get(), section) < 0) return Ref();
    return answer(true);
}

Ref remove_option(PyObject* engine, PyObject* section, PyObject* option) noexcept {
    Engine e;
    if (!exact_str(section) || !exact_str(option) || !view(engine, e, need_sections | need_defaults)) return Ref();
    Ref options = target_options(e, section);
    if (!options) return Ref();
    Ref key = lookup_key(option);
    if (!key) return key;
    const int existed = PyDict_Contains(options.get(), key.get());
    if (existed <= 0) return existed < 0 ? Ref() : answer(false);
    if (PyDict_DelItem(options.get(), key.get()) < 0) return Ref();
    return answer(true);
}

}  // namespace ini::fast
