#include "native/watch.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "native/engine.hpp"
#include "ref.hpp"

namespace ini::fast {

unsigned watch_state = watch_unproven;

namespace {

struct WholeDict {
    PyObject* dict;
    PyObject* copy = nullptr;
};

// A namespace of which only some names matter (the builtins, the helper
// modules): `names` for the event's test, `values` what each held.
struct KeyedDict {
    PyObject* dict;
    PyObject* names;                // a set
    PyObject* values = nullptr;     // name -> value, for the names present
};

struct TypeState {
    PyTypeObject* type;
    PyObject* resolved = nullptr;  // every name its MRO defines -> what lookup found
    PyObject* metatype = nullptr;
    PyObject* mro = nullptr;       // a copy of its MRO
};

struct FunctionState {
    PyObject* function;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
};

struct CellState {
    PyObject* cell;
    PyObject* content;
};

// Process-wide; its references are never released.
struct Watched {
    int dict_watcher = -1;
    int type_watcher = -1;
    int function_watcher = -1;
    std::vector<WholeDict> whole;
    std::vector<KeyedDict> keyed;
    std::vector<TypeState> types;
    std::vector<FunctionState> functions;
    std::vector<CellState> cells;
    // Caches that the standard library keeps in namespaces: a warning's
    // registry in a module's, copyreg's __slotnames__ in a class's (any
    // copy or pickle of an engine). Neither changes what the code does.
    PyObject* caches[2] = {};
    bool blind = false;            // something may change without an event
};

Watched& watched = *new Watched();

void mark_changed() noexcept { watch_state |= watch_changed; }

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) noexcept {
    if (is_cache(key)) return 0;
    for (const KeyedDict& k : watched.keyed) {
        if (k.dict != dict) continue;
        // A key that is not an exact str could run code when hashed: counted.
        if (key == nullptr || !PyUnicode_CheckExact(key) || PySet_Contains(k.names, key) != 0) {
            PyErr_Clear();
            mark_changed();
        }
        return 0;
    }
    mark_changed();
    return 0;
}

int on_type_event(PyTypeObject*) noexcept {
    mark_changed();
    return 0;
}

int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* function, PyObject*) noexcept {
    if (event == PyFunction_EVENT_CREATE || event == PyFunction_EVENT_DESTROY) return 0;
    for (const FunctionState& f : watched.functions) {
        if (f.function == reinterpret_cast<PyObject*>(function)) {
            mark_changed();
            break;
        }
    }
    return 0;
}

// --- the walk -------------------------------------------------------------------------------

bool is_whole(PyObject* dict) noexcept {
    for (const WholeDict& w : watched.whole) {
        if (w.dict == dict) return true;
    }
    return false;
}

// Every key of it, from now on: any names listed before are covered.
void watch_whole(PyObject* dict) {
    if (is_whole(dict)) return;
    watched.whole.push_back(WholeDict{Py_NewRef(dict)});
    std::erase_if(watched.keyed, [dict](const KeyedDict& k) { return k.dict == dict; });
}

bool is_watched_type(PyTypeObject* type) noexcept {
    for (const TypeState& t : watched.types) {
        if (t.type == type) return true;
    }
    return false;
}

bool is_watched_function(PyObject* function) noexcept {
    for (const FunctionState& f : watched.functions) {
        if (f.function == function) return true;
    }
    return false;
}

// The builtins a function's code names, recursively through nested code.
bool watch_builtins_named(PyObject* builtins, PyObject* code) {
    Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
    Ref consts = names ? Ref::steal(PyObject_GetAttrString(code, "co_consts")) : Ref();
    if (!consts || !PyTuple_CheckExact(names.get()) || !PyTuple_CheckExact(consts.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        if (!watch_name(builtins, PyTuple_GET_ITEM(names.get(), i))) return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* inner = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(inner) && !watch_builtins_named(builtins, inner)) return false;
    }
    return true;
}

