// Walking sequences and mappings as (key, value) pairs.
#pragma once

#include <Python.h>

#include "names.hpp"
#include "ref.hpp"

namespace ini {

enum class Kinds { exact, with_subclasses };

// Calls visit(item) for each item of `seq`, in order: a list or tuple by
// index (its length read again before every step, as visit may change it),
// anything else through its iterator. Stops at the first false from visit.
template <typename Visit>
bool for_each_item(PyObject* seq, Kinds kinds, Visit&& visit) noexcept {
    const bool by_index = kinds == Kinds::exact
                              ? (PyList_CheckExact(seq) || PyTuple_CheckExact(seq))
                              : (PyList_Check(seq) || PyTuple_Check(seq));
    if (by_index) {
        const bool is_list = PyList_Check(seq);
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
            if (i >= size) return true;
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            if (!visit(item.get())) return false;
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(seq));
    if (!iterator) return false;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!visit(item.get())) return false;
    }
}

enum class ListShape { by_size, iterated };

// Splits `element` into exactly two objects. Tuples (and, with
// ListShape::by_size, lists) are judged by their size; anything else is
// iterated and must end after its second item.
bool unpack_pair(PyObject* element, ListShape lists, Ref& first, Ref& second) noexcept;

// The pair walk of the bulk mutations: an exact dict entry by entry, guarded
// against a change of size, anything else through its items().
template <typename Visit>
bool walk_pairs(PyObject* mapping, Visit&& visit) noexcept;

[[gnu::cold]] bool raise_none_has_no_items() noexcept;
[[gnu::cold]] bool raise_dict_changed_size() noexcept;

template <typename Visit>
bool walk_dict(PyObject* dict, Visit&& visit) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t position = 0;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) return raise_dict_changed_size();
        PyObject* key;
        PyObject* value;
        if (!PyDict_Next(dict, &position, &key, &value)) return true;
        // visit may run code that drops the dict's own references.
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        if (!visit(key, value)) return false;
    }
}

template <typename Visit>
bool walk_pairs(PyObject* mapping, Visit&& visit) noexcept {
    if (mapping == Py_None) return raise_none_has_no_items();
    Ref held = Ref::borrow(mapping);
    if (PyDict_CheckExact(mapping)) return walk_dict(mapping, visit);
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.e_items));
    if (!items) return false;
    return for_each_item(items.get(), Kinds::exact, [&](PyObject* element) {
        Ref key, value;
        return unpack_pair(element, ListShape::iterated, key, value) &&
               visit(key.get(), value.get());
    });
}

}  // namespace ini
