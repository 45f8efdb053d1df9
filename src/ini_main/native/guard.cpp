// When the native paths may stand in for an engine.
//
// At import, capture() resolves every entry of bypassed.def as the engine's
// code would and keeps what it found, watch.cpp walks configparser whole,
// and the fingerprint of the lot must be one that the differential suite
// verified, or no native path ever runs. From then on the proof is one
// state word, which only the interpreter's watchers change (watch.hpp), and
// the closure cells, which change without an event.
//
// Each engine is proven once too, and the proof is kept with the engine:
// its instance dict is watched by one of two dict watchers, one meaning
// "plain", the other "not plain". The first change to the dict drops the
// watch, so the next call proves it again. No table, so no limit on the
// number of engines, and a declined engine costs one bit test.
#include <cstdint>
#include <initializer_list>
#include <new>
#include <iterator>
#include <string_view>

#include "native/engine.hpp"
#include "native/originals.hpp"
#include "native/watch.hpp"

namespace ini::fast {

namespace {

// Process-wide, like the rest of the module's state; its references are
// never released.
struct Guard {
    bool captured = false;
    int plain_watcher = -1;  // engine dicts proven plain
    int other_watcher = -1;  // engine dicts proven not plain
    PyObject* originals[entry_count] = {};
    PyObject* names[entry_count] = {};
    PyObject* owners[entry_count] = {};  // the namespace dict, or the class
    PyObject* simple_namespace = nullptr;
    PyObject* configparser_dict = nullptr;
    PyObject* dict_descriptor = nullptr;  // the engine class's own __dict__ setter
};

Guard& guard = *new Guard();

struct Keys {
    PyObject* sections;
    PyObject* defaults;
    PyObject* proxies;
    PyObject* interpolation;
    PyObject* optcre;
    PyObject* dict;
    PyObject* delimiters;
    PyObject* strict;
    PyObject* allow_no_value;
    PyObject* empty_lines;
    PyObject* unnamed;
    PyObject* default_section;
    PyObject* prefixes;
    PyObject* converters;
};

Keys keys{};

PyObject* of(Original which) noexcept { return guard.originals[static_cast<size_t>(which)]; }

PyTypeObject* type_of(Original which) noexcept {
    return reinterpret_cast<PyTypeObject*>(of(which));
}

// The code objects whose local monitoring events each scope counts (Scope);
// borrowed from functions held for the process. A function whose code is
// replaced is watched: the native paths are off until it is put back.
std::vector<PyCodeObject*> scope_codes[static_cast<size_t>(Scope::count)];

// The code of the originals that configparser runs for each query.
void gather_scopes(PyObject* configparser_dict) {
    using O = Original;
    const auto scope = [](Scope s, std::initializer_list<O> functions) {
        for (O function : functions) add_codes_of(of(function), scope_codes[static_cast<size_t>(s)]);
    };
    add_codes_with_globals(configparser_dict, scope_codes[static_cast<size_t>(Scope::all)]);
    scope(Scope::has_section, {O::attr_ConfigParser_has_section});
    scope(Scope::sections, {O::attr_ConfigParser_sections});
    scope(Scope::options, {O::attr_ConfigParser_options});
    scope(Scope::has_option, {O::attr_ConfigParser_has_option, O::attr_ConfigParser_optionxform});
    scope(Scope::get, {O::attr_ConfigParser_get, O::attr_ConfigParser__unify_values,
                       O::attr_ConfigParser_optionxform, O::attr_BasicInterpolation_before_get,
                       O::attr_BasicInterpolation__interpolate_some});
    scope(Scope::items, {O::attr_ConfigParser_items, O::attr_BasicInterpolation_before_get,
                         O::attr_BasicInterpolation__interpolate_some});
}

// --- the watchers ------------------------------------------------------------------------

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// Bits 0-7 of a dict's version tag say which dict watchers watch it.
bool watched(PyObject* dict, int watcher) noexcept {
    return (reinterpret_cast<PyDictObject*>(dict)->ma_version_tag >> watcher) & 1U;
}
#pragma GCC diagnostic pop

// The structures of the engine proven last, as its dict held them when
// they were taken: a query needs them all, and a lookup of each costs as
// much as the query's own. Borrowed from the dict, which a watch by
// plain_watcher proves unchanged since; its first event (any change, or
// its end) drops the watch and forgets them.
struct Taken {
    PyObject* dict = nullptr;
    PyObject* sections = nullptr;
    PyObject* defaults = nullptr;
    PyObject* proxies = nullptr;
    PyObject* prefixes = nullptr;
    PyObject* interpolation = nullptr;
};

Taken taken;

int on_plain_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (dict == taken.dict) taken = Taken{};
    return PyDict_Unwatch(guard.plain_watcher, dict);
}

int on_other_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    return PyDict_Unwatch(guard.other_watcher, dict);
}

