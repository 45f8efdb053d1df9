// The text of the engine's write(fp), built straight into UTF-8.
//
// RawConfigParser.write with the default delimiters writes the default
// section (when it holds anything) and then every section as
//     [name]\n  key = value\n ...  \n
// with each line break of a value followed by a tab. Interpolation's
// before_write returns the value as it is. Names and values that are not
// exact str, and text that cannot be encoded, are left to the engine.
#include <new>
#include <string_view>

#include "native/engine.hpp"

namespace ini::fast {

namespace {

// The UTF-8 of an exact str, kept alive by `holder` when it had to be made.
bool utf8_of(PyObject* text, Ref& holder, std::string_view& out) noexcept {
    if (!PyUnicode_CheckExact(text)) return false;
    if (PyUnicode_IS_ASCII(text)) {
        out = std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
        return true;
    }
    // A separate bytes object, so that no UTF-8 copy stays cached on the str.
    holder = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!holder) {
        // Text the codec refuses (a lone surrogate): the engine's write
        // raises that itself. Out of memory is passed on.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(holder.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(holder.get())));
    return true;
}

void append_value(std::string& utf8, std::string_view value) {
    size_t start = 0;
    for (size_t at = value.find('\n'); at != std::string_view::npos; at = value.find('\n', start)) {
        utf8.append(value.substr(start, at + 1 - start));
        utf8.push_back('\t');
        start = at + 1;
    }
    utf8.append(value.substr(start));
}

bool append_section(std::string& utf8, PyObject* name, PyObject* options) {
    Ref name_holder;
    std::string_view name_text;
    if (!utf8_of(name, name_holder, name_text) || !plain_dict(options)) return false;
    utf8.push_back('[');
    utf8.append(name_text);
    utf8.append("]\n");
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(options, &position, &key, &value)) {
        Ref key_holder, value_holder;
        std::string_view key_text, value_text;
        if (!utf8_of(key, key_holder, key_text) || !utf8_of(value, value_holder, value_text)) {
            return false;
        }
        utf8.append(key_text);
        utf8.append(" = ");
        append_value(utf8, value_text);
        utf8.push_back('\n');
    }
    utf8.push_back('\n');
    return true;
}

bool append_all(const Engine& e, std::string& utf8) {
    if (PyDict_GET_SIZE(e.defaults.get()) != 0) {
        Ref name = Ref::steal(PyUnicode_FromString("DEFAULT"));
        if (!name || !append_section(utf8, name.get(), e.defaults.get())) return false;
    }
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* options;
    while (PyDict_Next(e.sections.get(), &position, &name, &options)) {
        // Nothing here runs code of the caller's; held all the same.
        const Ref held_name = Ref::borrow(name), held_options = Ref::borrow(options);
        if (!append_section(utf8, name, options)) return false;
    }
    return true;
}

}  // namespace

bool render(PyObject* engine, std::string& utf8) noexcept {
    Engine e;
    if (!view(engine, e, need_sections | need_defaults | need_interpolation)) return false;
    utf8.clear();
    try {
        if (append_all(e, utf8)) return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    utf8.clear();
    return false;
}

}  // namespace ini::fast
