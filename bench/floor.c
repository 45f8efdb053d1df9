/* The floor of a native query within the store's contract: what any method of
 * this kind must pay, built the cheapest way and doing nothing else.
 *
 * The class is made by `type` on function objects of a type of our own,
 * called by vectorcall and flagged as method descriptors (so that
 * `obj.get(s, o)` passes `obj` without a bound method), as the store's are.
 * Each query makes every check that the contract asks of a native path:
 *   - self._config, as attribute lookup finds it (a class proven plain by
 *     its version tag, then the instance dict);
 *   - configparser unchanged (one state word that watchers would set, and
 *     the closure cells, which change without an event);
 *   - no profiler, tracer or monitoring tool (global events, and local
 *     events on the code that configparser would run for the query);
 *   - the engine a plain ConfigParser (exact class, its dict proven by a
 *     dict watcher's bit and its size, its interpolation plain for get);
 *   - exact str arguments;
 * and then the query itself on the engine's dicts. bench/instructions.py
 * builds it and counts its instructions beside the store's.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>
#include <string.h>

static unsigned state_word;  /* what the watchers would set; 0: unchanged */
static PyObject *cells;      /* tuple of (cell, contents) pairs, flattened */
static PyObject *engine_class, *interpolation_class, *config_name;
static PyObject *sections_name, *defaults_name, *interpolation_name;
static PyObject *has_section_codes, *get_codes;  /* tuples of code objects */
static int plain_watcher = -1;
static unsigned int plain_tag;

/* The structures of the engine dict proven last, borrowed while its watch stands. */
static struct {
    PyObject *dict, *sections, *defaults, *interpolation;
} taken;

static int on_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *value) {
    (void)event, (void)key, (void)value;
    if (dict == taken.dict) taken.dict = NULL;
    return PyDict_Unwatch(plain_watcher, dict);
}

static int cells_hold(void) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cells); i += 2) {
        if (PyCell_GET(PyTuple_GET_ITEM(cells, i)) != PyTuple_GET_ITEM(cells, i + 1)) return 0;
    }
    return 1;
}

static int observed(PyObject *codes) {
    static const uint8_t events[] = {
        PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_RETURN,
        PY_MONITORING_EVENT_PY_YIELD, PY_MONITORING_EVENT_CALL, PY_MONITORING_EVENT_LINE,
        PY_MONITORING_EVENT_INSTRUCTION, PY_MONITORING_EVENT_JUMP, PY_MONITORING_EVENT_BRANCH,
        PY_MONITORING_EVENT_STOP_ITERATION, PY_MONITORING_EVENT_RAISE,
        PY_MONITORING_EVENT_EXCEPTION_HANDLED, PY_MONITORING_EVENT_PY_UNWIND,
        PY_MONITORING_EVENT_PY_THROW, PY_MONITORING_EVENT_RERAISE,
    };
    static PyMonitoringState states[sizeof(events)];
    static uint64_t version;
    static int listening, known;
    const uint64_t seen = version;
    if (PyMonitoring_EnterScope(states, &version, events, (Py_ssize_t)sizeof(events)) < 0) return 1;
    if (version != seen || !known) {
        known = 1;
        listening = 0;
        for (size_t i = 0; i < sizeof(events); i++) listening |= states[i].active;
    }
    if (listening) return 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(codes); i++) {
        const _PyCoMonitoringData *data = ((PyCodeObject *)PyTuple_GET_ITEM(codes, i))->_co_monitoring;
        if (data == NULL) continue;
        for (size_t e = 0; e < sizeof(data->local_monitors.tools); e++) {
            if (data->local_monitors.tools[e]) return 1;
        }
    }
    return 0;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static int watched(PyObject *dict) {
    return (((PyDictObject *)dict)->ma_version_tag >> plain_watcher) & 1U;
}
#pragma GCC diagnostic pop

/* self._config, borrowed from the instance dict (the store's class holds no _config). */
static PyObject *config_of(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_version_tag == 0 || type->tp_version_tag != plain_tag) {
        /* The lookup gives the class its version tag where it can. */
        if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, config_name) != NULL ||
            type->tp_version_tag == 0) {
            return NULL;
        }
        plain_tag = type->tp_version_tag;
    }
    PyObject **dict = _PyObject_GetDictPtr(self);
    return dict && *dict ? PyDict_GetItemWithError(*dict, config_name) : NULL;
}

/* The engine's dict, proven plain: the checks that a call must make once proven. */
static PyObject *plain_engine_dict(PyObject *engine, PyObject *codes) {
    if (state_word != 0 || !cells_hold() || Py_TYPE(engine) != (PyTypeObject *)engine_class || observed(codes)) {
        return NULL;
    }
    PyObject **slot = _PyObject_GetDictPtr(engine);
    PyObject *dict = slot ? *slot : NULL;
    if (dict == NULL || PyDict_GET_SIZE(dict) != 14) return NULL;
    if (dict == taken.dict) return dict;
    if (!watched(dict) && PyDict_Watch(plain_watcher, dict) < 0) return NULL;
    taken.sections = PyDict_GetItemWithError(dict, sections_name);
    taken.defaults = PyDict_GetItemWithError(dict, defaults_name);
    taken.interpolation = PyDict_GetItemWithError(dict, interpolation_name);
    if (taken.sections == NULL || taken.defaults == NULL || taken.interpolation == NULL ||
        !PyDict_CheckExact(taken.sections) || !PyDict_CheckExact(taken.defaults)) {
        return NULL;
    }
    taken.dict = dict;
    return dict;
}

