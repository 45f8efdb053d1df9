// When the native paths may stand in for an engine.
//
// Proving that an engine is a plain ConfigParser takes some fifty lookups,
// far more than the work of a query, so the proof is made once and kept:
// for the classes, their version tags, which the interpreter resets on any
// change to a class or its bases; for each engine, its instance dict, which
// a dict watcher reports on at the first change. The configparser module's
// own namespace is watched too, since the engine's code finds its helpers
// there.
#include "native/engine.hpp"

#include <array>
#include <cstring>

namespace ini::fast {

namespace {

// A method the bypassed code calls, and the function it must resolve to.
struct Expected {
    const char* name;
    const char* qualname;
};

constexpr Expected parser_methods[] = {
    {"read", "RawConfigParser.read"},
    {"_read", "RawConfigParser._read"},
    {"_read_inner", "RawConfigParser._read_inner"},
    {"_handle_continuation_line", "RawConfigParser._handle_continuation_line"},
    {"_handle_rest", "RawConfigParser._handle_rest"},
    {"_handle_header", "RawConfigParser._handle_header"},
    {"_handle_option", "RawConfigParser._handle_option"},
    {"_join_multiline_values", "RawConfigParser._join_multiline_values"},
    {"optionxform", "RawConfigParser.optionxform"},
    {"write", "RawConfigParser.write"},
    {"_write_section", "RawConfigParser._write_section"},
    {"get", "RawConfigParser.get"},
    {"_unify_values", "RawConfigParser._unify_values"},
    {"items", "RawConfigParser.items"},
    {"sections", "RawConfigParser.sections"},
    {"options", "RawConfigParser.options"},
    {"has_section", "RawConfigParser.has_section"},
    {"has_option", "RawConfigParser.has_option"},
    {"add_section", "ConfigParser.add_section"},
    {"set", "ConfigParser.set"},
    {"_validate_value_types", "RawConfigParser._validate_value_types"},
    {"remove_section", "RawConfigParser.remove_section"},
    {"remove_option", "RawConfigParser.remove_option"},
};

// Reached through super() from ConfigParser's own add_section and set.
constexpr Expected raw_parser_methods[] = {
    {"add_section", "RawConfigParser.add_section"},
    {"set", "RawConfigParser.set"},
};

constexpr Expected interpolation_methods[] = {
    {"before_get", "BasicInterpolation.before_get"},
    {"before_set", "BasicInterpolation.before_set"},
    {"before_read", "Interpolation.before_read"},
    {"before_write", "Interpolation.before_write"},
    {"_interpolate_some", "BasicInterpolation._interpolate_some"},
};

constexpr Expected line_methods[] = {
    {"__init__", "_Line.__init__"},
    {"_strip_inline", "_Line._strip_inline"},
    {"_strip_full", "_Line._strip_full"},
};

constexpr Expected parsing_error_methods[] = {
    {"__init__", "ParsingError.__init__"},
    {"append", "ParsingError.append"},
    {"combine", "ParsingError.combine"},
    {"_raise_all", "ParsingError._raise_all"},
};

// The class-level patterns the parser matches lines with.
struct ExpectedPattern {
    const char* name;
    const char* pattern;
};

constexpr ExpectedPattern parser_patterns[] = {
    {"SECTCRE",
     "\n        \\[                                 # [\n"
     "        (?P<header>.+)                     # very permissive!\n"
     "        \\]                                 # ]\n        "},
    {"OPTCRE",
     "\n        (?P<option>.*?)                    # very permissive!\n"
     "        \\s*(?P<vi>=|:)\\s*              # any number of space/tab,\n"
     "                                           # followed by any of the\n"
     "                                           # allowed delimiters,\n"
     "                                           # followed by any space/tab\n"
     "        (?P<value>.*)$                     # everything up to eol\n        "},
    {"NONSPACECRE", "\\S"},
};

// Names an instance must not override: every method above and the patterns.
constexpr const char* instance_data_names[] = {"SECTCRE", "OPTCRE", "NONSPACECRE"};

constexpr size_t cache_size = 8;

// One engine proven plain. The dicts are borrowed: a watcher clears the
// entry before either of them can change or go away.
struct Proven {
    PyObject* engine = nullptr;
    PyObject* dict = nullptr;  // the engine's instance dict
    Py_ssize_t size = 0;       // its size when proven
};

struct Guard {
    bool classes_proven = false;
    int watcher = -1;
    Ref module_dict;  // configparser's namespace, watched
    Ref parser;       // configparser.ConfigParser
    Ref raw_parser;   // configparser.RawConfigParser
    Ref interpolation;
    Ref line;
    Ref parsing_error;
    unsigned parser_tag = 0;
    unsigned interpolation_tag = 0;
    unsigned line_tag = 0;
    unsigned parsing_error_tag = 0;
    std::array<Proven, cache_size> proven{};
    size_t next_slot = 0;
};

// Process-wide, like the rest of the module's state; never released.
Guard& guard = *new Guard();

// The instance attributes read at every call, interned once so that each
// lookup is a hash probe and a pointer comparison.
struct Keys {
    PyObject* sections = nullptr;
    PyObject* defaults = nullptr;
    PyObject* proxies = nullptr;
    PyObject* interpolation = nullptr;
};

Keys keys;

bool make_keys() noexcept {
    if (keys.interpolation != nullptr) return true;
    keys.sections = PyUnicode_InternFromString("_sections");
    keys.defaults = PyUnicode_InternFromString("_defaults");
    keys.proxies = PyUnicode_InternFromString("_proxies");
    keys.interpolation = PyUnicode_InternFromString("_interpolation");
    return keys.sections && keys.defaults && keys.proxies && keys.interpolation;
}

PyObject* item(PyObject* dict, PyObject* key) noexcept {
    return PyDict_GetItemWithError(dict, key);  // borrowed; a str key cannot fail
}

PyTypeObject* as_type(const Ref& type) noexcept {
    return reinterpret_cast<PyTypeObject*>(type.get());
}

bool tag_holds(const Ref& type, unsigned tag) noexcept {
    return tag != 0 && as_type(type)->tp_version_tag == tag;
}

bool classes_hold() noexcept {
    return guard.classes_proven && tag_holds(guard.parser, guard.parser_tag) &&
           tag_holds(guard.interpolation, guard.interpolation_tag);
}

void forget_engines() noexcept {
    for (Proven& entry : guard.proven) entry = Proven{};
}

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (dict == guard.module_dict.get()) {
        guard.classes_proven = false;
        forget_engines();
        return 0;
    }
    for (Proven& entry : guard.proven) {
        if (entry.dict == dict) entry = Proven{};
    }
    return 0;
}

bool ensure_watcher() noexcept {
    if (guard.watcher >= 0) return true;
    guard.watcher = PyDict_AddWatcher(on_dict_event);
    return guard.watcher >= 0;
}

bool is_text(PyObject* obj, const char* text) noexcept {
    return PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// The attribute found through `owner` is the configparser function named
// `qualname` (a staticmethod's function counts the same).
bool resolves_to(PyObject* owner, const Expected& expected) noexcept {
    Ref found = Ref::steal(PyObject_GetAttrString(owner, expected.name));
    if (!found || !PyFunction_Check(found.get())) return false;
    if (PyFunction_GET_GLOBALS(found.get()) != guard.module_dict.get()) return false;
    Ref qualname = Ref::steal(PyObject_GetAttrString(found.get(), "__qualname__"));
    return qualname && is_text(qualname.get(), expected.qualname);
}

template <size_t N>
bool all_resolve(const Ref& owner, const Expected (&table)[N]) noexcept {
    for (const Expected& expected : table) {
        if (!resolves_to(owner.get(), expected)) return false;
    }
    return true;
}

bool pattern_is(PyObject* owner, const ExpectedPattern& expected) noexcept {
    Ref compiled = Ref::steal(PyObject_GetAttrString(owner, expected.name));
    if (!compiled) return false;
    Ref pattern = Ref::steal(PyObject_GetAttrString(compiled.get(), "pattern"));
    return pattern && is_text(pattern.get(), expected.pattern);
}

Ref module_type(const char* name) noexcept {
    PyObject* found = PyDict_GetItemString(guard.module_dict.get(), name);
    if (found == nullptr || !PyType_Check(found)) return Ref();
    return Ref::borrow(found);
}

unsigned version_tag(const Ref& type) noexcept {
    if (!PyUnstable_Type_AssignVersionTag(as_type(type))) return 0;
    return as_type(type)->tp_version_tag;
}

// Proves the configparser classes plain and records their version tags.
// Taken first, the tags make a later change to any class show.
bool prove_classes() noexcept {
    Ref name = Ref::steal(PyUnicode_FromString("configparser"));
    if (!name) return false;
    Ref module = Ref::steal(PyImport_GetModule(name.get()));
    if (!module || !PyModule_Check(module.get())) return false;
    Ref dict = Ref::borrow(PyModule_GetDict(module.get()));
    if (dict.get() != guard.module_dict.get()) {
        if (PyDict_Watch(guard.watcher, dict.get()) < 0) return false;
        guard.module_dict = dict;
    }
    guard.parser = module_type("ConfigParser");
    guard.raw_parser = module_type("RawConfigParser");
    guard.interpolation = module_type("BasicInterpolation");
    guard.line = module_type("_Line");
    guard.parsing_error = module_type("ParsingError");
    if (!guard.parser || !guard.raw_parser || !guard.interpolation || !guard.line ||
        !guard.parsing_error) {
        return false;
    }
    guard.parser_tag = version_tag(guard.parser);
    guard.interpolation_tag = version_tag(guard.interpolation);
    guard.line_tag = version_tag(guard.line);
    guard.parsing_error_tag = version_tag(guard.parsing_error);
    if (!all_resolve(guard.parser, parser_methods) ||
        !all_resolve(guard.raw_parser, raw_parser_methods) ||
        !all_resolve(guard.interpolation, interpolation_methods) ||
        !all_resolve(guard.line, line_methods) ||
        !all_resolve(guard.parsing_error, parsing_error_methods)) {
        return false;
    }
    for (const ExpectedPattern& expected : parser_patterns) {
        if (!pattern_is(guard.parser.get(), expected)) return false;
    }
    guard.classes_proven = tag_holds(guard.parser, guard.parser_tag) &&
                           tag_holds(guard.interpolation, guard.interpolation_tag);
    return guard.classes_proven;
}

PyObject* item(PyObject* dict, const char* name) noexcept {
    return PyDict_GetItemString(dict, name);  // borrowed; errors cleared
}

bool is_exact_tuple_of(PyObject* obj, std::initializer_list<const char*> texts) noexcept {
    if (!PyTuple_CheckExact(obj) || PyTuple_GET_SIZE(obj) != Py_ssize_t(texts.size())) {
        return false;
    }
    Py_ssize_t i = 0;
    for (const char* text : texts) {
        if (!is_text(PyTuple_GET_ITEM(obj, i++), text)) return false;
    }
    return true;
}

template <size_t N>
bool overrides_any(PyObject* dict, const Expected (&table)[N]) noexcept {
    for (const Expected& expected : table) {
        if (item(dict, expected.name) != nullptr) return true;
    }
    return false;
}

bool overrides_nothing(PyObject* dict) noexcept {
    if (overrides_any(dict, parser_methods)) return false;
    for (const char* name : instance_data_names) {
        if (item(dict, name) != nullptr) return false;
    }
    return true;
}

// The settings of ConfigParser() with no arguments.
bool default_settings(PyObject* dict) noexcept {
    PyObject* optcre = item(dict, "_optcre");
    Ref class_optcre = Ref::steal(PyObject_GetAttrString(guard.parser.get(), "OPTCRE"));
    PyObject* default_section = item(dict, "default_section");
    return class_optcre && optcre == class_optcre.get() &&
           item(dict, "_dict") == reinterpret_cast<PyObject*>(&PyDict_Type) &&
           is_exact_tuple_of(item(dict, "_delimiters"), {"=", ":"}) &&
           item(dict, "_strict") == Py_True && item(dict, "_allow_no_value") == Py_False &&
           item(dict, "_empty_lines_in_values") == Py_True &&
           item(dict, "_allow_unnamed_section") == Py_False && default_section != nullptr &&
           is_text(default_section, "DEFAULT");
}

bool plain_structures(PyObject* dict) noexcept {
    for (const char* name : {"_sections", "_defaults", "_proxies"}) {
        PyObject* found = item(dict, name);
        if (found == nullptr || !PyDict_CheckExact(found)) return false;
    }
    return true;
}

// The engine's interpolation: exactly a BasicInterpolation, overriding
// nothing in its own dict. Checked at every use: an attribute stored on an
// object that has none yet may bypass the dict watchers.
bool plain_interpolation(PyObject* dict) noexcept {
    PyObject* interpolation = item(dict, keys.interpolation);
    if (interpolation == nullptr || Py_TYPE(interpolation) != as_type(guard.interpolation)) {
        return false;
    }
    Ref own = Ref::steal(PyObject_GenericGetDict(interpolation, nullptr));
    if (!own) PyErr_Clear();
    return own && PyDict_CheckExact(own.get()) && PyDict_GET_SIZE(own.get()) == 0;
}

Proven* find(PyObject* engine, PyObject* dict) noexcept {
    for (Proven& entry : guard.proven) {
        // The size is checked too: a new key may reach the dict without an event.
        if (entry.engine == engine && entry.dict == dict && entry.size == PyDict_GET_SIZE(dict)) {
            return &entry;
        }
    }
    return nullptr;
}

void evict(Proven& entry) noexcept {
    if (entry.dict != nullptr) {
        bool shared = false;
        for (const Proven& other : guard.proven) {
            shared |= &other != &entry && other.dict == entry.dict;
        }
        if (!shared && PyDict_Unwatch(guard.watcher, entry.dict) < 0) PyErr_Clear();
    }
    entry = Proven{};
}

[[gnu::noinline]] bool prove_engine(PyObject* engine, PyObject* dict) noexcept {
    if (!PyDict_CheckExact(dict) || !overrides_nothing(dict) || !default_settings(dict) ||
        !plain_structures(dict)) {
        return false;
    }
    // A stale proof of this dict goes first, and the slot is freed before
    // the dict is watched: freeing it may unwatch that very dict.
    for (Proven& entry : guard.proven) {
        if (entry.dict == dict) entry = Proven{};
    }
    Proven& slot = guard.proven[guard.next_slot];
    guard.next_slot = (guard.next_slot + 1) % cache_size;
    evict(slot);
    if (PyDict_Watch(guard.watcher, dict) < 0) return false;
    slot.engine = engine;
    slot.dict = dict;
    slot.size = PyDict_GET_SIZE(dict);
    return true;
}

bool proven(PyObject* engine, PyObject* dict) noexcept {
    if (find(engine, dict) != nullptr) return true;
    return prove_engine(engine, dict);
}

[[gnu::noinline]] bool prove_classes_again() noexcept {
    if (!ensure_watcher() || !make_keys()) return false;
    guard.classes_proven = false;
    forget_engines();
    return prove_classes();
}

}  // namespace

bool view(PyObject* engine, Engine& out, unsigned needs) noexcept {
    if (!classes_hold() && !prove_classes_again()) {
        PyErr_Clear();
        return false;
    }
    if (Py_TYPE(engine) != as_type(guard.parser)) return false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(engine, nullptr));
    if (!dict || !proven(engine, dict.get()) ||
        ((needs & need_interpolation) && !plain_interpolation(dict.get()))) {
        PyErr_Clear();
        return false;
    }
    out.object = engine;
    // Replaced since the proof without an event: decline, and prove again
    // at the next change.
    const auto fetch = [&](unsigned need, PyObject* key, Ref& slot) {
        if (!(needs & need)) return true;
        slot = Ref::borrow(item(dict.get(), key));
        return slot && PyDict_CheckExact(slot.get());
    };
    return fetch(need_sections, keys.sections, out.sections) &&
           fetch(need_defaults, keys.defaults, out.defaults) &&
           fetch(need_proxies, keys.proxies, out.proxies);
}

