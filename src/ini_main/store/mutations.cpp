// Changes to the configuration, each followed by a save-and-reload when the
// caller's save is true.
#include "store/engine_calls.hpp"
#include "store/pairs.hpp"
#include "store/refusals.hpp"
#include "store/store.hpp"
#include "traceback.hpp"

namespace ini::store {

namespace {

// Writes the whole configuration and loads it back, so the engine holds
// exactly what the file now says.
bool save_and_reload(PyObject* self, PyObject* save) noexcept {
    const int wanted = PyObject_IsTrue(save);
    if (wanted <= 0) return wanted == 0;
    return call_method(self, names.m_save) && call_method(self, names.m_read);
}

// What the store hands the engine as a name: a str subclass can change the
// text that the engine writes (its __format__, __str__ or lower()), so it
// gets an exact str with the same characters, which is what was checked and
// what is written. Any other object goes as it is, for the engine to judge.
Ref exact_name(PyObject* name) noexcept {
    if (!PyUnicode_Check(name) || PyUnicode_CheckExact(name)) return Ref::borrow(name);
    return Ref::steal(PyUnicode_FromObject(name));
}

// The text the engine stores for a value: an exact str as it is, anything
// else through str(), whose result is made exact in turn for the same
// reason as a name's.
Ref value_text(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text || PyUnicode_CheckExact(text.get())) return text;
    return Ref::steal(PyUnicode_FromObject(text.get()));
}

// The engine's result of a removal, passed back after the save-and-reload.
template <typename Fast, typename... Args>
PyObject* remove(MethodId id, PyObject* self, PyObject* save, Fast fast, PyObject* operation,
                 Args... args) noexcept {
    Ref removed = call_engine_fast(self, fast, operation, args...);
    if (!removed) return fail_at(id, 1);
    if (!save_and_reload(self, save)) return fail_at(id, 2);
    return removed.release();
}

}  // namespace

PyObject* set_section(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::set_section;
    PyObject* self = args[0];
    Ref name = exact_name(args[1]);
    if (!name) return fail_at(id, 1);
    PyObject* section = name.get();
    if (!check_section_name(section)) return fail_at(id, 1);
    Ref exists = call_method(self, names.m_has_section, section);
    if (!exists) return fail_at(id, 2);
    const int present = PyObject_IsTrue(exists.get());
    if (present < 0) return fail_at(id, 2);
    if (present) Py_RETURN_TRUE;
    if (!call_engine_fast(self, fast::add_section, names.e_add_section, section)) return fail_at(id, 3);
    if (!save_and_reload(self, args[2])) return fail_at(id, 4);
    Py_RETURN_TRUE;
}

PyObject* set(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::set;
    PyObject* self = args[0];
    Ref section_name = exact_name(args[1]);
    Ref option_name = exact_name(args[2]);
    if (!section_name || !option_name) return fail_at(id, 1);
    PyObject* section = section_name.get();
    PyObject* option = option_name.get();
    PyObject* save = args[4];
    // Every text is judged before anything changes, so a refusal leaves the
    // engine and the file as they were.
    if (!check_section_name(section) || !check_option_name(section, option)) {
        return fail_at(id, 1);
    }
    Ref text = value_text(args[3]);
    if (!text || !check_value_text(section, option, text.get())) return fail_at(id, 2);
    if (!call_method(self, names.m_set_section, section, save)) return fail_at(id, 3);
    if (!call_engine_fast(self, fast::set, names.e_set, section, option, text.get())) return fail_at(id, 4);
    if (!save_and_reload(self, save)) return fail_at(id, 5);
    Py_RETURN_TRUE;
}

PyObject* set_option(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::set_option;
    PyObject* self = args[0];
    PyObject* section = args[1];
    PyObject* save = args[3];
    if (!call_method(self, names.m_set_section, section, save)) return fail_at(id, 1);
    const bool walked = walk_pairs(args[2], [&](PyObject* option, PyObject* value) {
        return bool(call_method_unsaved(self, names.m_set, section, option, value));
    });
    if (!walked) return fail_at(id, 2);
    if (!save_and_reload(self, save)) return fail_at(id, 3);
    Py_RETURN_TRUE;
}

PyObject* set_all(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::set_all;
    PyObject* self = args[0];
    const bool walked = walk_pairs(args[1], [&](PyObject* section, PyObject* option_dict) {
        return bool(call_method_unsaved(self, names.m_set_option, section, option_dict));
    });
    if (!walked) return fail_at(id, 1);
    if (!save_and_reload(self, args[2])) return fail_at(id, 2);
    Py_RETURN_TRUE;
}

PyObject* remove_section(PyObject* const* args) noexcept {
    return remove(MethodId::remove_section, args[0], args[2], fast::remove_section, names.e_remove_section, args[1]);
}

PyObject* remove_option(PyObject* const* args) noexcept {
    return remove(MethodId::remove_option, args[0], args[3], fast::remove_option, names.e_remove_option, args[1],
                  args[2]);
}

}  // namespace ini::store