bool watch_function(PyObject* function) {
    if (!PyFunction_Check(function) || is_watched_function(function)) return true;
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(function);
    watched.functions.push_back(FunctionState{Py_NewRef(function), PyFunction_GET_CODE(function),
                                              PyFunction_GET_DEFAULTS(function), kwdefaults});
    if (kwdefaults != nullptr && PyDict_CheckExact(kwdefaults)) watch_whole(kwdefaults);
    PyObject* closure = PyFunction_GET_CLOSURE(function);
    for (Py_ssize_t i = 0; closure != nullptr && i < PyTuple_GET_SIZE(closure); ++i) {
        PyObject* cell = PyTuple_GET_ITEM(closure, i);
        watched.cells.push_back(CellState{cell, PyCell_GET(cell)});
    }
    PyObject* builtins = reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
    return builtins == nullptr || !PyDict_CheckExact(builtins) ||
           watch_builtins_named(builtins, PyFunction_GET_CODE(function));
}

// A descriptor's own dict (a cached_property keeps its function there),
// made a real dict and watched. Other instances that classes hold, the
// shared default interpolation among them, are an engine's settings:
// proven with the engine, where they are used.
bool watch_own_dict(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (PyType_Check(obj) || PyFunction_Check(obj) || type->tp_descr_get == nullptr ||
        (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT))) {
        return true;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) return false;
    if (!PyDict_CheckExact(dict.get()) || !detach_dict(obj, dict.get())) {
        watched.blind = true;  // a dict that may change unseen
        return !PyErr_Occurred();
    }
    watch_whole(dict.get());
    return true;
}

// A value of a watched namespace: its functions and its own dict, or its
// items when it is a dict (BOOLEAN_STATES, changed in place without a
// class event).
bool watch_value(PyObject* value) {
    if (PyDict_CheckExact(value)) watch_whole(value);
    return watch_functions_of(value) && watch_own_dict(value);
}

bool watch_class_members(PyTypeObject* type) {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &position, &key, &value)) {
        if (!watch_value(value)) return false;
    }
    return true;
}

// --- the comparison -------------------------------------------------------------------------

// The number of keys, caches left out.
Py_ssize_t counted_size(PyObject* dict) noexcept {
    Py_ssize_t size = PyDict_GET_SIZE(dict);
    for (PyObject* cache : watched.caches) {
        if (PyDict_GetItemWithError(dict, cache) != nullptr) --size;
    }
    return size;
}

// The same keys, each bound to the very same object (caches aside).
bool same_items(PyObject* dict, PyObject* copy) noexcept {
    if (!plain_dict(dict) || counted_size(dict) != counted_size(copy) || PyErr_Occurred()) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &position, &key, &value)) {
        if (!is_cache(key) && PyDict_GetItemWithError(dict, key) != value) return false;
    }
    return true;
}

bool same_names(const KeyedDict& k) noexcept {
    if (!plain_dict(k.dict)) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(k.names));
    if (!iterator) return false;
    while (PyObject* name = PyIter_Next(iterator.get())) {
        const bool same = PyDict_GetItemWithError(k.dict, name) == PyDict_GetItemWithError(k.values, name);
        Py_DECREF(name);
        if (!same) return false;
    }
    return !PyErr_Occurred();
}

bool same_tuple(PyObject* now, PyObject* then) noexcept {
    if (now == nullptr || !PyTuple_CheckExact(now) || PyTuple_GET_SIZE(now) != PyTuple_GET_SIZE(then)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(now); ++i) {
        if (PyTuple_GET_ITEM(now, i) != PyTuple_GET_ITEM(then, i)) return false;
    }
    return true;
}

// Every name that a class of the MRO defines now was defined at import.
bool no_new_names(const TypeState& t) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(t.mro, i))));
        if (!dict || !plain_dict(dict.get())) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.get(), &position, &key, &value)) {
            if (!is_cache(key) && !PyDict_Contains(t.resolved, key)) return false;
        }
    }
    return true;
}

// What attribute lookup on the class resolves each name to is what it
// resolved to at import: an entry that repeats what the class inherits
// (an inherited method assigned back after a patch) changes nothing.
bool same_type(const TypeState& t) noexcept {
    if (reinterpret_cast<PyObject*>(Py_TYPE(t.type)) != t.metatype || !same_tuple(t.type->tp_mro, t.mro) ||
        !no_new_names(t)) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(t.resolved, &position, &key, &value)) {
        if (_PyType_Lookup(t.type, key) != value) return false;
    }
    return true;
}

