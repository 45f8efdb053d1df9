// Construction, path binding, reading and saving.
#include <string>
#include <string_view>

#include "calls.hpp"
#include "disk/write.hpp"
#include "native/engine.hpp"
#include "state.hpp"
#include "store/engine_calls.hpp"
#include "store/store.hpp"
#include "store/unread_files.hpp"
#include "traceback.hpp"

namespace ini::store {

namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

// A module-level name as a method body sees it: the module's namespace
// first, then the builtins.
Ref lookup_global(PyObject* name) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.module_dict, name, &found) != 0) return Ref::steal(found);
    if (PyObject_GetOptionalAttr(state.builtins, name, &found) != 0) return Ref::steal(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// The engine's whole text, written into memory rather than onto the disk so
// that nothing touches the file until the text is complete.
Ref render(PyObject* write) noexcept {
    Ref buffer = Ref::steal(PyObject_CallNoArgs(state.string_io));
    if (!buffer) return buffer;
    if (!Ref::steal(PyObject_CallOneArg(write, buffer.get()))) return Ref();
    return call_method(buffer.get(), names.getvalue);
}

// The list of the files read, as the engine's read returns it, or null
// (with no exception set when the engine must read the file itself). Its
// read names a file read by os.fspath() of the path, called after the
// reading: the path's own code runs then, and may fail the read.
Ref files_read(const fast::LoadResult& loaded, PyObject* path) noexcept {
    switch (loaded.outcome) {
        case fast::Load::loaded: {
            const bool named = PyUnicode_Check(path) || PyBytes_Check(path);
            Ref name = named ? Ref::borrow(path) : Ref::steal(PyOS_FSPath(path));
            return name ? Ref::steal(Py_BuildValue("[O]", name.get())) : name;
        }
        case fast::Load::unopened: return Ref::steal(PyList_New(0));
        case fast::Load::failed:
        case fast::Load::declined: break;
    }
    return Ref();
}

// The engine's read, done natively where that cannot be told apart, over
// the file that the settling opened (so the file is opened once). A reader
// who may not mend a torn file reads the `journaled` old text instead, as
// the engine would read a file holding it.
Ref read_natively(PyObject* engine, PyObject* path, PyObject* journaled, const posix::LoadHold& held) noexcept {
    if (journaled != nullptr) return files_read(fast::read_bytes(engine, path, journaled), path);
    const fast::HeldFile file{held.file.get(), static_cast<size_t>(held.size)};
    return files_read(fast::read(engine, path, file), path);
}

}  // namespace

PyObject* init(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::init;
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, names.attr_path, args[1]) < 0) return fail_at(id, 1);
    if (!call_method(self, names.m_set_path)) return fail_at(id, 2);
    Py_RETURN_NONE;
}

PyObject* set_path(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::set_path;
    PyObject* self = args[0];
    Ref configparser = lookup_global(names.configparser);
    if (!configparser) return fail_at(id, 1);
    Ref engine_class = get_attr(configparser.get(), names.config_parser);
    if (!engine_class) return fail_at(id, 2);
    Ref engine = fast::construct(engine_class.get());
    if (!engine) return fail_at(id, 2);
    if (PyObject_SetAttr(self, names.attr_config, engine.get()) < 0) return fail_at(id, 3);
    if (!call_method(self, names.m_read)) return fail_at(id, 4);
    Py_RETURN_NONE;
}

PyObject* read(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::read;
    PyObject* self = args[0];
    Ref engine = get_attr(self, names.attr_config);
    if (!engine) return fail_at(id, 1);
    Ref read = get_attr(engine.get(), names.e_read);
    if (!read) return fail_at(id, 1);
    Ref path = get_attr(self, names.attr_path);
    if (!path) return fail_at(id, 2);
    posix::LoadHold writers_held;  // until the engine has read the file
    Ref journaled;
    if (!recover_interrupted_save(path.get(), &writers_held, &journaled)) return fail_at(id, 3);
    Ref result = read_natively(engine.get(), path.get(), journaled.get(), writers_held);
    if (!result && !PyErr_Occurred()) {
        PyObject* stack[] = {nullptr, path.get(), names.utf8_sig};
        result = Ref::steal(PyObject_Vectorcall(
            read.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_encoding));
    }
    if (!result) return fail_at(id, 3);
    if (!note_read(self, path.get(), result.get())) return fail_at(id, 4);
    Py_RETURN_NONE;
}

PyObject* save(PyObject* const* args) noexcept {
    constexpr MethodId id = MethodId::save;
    PyObject* self = args[0];
    Ref engine = get_attr(self, names.attr_config);
    if (!engine) return fail_at(id, 1);
    Ref write = get_attr(engine.get(), names.e_write);
    if (!write) return fail_at(id, 1);
    Ref path = get_attr(self, names.attr_path);
    if (!path) return fail_at(id, 2);
    std::string native;
    Ref text;
    std::string_view body;
    if (fast::render(engine.get(), native)) {
        body = native;
    } else {
        if (PyErr_Occurred()) return fail_at(id, 3);
        text = render(write.get());
        if (!text) return fail_at(id, 3);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (utf8 == nullptr) return fail_at(id, 4);
        body = std::string_view(utf8, static_cast<size_t>(size));
    }
    if (!check_may_replace(self, path.get())) return fail_at(id, 5);
    // An engine that wrote nothing leaves an empty file, without a BOM.
    if (!replace_file(path.get(), body.empty() ? std::string_view() : utf8_bom, body)) {
        return fail_at(id, 5);
    }
    // Only a complete file may let the engine forget its content.
    if (!call_engine_fast(self, fast::clear, names.e_clear)) return fail_at(id, 6);
    Py_RETURN_NONE;
}

}  // namespace ini::store
