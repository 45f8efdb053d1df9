// Owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace ini {

// Owns one strong reference (or none). Construction names its intent:
// Ref::steal takes over a new reference, Ref::borrow adds one of its own.
// Assignment stores the new pointer before releasing the old one, since the
// old object's destructor may run arbitrary code that looks at this slot.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(new_reference(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept { return Ref(new_reference(obj)); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    // Py_XNewRef, which the limited API of 3.9 (the _durable module) lacks.
    static PyObject* new_reference(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return obj;
    }
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace ini
