// engine.read(path, encoding="utf-8-sig"), natively, for an engine without
// sections or one that a previous read filled.
//
// The order is read()'s own: the file is opened (the same open, so the same
// audit event and the same errors; it runs the path's __fspath__ and any
// audit hook), and only then is the engine proven plain, since what that
// code changed is what the engine's read would meet next. The file is read
// and parsed (parse.hpp) a block of whole lines at a time; the parse fills
// dicts of its own, and the engine receives them only once the file is
// parsed and the engine proven again, since a signal handler or a finalizer
// may have run meanwhile. An exception raised during the parse (a signal's
// KeyboardInterrupt, MemoryError) leaves the engine untouched. For a fatal
// grammar error the engine gets as much as its own read would have kept
// when it stopped there. Whatever the native path cannot do exactly (bytes
// that are not UTF-8, a grammar error while merging into loaded sections,
// an engine no longer plain) is handed to the engine's own _read, over the
// same open file read again from its start.
#include "native/parse.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "native/engine.hpp"
#include "native/text_values.hpp"
#include "state.hpp"

namespace ini::fast {

namespace {

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

// A section the file adds whose name already has a proxy, left behind by a
// change to _sections: the engine's reader replaces that proxy at the
// section's header, and the release may run code (a weakref callback, a
// finalizer) in the middle of its read, which the commit could not repeat
// at the same point.
bool replaces_a_proxy(const Engine& e, const Parsed& parsed) noexcept {
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* options;
    while (PyDict_Next(parsed.sections.get(), &position, &name, &options)) {
        if (!PyDict_Contains(e.sections.get(), name) && PyDict_Contains(e.proxies.get(), name)) return true;
    }
    return false;
}

// Stores nothing whose release runs code: new keys, and text over text.
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

// The engine's _Line for a line of the file, as its errors carry it, with
// its cached `clean` computed.
Ref line_object(PyObject* prefixes, const NumberedLine& read) noexcept {
    Ref body = read.text;
    PyObject* line_class = original(Original::global_configparser__Line);
    Ref line = Ref::steal(PyObject_CallFunctionObjArgs(line_class, body.get(), prefixes, nullptr));
    if (!line) return line;
    Ref clean = Ref::steal(PyObject_GetAttrString(line.get(), "clean"));
    if (!clean) return clean;
    return line;
}

Ref line_number(long number) noexcept { return Ref::steal(PyLong_FromLong(number)); }

[[gnu::cold]] Ref parsing_error(PyObject* path, PyObject* prefixes,
                                const std::vector<NumberedLine>& bad_lines) noexcept {
    Ref error_class = Ref::borrow(original(Original::global_configparser_ParsingError));
    Ref error;
    for (const NumberedLine& read : bad_lines) {
        Ref line = line_object(prefixes, read);
        Ref number = line_number(read.number);
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

[[gnu::cold]] Ref fatal_error(PyObject* path, PyObject* prefixes, const Parsed& parsed) noexcept {
    Ref number = line_number(parsed.fatal_line.number);
    if (!number) return number;
    switch (parsed.fatal) {
        case Fatal::missing_header: {
            Ref line = line_object(prefixes, parsed.fatal_line);
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
[[gnu::cold]] void raise_grammar_error(PyObject* path, PyObject* prefixes, const Parsed& parsed) noexcept {
    Ref error = parsed.fatal != Fatal::none
                    ? fatal_error(path, prefixes, parsed)
                    : parsing_error(path, prefixes, parsed.bad_lines);
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
        if (!plain_dict(options) || !values_are_text(options)) return false;
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
LoadResult outcome_of_pending() noexcept {
    LoadResult result;
    result.outcome = Load::failed;
    if (PyErr_ExceptionMatches(PyExc_OSError)) {
        result.outcome = Load::unopened;
        result.error_number = error_number_of_pending();
    }
    return result;
}

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
    Ref read = Ref::steal(PyObject_CallMethod(engine, reader, "OO", text, path));
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref closed = Ref::steal(PyObject_CallMethod(text, "close", nullptr));
    if (!closed) {
        Ref close_error = Ref::steal(PyErr_GetRaisedException());
        if (pending) PyException_SetContext(close_error.get(), pending.release());
        pending = close_error;
    }
    if (!pending) {
        LoadResult result;
        result.outcome = Load::loaded;
        return result;
    }
    PyErr_SetRaisedException(pending.release());
    return outcome_of_pending();
}

// Bytes the native path leaves to the engine: its own _read (or `reader`)
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

struct Opened {
    Ref raw;  // the FileIO
    int fd = -1;   // its descriptor
    int own = -1;  // the read's duplicate of it, which no code of the program can close
    bool owned = true;  // `own` is closed here, not by the caller who opened it
    bool regular = false;
    size_t size = 0;  // as the open found it
    Opened() = default;
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    ~Opened() {
        if (own >= 0 && owned) ::close(own);
    }
};

// Code of the program may have run (a signal handler, the collector's
// callbacks, another thread while the lock was released): the file object
// that the engine's read would go on reading from must still be open on
// the same descriptor, or the read raises what the engine's text file
// raises on its next line.
bool still_open(const Opened& file) noexcept {
    const int fd = PyObject_AsFileDescriptor(file.raw.get());
    if (fd == file.fd) return true;
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return false;
}

// Opens the file once, as the engine does: the same open, so the same
// audit event and the same errors.
bool open_file(PyObject* path, Opened& file, LoadResult& result) noexcept {
    Ref mode = Ref::steal(PyUnicode_FromString("rb"));
    Ref buffering = Ref::steal(PyLong_FromLong(0));
    if (!mode || !buffering) return false;
    file.raw = Ref::steal(
        PyObject_CallFunctionObjArgs(state.open, path, mode.get(), buffering.get(), nullptr));
    if (!file.raw) {
        result = outcome_of_pending();
        return false;
    }
    file.fd = PyObject_AsFileDescriptor(file.raw.get());
    if (file.fd < 0) return false;
    file.own = fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
    if (file.own < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    struct stat info {};
    file.regular = fstat(file.own, &info) == 0 && S_ISREG(info.st_mode);
    if (file.regular) file.size = static_cast<size_t>(info.st_size);
    return true;
}

// The opener handed to the file object: a duplicate of the descriptor
// that `self` (an int) names, which the file object then owns.
PyObject* hand_over(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    const int held = PyLong_AsInt(self);
    if (held < 0) return nullptr;
    const int fd = fcntl(held, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(fd);
}

PyMethodDef hand_over_def = {"hand_over", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hand_over)),
                             METH_FASTCALL, nullptr};

// The file object that open(path, "rb", buffering=0) makes, made as it
// makes it (the path's __fspath__, then FileIO(name, "r"), which raises the
// same audit event and runs its hooks), but over a duplicate of `held`,
// which the caller opened through the same path, instead of a second open.
// The read goes on over `held` itself as its own descriptor.
bool adopt_file(PyObject* path, const HeldFile& held, Opened& file, LoadResult& result) noexcept {
    Ref name = Ref::steal(PyOS_FSPath(path));
    Ref fd = Ref::steal(PyLong_FromLong(held.fd));
    Ref opener = fd ? Ref::steal(PyCFunction_New(&hand_over_def, fd.get())) : Ref();
    Ref mode = Ref::steal(PyUnicode_FromString("r"));
    if (!name || !opener || !mode) {
        result = outcome_of_pending();
        return false;
    }
    PyObject* args[] = {name.get(), mode.get(), Py_True, opener.get()};
    file.raw = Ref::steal(PyObject_Vectorcall(state.file_io, args, 4, nullptr));
    if (!file.raw) {
        result = outcome_of_pending();
        return false;
    }
    file.fd = PyObject_AsFileDescriptor(file.raw.get());
    if (file.fd < 0) return false;
    file.own = held.fd;
    file.owned = false;
    file.regular = true;
    file.size = held.size;
    return true;
}

// The file closed, as the `with` block of read() closes it: an OSError
// from the close skips the file, keeping what was read, as the engine's
// read would; anything pending stays the error, with the close's as its
// context.
LoadResult closed(Opened& file, LoadResult result) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (Ref::steal(PyObject_CallMethod(file.raw.get(), "close", nullptr))) {
        if (pending) PyErr_SetRaisedException(pending.release());
        return result;
    }
    if (!pending) return outcome_of_pending();
    Ref close_error = Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(close_error.get(), pending.release());
    PyErr_SetRaisedException(close_error.release());
    return outcome_of_pending();
}

// The engine's own _read over the open file, from its start, as the
// engine's read would have handed it the file.
LoadResult engine_reads_file(PyObject* engine, const Opened& file, PyObject* path) noexcept {
    if (!still_open(file)) {
        LoadResult result;
        result.outcome = Load::failed;
        return result;
    }
    if (file.regular && lseek(file.own, 0, SEEK_SET) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return outcome_of_pending();
    }
    Ref text = text_over(file.raw.get(), true);
    if (!text) {
        LoadResult result;
        result.outcome = Load::failed;
        return result;
    }
    return engine_reads(engine, text.get(), path);
}

// --- the text, a block at a time ---------------------------------------------------------

// The most each read asks for: a block's bytes and its text are all that
// a load holds beside what it keeps.
constexpr size_t read_size = size_t{1} << 20;

// Appends the next bytes of the file to `buffer`, asking for `wanted`: how
// many came, 0 at its end, -1 with an exception set.
Py_ssize_t read_more(int fd, std::string& buffer, size_t wanted) {
    const size_t had = buffer.size();
    buffer.resize(had + wanted);
    for (;;) {
        ssize_t count = 0;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        count = ::read(fd, buffer.data() + had, wanted);
        error = errno;
        Py_END_ALLOW_THREADS
        if (count >= 0) {
            buffer.resize(had + static_cast<size_t>(count));
            return count;
        }
        buffer.resize(had);
        if (error != EINTR) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// Where the complete lines of `bytes` end. A '\r' as its last byte may be
// the first half of a "\r\n", so the last byte ends a line only as a '\n';
// before it, the last '\n' or '\r' found is a whole line end (a '\r' with
// a '\n' after it would have been passed for that '\n').
size_t complete_lines(const std::string& bytes) noexcept {
    if (bytes.empty()) return 0;
    if (bytes.back() == '\n') return bytes.size();
    for (size_t i = bytes.size() - 1; i-- > 0;) {
        if (bytes[i] == '\n' || bytes[i] == '\r') return i + 1;
    }
    return 0;
}

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// utf-8-sig: a byte-order mark at the start of the file, then strict
// UTF-8. Null with no exception for bytes that are not UTF-8 (line ends
// are ASCII, so a block of whole lines decodes as it would within the file).
Ref decoded(const char* data, size_t size, bool at_start) noexcept {
    const std::string_view bytes(data, size);
    const size_t skip = at_start && bytes.substr(0, 3) == byte_order_mark ? 3 : 0;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data + skip, static_cast<Py_ssize_t>(size - skip), "strict"));
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
    return text;
}

enum class Fed { parsed, undecodable, failed };

// The whole file through `parser`, a block of whole lines at a time. Each
// read asks for what the file's size says is left (and one byte more, so
// that a small file's end comes with its content), up to `read_size`.
Fed feed_file(const Opened& file, Parser& parser) noexcept {
    try {
        std::string buffer;
        size_t left = file.size;
        bool at_start = true;
        bool at_end = false;
        while (!at_end && !parser.stopped()) {
            const Py_ssize_t count = read_more(file.own, buffer, std::min(left + 1, read_size));
            if (count < 0 || !still_open(file)) return Fed::failed;
            // A file longer than its size said is read in whole blocks from then on.
            left = static_cast<size_t>(count) > left ? read_size : left - static_cast<size_t>(count);
            at_end = count == 0;
            const size_t cut = at_end ? buffer.size() : complete_lines(buffer);
            // The mark is looked for in the file's first three bytes.
            if (cut == 0 || (at_start && !at_end && buffer.size() < byte_order_mark.size())) continue;
            Ref text = decoded(buffer.data(), cut, at_start);
            if (!text) return PyErr_Occurred() ? Fed::failed : Fed::undecodable;
            at_start = false;
            buffer.erase(0, cut);
            if (!parser.feed(text.get()) || !still_open(file)) return Fed::failed;
        }
        return parser.finish() && still_open(file) ? Fed::parsed : Fed::failed;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Fed::failed;
    }
}

Fed feed_bytes(PyObject* content, Parser& parser) noexcept {
    Ref text = decoded(PyBytes_AS_STRING(content), static_cast<size_t>(PyBytes_GET_SIZE(content)), true);
    if (!text) return PyErr_Occurred() ? Fed::failed : Fed::undecodable;
    return parser.feed(text.get()) && parser.finish() ? Fed::parsed : Fed::failed;
}

bool may_read_natively(PyObject* engine, Engine& e, PyObject* path) noexcept {
    constexpr unsigned needs =
        need_sections | need_defaults | need_proxies | need_interpolation | need_reader;
    return view(engine, e, needs) && loaded_sections_are_text(e) && values_are_text(e.defaults.get()) &&
           default_prefixes(e.prefixes.get()) && proxies_made_natively(engine) &&
           state.open == original(Original::global_builtins_open) && plain_path(path);
}

// The parse's result into the engine, where it is still plain; else, or
// where the engine's own reader decides, that reader over the same text.
template <typename Fallback>
LoadResult commit_parsed(PyObject* engine, PyObject* path, const Parsed& parsed, Fallback engine_reads_text) noexcept {
    LoadResult result;
    result.outcome = Load::failed;
    Engine e;
    if (!may_read_natively(engine, e, path)) {
        return PyErr_Occurred() ? result : engine_reads_text();
    }
    // Into an engine that holds sections, a file with a grammar error is
    // left to the engine's own reader: where it stops, and what it has
    // merged by then, is its own.
    const bool flawed = parsed.fatal != Fatal::none || !parsed.bad_lines.empty();
    if ((flawed && PyDict_GET_SIZE(e.sections.get()) > 0) || replaces_a_proxy(e, parsed)) {
        return engine_reads_text();
    }
    if (!commit(e, parsed)) return result;
    if (flawed) {
        raise_grammar_error(path, e.prefixes.get(), parsed);
        return result;
    }
    result.outcome = Load::loaded;
    return result;
}

template <typename Fallback>
LoadResult after_parse(PyObject* engine, PyObject* path, Fed fed, const Parsed& parsed, Fallback engine_reads_text) noexcept {
    LoadResult result;
    result.outcome = Load::failed;
    switch (fed) {
        case Fed::failed: return outcome_of_pending();
        case Fed::undecodable: return engine_reads_text();
        case Fed::parsed: break;
    }
    return commit_parsed(engine, path, parsed, engine_reads_text);
}

// The open file into the engine, where it is proven plain now that the
// open has run; else the engine's _read over it, as its read would go on.
LoadResult load_open_file(PyObject* engine, const Opened& file, PyObject* path) noexcept {
    Engine e;
    if (!may_read_natively(engine, e, path)) {
        if (PyErr_Occurred()) {
            LoadResult result;
            result.outcome = Load::failed;
            return result;
        }
        return engine_reads_file(engine, file, path);
    }
    // A pipe or a device: its bytes can be read once only, so the
    // engine's own _read reads them, from this very descriptor.
    if (!file.regular) return engine_reads_file(engine, file, path);
    Parsed parsed;
    Parser parser(parsed);
    const Fed fed = feed_file(file, parser);
    return after_parse(engine, path, fed, parsed, [&] { return engine_reads_file(engine, file, path); });
}

}  // namespace

LoadResult read(PyObject* engine, PyObject* path, HeldFile held) noexcept {
    LoadResult result;
    Engine e;
    // The engine's read is its class's own: it opens the file next.
    if (!may_read_natively(engine, e, path)) {
        if (PyErr_Occurred()) result.outcome = Load::failed;
        return result;
    }
    result.outcome = Load::failed;
    Opened file;
    const bool opened = held.fd >= 0 ? adopt_file(path, held, file, result) : open_file(path, file, result);
    if (!opened) return result;
    return closed(file, load_open_file(engine, file, path));
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
    Parsed parsed;
    Parser parser(parsed);
    const Fed fed = feed_bytes(content, parser);
    return after_parse(engine, path, fed, parsed, [&] { return engine_decodes(engine, content, path); });
}

}  // namespace ini::fast
