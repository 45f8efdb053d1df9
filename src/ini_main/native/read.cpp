// engine.read(path, encoding="utf-8-sig") for an engine without sections.
//
// The file is opened as the engine opens it (the same open, so the same
// audit event and the same errors), read whole, decoded, split into lines as
// a text-mode file splits them, and parsed by the grammar of
// RawConfigParser._read_inner with the default settings:
//
//  - a line whose strip() is empty is blank: inside a value it adds an empty
//    line to it; one whose strip() starts with '#' or ';' is a comment and
//    is skipped wherever it stands;
//  - a line indented deeper than the last option line continues that
//    option's value with its strip();
//  - otherwise "[" ... "]" up to the last ']' (one character at least
//    between) names a section, and anything else must hold '=' or ':', the
//    first of which splits it into a name (right-stripped, then lowered) and
//    a value (stripped); a line without either, or with an empty name, is a
//    parsing error reported at the end;
//  - a value is its lines joined by '\n' and right-stripped.
//
// `\s` and str.strip() agree on what whitespace is (Py_UNICODE_ISSPACE), so
// every scan here is one linear pass, where the engine's option pattern
// backtracks.
//
// The parse fills dicts of its own; the engine receives them only once the
// file is parsed, or, for a fatal error, as much as the engine's own read
// would have kept when it stopped there.
#include <cstring>
#include <new>
#include <vector>

#include "native/engine.hpp"
#include "state.hpp"

namespace ini::fast {

namespace {

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

// One line as the file yields it: its text and whether a line end followed.
struct RawLine {
    long number;
    Span span;
    bool ended;
};

enum class Fatal { none, missing_header, duplicate_section, duplicate_option };

// What the parse found; the dicts are new and not yet the engine's.
struct Parsed {
    Ref sections;  // section name -> option dict, in file order
    Ref defaults;  // the options of [DEFAULT]
    std::vector<RawLine> bad_lines;
    Fatal fatal = Fatal::none;
    RawLine fatal_line{};
    Ref fatal_section;
    Ref fatal_option;
};

bool is_space(Py_UCS4 c) noexcept { return Py_UNICODE_ISSPACE(c); }

template <typename Ch>
class Parser {
public:
    Parser(PyObject* text, Parsed& out) noexcept
        : text_(text),
          data_(static_cast<const Ch*>(PyUnicode_DATA(text))),
          length_(PyUnicode_GET_LENGTH(text)),
          ascii_(PyUnicode_IS_ASCII(text)),
          out_(out) {}

    // False with an exception set when memory ran out; a grammar error is
    // recorded in `out` and ends the parse with true.
    bool run() {
        Py_ssize_t pos = 0;
        long number = 0;
        while (pos < length_ && out_.fatal == Fatal::none) {
            const Py_ssize_t start = pos;
            const Py_ssize_t end = line_end(pos);
            bool ended = end < length_;
            pos = end;
            if (ended) pos += (data_[end] == '\r' && end + 1 < length_ && data_[end + 1] == '\n') ? 2 : 1;
            if (!line(RawLine{++number, Span{start, end}, ended})) return false;
        }
        return finish_option();
    }

private:
    Py_ssize_t line_end(Py_ssize_t pos) const noexcept {
        if constexpr (sizeof(Ch) == 1) {
            const void* lf = std::memchr(data_ + pos, '\n', static_cast<size_t>(length_ - pos));
            const Py_ssize_t limit = lf ? static_cast<const Ch*>(lf) - data_ : length_;
            const void* cr = std::memchr(data_ + pos, '\r', static_cast<size_t>(limit - pos));
            return cr ? static_cast<const Ch*>(cr) - data_ : limit;
        } else {
            while (pos < length_ && data_[pos] != '\n' && data_[pos] != '\r') ++pos;
            return pos;
        }
    }

