#include "store/pairs.hpp"

namespace ini {

namespace {

[[gnu::cold, gnu::noinline]] bool too_many_values() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return false;
}

[[gnu::cold, gnu::noinline]] bool need_more_values(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return false;
}

bool unpack_sized(PyObject* element, Ref& first, Ref& second) noexcept {
    const bool is_tuple = PyTuple_Check(element);
    const Py_ssize_t size = is_tuple ? PyTuple_GET_SIZE(element) : PyList_GET_SIZE(element);
    if (size > 2) return too_many_values();
    if (size < 2) return need_more_values(size);
    first = Ref::borrow(is_tuple ? PyTuple_GET_ITEM(element, 0) : PyList_GET_ITEM(element, 0));
    second = Ref::borrow(is_tuple ? PyTuple_GET_ITEM(element, 1) : PyList_GET_ITEM(element, 1));
    return true;
}

bool unpack_iterated(PyObject* element, Ref& first, Ref& second) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(element));
    if (!iterator) return false;
    first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first) return PyErr_Occurred() ? false : need_more_values(0);
    second = Ref::steal(PyIter_Next(iterator.get()));
    if (!second) return PyErr_Occurred() ? false : need_more_values(1);
    Ref third = Ref::steal(PyIter_Next(iterator.get()));
    if (third) return too_many_values();
    return !PyErr_Occurred();
}

}  // namespace

bool unpack_pair(PyObject* element, ListShape lists, Ref& first, Ref& second) noexcept {
    if (PyTuple_Check(element) || (lists == ListShape::by_size && PyList_Check(element))) {
        return unpack_sized(element, first, second);
    }
    return unpack_iterated(element, first, second);
}

bool raise_none_has_no_items() noexcept {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    return false;
}

bool raise_dict_changed_size() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
}

}  // namespace ini