bool add_engine_watchers() noexcept {
    guard.plain_watcher = PyDict_AddWatcher(on_plain_event);
    guard.other_watcher = PyDict_AddWatcher(on_other_event);
    return guard.plain_watcher >= 0 && guard.other_watcher >= 0;
}

// --- resolving an entry as the engine's code does -----------------------------------------

// `name` through the MRO of `type`, or null (no exception) when absent.
Ref mro_lookup(PyObject* type, PyObject* name) noexcept {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(type)->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro)) return Ref();
    Ref held = Ref::borrow(mro);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) continue;
        PyObject* found = nullptr;
        const int hit = PyDict_GetItemRef(dict.get(), name, &found);
        if (hit != 0) return Ref::steal(found);
    }
    return Ref();
}

Ref resolve(size_t i) noexcept {
    if (entries[i].kind == Kind::global) {
        PyObject* found = nullptr;
        // configparser's code finds a builtin only where its globals have no such name.
        if (guard.owners[i] != guard.configparser_dict &&
            std::string_view(entries[i].owner) == "builtins" &&
            PyDict_GetItemRef(guard.configparser_dict, guard.names[i], &found) != 0) {
            return Ref::steal(found);
        }
        PyDict_GetItemRef(guard.owners[i], guard.names[i], &found);
        return Ref::steal(found);
    }
    return mro_lookup(guard.owners[i], guard.names[i]);
}

// --- capture -------------------------------------------------------------------------------

Ref module_namespace(PyObject* configparser_dict, const char* module) noexcept {
    PyObject* found = nullptr;
    if (std::string_view(module) == "configparser") return Ref::borrow(configparser_dict);
    const char* key = std::string_view(module) == "builtins" ? "__builtins__" : module;
    if (PyDict_GetItemStringRef(configparser_dict, key, &found) <= 0) return Ref();
    Ref value = Ref::steal(found);
    if (PyDict_CheckExact(value.get())) return value;
    if (!PyModule_CheckExact(value.get())) return Ref();
    return Ref::borrow(PyModule_GetDict(value.get()));
}

bool intern_keys() noexcept {
    const auto key = [](PyObject*& slot, const char* text) {
        slot = PyUnicode_InternFromString(text);
        return slot != nullptr;
    };
    return key(keys.sections, "_sections") && key(keys.defaults, "_defaults") &&
           key(keys.proxies, "_proxies") && key(keys.interpolation, "_interpolation") &&
           key(keys.optcre, "_optcre") && key(keys.dict, "_dict") &&
           key(keys.delimiters, "_delimiters") && key(keys.strict, "_strict") &&
           key(keys.allow_no_value, "_allow_no_value") &&
           key(keys.empty_lines, "_empty_lines_in_values") &&
           key(keys.unnamed, "_allow_unnamed_section") &&
           key(keys.default_section, "default_section") && key(keys.prefixes, "_prefixes") &&
           key(keys.converters, "_converters");
}

