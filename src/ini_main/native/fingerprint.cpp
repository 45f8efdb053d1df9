// The fingerprint of the code the native paths stand in for.
//
// Each captured object is written out as text (its bytecode, constants and
// names, recursively, for code; identity-bearing names for classes and
// builtins), then every name of configparser's namespace and every class it
// defines, member by member, and the text is hashed with our own SHA-256.
// A function's text says whose globals it runs with, and a class's whether
// it is the class found at its module and qualified name: the same code
// rebuilt elsewhere is not the verified code. tools/fingerprint writes the
// very same text from Python: keep the two in step.
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "native/originals.hpp"
#include "native/sha256.hpp"
#include "native/watch.hpp"
#include "ref.hpp"

namespace ini::fast {

namespace {

struct Writer {
    PyObject* cached_property_type;
    PyObject* pattern_type;
    std::string out;

    bool text(PyObject* str) {
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
        if (!bytes) return false;
        const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
        out.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(size));
        return true;
    }

    bool attr_text(PyObject* obj, const char* name) {
        Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
        if (!value) return false;
        Ref str = Ref::steal(PyObject_Str(value.get()));
        return str && text(str.get());
    }

    bool repr(PyObject* obj) {
        Ref str = Ref::steal(PyObject_Repr(obj));
        return str && text(str.get());
    }

    bool qualified(PyObject* cls) {
        return attr_text(cls, "__module__") && (out.push_back('.'), true) &&
               attr_text(cls, "__qualname__");
    }

    bool located_class(PyObject* cls);
    bool globals_of(PyObject* func);

    bool attr(PyObject* obj, const char* name) {
        Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
        return value && canon(value.get());
    }

    bool sequence(PyObject* tuple) {
        out.push_back('(');
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
            if (i > 0) out.push_back(',');
            if (!canon(PyTuple_GET_ITEM(tuple, i))) return false;
        }
        out.push_back(')');
        return true;
    }

    bool set_of(PyObject* frozenset);
    bool code(PyObject* code);
    bool function(PyObject* func);
    bool canon(PyObject* obj);
};

bool is_scalar(PyObject* obj) noexcept {
    return obj == Py_None || obj == Py_True || obj == Py_False || obj == Py_Ellipsis ||
           PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyComplex_CheckExact(obj) ||
           PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj);
}

PyObject* dunder_name() noexcept {
    static PyObject* name = PyUnicode_InternFromString("__name__");
    return name;
}

// The dict of the module sys.modules holds as `name`, borrowed, or null.
PyObject* module_dict(PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name)) return nullptr;
    PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    return module != nullptr && PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
}

// `cls` is what its module's namespace holds at its qualified name. False
// with an exception set on an error alone.
bool is_located(PyObject* cls, bool& located) {
    located = false;
    Ref module = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
    Ref qualname = module ? Ref::steal(PyObject_GetAttrString(cls, "__qualname__")) : Ref();
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    if (!qualname || !dot) return false;
    PyObject* namespace_dict = module_dict(module.get());
    if (namespace_dict == nullptr || !PyUnicode_CheckExact(qualname.get())) return !PyErr_Occurred();
    Ref parts = Ref::steal(PyUnicode_Split(qualname.get(), dot.get(), -1));
    if (!parts) return false;
    Ref found = Ref::borrow(namespace_dict);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        Ref dict = PyDict_CheckExact(found.get()) ? found
                   : PyType_Check(found.get())
                       ? Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(found.get())))
                       : Ref();
        if (!dict) return true;
        PyObject* next = nullptr;
        if (PyDict_GetItemRef(dict.get(), PyList_GET_ITEM(parts.get(), i), &next) <= 0) {
            return !PyErr_Occurred();
        }
        found = Ref::steal(next);
    }
    located = found.get() == cls;
    return true;
}

bool Writer::located_class(PyObject* cls) {
    bool located = false;
    if (!is_located(cls, located)) return false;
    out.push_back(located ? '=' : '!');
    return true;
}

// The name a function's globals give, and whether they are that module's.
bool Writer::globals_of(PyObject* func) {
    PyObject* globals = PyFunction_GET_GLOBALS(func);
    if (dunder_name() == nullptr) return false;
    PyObject* name = PyDict_GetItemWithError(globals, dunder_name());
    if (name == nullptr && PyErr_Occurred()) return false;
    Ref held = Ref::borrow(name != nullptr ? name : Py_None);
    if (!canon(held.get())) return false;
    out.push_back(module_dict(held.get()) == globals ? '=' : '!');
    return !PyErr_Occurred();
}