bool same_function(const FunctionState& f) noexcept {
    return PyFunction_GET_CODE(f.function) == f.code && PyFunction_GET_DEFAULTS(f.function) == f.defaults &&
           PyFunction_GET_KW_DEFAULTS(f.function) == f.kwdefaults;
}

// --- the copies -----------------------------------------------------------------------------

// What lookup on the class finds for every name of its MRO's namespaces.
bool copy_type(TypeState& t) noexcept {
    t.metatype = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(t.type)));
    t.mro = t.type->tp_mro != nullptr ? PySequence_Tuple(t.type->tp_mro) : nullptr;
    t.resolved = PyDict_New();
    if (t.mro == nullptr || t.resolved == nullptr) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(t.mro, i))));
        if (!dict) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict.get(), &position, &key, &value)) {
            if (is_cache(key)) continue;
            PyObject* found = _PyType_Lookup(t.type, key);
            if (found != nullptr && PyDict_SetDefaultRef(t.resolved, key, found, nullptr) < 0) return false;
        }
    }
    return true;
}

bool copy_names(KeyedDict& k) noexcept {
    k.values = PyDict_New();
    if (k.values == nullptr) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(k.names));
    if (!iterator) return false;
    while (PyObject* name = PyIter_Next(iterator.get())) {
        Ref held = Ref::steal(name);
        PyObject* value = PyDict_GetItemWithError(k.dict, name);
        if (value != nullptr && PyDict_SetItem(k.values, name, value) < 0) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool is_cache(PyObject* key) noexcept {
    if (key == nullptr || !PyUnicode_CheckExact(key)) return false;
    for (PyObject* cache : watched.caches) {
        if (cache != nullptr && PyUnicode_Compare(key, cache) == 0) return true;
    }
    return false;
}

bool defined_by_configparser(PyObject* value) noexcept {
    if (!PyType_Check(value)) return false;
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(value)));
    PyObject* module = dict ? PyDict_GetItemString(dict.get(), "__module__") : nullptr;
    return module != nullptr && PyUnicode_CheckExact(module) &&
           PyUnicode_CompareWithASCIIString(module, "configparser") == 0;
}

bool is_dunder(PyObject* name) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    return length >= 4 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
           PyUnicode_READ_CHAR(name, length - 1) == '_' && PyUnicode_READ_CHAR(name, length - 2) == '_';
}

bool add_watchers() noexcept {
    watched.caches[0] = PyUnicode_InternFromString("__warningregistry__");
    watched.caches[1] = PyUnicode_InternFromString("__slotnames__");
    watched.dict_watcher = PyDict_AddWatcher(on_dict_event);
    watched.type_watcher = PyType_AddWatcher(on_type_event);
    watched.function_watcher = PyFunction_AddWatcher(on_function_event);
    return watched.caches[0] != nullptr && watched.caches[1] != nullptr && watched.dict_watcher >= 0 && watched.type_watcher >= 0 &&
           watched.function_watcher >= 0;
}

void watch_class(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        // A static or immutable class cannot change.
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE) || (base->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) continue;
        if (!is_watched_type(base)) {
            watched.types.push_back(TypeState{reinterpret_cast<PyTypeObject*>(Py_NewRef(base))});
        }
    }
}

bool watch_functions_of(PyObject* attribute) {
    if (PyFunction_Check(attribute)) return watch_function(attribute);
    const char* inner[3] = {};
    PyTypeObject* type = Py_TYPE(attribute);
    if (type == &PyStaticMethod_Type || type == &PyClassMethod_Type) {
        inner[0] = "__func__";
    } else if (type == &PyProperty_Type) {
        inner[0] = "fget", inner[1] = "fset", inner[2] = "fdel";
    } else if (reinterpret_cast<PyObject*>(type) == original(Original::global_functools_cached_property)) {
        inner[0] = "func";
    }
    for (const char* name : inner) {
        if (name == nullptr) break;
        Ref function = Ref::steal(PyObject_GetAttrString(attribute, name));
        if (!function || !watch_function(function.get())) return false;
    }
    return true;
}