static PyObject *declined(void) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the floor declines");
    return NULL;
}

static PyObject *has_section(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    (void)callable;
    if (PyVectorcall_NARGS(nargsf) != 2 || kwnames != NULL) return declined();
    PyObject *engine = config_of(args[0]);
    PyObject *section = args[1];
    if (engine == NULL || !PyUnicode_CheckExact(section)) return declined();
    if (plain_engine_dict(engine, has_section_codes) == NULL) return declined();
    const int found = PyDict_Contains(taken.sections, section);
    if (found < 0) return NULL;
    return Py_NewRef(found ? Py_True : Py_False);
}

static PyObject *get(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    (void)callable;
    if (PyVectorcall_NARGS(nargsf) != 3 || kwnames != NULL) return declined();
    PyObject *engine = config_of(args[0]);
    PyObject *section = args[1], *option = args[2];
    if (engine == NULL || !PyUnicode_CheckExact(section) || !PyUnicode_CheckExact(option)) return declined();
    if (plain_engine_dict(engine, get_codes) == NULL) return declined();
    PyObject *sections = taken.sections, *defaults = taken.defaults, *interpolation = taken.interpolation;
    if (Py_TYPE(interpolation) != (PyTypeObject *)interpolation_class) return declined();
    PyObject **own = _PyObject_GetDictPtr(interpolation);
    if (own != NULL && *own != NULL && PyDict_GET_SIZE(*own) != 0) return declined();
    /* An option already in lower case is its own key. */
    const Py_ssize_t length = PyUnicode_GET_LENGTH(option);
    if (!PyUnicode_IS_ASCII(option)) return declined();
    const Py_UCS1 *text = PyUnicode_1BYTE_DATA(option);
    for (Py_ssize_t i = 0; i < length; i++) {
        if (text[i] >= 'A' && text[i] <= 'Z') return declined();
    }
    PyObject *options = PyDict_GetItemWithError(sections, section);
    PyObject *value = options ? PyDict_GetItemWithError(options, option) : NULL;
    if (value == NULL) value = PyDict_GetItemWithError(defaults, option);
    if (value == NULL || !PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value) ||
        memchr(PyUnicode_1BYTE_DATA(value), '%', (size_t)PyUnicode_GET_LENGTH(value)) != NULL) {
        return declined();
    }
    return Py_NewRef(value);
}

/* --- the function type ---------------------------------------------------------------- */

typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
} Function;

static PyObject *function_get(PyObject *self, PyObject *obj, PyObject *type) {
    (void)type;
    return obj == NULL || obj == Py_None ? Py_NewRef(self) : PyMethod_New(self, obj);
}

static PyTypeObject function_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.function",
    .tp_basicsize = sizeof(Function),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_call = PyVectorcall_Call,
    .tp_descr_get = function_get,
};

static PyObject *function(vectorcallfunc call) {
    Function *f = PyObject_New(Function, &function_type);
    if (f != NULL) f->vectorcall = call;
    return (PyObject *)f;
}

/* --- set-up ----------------------------------------------------------------------------- */

/* setup(ConfigParser, BasicInterpolation, cells, has_section_codes, get_codes): the class. */
static PyObject *setup(PyObject *module, PyObject *args) {
    (void)module;
    if (!PyArg_ParseTuple(args, "OOO!O!O!", &engine_class, &interpolation_class, &PyTuple_Type, &cells,
                          &PyTuple_Type, &has_section_codes, &PyTuple_Type, &get_codes)) {
        return NULL;
    }
    Py_INCREF(engine_class), Py_INCREF(interpolation_class), Py_INCREF(cells);
    Py_INCREF(has_section_codes), Py_INCREF(get_codes);
    config_name = PyUnicode_InternFromString("_config");
    sections_name = PyUnicode_InternFromString("_sections");
    defaults_name = PyUnicode_InternFromString("_defaults");
    interpolation_name = PyUnicode_InternFromString("_interpolation");
    plain_watcher = PyDict_AddWatcher(on_event);
    if (PyType_Ready(&function_type) < 0 || plain_watcher < 0) return NULL;
    PyObject *has = function(has_section), *got = function(get);
    PyObject *namespace = Py_BuildValue("{sNsN}", "has_section", has, "get", got);
    if (namespace == NULL) return NULL;
    PyObject *made = PyObject_CallFunction((PyObject *)&PyType_Type, "s()N", "Floor", namespace);
    return made;
}

static PyMethodDef methods[] = {{"setup", setup, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "floor", NULL, 0, methods};

PyMODINIT_FUNC PyInit_floor(void) { return PyModule_Create(&definition); }
