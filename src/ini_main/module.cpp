// The module frame: entry point, create and exec steps, and the class.
#include <Python.h>

#include "callable/function.hpp"
#include "native/engine.hpp"
#include "names.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace ini {

ProcessState state;

namespace {

constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";

// Lines of the import's own statements in traceback entries.
enum ExecLine : int {
    register_line = 7,
    open_line = 8,
    codes_line = 9,
    configparser_line = 10,
    namespace_line = 11,
    functions_line = 12,
    class_line = 13,
    test_line = 14,
};

// A half-built module must not stay importable as "ini_main": the next
// import would find it there instead of running the steps again.
void unregister_failed_module() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    if (PyDict_GetItemRef(modules, names.ini_main, &registered) > 0) {
        if (registered == state.module) PyDict_DelItem(modules, names.ini_main);
        Py_DECREF(registered);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

int exec_failed(int line) noexcept {
    if (line != 0) add_traceback("init ini_main", line);
    if (names.ini_main != nullptr) unregister_failed_module();
    Py_CLEAR(state.module_dict);
    Py_CLEAR(state.module);
    return -1;
}

bool check_interpreter() noexcept {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return false;
    if (state.interpreter == -1) state.interpreter = id;
    if (state.interpreter == id) return true;
    PyErr_SetString(PyExc_ImportError, interpreter_change);
    return false;
}

// Copies spec.<attribute> into the module as `key`; a missing attribute is
// skipped, and so is None where `keep_none` is false.
bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* attribute, PyObject* key,
                         bool keep_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !keep_none) return true;
    return PyObject_SetAttr(module, key, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    if (!check_interpreter()) return nullptr;
    if (state.module != nullptr) return Py_NewRef(state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    // The names are not interned yet on the first import, hence plain keys.
    const struct {
        const char* attribute;
        const char* key;
        bool keep_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto& copy : copies) {
        Ref key = Ref::steal(PyUnicode_FromString(copy.key));
        if (!key || !copy_spec_attribute(spec, module.get(), copy.attribute, key.get(),
                                         copy.keep_none)) {
            return nullptr;
        }
    }
    return module.release();
}

bool warn_on_other_version() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 13) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 13, "ini_main", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_as_ini_main(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_SetDefaultRef(modules, names.ini_main, module, nullptr) >= 0;
}

bool resolve_open() noexcept {
    if (state.open != nullptr) return true;
    PyObject* open = nullptr;
    const int found = PyObject_GetOptionalAttr(state.builtins, names.open, &open);
    if (found < 0) return false;
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.open);
        return false;
    }
    state.open = open;
    return true;
}

bool make_codes() noexcept {
    for (int i = 0; i < method_count; ++i) {
        if (state.codes[i] == nullptr) state.codes[i] = new_method_code(methods[i]);
        if (state.codes[i] == nullptr) return false;
    }
    return true;
}

// True (1) while the module is still running its own import.
int is_initializing(PyObject* module) noexcept {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(module, names.dunder_spec, &found) < 0) return -1;
    Ref spec = Ref::steal(found);
    if (!spec) return 0;
    if (PyObject_GetOptionalAttr(spec.get(), names.initializing, &found) < 0) return -1;
    Ref flag = Ref::steal(found);
    return flag ? PyObject_IsTrue(flag.get()) : 0;
}

// The loaded configparser when it is fully initialised, else a fresh import.
Ref import_configparser() noexcept {
    PyObject* loaded = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), names.configparser, &loaded) < 0) {
        return Ref();
    }
    Ref module = Ref::steal(loaded);
    if (module) {
        const int busy = is_initializing(module.get());
        if (busy < 0) return Ref();
        if (busy == 0) return module;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return locals;
    return Ref::steal(PyImport_ImportModuleLevelObject(names.configparser, state.module_dict,
                                                       locals.get(), nullptr, 0));
}

// io.StringIO, and the raw file type that the built-in open makes, which a
// load hands the file it opened to.
bool resolve_io() noexcept {
    if (state.file_io != nullptr) return true;
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return false;
    if (state.string_io == nullptr) state.string_io = PyObject_GetAttrString(io.get(), "StringIO");
    if (state.string_io == nullptr) return false;
    Ref raw_io = Ref::steal(PyImport_ImportModule("_io"));
    if (!raw_io) return false;
    state.file_io = PyObject_GetAttrString(raw_io.get(), "FileIO");
    return state.file_io != nullptr;
}

bool add_methods(PyObject* class_namespace) noexcept {
    if (state.save_defaults == nullptr) {
        state.save_defaults = PyTuple_Pack(1, Py_True);
        if (state.save_defaults == nullptr) return false;
    }
    for (int i = 0; i < method_count; ++i) {
        const Method& m = methods[i];
        Ref func = Ref::steal(
            new_function(m, state.codes[i], m.has_save ? state.save_defaults : nullptr));
        if (!func) return false;
        Ref key = Ref::steal(PyUnicode_InternFromString(m.name));
        if (!key) return false;
        const int stored = PyDict_CheckExact(class_namespace)
                               ? PyDict_SetItem(class_namespace, key.get(), func.get())
                               : PyObject_SetItem(class_namespace, key.get(), func.get());
        if (stored < 0) return false;
    }
    return true;
}

Ref new_class_namespace() noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return ns;
    if (PyDict_SetItem(ns.get(), names.dunder_module, names.ini_main) < 0 ||
        PyDict_SetItem(ns.get(), names.dunder_qualname, names.class_name) < 0) {
        return Ref();
    }
    return ns;
}

Ref build_class(PyObject* class_namespace) noexcept {
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return bases;
    PyObject* args[] = {nullptr, names.class_name, bases.get(), class_namespace};
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args + 1,
                                          3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The module-level statements after the names exist; returns the line of
// the one that failed, or 0.
int run_module_body(PyObject* module) noexcept {
    if (!register_as_ini_main(module)) return register_line;
    if (!resolve_open()) return open_line;
    if (!make_codes() || !make_function_type()) return codes_line;
    Ref configparser = import_configparser();
    if (!configparser || !resolve_io() ||
        PyDict_SetItem(state.module_dict, names.configparser, configparser.get()) < 0 ||
        !fast::capture(configparser.get())) {
        return configparser_line;
    }
    Ref class_namespace = new_class_namespace();
    if (!class_namespace) return namespace_line;
    if (!add_methods(class_namespace.get())) return functions_line;
    Ref cls = build_class(class_namespace.get());
    if (!cls || PyDict_SetItem(state.module_dict, names.class_name, cls.get()) < 0) {
        return class_line;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(state.module_dict, names.dunder_test, test.get()) < 0) {
        return test_line;
    }
    return 0;
}

int exec_module(PyObject* module) noexcept {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ini_main' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.module_dict = Py_XNewRef(PyModule_GetDict(module));
    if (state.module_dict == nullptr) return exec_failed(0);
    if (state.builtins == nullptr) state.builtins = PyImport_AddModuleRef("builtins");
    if (state.builtins == nullptr ||
        PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) {
        return exec_failed(0);
    }
    if (!warn_on_other_version() || !make_names()) return exec_failed(0);
    const int failed_line = run_module_body(module);
    if (failed_line != 0) return exec_failed(failed_line);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ini_main",
    "Module: ini_main\n"
    "Class: KestraIniMain\n"
    "Purpose: keeps one INI settings file on disk through configparser.ConfigParser\n"
    "Saves: whole file, UTF-8 with a byte-order mark, replaced atomically\n",
    0,
    no_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ini

extern "C" PyMODINIT_FUNC PyInit_ini_main() { return PyModuleDef_Init(&ini::module_def); }
