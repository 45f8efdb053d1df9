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
#include <sys/stat.h>

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

// Each (key, value) of `dict`, held: SectionProxy's __init__ and the
// release of a replaced default run code while the pairs are stored.
template <typename Store>
bool for_each_pair(PyObject* dict, Store store) noexcept {
    Ref pairs = Ref::steal(PyDict_Items(dict));
    if (!pairs) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(pairs.get(), i));
        if (!store(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1))) return false;
    }
    return true;
}

// Each option into a section the engine already holds, as the engine's
// reader assigns them: a known option keeps its place, a new one goes last.
bool merge_options(PyObject* existing, PyObject* options) noexcept {
    return for_each_pair(options, [&](PyObject* name, PyObject* value) {
        return PyDict_SetItem(existing, name, value) == 0;
    });
}

bool commit(const Engine& e, const Parsed& parsed) noexcept {
    const bool sections_stored = for_each_pair(parsed.sections.get(), [&](PyObject* name, PyObject* options) {
        Ref existing = Ref::borrow(PyDict_GetItemWithError(e.sections.get(), name));
        if (existing) return merge_options(existing.get(), options);
        if (PyErr_Occurred() || PyDict_SetItem(e.sections.get(), name, options) < 0) return false;
        Ref proxy = section_proxy(e.object, name);
        return proxy && PyDict_SetItem(e.proxies.get(), name, proxy.get()) == 0;
    });
    return sections_stored && for_each_pair(parsed.defaults.get(), [&](PyObject* name, PyObject* value) {
        return PyDict_SetItem(e.defaults.get(), name, value) == 0;
    });
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
    PyObject* line_class = original(Original::global_configparser__Line);
    Ref line = Ref::steal(PyObject_CallFunctionObjArgs(line_class, body.get(), prefixes, nullptr));
    if (!line) return line;
    Ref clean = Ref::steal(PyObject_GetAttrString(line.get(), "clean"));
    if (!clean) return clean;
    return line;
}

Ref line_number(long number) noexcept { return Ref::steal(PyLong_FromLong(number)); }

[[gnu::cold]] Ref parsing_error(PyObject* text, PyObject* path, PyObject* prefixes,
                                const std::vector<RawLine>& bad_lines) noexcept {
    Ref error_class = Ref::borrow(original(Original::global_configparser_ParsingError));
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
            Ref error_class = Ref::borrow(original(Original::global_configparser_MissingSectionHeaderError));
            if (!line) return Ref();
            return Ref::steal(PyObject_CallFunctionObjArgs(error_class.get(), path, number.get(),
                                                           line.get(), nullptr));
        }
        case Fatal::duplicate_section: {
            Ref error_class = Ref::borrow(original(Original::global_configparser_DuplicateSectionError));
            return Ref::steal(PyObject_CallFunctionObjArgs(
                error_class.get(), parsed.fatal_section.get(), path, number.get(), nullptr));
        }
        case Fatal::duplicate_option: {
            Ref error_class = Ref::borrow(original(Original::global_configparser_DuplicateOptionError));
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
    return obj != nullptr && PyUnicode_CheckExact(obj) &&
           PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// The comment prefixes of the defaults: ('#', ';') for full lines, none
// inline. The namespace's own dict is read, so no code of the caller's runs.
bool default_prefixes(PyObject* prefixes) noexcept {
    Ref own = Ref::steal(PyObject_GenericGetDict(prefixes, nullptr));
    if (!own) return false;
    if (!plain_dict(own.get()) || PyDict_GET_SIZE(own.get()) != 2) return false;
    PyObject* full = PyDict_GetItemString(own.get(), "full");
    PyObject* inline_ = PyDict_GetItemString(own.get(), "inline");
    return full != nullptr && inline_ != nullptr && PyTuple_CheckExact(full) &&
           PyTuple_GET_SIZE(full) == 2 && is_text(PyTuple_GET_ITEM(full, 0), "#") &&
           is_text(PyTuple_GET_ITEM(full, 1), ";") && PyTuple_CheckExact(inline_) &&
           PyTuple_GET_SIZE(inline_) == 0;
}

// A path that read() takes as one file name: str, bytes, or pathlib's own
// path (whose __fspath__ both open() calls run alike).
bool plain_path(PyObject* path) noexcept {
    if (PyUnicode_CheckExact(path) || PyBytes_CheckExact(path)) return true;
    PyObject* pathlib = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "pathlib", &pathlib) <= 0) return false;
    Ref module = Ref::steal(pathlib);
    PyObject* posix_path = nullptr;
    if (PyObject_GetOptionalAttrString(module.get(), "PosixPath", &posix_path) <= 0) return false;
    Ref held = Ref::steal(posix_path);
    return reinterpret_cast<PyObject*>(Py_TYPE(path)) == posix_path;
}

