// The grammar of the engine's reader, one block of lines at a time
// (parse.hpp says which grammar).
#include "native/parse.hpp"

#include "native/engine.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace ini::fast {

namespace {

// A handler for SIGINT runs only when the parse asks; the engine's reader,
// a loop of Python code, gives it a chance at every line.
constexpr long lines_between_signal_checks = 4096;

bool is_space(Py_UCS4 c) noexcept { return Py_UNICODE_ISSPACE(c); }

PyObject* empty_text() noexcept { return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR); }

}  // namespace

// The lines of one block, parsed into the parser's state.
template <typename Ch>
class Block {
public:
    Block(PyObject* text, Parser& parser) noexcept
        : text_(text),
          data_(static_cast<const Ch*>(PyUnicode_DATA(text))),
          length_(PyUnicode_GET_LENGTH(text)),
          ascii_(PyUnicode_IS_ASCII(text)),
          p_(parser) {}

    bool run() {
        Py_ssize_t pos = 0;
        while (pos < length_ && !p_.stopped()) {
            const Py_ssize_t start = pos;
            const Py_ssize_t end = line_end(pos);
            const bool ended = end < length_;
            pos = end;
            if (ended) pos += (data_[end] == '\r' && end + 1 < length_ && data_[end + 1] == '\n') ? 2 : 1;
            if (++p_.number_ % lines_between_signal_checks == 0 && PyErr_CheckSignals() < 0) return false;
            if (!line(Span{start, end}, ended)) return false;
        }
        return true;
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

    bool line(const Span& raw, bool ended) {
        Py_ssize_t first = raw.start;
        const Py_ssize_t stop = raw.end;
        while (first < stop && is_space(data_[first])) ++first;
        if (first == stop) {
            if (p_.cursect_ != nullptr && p_.option_named_) p_.parts_.push_back(Span{0, 0});
            return true;
        }
        Py_ssize_t last = stop;
        while (is_space(data_[last - 1])) --last;
        const Ch lead = data_[first];
        if (lead == '#' || lead == ';') return true;
        const Py_ssize_t indent = first - raw.start;
        if (p_.cursect_ != nullptr && p_.option_named_ && indent > p_.indent_level_) {
            p_.parts_.push_back(Span{first, last});
            return true;
        }
        p_.indent_level_ = indent;
        const Span clean{first, last};
        if (lead == '[') {
            const Py_ssize_t close = last_close(clean);
            if (close > 0) return header(raw, ended, Span{first + 1, close});
        }
        if (p_.cursect_ == nullptr) return stop_at(Fatal::missing_header, raw, ended);
        return option(raw, ended, clean);
    }

    // The ']' ending a header: the last one, with a character before it.
    Py_ssize_t last_close(const Span& clean) const noexcept {
        for (Py_ssize_t i = clean.end - 1; i >= clean.start + 2; --i) {
            if (data_[i] == ']') return i;
        }
        return -1;
    }

    bool header(const Span& raw, bool ended, const Span& name_span) {
        if (!p_.finish_option()) return false;
        p_.option_named_ = false;
        Ref name = substring(name_span);
        if (!name) return false;
        const int seen = PyDict_Contains(p_.out_.sections.get(), name.get());
        if (seen < 0) return false;
        if (seen) {
            p_.out_.fatal_section = name;
            return stop_at(Fatal::duplicate_section, raw, ended);
        }
        if (PyUnicode_CompareWithASCIIString(name.get(), "DEFAULT") == 0) {
            p_.cursect_ = p_.out_.defaults.get();
        } else {
            Ref options = Ref::steal(PyDict_New());
            if (!options || PyDict_SetItem(p_.out_.sections.get(), name.get(), options.get()) < 0) {
                return false;
            }
            p_.cursect_ = options.get();  // held by out_.sections
        }
        p_.section_ = name;
        return true;
    }

    bool option(const Span& raw, bool ended, const Span& clean) {
        Py_ssize_t delimiter = clean.start;
        while (delimiter < clean.end && data_[delimiter] != '=' && data_[delimiter] != ':') {
            ++delimiter;
        }
        if (delimiter == clean.end) return bad_line(raw, ended);
        Py_ssize_t name_end = delimiter;
        while (name_end > clean.start && is_space(data_[name_end - 1])) --name_end;
        if (name_end == clean.start && !bad_line(raw, ended)) return false;
        if (!p_.finish_option()) return false;
        Ref key = lowered_key(Span{clean.start, name_end});
        if (!key) return false;
        const int seen = PyDict_Contains(p_.cursect_, key.get());
        if (seen < 0) return false;
        if (seen) {
            p_.out_.fatal_section = p_.section_;
            p_.out_.fatal_option = key;
            return stop_at(Fatal::duplicate_option, raw, ended);
        }
        Py_ssize_t value_start = delimiter + 1;
        while (value_start < clean.end && is_space(data_[value_start])) ++value_start;
        p_.option_ = key;
        p_.option_dict_ = p_.cursect_;
        p_.option_named_ = name_end > clean.start;
        p_.parts_.push_back(value_start < clean.end ? Span{value_start, clean.end} : Span{0, 0});
        return true;
    }

    bool bad_line(const Span& raw, bool ended) {
        NumberedLine line{p_.number_, as_read(raw, ended)};
        if (!line.text) return false;
        p_.out_.bad_lines.push_back(std::move(line));
        return true;
    }

    bool stop_at(Fatal fatal, const Span& raw, bool ended) {
        p_.out_.fatal_line = NumberedLine{p_.number_, as_read(raw, ended)};
        if (!p_.out_.fatal_line.text) return false;
        p_.out_.fatal = fatal;
        return true;
    }

    // The line as the engine's file yields it: its end turned into '\n'.
    Ref as_read(const Span& raw, bool ended) const noexcept {
        Ref body = substring(raw);
        if (!body || !ended) return body;
        Ref newline = Ref::steal(PyUnicode_FromOrdinal('\n'));
        if (!newline) return newline;
        return Ref::steal(PyUnicode_Concat(body.get(), newline.get()));
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
    Parser& p_;
};

bool Parser::start() noexcept {
    if (out_.sections) return true;
    out_.sections = Ref::steal(PyDict_New());
    out_.defaults = Ref::steal(PyDict_New());
    return out_.sections && out_.defaults;
}

bool Parser::feed(PyObject* block) noexcept {
    if (!start()) return false;
    block_ = block;
    try {
        bool parsed = false;
        switch (PyUnicode_KIND(block)) {
            case PyUnicode_1BYTE_KIND: parsed = Block<Py_UCS1>(block, *this).run(); break;
            case PyUnicode_2BYTE_KIND: parsed = Block<Py_UCS2>(block, *this).run(); break;
            default: parsed = Block<Py_UCS4>(block, *this).run(); break;
        }
        parsed = parsed && carry_over(block);
        block_ = nullptr;
        return parsed;
    } catch (const std::bad_alloc&) {
        block_ = nullptr;
        PyErr_NoMemory();
        return false;
    }
}

bool Parser::finish() noexcept {
    if (!start()) return false;
    try {
        return finish_option();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// The pending value's lines of `block` become one str, so that the block
// may go; trailing empty lines stay apart, as the value's right-strip
// drops them unless a line follows.
bool Parser::carry_over(PyObject* block) noexcept {
    size_t kept = parts_.size();
    while (kept > 0 && parts_[kept - 1].start == parts_[kept - 1].end) --kept;
    if (!option_ || kept == 0) return true;
    const size_t empties = parts_.size() - kept;
    parts_.resize(kept);
    Ref text = joined({}, block);
    if (!text) return false;
    carried_.push_back(text);
    parts_.assign(empties, Span{0, 0});
    return true;
}

// Stores the pending option with its lines joined and right-stripped:
// only trailing empty lines can end in whitespace.
bool Parser::finish_option() noexcept {
    if (!option_) return true;
    while (!parts_.empty() && parts_.back().start == parts_.back().end) parts_.pop_back();
    Ref value = joined(carried_, block_);
    const bool stored = value && PyDict_SetItem(option_dict_, option_.get(), value.get()) == 0;
    option_ = Ref();
    parts_.clear();
    carried_.clear();
    return stored;
}

// `carried` and the pending spans of `block` (null between blocks, when
// every span left is an empty line), joined by '\n'.
Ref Parser::joined(const std::vector<Ref>& carried, PyObject* block) const noexcept {
    const auto piece = [&](const Span& span) {
        if (span.start == span.end) return Ref::borrow(empty_text());
        return Ref::steal(PyUnicode_Substring(block, span.start, span.end));
    };
    const size_t count = carried.size() + parts_.size();
    if (count == 0) return Ref::borrow(empty_text());
    if (count == 1) return carried.empty() ? piece(parts_.front()) : carried.front();
    Ref pieces = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!pieces) return pieces;
    Py_ssize_t at = 0;
    for (const Ref& text : carried) PyList_SET_ITEM(pieces.get(), at++, Py_NewRef(text.get()));
    for (const Span& span : parts_) {
        Ref text = piece(span);
        if (!text) return text;
        PyList_SET_ITEM(pieces.get(), at++, text.release());
    }
    Ref separator = Ref::steal(PyUnicode_FromOrdinal('\n'));
    if (!separator) return separator;
    return Ref::steal(PyUnicode_Join(separator.get(), pieces.get()));
}

}  // namespace ini::fast
