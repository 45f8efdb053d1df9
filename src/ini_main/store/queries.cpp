// Read-only questions about the configuration the engine holds.
#include "store/engine_calls.hpp"
#include "store/pairs.hpp"
#include "store/store.hpp"
#include "traceback.hpp"

namespace ini::store {

namespace {

// The engine's answer to one operation, passed back unchanged.
template <typename Fast, typename... Args>
PyObject* engine_answer(MethodId id, PyObject* self, Fast fast, PyObject* operation,
                        Args... args) noexcept {
    Ref answer = call_engine_fast(self, fast, operation, args...);
    if (!answer) return fail_at(id, 1);
    return answer.release();
}

}  // namespace

PyObject* get(PyObject* const* args) noexcept {
    return engine_answer(MethodId::get, args[0], fast::get, names.e_get, args[1], args[2]);
}

PyObject* sections(PyObject* const* args) noexcept {
    return engine_answer(MethodId::sections, args[0], fast::sections, names.e_sections);
}

PyObject* options(PyObject* const* args) noexcept {
    return engine_answer(MethodId::options, args[0], fast::options, names.e_options, args[1]);
}

PyObject* has_section(PyObject* const* args) noexcept {
    return engine_answer(MethodId::has_section, args[0], fast::has_section, names.e_has_section, args[1]);
}

PyObject* has_option(PyObject* const* args) noexcept {
    return engine_answer(MethodId::has_option, args[0], fast::has_option, names.e_has_option, args[1], args[2]);
}

PyObject* get_option(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::get_option;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return fail_at(id, 1);
    Ref engine = engine_of(args[0]);
    if (!engine) return fail_at(id, 2);
    // Natively, the option dict comes whole, with the engine's own values.
    Ref whole = fast::option_dict(engine.get(), args[1]);
    if (whole) return whole.release();
    if (PyErr_Occurred()) return fail_at(id, 2);
    Ref items = call_method(engine.get(), names.e_items, args[1]);
    if (!items) return fail_at(id, 2);
    const bool walked = for_each_item(items.get(), Kinds::with_subclasses, [&](PyObject* element) {
        Ref name, value;
        return unpack_pair(element, ListShape::by_size, name, value) &&
               PyDict_SetDefaultRef(result.get(), name.get(), value.get(), nullptr) >= 0;
    });
    if (!walked) return fail_at(id, 3);
    return result.release();
}

PyObject* get_all(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::get_all;
    PyObject* self = args[0];
    Ref result = Ref::steal(PyDict_New());
    if (!result) return fail_at(id, 1);
    Ref section_names = call_method(self, names.m_sections);
    if (!section_names) return fail_at(id, 2);
    const bool walked =
        for_each_item(section_names.get(), Kinds::with_subclasses, [&](PyObject* name) {
            Ref options = call_method(self, names.m_get_option, name);
            return options &&
                   PyDict_SetDefaultRef(result.get(), name, options.get(), nullptr) >= 0;
        });
    if (!walked) return fail_at(id, 3);
    return result.release();
}

}  // namespace ini::store
