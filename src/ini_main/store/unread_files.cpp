#include "store/unread_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ref.hpp"

namespace ini {

namespace {

// id(store) -> (weak reference to the store, the fs-encoded path, errno,
// device, inode). The file is known by its device and inode where it could
// be looked at, so that another spelling of its path, or a link to it, is
// refused too; by the spelling only where even that failed.
// Keyed by identity, as a store's class may make its instances unhashable;
// the weak reference tells a live entry from one whose store has gone and
// whose address was reused. Never released, like the rest of the module's
// process-wide state.
PyObject* unread = nullptr;

constexpr Py_ssize_t sweep_above = 64;

Ref fs_path(PyObject* path) noexcept {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return Ref();
    return Ref::steal(encoded);
}

// Why the engine could not read `path`: 0 when the file is missing (or
// readable now), else the errno of opening it for reading. Never blocks on a
// FIFO.
int reason_unread(const char* path) noexcept {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? 0 : errno;
    struct stat st;
    const bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    // It opens now, yet the engine's read failed part way (an I/O error).
    return directory ? EISDIR : EIO;
}

bool is_live_entry(PyObject* entry, PyObject* self) noexcept {
    PyObject* referent = nullptr;
    if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 0), &referent) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool same = referent == self;
    Py_XDECREF(referent);
    return same;
}

// Drops the entries of stores that no longer exist, so the map stays small.
bool sweep_dead_entries() noexcept {
    if (PyDict_GET_SIZE(unread) <= sweep_above) return true;
    Ref dead = Ref::steal(PyList_New(0));
    if (!dead) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *entry;
    while (PyDict_Next(unread, &pos, &key, &entry)) {
        PyObject* referent = nullptr;
        if (PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 0), &referent) < 0) return false;
        if (referent == nullptr && PyList_Append(dead.get(), key) < 0) return false;
        Py_XDECREF(referent);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dead.get()); ++i) {
        if (PyDict_DelItem(unread, PyList_GET_ITEM(dead.get(), i)) < 0) return false;
    }
    return true;
}

bool forget(PyObject* key) noexcept { return PyDict_Pop(unread, key, nullptr) >= 0; }

bool remember(PyObject* key, PyObject* self, PyObject* encoded, int err) noexcept {
    if (!sweep_dead_entries()) return false;
    Ref weak = Ref::steal(PyWeakref_NewRef(self, nullptr));
    if (!weak) return false;
    struct stat st {};
    const bool known = ::stat(PyBytes_AS_STRING(encoded), &st) == 0;
    Ref entry = Ref::steal(Py_BuildValue("(OOiKK)", weak.get(), encoded, err,
                                         static_cast<unsigned long long>(known ? st.st_dev : 0),
                                         static_cast<unsigned long long>(known ? st.st_ino : 0)));
    return entry && PyDict_SetItem(unread, key, entry.get()) >= 0;
}

// Whether the engine's result says that it read the one file it was given.
// A result of another shape (an engine whose read was replaced) gives no
// answer, and no save is refused for it.
bool engine_read_nothing(PyObject* result) noexcept {
    return PyList_CheckExact(result) && PyList_GET_SIZE(result) == 0;
}

[[gnu::cold, gnu::noinline]] bool refuse_replace(int err, PyObject* path) noexcept {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "%s: the file could not be read, so it is not replaced", std::strerror(err)));
    if (!message) return false;
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "iOO", err, message.get(), path));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

}  // namespace

bool note_read(PyObject* self, PyObject* path, PyObject* result) noexcept {
    if (unread == nullptr && (unread = PyDict_New()) == nullptr) return false;
    // Only objects that can be referred to weakly can be remembered; the
    // store's instances always can.
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(self))) return true;
    // The common load: read, with nothing remembered that it could lift.
    if (!engine_read_nothing(result) && PyDict_GET_SIZE(unread) == 0) return true;
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!key) return false;
    if (!engine_read_nothing(result)) return forget(key.get());
    Ref encoded = fs_path(path);
    if (!encoded) return false;
    const int err = reason_unread(PyBytes_AS_STRING(encoded.get()));
    if (err == 0) return forget(key.get());
    return remember(key.get(), self, encoded.get(), err);
}

bool check_may_replace(PyObject* self, PyObject* path) noexcept {
    if (unread == nullptr || PyDict_GET_SIZE(unread) == 0) return true;
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!key) return false;
    PyObject* entry = nullptr;
    if (PyDict_GetItemRef(unread, key.get(), &entry) < 0) return false;
    Ref held = Ref::steal(entry);
    if (entry == nullptr || !is_live_entry(entry, self)) return true;
    Ref encoded = fs_path(path);
    if (!encoded) {
        // The save's own conversion reports a path it cannot use.
        PyErr_Clear();
        return true;
    }
    struct stat st;
    const bool found = ::stat(PyBytes_AS_STRING(encoded.get()), &st) == 0;
    if (!found && errno == ENOENT) return true;  // gone: the save makes a new file
    const unsigned long long device = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(entry, 3));
    const unsigned long long inode = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(entry, 4));
    bool same;
    if (found && inode != 0) {
        same = static_cast<unsigned long long>(st.st_dev) == device &&
               static_cast<unsigned long long>(st.st_ino) == inode;
    } else {
        const int equal = PyObject_RichCompareBool(encoded.get(), PyTuple_GET_ITEM(entry, 1), Py_EQ);
        if (equal < 0) return false;
        same = equal == 1;
    }
    if (!same) return true;
    return refuse_replace(static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(entry, 2))), path);
}

}  // namespace ini