    bool line(const RawLine& raw) {
        Py_ssize_t first = raw.span.start;
        const Py_ssize_t stop = raw.span.end;
        while (first < stop && is_space(data_[first])) ++first;
        if (first == stop) {
            if (cursect_ != nullptr && option_named_) parts_.push_back(Span{0, 0});
            return true;
        }
        Py_ssize_t last = stop;
        while (is_space(data_[last - 1])) --last;
        const Ch lead = data_[first];
        if (lead == '#' || lead == ';') return true;
        const Py_ssize_t indent = first - raw.span.start;
        if (cursect_ != nullptr && option_named_ && indent > indent_level_) {
            parts_.push_back(Span{first, last});
            return true;
        }
        indent_level_ = indent;
        const Span clean{first, last};
        if (lead == '[') {
            const Py_ssize_t close = last_close(clean);
            if (close > 0) return header(raw, Span{first + 1, close});
        }
        if (cursect_ == nullptr) return stop_at(Fatal::missing_header, raw);
        return option(raw, clean);
    }

    // The ']' ending a header: the last one, with a character before it.
    Py_ssize_t last_close(const Span& clean) const noexcept {
        for (Py_ssize_t i = clean.end - 1; i >= clean.start + 2; --i) {
            if (data_[i] == ']') return i;
        }
        return -1;
    }

    bool header(const RawLine& raw, const Span& name_span) {
        if (!finish_option()) return false;
        option_named_ = false;
        Ref name = substring(name_span);
        if (!name) return false;
        const int seen = PyDict_Contains(out_.sections.get(), name.get());
        if (seen < 0) return false;
        if (seen) {
            out_.fatal_section = name;
            return stop_at(Fatal::duplicate_section, raw);
        }
        if (PyUnicode_CompareWithASCIIString(name.get(), "DEFAULT") == 0) {
            cursect_ = out_.defaults.get();
        } else {
            Ref options = Ref::steal(PyDict_New());
            if (!options || PyDict_SetItem(out_.sections.get(), name.get(), options.get()) < 0) {
                return false;
            }
            cursect_ = options.get();  // held by out_.sections
        }
        section_ = name;
        return true;
    }

    bool option(const RawLine& raw, const Span& clean) {
        Py_ssize_t delimiter = clean.start;
        while (delimiter < clean.end && data_[delimiter] != '=' && data_[delimiter] != ':') {
            ++delimiter;
        }
        if (delimiter == clean.end) {
            out_.bad_lines.push_back(raw);
            return true;
        }
        Py_ssize_t name_end = delimiter;
        while (name_end > clean.start && is_space(data_[name_end - 1])) --name_end;
        if (name_end == clean.start) out_.bad_lines.push_back(raw);
        if (!finish_option()) return false;
        Ref key = lowered_key(Span{clean.start, name_end});
        if (!key) return false;
        const int seen = PyDict_Contains(cursect_, key.get());
        if (seen < 0) return false;
        if (seen) {
            out_.fatal_section = section_;
            out_.fatal_option = key;
            return stop_at(Fatal::duplicate_option, raw);
        }
        Py_ssize_t value_start = delimiter + 1;
        while (value_start < clean.end && is_space(data_[value_start])) ++value_start;
        option_ = key;
        option_dict_ = cursect_;
        option_named_ = name_end > clean.start;
        parts_.push_back(Span{value_start, clean.end});
        return true;
    }

    bool stop_at(Fatal fatal, const RawLine& raw) {
        out_.fatal = fatal;
        out_.fatal_line = raw;
        return true;
    }

    // Stores the pending option with its lines joined and right-stripped:
    // only trailing empty lines can end in whitespace.
    bool finish_option() {
        if (!option_) return true;
        while (!parts_.empty() && parts_.back().start == parts_.back().end) parts_.pop_back();
        Ref value = joined();
        const bool stored = value && PyDict_SetItem(option_dict_, option_.get(), value.get()) == 0;
        option_ = Ref();
        parts_.clear();
        return stored;
    }