// False (no exception) when an entry is not what 3.13's configparser has.
bool capture_entries(PyObject* configparser_dict) {
    for (size_t i = 0; i < entry_count; ++i) {
        const Entry& e = entries[i];
        guard.names[i] = PyUnicode_InternFromString(e.name);
        if (guard.names[i] == nullptr) return false;
        if (e.kind == Kind::global) {
            Ref dict = module_namespace(configparser_dict, e.owner);
            if (!dict) return false;
            guard.owners[i] = dict.get();
            if (!watch_name(dict.get(), guard.names[i])) return false;
        } else {
            PyObject* owner = nullptr;
            if (PyDict_GetItemStringRef(configparser_dict, e.owner, &owner) <= 0) return false;
            if (!PyType_Check(owner)) return Py_DECREF(owner), false;
            guard.owners[i] = owner;
            watch_class(reinterpret_cast<PyTypeObject*>(owner));
        }
        Ref found = resolve(i);
        if (PyErr_Occurred()) return false;
        if (!found) return false;
        guard.originals[i] = found.release();
    }
    return true;
}

bool watch_captured_functions() {
    for (size_t i = 0; i < entry_count; ++i) {
        if (guard.originals[i] != nullptr && !watch_functions_of(guard.originals[i])) return false;
    }
    return true;
}

// What `engine.__dict__ = d` runs, taken before anything can replace it.
Ref capture_dict_descriptor() noexcept {
    static PyObject* name = PyUnicode_InternFromString("__dict__");
    if (name == nullptr) return Ref();
    Ref found = mro_lookup(of(Original::global_configparser_ConfigParser), name);
    if (!found || Py_TYPE(found.get()) != &PyGetSetDescr_Type) return Ref();
    return found;
}

// False with an exception on an error; `matches` says whether the release is verified.
bool check_fingerprint(bool& matches) noexcept {
    Ref pattern = Ref::steal(PyObject_GetAttrString(of(Original::global_configparser_re), "Pattern"));
    if (!pattern) return false;
    char hex[65];
    if (!fingerprint(guard.originals, of(Original::global_functools_cached_property), pattern.get(),
                     guard.configparser_dict, hex)) {
        return false;
    }
    matches = verified(hex);
    return true;
}

// --- the proof -----------------------------------------------------------------------------

// Every entry as captured. False with an exception set on an error.
bool entries_hold() noexcept {
    for (size_t i = 0; i < entry_count; ++i) {
        Ref now = resolve(i);
        if (PyErr_Occurred() || now.get() != guard.originals[i]) return false;
    }
    return true;
}

// After an event: everything compared with its state at import. The word
// is cleared when all is as it was, else left saying so until the next
// event; an error (out of memory, say) leaves the question open.
[[gnu::cold, gnu::noinline]] bool prove_again() noexcept {
    if (watch_state & watch_unproven) return false;
    watch_state = watch_differs;
    if (unchanged_since_import() && entries_hold()) {
        watch_state = 0;
        return true;
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        watch_state = watch_changed;
    }
    return false;
}

// A tool has local events (any of them) set on one of the scope's code objects.
bool locally_observed(unsigned needs) noexcept {
    for (const PyCodeObject* code : scope_codes[needs >> scope_shift]) {
        const _PyCoMonitoringData* data = code->_co_monitoring;
        if (data == nullptr) continue;
        for (uint8_t tools : data->local_monitors.tools) {
            if (tools != 0) return true;
        }
    }
    return false;
}

// A profiler, a tracer or a sys.monitoring tool is listening: they must see
// the engine's own frames. Every event that Python code raises counts, down
// to a tool that asks for lines alone or for branches, and local events on
// the code that the engine would run for the call.
bool observed(unsigned needs) noexcept {
    if (locally_observed(needs)) return true;
    static constexpr uint8_t events[] = {
        PY_MONITORING_EVENT_PY_START,       PY_MONITORING_EVENT_PY_RESUME,
        PY_MONITORING_EVENT_PY_RETURN,      PY_MONITORING_EVENT_PY_YIELD,
        PY_MONITORING_EVENT_CALL,           PY_MONITORING_EVENT_LINE,
        PY_MONITORING_EVENT_INSTRUCTION,    PY_MONITORING_EVENT_JUMP,
        PY_MONITORING_EVENT_BRANCH,         PY_MONITORING_EVENT_STOP_ITERATION,
        PY_MONITORING_EVENT_RAISE,          PY_MONITORING_EVENT_EXCEPTION_HANDLED,
        PY_MONITORING_EVENT_PY_UNWIND,      PY_MONITORING_EVENT_PY_THROW,
        PY_MONITORING_EVENT_RERAISE,
    };
    static PyMonitoringState states[std::size(events)] = {};
    static uint64_t version = 0;
    static bool listening = false;  // as of `version`: the states change only with it
    static bool known = false;
    const uint64_t seen = version;
    if (PyMonitoring_EnterScope(states, &version, events, Py_ssize_t(std::size(events))) < 0) {
        return true;
    }
    if (version == seen && known) return listening;
    known = true;
    listening = false;
    for (const PyMonitoringState& s : states) listening = listening || s.active;
    return listening;
}

