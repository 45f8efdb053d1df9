// kestra_ini._durable: the store's durable file replacement, offered to the
// command line so that both write files through one implementation.
#include <Python.h>

#include <cstdio>
#include <string_view>

#include "disk/write.hpp"

namespace {

// Built against the limited API of 3.9, which has neither METH_FASTCALL nor
// the buffer protocol: the data is taken as bytes, copied once from any other
// bytes-like object.
PyObject* durable_replace_file(PyObject*, PyObject* args) noexcept {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "replace_file() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    const ini::Ref data = ini::Ref::steal(PyObject_Bytes(PyTuple_GetItem(args, 1)));
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (!data || PyBytes_AsStringAndSize(data.get(), &buffer, &size) < 0) return nullptr;
    const std::string_view bytes(buffer, static_cast<size_t>(size));
    if (!ini::replace_file(PyTuple_GetItem(args, 0), {}, bytes)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* durable_recover(PyObject*, PyObject* path) noexcept {
    ini::Ref old;
    if (!ini::recover_interrupted_save(path, nullptr, &old)) return nullptr;
    if (old) return old.release();
    Py_RETURN_NONE;
}

PyObject* durable_read(PyObject*, PyObject* path) noexcept { return ini::read_settled(path).release(); }

PyMethodDef durable_methods[] = {
    {"replace_file", durable_replace_file, METH_VARARGS,
     PyDoc_STR("replace_file(path, data, /)\n--\n\n"
               "Make the file at path hold exactly data (bytes), as the store's save does:\n"
               "never half written, symbolic and hard links kept.")},
    {"recover", durable_recover, METH_O,
     PyDoc_STR("recover(path, /)\n--\n\n"
               "Put back the old bytes of the file at path if a save writing over it was\n"
               "killed part way, as the store does before every load. Call it before reading.\n"
               "A caller who may not write the file mends nothing: it gets those old bytes\n"
               "to read instead of the file, or None.")},
    {"read", durable_read, METH_O,
     PyDoc_STR("read(path, /)\n--\n\n"
               "The bytes of the regular file at path, read as the store's load reads it: after\n"
               "putting back what a killed save of this user left, and while holding off\n"
               "in-place saves. None where path names no regular file: open it yourself then.")},
    {nullptr, nullptr, 0, nullptr},
};

// Slot 3 (Py_mod_multiple_interpreters) with the value 2 (its own GIL per
// interpreter) is known from 3.12 on; an older interpreter refuses a slot it
// does not know, so it is filled in only where the running version has it.
constexpr int multiple_interpreters_slot = 3;
void* const per_interpreter_gil_supported = reinterpret_cast<void*>(2);

PyModuleDef_Slot durable_slots[] = {
    {0, nullptr},
    {0, nullptr},
};

bool runs_on_3_12_or_later() noexcept {
    unsigned major = 0, minor = 0;
    return std::sscanf(Py_GetVersion(), "%u.%u", &major, &minor) == 2 && (major > 3 || (major == 3 && minor >= 12));
}

PyModuleDef durable_module = {
    PyModuleDef_HEAD_INIT,
    "kestra_ini._durable",
    PyDoc_STR("Durable replacement of a file's bytes, shared by the store and the command line."),
    0,
    durable_methods,
    durable_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__durable() {
    if (runs_on_3_12_or_later()) durable_slots[0] = {multiple_interpreters_slot, per_interpreter_gil_supported};
    return PyModuleDef_Init(&durable_module);
}