    Ref joined() {
        if (parts_.empty()) return Ref::borrow(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR));
        if (parts_.size() == 1) return substring(parts_.front());
        Ref pieces = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parts_.size())));
        if (!pieces) return pieces;
        for (size_t i = 0; i < parts_.size(); ++i) {
            PyObject* piece = PyUnicode_Substring(text_, parts_[i].start, parts_[i].end);
            if (piece == nullptr) return Ref();
            PyList_SET_ITEM(pieces.get(), static_cast<Py_ssize_t>(i), piece);
        }
        Ref separator = Ref::steal(PyUnicode_FromOrdinal('\n'));
        if (!separator) return separator;
        return Ref::steal(PyUnicode_Join(separator.get(), pieces.get()));
    }

    Ref substring(const Span& span) const noexcept {
        return Ref::steal(PyUnicode_Substring(text_, span.start, span.end));
    }

    // optionxform: str.lower() of the name.
    Ref lowered_key(const Span& span) const noexcept {
        if (!ascii_) {
            Ref name = substring(span);
            return name ? lowered(name.get()) : name;
        }
        const Py_ssize_t length = span.end - span.start;
        Ref key = Ref::steal(PyUnicode_New(length, 127));
        if (!key) return key;
        Py_UCS1* to = PyUnicode_1BYTE_DATA(key.get());
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Ch c = data_[span.start + i];
            to[i] = static_cast<Py_UCS1>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
        }
        return key;
    }

    PyObject* text_;
    const Ch* data_;
    Py_ssize_t length_;
    bool ascii_;
    Parsed& out_;
    PyObject* cursect_ = nullptr;  // borrowed from out_
    Ref section_;
    Ref option_;                       // the pending option's key
    PyObject* option_dict_ = nullptr;  // where it goes, borrowed from out_
    bool option_named_ = false;        // its name is not empty
    std::vector<Span> parts_;
    Py_ssize_t indent_level_ = 0;
};