// The sections a previous read left: plain dicts of text, which the
// engine's reader would update in place and whose values its join leaves
// as they are. Anything else (a list, a dict subclass) it would treat in
// its own way.
bool loaded_sections_are_text(const Engine& e) noexcept {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* options;
    while (PyDict_Next(e.sections.get(), &position, &name, &options)) {
        if (!plain_dict(options)) return false;
        Py_ssize_t inner = 0;
        PyObject* value;
        while (PyDict_Next(options, &inner, nullptr, &value)) {
            if (!PyUnicode_CheckExact(value)) return false;
        }
    }
    return true;
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
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(error.get(), "errno", &value) < 0) {
        PyErr_Clear();  // an OSError's own errno cannot fail; a subclass's may: none then
    }
    Ref held = Ref::steal(value);
    if (held && PyLong_Check(held.get())) {
        number = PyLong_AsInt(held.get());
        if (number == -1 && PyErr_Occurred()) {
            PyErr_Clear();  // out of int range: no errno worth reporting
            number = 0;
        }
    }
    return number;
}

// An OSError is what the engine's read passes over (the file is skipped);
// anything else (a signal's KeyboardInterrupt, MemoryError) goes on.
bool skipped_by_engine() noexcept { return PyErr_ExceptionMatches(PyExc_OSError); }

Ref call_io(const char* name, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr) noexcept {
    Ref io = Ref::borrow(original(Original::global_configparser_io));
    Ref callable = Ref::steal(PyObject_GetAttrString(io.get(), name));
    if (!callable) return callable;
    return Ref::steal(PyObject_Vectorcall(callable.get(), args, nargs, kwnames));
}

// What open(path, encoding="utf-8-sig") builds over `raw`, as the engine's
// read would have it: a BufferedReader of the file's block size under a
// TextIOWrapper. Over a BytesIO of the bytes already read, the wrapper asks
// for the same 8192-byte chunks as over the file, so it decodes (and fails)
// exactly as it would have.
Ref text_over(PyObject* raw, bool buffered) noexcept {
    Ref stream = Ref::borrow(raw);
    if (buffered) {
        Ref size = Ref::steal(PyObject_GetAttrString(raw, "_blksize"));
        if (!size) return size;
        PyObject* args[] = {raw, size.get()};
        stream = call_io("BufferedReader", args, 2);
        if (!stream) return stream;
    }
    Ref encoding = Ref::steal(PyUnicode_FromString("utf-8-sig"));
    if (!encoding) return encoding;
    PyObject* args[] = {stream.get(), encoding.get()};
    return call_io("TextIOWrapper", args, 2);
}

// The engine's own _read (or `reader`) over `text`, then the file closed,
// as read()'s `with` block does: an OSError from either skips the file.
LoadResult engine_reads(PyObject* engine, PyObject* text, PyObject* path, const char* reader = "_read") noexcept {
    LoadResult result;
    result.outcome = Load::loaded;
    Ref read = Ref::steal(PyObject_CallMethod(engine, reader, "OO", text, path));
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref closed = Ref::steal(PyObject_CallMethod(text, "close", nullptr));
    if (!closed) {
        Ref close_error = Ref::steal(PyErr_GetRaisedException());
        if (pending) PyException_SetContext(close_error.get(), pending.release());
        pending = close_error;
    }
    if (pending) {
        PyErr_SetRaisedException(pending.release());
        result.outcome = skipped_by_engine() ? Load::unopened : Load::failed;
        if (result.outcome == Load::unopened) result.error_number = error_number_of_pending();
    }
    return result;
}

struct Opened {
    Ref raw;           // the FileIO
    bool regular = false;
};

// Opens the file once, as the engine does: the same open, so the same
// audit event and the same errors.
bool open_file(PyObject* path, Opened& file, LoadResult& result) noexcept {
    Ref mode = Ref::steal(PyUnicode_FromString("rb"));
    Ref buffering = Ref::steal(PyLong_FromLong(0));
    if (!mode || !buffering) return false;
    file.raw = Ref::steal(
        PyObject_CallFunctionObjArgs(state.open, path, mode.get(), buffering.get(), nullptr));
    if (!file.raw) {
        if (skipped_by_engine()) {
            result.outcome = Load::unopened;
            result.error_number = error_number_of_pending();
        }
        return false;
    }
    const int fd = PyObject_AsFileDescriptor(file.raw.get());
    if (fd < 0) return false;
    struct stat info {};
    file.regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    return true;
}