PyObject* item(PyObject* dict, PyObject* key) noexcept {
    return PyDict_GetItemWithError(dict, key);  // borrowed; exact str keys only, so no code runs
}

bool is_text(PyObject* obj, const char* text) noexcept {
    return obj != nullptr && PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

bool is_delimiters(PyObject* obj) noexcept {
    return obj != nullptr && PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2 &&
           is_text(PyTuple_GET_ITEM(obj, 0), "=") && is_text(PyTuple_GET_ITEM(obj, 1), ":");
}

bool exact_dict(PyObject* obj) noexcept { return obj != nullptr && PyDict_CheckExact(obj); }

// The settings of ConfigParser() with no arguments, and plain structures.
bool default_settings(PyObject* dict) noexcept {
    PyObject* prefixes = item(dict, keys.prefixes);
    PyObject* converters = item(dict, keys.converters);
    return item(dict, keys.optcre) == of(Original::attr_ConfigParser_OPTCRE) &&
           item(dict, keys.dict) == reinterpret_cast<PyObject*>(&PyDict_Type) &&
           is_delimiters(item(dict, keys.delimiters)) && item(dict, keys.strict) == Py_True &&
           item(dict, keys.allow_no_value) == Py_False && item(dict, keys.empty_lines) == Py_True &&
           item(dict, keys.unnamed) == Py_False && is_text(item(dict, keys.default_section), "DEFAULT") &&
           exact_dict(item(dict, keys.sections)) && exact_dict(item(dict, keys.defaults)) &&
           exact_dict(item(dict, keys.proxies)) && item(dict, keys.interpolation) != nullptr &&
           prefixes != nullptr && Py_TYPE(prefixes) == Py_TYPE(guard.simple_namespace) &&
           converters != nullptr &&
           Py_TYPE(converters) == type_of(Original::global_configparser_ConverterMapping);
}

// A plain engine's dict holds the settings above and nothing else. A key
// added to a dict that shares its object's inline values may arrive without
// a watcher event, so its size is checked at every call as well.
constexpr Py_ssize_t plain_attribute_count = 14;

// 1 plain, 0 not, -1 error. Exactly the settings' keys, each an exact str,
// so no method is overridden on the instance and no lookup runs code.
int prove_engine(PyObject* dict) noexcept {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != plain_attribute_count) return 0;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return 0;
    }
    return default_settings(dict) ? 1 : (PyErr_Occurred() ? -1 : 0);
}

// A dict that still shares its object's inline values misses events: an
// attribute stored on the object may go to those values directly (seen on
// 3.13.0 for the first instance of the class, built without __init__).
// Setting the dict back through the class's __dict__ descriptor detaches
// it (PyObject_GenericSetDict would not): the values move into the dict,
// which every later store then goes through, and whoever holds the dict
// still holds the engine's.
bool detach(PyObject* engine, PyObject* dict) noexcept {
    PyObject* descriptor = guard.dict_descriptor;
    return descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set(descriptor, engine, dict) == 0;
}

bool engine_proven(PyObject* engine, PyObject* dict) noexcept {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != plain_attribute_count) return false;
    if (watched(dict, guard.plain_watcher)) return true;
    if (watched(dict, guard.other_watcher)) return false;
    const int plain = prove_engine(dict);
    if (plain < 0 || (plain == 1 && !detach(engine, dict))) return false;
    if (PyDict_Watch(plain ? guard.plain_watcher : guard.other_watcher, dict) < 0) return false;
    return plain == 1;
}

// Takes the structures of a proven engine's dict, watched by plain_watcher.
void take(PyObject* dict) noexcept {
    taken = Taken{dict, item(dict, keys.sections), item(dict, keys.defaults), item(dict, keys.proxies),
                  item(dict, keys.prefixes), item(dict, keys.interpolation)};
}