bool watch_name(PyObject* dict, PyObject* name) {
    if (is_whole(dict) || !PyUnicode_CheckExact(name)) return true;
    for (KeyedDict& k : watched.keyed) {
        if (k.dict == dict) return PySet_Add(k.names, name) == 0;
    }
    PyObject* names = PySet_New(nullptr);
    if (names == nullptr || PySet_Add(names, name) < 0) return false;
    watched.keyed.push_back(KeyedDict{Py_NewRef(dict), names});
    return true;
}

bool watch_configparser(PyObject* configparser_dict) {
    watch_whole(configparser_dict);
    Ref namespace_copy = Ref::steal(PyDict_Copy(configparser_dict));
    if (!namespace_copy) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(namespace_copy.get(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || is_dunder(key)) continue;
        if (defined_by_configparser(value)) watch_class(reinterpret_cast<PyTypeObject*>(value));
        if (!watch_value(value)) return false;
    }
    // Classes are walked in order of discovery; those inherited are added as found.
    for (size_t i = 0; i < watched.types.size(); ++i) {
        if (!watch_class_members(watched.types[i].type)) return false;
    }
    return true;
}

bool start_watching() noexcept {
    try {
        for (WholeDict& w : watched.whole) {
            w.copy = PyDict_Copy(w.dict);
            if (w.copy == nullptr || PyDict_Watch(watched.dict_watcher, w.dict) < 0) return false;
        }
        for (KeyedDict& k : watched.keyed) {
            if (!copy_names(k) || PyDict_Watch(watched.dict_watcher, k.dict) < 0) return false;
        }
        for (TypeState& t : watched.types) {
            if (!copy_type(t) || PyType_Watch(watched.type_watcher, reinterpret_cast<PyObject*>(t.type)) < 0) {
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    // The first native call compares, which gives every class its version tag.
    watch_state = watched.blind ? watch_unproven : watch_changed;
    return true;
}

bool unchanged_since_import() noexcept {
    // A class reports a change only while it holds a version tag: each gets
    // one first, so that the next change (perhaps the one undoing this
    // difference) is reported.
    for (const TypeState& t : watched.types) {
        if (!PyUnstable_Type_AssignVersionTag(t.type)) return false;
    }
    for (const WholeDict& w : watched.whole) {
        if (!same_items(w.dict, w.copy)) return false;
    }
    for (const KeyedDict& k : watched.keyed) {
        if (!same_names(k)) return false;
    }
    for (const TypeState& t : watched.types) {
        if (!same_type(t)) return false;
    }
    for (const FunctionState& f : watched.functions) {
        if (!same_function(f)) return false;
    }
    return cells_hold();
}

bool cells_hold() noexcept {
    for (const CellState& c : watched.cells) {
        if (PyCell_GET(c.cell) != c.content) return false;
    }
    return true;
}

namespace {

void add_nested(PyObject* code, std::vector<PyCodeObject*>& codes) {
    codes.push_back(reinterpret_cast<PyCodeObject*>(code));
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) add_nested(PyTuple_GET_ITEM(consts, i), codes);
    }
}

}  // namespace

void add_codes_of(PyObject* function, std::vector<PyCodeObject*>& codes) {
    if (PyFunction_Check(function)) add_nested(PyFunction_GET_CODE(function), codes);
}

void add_codes_with_globals(PyObject* globals, std::vector<PyCodeObject*>& codes) {
    for (const FunctionState& f : watched.functions) {
        if (PyFunction_GET_GLOBALS(f.function) == globals) add_nested(f.code, codes);
    }
}

bool detach_dict(PyObject* obj, PyObject* dict) noexcept {
    static PyObject* name = PyUnicode_InternFromString("__dict__");
    if (name == nullptr) return false;
    PyObject* mro = Py_TYPE(obj)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref own = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* descriptor = own ? PyDict_GetItemWithError(own.get(), name) : nullptr;
        if (descriptor == nullptr) continue;
        // Only the interpreter's own descriptor: anything else would run code.
        if (Py_TYPE(descriptor) != &PyGetSetDescr_Type) return false;
        return Py_TYPE(descriptor)->tp_descr_set(descriptor, obj, dict) == 0;
    }
    return false;
}

}  // namespace ini::fast
