// kestra_ini._durable: the store's durable file replacement, offered to the
// command line so that both write files through one implementation.
#include <Python.h>

#include <string_view>

#include "disk/write.hpp"

namespace {

PyObject* durable_replace_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "replace_file() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    Py_buffer data;
    if (PyObject_GetBuffer(args[1], &data, PyBUF_SIMPLE) < 0) return nullptr;
    const std::string_view bytes(static_cast<const char*>(data.buf), static_cast<size_t>(data.len));
    const bool done = ini::replace_file(args[0], {}, bytes);
    PyBuffer_Release(&data);
    if (!done) return nullptr;
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
    {"replace_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(durable_replace_file)),
     METH_FASTCALL,
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

PyModuleDef_Slot durable_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

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

PyMODINIT_FUNC PyInit__durable() { return PyModuleDef_Init(&durable_module); }
