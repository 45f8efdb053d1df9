#include "store/refusals.hpp"

#include <array>

namespace ini {

namespace {

bool is_surrogate(Py_UCS4 c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }
bool is_line_break(Py_UCS4 c) noexcept { return c == '\n' || c == '\r'; }

// What one pass over a text finds; the checks then report by priority, not
// by position, so that the message for a text with several faults is fixed.
struct Scan {
    bool line_break = false;
    bool carriage_return = false;
    bool delimiter = false;
    bool surrogate = false;
    bool comment_line = false;  // a line after the first reads as a comment
};

// What an ASCII character can mean to the checks, one bit per meaning.
enum : unsigned char { lf = 1, cr = 2, delim = 4 };

constexpr auto ascii_meanings = [] {
    std::array<unsigned char, 128> table{};
    table['\n'] = lf;
    table['\r'] = cr;
    table['='] = table[':'] = delim;
    return table;
}();

[[gnu::noinline]] Scan scan_general(PyObject* text) noexcept;

// Names and values are nearly always ASCII without a line feed: one table
// lookup per character then answers every question. A line feed needs the
// line-by-line look of the general scan. (The early exit also keeps the
// loop scalar, which suits texts this short.)
Scan scan(PyObject* text) noexcept {
    if (!PyUnicode_IS_ASCII(text)) return scan_general(text);
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    unsigned seen = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const unsigned meaning = ascii_meanings[data[i]];
        if (meaning & lf) return scan_general(text);
        seen |= meaning;
    }
    Scan found;
    found.line_break = found.carriage_return = (seen & cr) != 0;
    found.delimiter = (seen & delim) != 0;
    return found;
}

Scan scan_general(PyObject* text) noexcept {
    Scan found;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    bool line_start = false;  // inside the leading whitespace of a later line
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (line_start && !Py_UNICODE_ISSPACE(c)) {
            found.comment_line |= c == '#' || c == ';';
            line_start = false;
        }
        if (c == '\n') line_start = true;
        found.line_break |= is_line_break(c);
        found.carriage_return |= c == '\r';
        found.delimiter |= c == '=' || c == ':';
        found.surrogate |= is_surrogate(c);
    }
    return found;
}

Py_UCS4 first_char(PyObject* text) noexcept { return PyUnicode_READ_CHAR(text, 0); }
Py_UCS4 last_char(PyObject* text) noexcept {
    return PyUnicode_READ_CHAR(text, PyUnicode_GET_LENGTH(text) - 1);
}

[[gnu::cold, gnu::noinline]] bool refuse_section(PyObject* section, const char* why) noexcept {
    PyErr_Format(PyExc_ValueError, "section name %R %s", section, why);
    return false;
}

[[gnu::cold, gnu::noinline]] bool refuse_option(PyObject* section, PyObject* option,
                                                const char* why) noexcept {
    PyErr_Format(PyExc_ValueError, "option name %R in section %R %s", option, section, why);
    return false;
}

[[gnu::cold, gnu::noinline]] bool refuse_value(PyObject* section, PyObject* option,
                                               const char* why) noexcept {
    PyErr_Format(PyExc_ValueError, "value of option %R in section %R %s", option, section, why);
    return false;
}

constexpr const char* unencodable = "cannot be encoded as UTF-8";

}  // namespace

bool check_section_name(PyObject* section) noexcept {
    if (!PyUnicode_Check(section)) return true;
    if (PyUnicode_GET_LENGTH(section) == 0) return refuse_section(section, "is empty");
    const Scan found = scan(section);
    if (found.line_break) return refuse_section(section, "contains a line break");
    if (found.surrogate) return refuse_section(section, unencodable);
    return true;
}

bool check_option_name(PyObject* section, PyObject* option) noexcept {
    if (!PyUnicode_Check(option)) return true;
    if (PyUnicode_GET_LENGTH(option) == 0) return refuse_option(section, option, "is empty");
    const Scan found = scan(option);
    if (found.line_break) return refuse_option(section, option, "contains a line break");
    if (found.delimiter) return refuse_option(section, option, "contains '=' or ':'");
    const Py_UCS4 first = first_char(option);
    if (first == '#' || first == ';' || first == '[') {
        return refuse_option(section, option, "starts with '#', ';' or '['");
    }
    if (Py_UNICODE_ISSPACE(first)) return refuse_option(section, option, "starts with whitespace");
    if (Py_UNICODE_ISSPACE(last_char(option))) {
        return refuse_option(section, option, "ends with whitespace");
    }
    if (found.surrogate) return refuse_option(section, option, unencodable);
    return true;
}

bool check_value_text(PyObject* section, PyObject* option, PyObject* text) noexcept {
    const Scan found = scan(text);
    if (found.carriage_return) return refuse_value(section, option, "contains a carriage return");
    if (found.comment_line) {
        return refuse_value(section, option, "has a line that would be read back as a comment");
    }
    if (found.surrogate) return refuse_value(section, option, unencodable);
    return true;
}

}  // namespace ini