// The whole content of an open regular file, then closed; null with
// `result` saying why.
Ref read_all(Opened& file, LoadResult& result) noexcept {
    Ref content = Ref::steal(PyObject_CallMethod(file.raw.get(), "readall", nullptr));
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref closed = Ref::steal(PyObject_CallMethod(file.raw.get(), "close", nullptr));
    if (!closed && !pending) pending = Ref::steal(PyErr_GetRaisedException());
    if (!pending && content && PyBytes_CheckExact(content.get())) return content;
    if (!pending) return Ref();  // cannot happen for a FileIO: decline
    PyErr_SetRaisedException(pending.release());
    if (skipped_by_engine()) {
        result.outcome = Load::unopened;
        result.error_number = error_number_of_pending();
    }
    return Ref();
}

// utf-8-sig: an optional byte-order mark, then strict UTF-8. Null with no
// exception for bytes that are not UTF-8.
Ref decoded(PyObject* content) noexcept {
    const char* data = PyBytes_AS_STRING(content);
    Py_ssize_t size = PyBytes_GET_SIZE(content);
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        data += 3;
        size -= 3;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, size, "strict"));
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
    return text;
}

// Bytes the native decoder refused: the engine's own _read (or `reader`)
// decodes them from memory, in the chunks it would have read, and fails as
// it would.
LoadResult engine_decodes(PyObject* engine, PyObject* content, PyObject* path, const char* reader = "_read") noexcept {
    LoadResult result;
    result.outcome = Load::failed;
    PyObject* args[] = {content};
    Ref memory = call_io("BytesIO", args, 1);
    Ref text = memory ? text_over(memory.get(), false) : Ref();
    if (!text) return result;
    return engine_reads(engine, text.get(), path, reader);
}

LoadResult parse_and_commit(const Engine& e, PyObject* content, PyObject* text, PyObject* path) noexcept {
    LoadResult result;
    result.outcome = Load::failed;
    // Into an engine that holds sections, a file with a grammar error is
    // left to the engine's own reader: where it stops, and what it has
    // merged by then, is its own.
    const bool merging = PyDict_GET_SIZE(e.sections.get()) > 0;
    Parsed parsed;
    if (!parse(text, parsed)) return result;
    if (merging && (parsed.fatal != Fatal::none || !parsed.bad_lines.empty())) {
        return engine_decodes(e.object, content, path);
    }
    if (!commit(e, parsed)) return result;
    if (parsed.fatal != Fatal::none || !parsed.bad_lines.empty()) {
        raise_grammar_error(text, path, e.prefixes.get(), parsed);
        return result;
    }
    result.outcome = Load::loaded;
    return result;
}

bool may_read_natively(PyObject* engine, Engine& e, PyObject* path) noexcept {
    constexpr unsigned needs =
        need_sections | need_defaults | need_proxies | need_interpolation | need_reader;
    return view(engine, e, needs) && loaded_sections_are_text(e) && loaded_defaults_are_text(e) &&
           default_prefixes(e.prefixes.get()) && proxies_made_natively(engine) &&
           state.open == original(Original::global_builtins_open) && plain_path(path);
}

}  // namespace

LoadResult read(PyObject* engine, PyObject* path) noexcept {
    LoadResult result;
    Engine e;
    if (!may_read_natively(engine, e, path)) {
        if (PyErr_Occurred()) result.outcome = Load::failed;
        return result;
    }
    result.outcome = Load::failed;
    Opened file;
    if (!open_file(path, file, result)) return result;
    if (!file.regular) {
        // A pipe or a device: its bytes can be read once only, so the
        // engine's own _read reads them, from this very descriptor.
        Ref text = text_over(file.raw.get(), true);
        if (!text) return result;
        return engine_reads(engine, text.get(), path);
    }
    Ref content = read_all(file, result);
    if (!content) {
        if (!PyErr_Occurred() && result.outcome != Load::unopened) result.outcome = Load::declined;
        return result;
    }
    Ref text = decoded(content.get());
    if (!text) {
        if (PyErr_Occurred()) return result;
        return engine_decodes(engine, content.get(), path);
    }
    return parse_and_commit(e, content.get(), text.get(), path);
}

LoadResult read_bytes(PyObject* engine, PyObject* path, PyObject* content) noexcept {
    LoadResult result;
    result.outcome = Load::failed;
    Engine e;
    if (!may_read_natively(engine, e, path)) {
        if (PyErr_Occurred()) return result;
        // The engine's documented way to read a stream, where its own parts
        // may not be relied on.
        return engine_decodes(engine, content, path, "read_file");
    }
    Ref text = decoded(content);
    if (!text) {
        if (PyErr_Occurred()) return result;
        return engine_decodes(engine, content, path);
    }
    return parse_and_commit(e, content, text.get(), path);
}

}  // namespace ini::fast