bool Writer::set_of(PyObject* frozenset) {
    Ref items = Ref::steal(PySequence_List(frozenset));
    if (!items) return false;
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Writer item{cached_property_type, pattern_type, {}};
        if (!item.canon(PyList_GET_ITEM(items.get(), i))) return false;
        Ref str = Ref::steal(
            PyUnicode_DecodeUTF8(item.out.data(), Py_ssize_t(item.out.size()), "surrogatepass"));
        if (!str || PyList_Append(texts.get(), str.get()) < 0) return false;
    }
    if (PyList_Sort(texts.get()) < 0) return false;
    out.append("frozenset{");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
        if (i > 0) out.push_back(',');
        if (!text(PyList_GET_ITEM(texts.get(), i))) return false;
    }
    out.push_back('}');
    return true;
}

bool Writer::code(PyObject* code) {
    out.append("code{");
    const char* numbers[] = {"co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags"};
    if (!attr_text(code, "co_qualname")) return false;
    for (const char* name : numbers) {
        out.push_back(';');
        if (!attr_text(code, name)) return false;
    }
    Ref bytecode = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code)));
    if (!bytecode) return false;
    out.push_back(';');
    static constexpr char digits[] = "0123456789abcdef";
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytecode.get()));
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(bytecode.get()); ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    for (const char* name : {"co_consts", "co_names", "co_varnames", "co_freevars", "co_cellvars"}) {
        out.push_back(';');
        if (!attr(code, name)) return false;
    }
    out.push_back('}');
    return true;
}

bool Writer::function(PyObject* func) {
    out.append("function{");
    if (!attr_text(func, "__qualname__")) return false;
    out.push_back(';');
    if (!canon(PyFunction_GET_CODE(func))) return false;
    out.push_back(';');
    PyObject* defaults = PyFunction_GET_DEFAULTS(func);
    if (!canon(defaults ? defaults : Py_None)) return false;
    out.append(";{");
    if (PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(func)) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        bool first = true;
        while (PyDict_Next(kwdefaults, &position, &key, &value)) {
            if (!first) out.push_back(',');
            first = false;
            if (!text(key)) return false;
            out.push_back('=');
            if (!canon(value)) return false;
        }
    }
    out.append("};(");
    if (PyObject* closure = PyFunction_GET_CLOSURE(func)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
            if (i > 0) out.push_back(',');
            PyObject* content = PyCell_GET(PyTuple_GET_ITEM(closure, i));
            if (content == nullptr || !canon(content)) return false;
        }
    }
    out.append(");globals:");
    if (!globals_of(func)) return false;
    out.push_back('}');
    return true;
}

bool Writer::canon(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (is_scalar(obj)) {
        out.append(type->tp_name).push_back(':');
        return repr(obj);
    }
    if (type == &PyTuple_Type) return sequence(obj);
    if (type == &PyFrozenSet_Type) return set_of(obj);
    if (type == &PyCode_Type) return code(obj);
    if (type == &PyFunction_Type) return function(obj);
    if (type == &PyProperty_Type) {
        out.append("property{");
        return attr(obj, "fget") && (out.push_back(';'), attr(obj, "fset")) &&
               (out.push_back(';'), attr(obj, "fdel")) && (out.push_back('}'), true);
    }
    if (type == &PyStaticMethod_Type || type == &PyClassMethod_Type) {
        out.append(type == &PyStaticMethod_Type ? "staticmethod{" : "classmethod{");
        return attr(obj, "__func__") && (out.push_back('}'), true);
    }
    if (reinterpret_cast<PyObject*>(type) == cached_property_type) {
        out.append("cached_property{");
        return attr(obj, "func") && (out.push_back('}'), true);
    }
    if (reinterpret_cast<PyObject*>(type) == pattern_type) {
        out.append("pattern{");
        return attr(obj, "pattern") && (out.push_back(';'), attr_text(obj, "flags")) &&
               (out.push_back('}'), true);
    }
    if (PyType_Check(obj)) return out.append("class:"), qualified(obj) && located_class(obj);
    if (PyModule_CheckExact(obj)) return out.append("module:"), attr_text(obj, "__name__");
    if (type == &PyCFunction_Type || type == &PyWrapperDescr_Type || type == &PyMethodDescr_Type) {
        out.append("builtin:").append(type->tp_name).push_back(':');
        return attr_text(obj, "__qualname__");
    }
    out.append("instance:");
    return qualified(reinterpret_cast<PyObject*>(type));
}

