// The Python side of the save: path conversion, the GIL, OSError.
#include "disk/write.hpp"

#include <string>

#include "disk/save.hpp"
#include "ref.hpp"

// The limited API (the _durable module) serves every version from 3.9 on.
#if !defined(Py_LIMITED_API) && (PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 13)
#error "kestra_ini's ini_main is built for CPython 3.13 only"
#endif

namespace ini {

namespace {

// The path as the file system sees it; false with an exception set when the
// object names no file.
bool file_system_path(PyObject* path, std::string& out) noexcept {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return false;
    Ref held = Ref::steal(encoded);
    try {
        out.assign(PyBytes_AsString(encoded), static_cast<size_t>(PyBytes_Size(encoded)));
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

[[gnu::cold, gnu::noinline]] bool raise_os_error(int err, PyObject* path) noexcept {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

// Runs `work` without the GIL. A wait inside it that a signal interrupted
// returns EINTR: the handlers run at once, and the work starts again unless
// one of them raised.
template <class Work>
int without_gil(Work work) noexcept {
    for (;;) {
        int err;
        Py_BEGIN_ALLOW_THREADS
        err = work();
        Py_END_ALLOW_THREADS
        if (err != EINTR) return err;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

}  // namespace

bool replace_file(PyObject* path, std::string_view head, std::string_view body) noexcept {
    return replace_file_if(path, head, body, nullptr, posix::Started::now()) == 1;
}

int replace_file_if(PyObject* path, std::string_view head, std::string_view body, const posix::Seen* seen,
                    posix::Started started) noexcept {
    std::string target;
    if (!file_system_path(path, target)) return -1;
    const int err =
        without_gil([&] { return posix::save_file(target, posix::Content{head, body}, started, seen); });
    if (err == 0) return 1;
    if (err == posix::overtaken) return 0;
    if (err > 0) raise_os_error(err, path);
    return -1;
}

bool lock_file(int fd, posix::LockByte byte, posix::Started started, posix::Bounds bounds,
               posix::LockOutcome& outcome) noexcept {
    const int err = without_gil([&] {
        return posix::wait_for_lock(fd, posix::LockKind::exclusive, byte, started, outcome, posix::Holders::anyone,
                                    bounds);
    });
    if (err == 0) return true;
    if (err > 0) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
    }
    return false;
}

bool recover_interrupted_save(PyObject* path, posix::LoadHold* hold, Ref* old) noexcept {
    std::string target;
    if (!file_system_path(path, target)) {
        // Not a file name (a list of them, a number): the engine's read
        // decides what that means.
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        return true;
    }
    posix::LoadHold unheld;
    posix::LoadHold& held = hold != nullptr ? *hold : unheld;
    std::optional<std::string> text;
    const posix::Started started = posix::Started::now();
    const int err = without_gil([&] { return posix::recover_file(target, held, text, started); });
    if (err != 0) return err > 0 && raise_os_error(err, path);
    if (text && old != nullptr) {
        *old = Ref::steal(PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
        if (!*old) return false;
    }
    return true;
}

Ref read_settled(PyObject* path) noexcept {
    posix::LoadHold hold;
    Ref text;
    if (!recover_interrupted_save(path, &hold, &text)) return Ref();
    if (text) return text;
    if (!hold.file.valid()) {
        Py_INCREF(Py_None);
        return Ref::steal(Py_None);
    }
    std::string data;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    err = posix::read_all(hold.file.get(), data);
    Py_END_ALLOW_THREADS
    if (err != 0) {
        raise_os_error(err, path);
        return Ref();
    }
    return Ref::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

}  // namespace ini