bool parse(PyObject* text, Parsed& out) noexcept {
    out.sections = Ref::steal(PyDict_New());
    out.defaults = Ref::steal(PyDict_New());
    if (!out.sections || !out.defaults) return false;
    try {
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return Parser<Py_UCS1>(text, out).run();
            case PyUnicode_2BYTE_KIND: return Parser<Py_UCS2>(text, out).run();
            default: return Parser<Py_UCS4>(text, out).run();
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// --- handing the result to the engine --------------------------------------------------

bool commit(const Engine& e, const Parsed& parsed) noexcept {
    Ref proxy_class = engine_global("SectionProxy");
    if (!proxy_class) return false;
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* options;
    while (PyDict_Next(parsed.sections.get(), &position, &name, &options)) {
        if (PyDict_SetItem(e.sections.get(), name, options) < 0) return false;
        Ref proxy = Ref::steal(
            PyObject_CallFunctionObjArgs(proxy_class.get(), e.object, name, nullptr));
        if (!proxy || PyDict_SetItem(e.proxies.get(), name, proxy.get()) < 0) return false;
    }
    position = 0;
    PyObject* value;
    while (PyDict_Next(parsed.defaults.get(), &position, &name, &value)) {
        if (PyDict_SetItem(e.defaults.get(), name, value) < 0) return false;
    }
    return true;
}

// The engine's _Line for a line of the file, as its errors carry it: the
// line with its end turned into '\n', and its cached `clean` computed.
Ref line_object(PyObject* text, PyObject* prefixes, const RawLine& raw) noexcept {
    Ref body = Ref::steal(PyUnicode_Substring(text, raw.span.start, raw.span.end));
    if (!body) return body;
    if (raw.ended) {
        Ref newline = Ref::steal(PyUnicode_FromOrdinal('\n'));
        if (!newline) return newline;
        body = Ref::steal(PyUnicode_Concat(body.get(), newline.get()));
        if (!body) return body;
    }
    Ref line_class = engine_global("_Line");
    if (!line_class) return line_class;
    Ref line = Ref::steal(
        PyObject_CallFunctionObjArgs(line_class.get(), body.get(), prefixes, nullptr));
    if (!line) return line;
    Ref clean = Ref::steal(PyObject_GetAttrString(line.get(), "clean"));
    if (!clean) return clean;
    return line;
}

Ref line_number(long number) noexcept { return Ref::steal(PyLong_FromLong(number)); }

[[gnu::cold]] Ref parsing_error(PyObject* text, PyObject* path, PyObject* prefixes,
                                const std::vector<RawLine>& bad_lines) noexcept {
    Ref error_class = engine_global("ParsingError");
    if (!error_class) return error_class;
    Ref error;
    for (const RawLine& raw : bad_lines) {
        Ref line = line_object(text, prefixes, raw);
        Ref number = line_number(raw.number);
        if (!line || !number) return Ref();
        if (!error) {
            error = Ref::steal(PyObject_CallFunctionObjArgs(error_class.get(), path, number.get(),
                                                            line.get(), nullptr));
        } else if (!Ref::steal(PyObject_CallMethod(error.get(), "append", "OO", number.get(),
                                                   line.get()))) {
            return Ref();
        }
        if (!error) return error;
    }
    return error;
}

[[gnu::cold]] Ref fatal_error(PyObject* text, PyObject* path, PyObject* prefixes,
                              const Parsed& parsed) noexcept {
    Ref number = line_number(parsed.fatal_line.number);
    if (!number) return number;
    switch (parsed.fatal) {
        case Fatal::missing_header: {
            Ref line = line_object(text, prefixes, parsed.fatal_line);
            Ref error_class = engine_global("MissingSectionHeaderError");
            if (!line || !error_class) return Ref();
            return Ref::steal(PyObject_CallFunctionObjArgs(error_class.get(), path, number.get(),
                                                           line.get(), nullptr));
        }
        case Fatal::duplicate_section: {
            Ref error_class = engine_global("DuplicateSectionError");
            if (!error_class) return error_class;
            return Ref::steal(PyObject_CallFunctionObjArgs(
                error_class.get(), parsed.fatal_section.get(), path, number.get(), nullptr));
        }
        case Fatal::duplicate_option: {
            Ref error_class = engine_global("DuplicateOptionError");
            if (!error_class) return error_class;
            return Ref::steal(PyObject_CallFunctionObjArgs(
                error_class.get(), parsed.fatal_section.get(), parsed.fatal_option.get(), path,
                number.get(), nullptr));
        }
        case Fatal::none: break;
    }
    return Ref();
}

// Raises the error that the engine's read would raise after this parse.
[[gnu::cold]] void raise_grammar_error(PyObject* text, PyObject* path, PyObject* prefixes,
                                       const Parsed& parsed) noexcept {
    Ref error = parsed.fatal != Fatal::none
                    ? fatal_error(text, path, prefixes, parsed)
                    : parsing_error(text, path, prefixes, parsed.bad_lines);
    if (!error) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// --- what must hold before the file is touched ------------------------------------------

bool is_text(PyObject* obj, const char* text) noexcept {
    return PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// The comment prefixes of the defaults: ('#', ';') for full lines, none inline.
Ref default_prefixes(PyObject* engine) noexcept {
    Ref prefixes = Ref::steal(PyObject_GetAttrString(engine, "_prefixes"));
    if (!prefixes) return prefixes;
    // sys.implementation is a types.SimpleNamespace, whose attributes are
    // plain data.
    PyObject* implementation = PySys_GetObject("implementation");
    if (implementation == nullptr || Py_TYPE(prefixes.get()) != Py_TYPE(implementation)) {
        return Ref();
    }
    Ref full = Ref::steal(PyObject_GetAttrString(prefixes.get(), "full"));
    Ref inline_ = Ref::steal(PyObject_GetAttrString(prefixes.get(), "inline"));
    if (!full || !inline_ || !PyTuple_CheckExact(full.get()) || PyTuple_GET_SIZE(full.get()) != 2 ||
        !is_text(PyTuple_GET_ITEM(full.get(), 0), "#") ||
        !is_text(PyTuple_GET_ITEM(full.get(), 1), ";") || !PyTuple_CheckExact(inline_.get()) ||
        PyTuple_GET_SIZE(inline_.get()) != 0) {
        return Ref();
    }
    return prefixes;
}

// A path that read() takes as one file name and that open() takes without
// running code of the caller's: str, bytes, or pathlib's own path.
bool plain_path(PyObject* path) noexcept {
    if (PyUnicode_CheckExact(path) || PyBytes_CheckExact(path)) return true;
    PyObject* pathlib = PyDict_GetItemString(PyImport_GetModuleDict(), "pathlib");
    if (pathlib == nullptr) return false;
    Ref posix_path = Ref::steal(PyObject_GetAttrString(pathlib, "PosixPath"));
    if (!posix_path) {
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(path)) == posix_path.get();
}

// The engine's read and the file layer would find exactly the built-in open.
bool plain_open() noexcept {
    Ref module_builtins = engine_global("__builtins__");
    if (!module_builtins || !PyDict_CheckExact(module_builtins.get())) {
        PyErr_Clear();
        return false;
    }
    Ref own_open = engine_global("open");
    if (own_open) return false;
    PyErr_Clear();
    return PyDict_GetItemString(module_builtins.get(), "open") == state.open;
}

bool loaded_defaults_are_text(const Engine& e) noexcept {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(e.defaults.get(), &position, &key, &value)) {
        if (!PyUnicode_CheckExact(value)) return false;
    }
    return true;
}

// --- the file ---------------------------------------------------------------------------

int error_number_of_pending() noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    int number = 0;
    if (error) {
        Ref value = Ref::steal(PyObject_GetAttrString(error.get(), "errno"));
        if (value && PyLong_Check(value.get())) number = PyLong_AsInt(value.get());
    }
    PyErr_Clear();
    return number;
}

// The file's bytes, or null: `result` then says whether it could not be
// opened (an OSError of open, which the engine passes over) or whether the
// engine must do the reading itself.
Ref file_bytes(PyObject* path, LoadResult& result) noexcept {
    Ref mode = Ref::steal(PyUnicode_FromString("rb"));
    Ref buffering = Ref::steal(PyLong_FromLong(0));
    if (!mode || !buffering) return Ref();
    Ref file = Ref::steal(
        PyObject_CallFunctionObjArgs(state.open, path, mode.get(), buffering.get(), nullptr));
    if (!file) {
        if (PyErr_ExceptionMatches(PyExc_OSError)) {
            result.outcome = Load::unopened;
            result.error_number = error_number_of_pending();
        }
        PyErr_Clear();
        return Ref();
    }
    Ref content = Ref::steal(PyObject_CallMethod(file.get(), "readall", nullptr));
    Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    if (!content || !closed || !PyBytes_CheckExact(content.get())) {
        PyErr_Clear();
        return Ref();
    }
    return content;
}

// utf-8-sig: an optional byte-order mark, then strict UTF-8.
Ref decoded(PyObject* content) noexcept {
    const char* data = PyBytes_AS_STRING(content);
    Py_ssize_t size = PyBytes_GET_SIZE(content);
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        data += 3;
        size -= 3;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, size, "strict"));
    if (!text) PyErr_Clear();
    return text;
}

}  // namespace

LoadResult read(PyObject* engine, PyObject* path) noexcept {
    LoadResult result;
    Engine e;
    if (!view(engine, e, need_all) || !line_classes_hold() || PyDict_GET_SIZE(e.sections.get()) != 0 ||
        !loaded_defaults_are_text(e) || !plain_path(path) || !plain_open()) {
        return result;
    }
    Ref prefixes = default_prefixes(engine);
    if (!prefixes) {
        PyErr_Clear();
        return result;
    }
    Ref text;
    {
        Ref content = file_bytes(path, result);
        if (!content) return result;
        // A decoding error stops the engine part way through the file,
        // which only the engine itself can reproduce.
        text = decoded(content.get());
        if (!text) return result;
    }
    result.outcome = Load::failed;
    Parsed parsed;
    if (!parse(text.get(), parsed)) return result;
    if (!commit(e, parsed)) return result;
    if (parsed.fatal != Fatal::none || !parsed.bad_lines.empty()) {
        raise_grammar_error(text.get(), path, prefixes.get(), parsed);
        return result;
    }
    result.outcome = Load::loaded;
    return result;
}

}  // namespace ini::fast
