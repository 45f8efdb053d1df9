#include "callable/function.hpp"

#include <structmember.h>

#include <cstddef>

#include "callable/binding.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace ini {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Method* method;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // reported only; calls always default save to True
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
    PyObject* type_params;  // nullptr reports ()
    PyObject* dict;
    PyObject* weakrefs;
};

Function* as_function(PyObject* obj) noexcept { return reinterpret_cast<Function*>(obj); }

PyObject* bind_and_run(const Method& m, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) noexcept {
    PyObject* slots[max_params];
    if (!bind_arguments(m, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) {
        return fail(m.id, header_line(m.id));
    }
    return m.body(slots);
}

// Calls of the methods now running on this thread, one inside the other.
// In the static TLS block: read without a call into the dynamic loader, and
// LeakSanitizer's tracer (GCC 12) crashes at exit on dynamic TLS of a
// dlopen'ed library.
[[gnu::tls_model("initial-exec")]] thread_local int call_depth = 0;

[[gnu::cold, gnu::noinline]] PyObject* too_deep(const Method& m) noexcept {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return fail(m.id, header_line(m.id));
}

// A method calling another (say an override aliased back to its caller)
// pushes no Python frame, so the recursion limit alone would never stop a
// loop among them before the C stack ran out. Each call counts as one frame
// against that limit, as a Python method's would. The interpreter's own
// budget for nested C calls is no substitute: it allows ten thousand levels,
// more than an instrumented build's stack holds for these bodies.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    const Method& m = *as_function(callable)->method;
    // The limit is at least 1, so an outermost call need not read it.
    if (call_depth > 0 && call_depth >= Py_GetRecursionLimit()) return too_deep(m);
    ++call_depth;
    PyObject* result = bind_and_run(m, args, nargsf, kwnames);
    --call_depth;
    return result;
}

PyObject* function_descr_get(PyObject* func, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(func);
    return PyMethod_New(func, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->type_params);
    Py_VISIT(f->dict);
    return 0;
}

// A finalizer run by the collector can still reach a cleared function, so
// the name, the qualified name and the code stay: repr, pickling and calls
// rely on them. None of them can hold the function in a cycle of its own
// (code objects are not collected, a str subclass clears its own dict).
int function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    type->tp_free(self);
    Py_DECREF(type);
}

// Like a plain function: pickled by reference to its qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

// The getters of fields that the collector may have cleared report None.
PyObject* new_ref_or_none(PyObject* field) noexcept {
    return Py_NewRef(field != nullptr ? field : Py_None);
}

int set_string(PyObject*& slot, PyObject* value, const char* attribute) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return new_ref_or_none(as_function(self)->defaults);
}

// Calls bind save=True whatever __defaults__ says; assigning it changes
// only what introspection reports, and the warning says so.
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    Function* f = as_function(self);
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "assigning __defaults__ of %U changes what it reports, "
                         "not the defaults its calls use",
                         f->qualname) < 0) {
        return -1;
    }
    Py_XSETREF(f->defaults, Py_XNewRef(value));
    return 0;
}

// __doc__ and __module__ take any object, and deleting one leaves None.
PyObject* get_doc(PyObject* self, void*) noexcept { return new_ref_or_none(as_function(self)->doc); }

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_module(PyObject* self, void*) noexcept {
    return new_ref_or_none(as_function(self)->module);
}

int set_module(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }

PyObject* get_globals(PyObject* self, void*) noexcept {
    return new_ref_or_none(as_function(self)->globals);
}

// Made again when the collector has cleared it, as a plain function does.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

// The standard library tells functions from other callables with
// isinstance(obj, types.FunctionType), which consults __class__ when the type
// itself does not match: unittest.mock then autospecs a method with its
// signature and binds self, and inspect treats it as the function it is.
// Every attribute those clients read is present, and type() stays truthful.
PyObject* get_class(PyObject*, void*) noexcept {
    return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type));
}

// The rest of what a plain function carries, so that every name dir() lists
// for it (from the class that __class__ reports) can be read.
PyObject* get_builtins(PyObject*, void*) noexcept {
    return Py_NewRef(PyModule_GetDict(state.builtins));
}

PyObject* get_type_params(PyObject* self, void*) noexcept {
    PyObject* params = as_function(self)->type_params;
    return params != nullptr ? Py_NewRef(params) : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(self)->type_params, Py_NewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "ini_main.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

bool make_function_type() noexcept {
    if (state.function_type != nullptr) return true;
    state.function_type = PyType_FromSpec(&function_spec);
    return state.function_type != nullptr;
}

PyObject* new_function(const Method& m, PyObject* code, PyObject* defaults) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(state.function_type);
    Ref func = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, type)));
    if (!func) return nullptr;
    Function* f = as_function(func.get());
    f->vectorcall = function_vectorcall;
    f->method = &m;
    f->defaults = Py_XNewRef(defaults);
    f->code = Py_NewRef(code);
    f->globals = Py_NewRef(state.module_dict);
    f->module = Py_NewRef(names.ini_main);
    f->name = PyUnicode_FromString(m.name);
    f->qualname = PyUnicode_FromString(m.qualname);
    f->doc = PyUnicode_FromString(m.doc);
    f->annotations = PyDict_New();
    f->type_params = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(func.get());
    if (!f->name || !f->qualname || !f->doc || !f->annotations) return nullptr;
    return func.release();
}

PyObject* new_method_code(const Method& m) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("ini_main", m.name, header_line(m.id))));
    if (!empty) return nullptr;
    Ref varnames = Ref::steal(PyTuple_New(m.nparams));
    if (!varnames) return nullptr;
    for (int i = 0; i < m.nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(m.param(i)));
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:O}", "co_argcount", m.nparams,
                                          "co_nlocals", m.nparams, "co_varnames",
                                          varnames.get()));
    if (!kwargs) return nullptr;
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

}  // namespace ini