// The engine's interpolation: exactly a BasicInterpolation with nothing in
// its own dict. Looked at every time: an attribute stored on an object
// whose dict was empty reaches that dict without a watcher event.
// Borrowed: the engine's dict holds it, and looking runs no code.
bool plain_interpolation(PyObject* interpolation) noexcept {
    if (interpolation == nullptr ||
        Py_TYPE(interpolation) != type_of(Original::global_configparser_BasicInterpolation)) {
        return false;
    }
    PyObject** slot = _PyObject_GetDictPtr(interpolation);
    PyObject* own = slot != nullptr ? *slot : nullptr;
    return own != nullptr && PyDict_CheckExact(own) && PyDict_GET_SIZE(own) == 0;
}

}  // namespace

bool capture(PyObject* configparser) noexcept {
    if (guard.captured) return true;
    guard.captured = true;  // once: a later import must not capture a changed module
    if (!add_engine_watchers() || !add_watchers() || !intern_keys()) return false;
    PyObject* dict = PyModule_Check(configparser) ? PyModule_GetDict(configparser) : nullptr;
    if (dict == nullptr) return true;
    guard.configparser_dict = Py_NewRef(dict);
    Ref types_module = Ref::steal(PyImport_ImportModule("types"));
    if (!types_module) return false;
    guard.simple_namespace = PyObject_CallMethod(types_module.get(), "SimpleNamespace", nullptr);
    if (guard.simple_namespace == nullptr) return false;
    try {
        if (!capture_entries(dict) || !watch_captured_functions() || !watch_configparser(dict)) {
            return !PyErr_Occurred();  // not the configparser verified: the state word stays unproven
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    guard.dict_descriptor = capture_dict_descriptor().release();
    bool matches = false;
    if (PyErr_Occurred() || !check_fingerprint(matches) || !start_watching()) return false;
    try {
        gather_scopes(dict);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    if (!matches) watch_state = watch_unproven;
    return true;
}

bool originals_hold() noexcept {
    if (watch_state == 0) return cells_hold();
    return (watch_state & watch_changed) && prove_again();
}

PyObject* original(Original which) noexcept { return of(which); }

Ref after_code_ran(PyObject* engine, Structure which) noexcept {
    return Ref::steal(PyObject_GetAttr(engine, which == Structure::sections ? keys.sections : keys.proxies));
}

bool may_stand_in() noexcept { return originals_hold() && !observed(runs(Scope::all)); }

bool peek(PyObject* engine, Peeked& out, unsigned needs) noexcept {
    if (!originals_hold() || Py_TYPE(engine) != type_of(Original::global_configparser_ConfigParser) ||
        observed(needs)) {
        return false;
    }
    // Borrowed from the engine, which the caller holds; nothing here runs code.
    PyObject** dict_slot = _PyObject_GetDictPtr(engine);
    PyObject* dict = dict_slot != nullptr ? *dict_slot : nullptr;
    if (dict == nullptr || !engine_proven(engine, dict)) return false;
    if (taken.dict != dict) take(dict);
    if ((needs & need_interpolation) && !plain_interpolation(taken.interpolation)) return false;
    out = Peeked{taken.sections, taken.defaults, taken.proxies, taken.prefixes};
    return (!(needs & need_sections) || plain_dict(out.sections)) &&
           (!(needs & need_defaults) || plain_dict(out.defaults)) &&
           (!(needs & need_proxies) || plain_dict(out.proxies));
}

bool view(PyObject* engine, Engine& out, unsigned needs) noexcept {
    Peeked seen;
    if (!peek(engine, seen, needs)) return false;
    out.object = engine;
    // Strong references, for any code that runs later in the call.
    if (needs & need_sections) out.sections = Ref::borrow(seen.sections);
    if (needs & need_defaults) out.defaults = Ref::borrow(seen.defaults);
    if (needs & need_proxies) out.proxies = Ref::borrow(seen.proxies);
    if (needs & need_reader) out.prefixes = Ref::borrow(seen.prefixes);
    return true;
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
