// The grammar of RawConfigParser._read_inner with the default settings,
// fed a file's text a block of whole lines at a time, so that a load never
// holds the file's bytes and its whole text beside the values it keeps.
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
#pragma once

#include <Python.h>

#include <vector>

#include "ref.hpp"

namespace ini::fast {

// A line as the file yields it to the engine (its end turned into '\n'),
// with its number: what the engine's errors carry.
struct NumberedLine {
    long number = 0;
    Ref text;
};

enum class Fatal { none, missing_header, duplicate_section, duplicate_option };

// What the parse found; the dicts are new and not yet the engine's.
struct Parsed {
    Ref sections;  // section name -> option dict, in file order
    Ref defaults;  // the options of [DEFAULT]
    std::vector<NumberedLine> bad_lines;
    Fatal fatal = Fatal::none;
    NumberedLine fatal_line;
    Ref fatal_section;
    Ref fatal_option;
};

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

template <typename Ch>
class Block;

class Parser {
public:
    explicit Parser(Parsed& out) noexcept : out_(out) {}

    // Each call takes the next lines of the file: an exact str that ends at
    // a line end, except for the file's last. False with an exception set
    // when memory ran out or a signal handler raised; a grammar error that
    // ends the parse is recorded in the output and returns true.
    bool feed(PyObject* block) noexcept;
    // After the last block: stores the pending option.
    bool finish() noexcept;
    bool stopped() const noexcept { return out_.fatal != Fatal::none; }

private:
    template <typename Ch>
    friend class Block;

    bool start() noexcept;
    bool finish_option() noexcept;
    bool carry_over(PyObject* block) noexcept;
    Ref joined(const std::vector<Ref>& carried, PyObject* block) const noexcept;

    Parsed& out_;
    PyObject* block_ = nullptr;  // the block being parsed, borrowed
    long number_ = 0;
    PyObject* cursect_ = nullptr;  // borrowed from out_
    Ref section_;
    Ref option_;                       // the pending option's key
    PyObject* option_dict_ = nullptr;  // where it goes, borrowed from out_
    bool option_named_ = false;        // its name is not empty
    // The pending value: lines of earlier blocks, each block's joined into
    // one str, then spans of the current block (an empty line as {0, 0}).
    std::vector<Ref> carried_;
    std::vector<Span> parts_;
    Py_ssize_t indent_level_ = 0;
};

}  // namespace ini::fast