const char* kind_name(Kind kind) noexcept {
    switch (kind) {
        case Kind::global: return "GLOBAL";
        case Kind::attr: return "ATTR";
    }
    return "";
}

bool write_entries(Writer& w, PyObject* const* captured) {
    w.out.append("ini-main fingerprint 2\nversion:");
    PyObject* info = PySys_GetObject("version_info");  // borrowed
    if (info == nullptr) return false;
    for (Py_ssize_t i = 0; i < PySequence_Size(info); ++i) {
        Ref part = Ref::steal(PySequence_GetItem(info, i));
        Ref str = part ? Ref::steal(PyObject_Str(part.get())) : Ref();
        if (!str) return false;
        if (i > 0) w.out.push_back('.');
        if (!w.text(str.get())) return false;
    }
    w.out.push_back('\n');
    for (size_t i = 0; i < entry_count; ++i) {
        const Entry& e = entries[i];
        w.out.append(kind_name(e.kind)).append(" ").append(e.owner).append(" ").append(e.name);
        w.out.push_back(' ');
        if (captured[i] == nullptr) {
            w.out.append("missing");
        } else if (!w.canon(captured[i])) {
            return false;
        }
        w.out.push_back('\n');
    }
    return true;
}

bool write_class(Writer& w, PyObject* cls) {
    w.out.append("CLASS ");
    if (!w.attr_text(cls, "__qualname__")) return false;
    w.out.push_back(' ');
    if (!w.canon(reinterpret_cast<PyObject*>(Py_TYPE(cls)))) return false;
    w.out.push_back(' ');
    if (!w.canon(reinterpret_cast<PyTypeObject*>(cls)->tp_bases)) return false;
    w.out.push_back('\n');
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
    if (!dict) return false;
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(dict.get(), &position, &name, &value)) {
        if (is_cache(name)) continue;
        w.out.append("  ");
        if (!w.text(name)) return false;
        w.out.push_back(' ');
        if (!w.canon(value)) return false;
        w.out.push_back('\n');
    }
    return true;
}

// Every name of configparser's namespace but the dunders its import sets
// (paths, the loader), then every class it defines, member by member.
bool write_module(Writer& w, PyObject* configparser_dict) {
    w.out.append("MODULE configparser\n");
    Ref classes = Ref::steal(PyList_New(0));
    Ref snapshot = Ref::steal(PyDict_Copy(configparser_dict));
    if (!classes || !snapshot) return false;
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(snapshot.get(), &position, &name, &value)) {
        if (!PyUnicode_CheckExact(name) || is_dunder(name)) continue;
        if (!w.text(name)) return false;
        w.out.push_back(' ');
        if (!w.canon(value)) return false;
        w.out.push_back('\n');
        if (defined_by_configparser(value)) {
            const int known = PySequence_Contains(classes.get(), value);
            if (known < 0 || (known == 0 && PyList_Append(classes.get(), value) < 0)) return false;
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(classes.get()); ++i) {
        if (!write_class(w, PyList_GET_ITEM(classes.get(), i))) return false;
    }
    return true;
}

}  // namespace

bool fingerprint(PyObject* const* captured, PyObject* cached_property_type, PyObject* pattern_type,
                 PyObject* configparser_dict, char (&hex)[65]) noexcept {
    hex[0] = '\0';
    Writer w{cached_property_type, pattern_type, {}};
    try {
        if (!write_entries(w, captured) || !write_module(w, configparser_dict)) return false;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    sha256_hex(w.out, hex);
    return true;
}

bool verified(const char* hex) noexcept {
    static constexpr const char* known[] = {
#define VERIFIED(release, digest) digest,
#include "native/verified.def"
#undef VERIFIED
    };
    for (const char* digest : known) {
        if (std::strcmp(digest, hex) == 0) return true;
    }
    return false;
}

}  // namespace ini::fast