Ref engine_global(const char* name) noexcept {
    if (!guard.module_dict) return Ref();
    PyObject* found = PyDict_GetItemString(guard.module_dict.get(), name);
    if (found == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return Ref::borrow(found);
}

bool line_classes_hold() noexcept {
    const auto hold = [] {
        return tag_holds(guard.line, guard.line_tag) &&
               tag_holds(guard.parsing_error, guard.parsing_error_tag);
    };
    if (hold()) return true;
    // Changed since the proof, perhaps only to be restored: prove again.
    if (!prove_classes_again()) {
        PyErr_Clear();
        return false;
    }
    return hold();
}

Ref lowered(PyObject* text) noexcept {
    if (!PyUnicode_IS_ASCII(text)) {
        static PyObject* lower = PyUnicode_InternFromString("lower");
        if (lower == nullptr) return Ref();
        return Ref::steal(PyObject_CallMethodNoArgs(text, lower));
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Ref result = Ref::steal(PyUnicode_New(length, 127));
    if (!result) return result;
    const Py_UCS1* from = PyUnicode_1BYTE_DATA(text);
    Py_UCS1* to = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS1 c = from[i];
        to[i] = (c >= 'A' && c <= 'Z') ? Py_UCS1(c + ('a' - 'A')) : c;
    }
    return result;
}

}  // namespace ini::fast
