// kestra_ini._durable: the store's durable file replacement, offered to the
// command line so that both write files through one implementation.
#include <Python.h>

#include <algorithm>
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

// seen: None for a file that was missing, else (st_dev, st_ino, bytes).
bool parse_seen(PyObject* seen, ini::posix::Seen& out) noexcept {
    if (seen == Py_None) return true;
    PyObject* device = nullptr;
    PyObject* inode = nullptr;
    PyObject* bytes = nullptr;
    if (!PyArg_ParseTuple(seen, "OOO!:seen", &device, &inode, &PyBytes_Type, &bytes)) return false;
    const unsigned long long dev = PyLong_AsUnsignedLongLong(device);
    const unsigned long long ino = PyLong_AsUnsignedLongLong(inode);
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyErr_Occurred() || PyBytes_AsStringAndSize(bytes, &buffer, &size) < 0) return false;
    out = {true, static_cast<dev_t>(dev), static_cast<ino_t>(ino), std::string_view(buffer, static_cast<size_t>(size))};
    return true;
}

// Where the waits of one step of an edit that has been under way for
// `since` seconds start counting: its waits for readers end 100 ms after
// the edit began, however many steps it takes (L2, L6); those for writers
// are each step's own, less at most those 100 ms.
ini::posix::Started began(double since) noexcept {
    constexpr double nanoseconds_per_millisecond = 1e6;
    constexpr double milliseconds_per_second = 1e3;
    const double readers = static_cast<double>(ini::posix::reader_wait_milliseconds);
    const double back = std::min(since * milliseconds_per_second, readers) * nanoseconds_per_millisecond;
    ini::posix::Started started = ini::posix::Started::now();
    if (back > 0) started.nanoseconds -= static_cast<int64_t>(back);
    return started;
}

PyObject* durable_replace_file_if(PyObject*, PyObject* args) noexcept {
    PyObject* path = nullptr;
    PyObject* given = nullptr;
    PyObject* seen = nullptr;
    double since = 0;
    if (!PyArg_ParseTuple(args, "OOOd:replace_file_if", &path, &given, &seen, &since)) return nullptr;
    const ini::Ref data = ini::Ref::steal(PyObject_Bytes(given));
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (!data || PyBytes_AsStringAndSize(data.get(), &buffer, &size) < 0) return nullptr;
    ini::posix::Seen expected;
    if (!parse_seen(seen, expected)) return nullptr;
    const std::string_view bytes(buffer, static_cast<size_t>(size));
    const int done = ini::replace_file_if(path, {}, bytes, &expected, began(since));
    if (done < 0) return nullptr;
    return PyBool_FromLong(done);
}

// Which lock `where` names: the edit byte of a file, the byte on which the
// edits a reader kept out take turns, or a directory's flock.
bool lock_byte(PyObject* where, ini::posix::LockByte& byte) noexcept {
    using ini::posix::LockByte;
    const struct {
        const char* name;
        LockByte byte;
    } known[] = {{"edit", LockByte::edit}, {"turn", LockByte::turn}, {"directory", LockByte::whole}};
    for (const auto& entry : known) {
        if (PyUnicode_Check(where) && PyUnicode_CompareWithASCIIString(where, entry.name) == 0) {
            byte = entry.byte;
            return true;
        }
    }
    PyErr_SetString(PyExc_ValueError, "lock() takes 'edit', 'turn' or 'directory'");
    return false;
}

PyObject* durable_lock(PyObject*, PyObject* args) noexcept {
    int fd = -1;
    PyObject* where = nullptr;
    double since = 0;
    double writers_seconds = 0;
    if (!PyArg_ParseTuple(args, "iOdd:lock", &fd, &where, &since, &writers_seconds)) return nullptr;
    ini::posix::LockByte byte{};
    if (!lock_byte(where, byte)) return nullptr;
    constexpr double milliseconds_per_second = 1000;
    const ini::posix::Bounds bounds{ini::posix::reader_wait_milliseconds,
                                    static_cast<int64_t>(writers_seconds * milliseconds_per_second)};
    ini::posix::LockOutcome outcome = ini::posix::LockOutcome::locked;
    if (!ini::lock_file(fd, byte, began(since), bounds, outcome)) return nullptr;
    switch (outcome) {
        case ini::posix::LockOutcome::locked: return PyUnicode_FromString("locked");
        case ini::posix::LockOutcome::held_by_writer: return PyUnicode_FromString("writer");
        case ini::posix::LockOutcome::held_by_reader: break;
    }
    return PyUnicode_FromString("reader");
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
    {"replace_file_if", durable_replace_file_if, METH_VARARGS,
     PyDoc_STR("replace_file_if(path, data, seen, since, /)\n--\n\n"
               "As replace_file, but only while the file still is what seen says an edit\n"
               "read: None for no file, else (st_dev, st_ino, bytes) of a regular file.\n"
               "True when written; False, nothing written, where the file changed since.\n"
               "since: the seconds the edit has run; readers' locks are waited for until\n"
               "about 100 ms after its start.")},
    {"lock", durable_lock, METH_VARARGS,
     PyDoc_STR("lock(fd, where, since, writers_seconds, /)\n--\n\n"
               "Take the exclusive lock `where` ('edit', 'turn': bytes of the file open for\n"
               "writing as fd; 'directory': an flock of fd) as the store's saves wait for\n"
               "theirs, for an edit that has run `since` seconds: a lock only readers hold\n"
               "is waited for until about 100 ms after its start, one a writer of the file\n"
               "holds until writers_seconds after it. 'locked', else who still held it\n"
               "then: 'reader' or 'writer'. It lasts until fd is closed.")},
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
