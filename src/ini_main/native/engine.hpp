// Native stand-ins for the work of a plain configparser.ConfigParser.
//
// The contract. The native paths answer exactly as the verified release's
// configparser code would, for any engine whatever its class, MRO and
// instance attributes: subclass overrides and every documented hook
// (optionxform, SECTCRE, BOOLEAN_STATES, converters, interpolation,
// delimiters, comment prefixes, default_section, strict,
// empty_lines_in_values) are honoured by leaving such an engine to its own
// code. Any change to configparser's own module namespace, or to any class
// it defines, public or private, any attribute, turns every native path off
// until it is undone; so does a change to a builtin that configparser's
// code names (watch.hpp). Other standard-library modules are taken as
// shipped, as CPython's own accelerators take them: only the few helpers
// listed in bypassed.def are watched there. Code that runs before this
// module's import can subvert any check, the fingerprint included: it can
// change the interpreter itself.
//
// Each entry below does what the engine's own Python code would do, directly
// on the engine's structures, but only for an engine that cannot be told
// apart from a default ConfigParser: its exact class, no override in the
// instance's own dict, every setting at its default. Anything else is
// declined, and the caller takes the engine's own path.
//
// Code that runs in the middle of a call. Between its proof and its end a
// native path runs code of the program only where configparser's own code
// would run the same code: the release of a value that it replaces or
// removes (a finalizer, a weakref callback), an object made by its class
// (a SectionProxy whose __init__ then runs), and the signal checks of a
// long read (signal handlers, and in 3.13 the collector with its callbacks
// and finalizers). After such a point nothing fetched before it is used:
// - what configparser's next line looks up on the engine (_sections,
//   _proxies, a section) is looked up again, as that line looks it up, by
//   after_code_ran() below, the one place that does so;
// - a loop that configparser runs step by step (clear's popitem) runs step
//   by step, each step proven afresh, and leaves the rest to the engine's
//   own step where anything changed;
// - a read holds its own duplicate of the file's descriptor and checks,
//   after every such point, that the file object the engine would read
//   from is still open on its descriptor; if not, it raises what the
//   engine's text file raises (ValueError, a closed file). Closing the
//   descriptor underneath a file object that still owns it (os.close) is
//   outside the contract: the engine would read whatever file took its
//   number, the native read goes on with the file it opened.
// Where a step cannot be repeated at configparser's point (a stale proxy
// that the reader would replace at a header, in the middle of the file),
// the whole call is left to the engine's own code before anything is done.
//
// Entries returning a Ref: a result; or null with no exception set when
// declined; or null with an exception set, which the caller passes on (out
// of memory, a signal's exception, an error raised by a key's own code).
// Entries never raise what the engine would raise for its arguments: a
// missing section, a missing option or a refused value is declined, so that
// the engine raises it with its own traceback.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "native/originals.hpp"
#include "ref.hpp"

namespace ini::fast {

// An engine's structures, held for one call (strong references: code that
// runs during the call may drop them from the engine).
struct Engine {
    PyObject* object = nullptr;  // the engine, held by the caller
    Ref sections;                // _sections: section name -> option dict
    Ref defaults;                // _defaults
    Ref proxies;                 // _proxies
    Ref prefixes;                // _prefixes, the comment prefixes
    // (each filled only when `needs` asks for it)
};

// What a native path reads of the engine; a query that never consults the
// interpolation need not pay for proving it plain.
enum Needs : unsigned {
    need_sections = 1,
    need_defaults = 2,
    need_proxies = 4,
    need_interpolation = 8,  // a plain BasicInterpolation
    need_reader = 16,        // the comment prefixes, and the reader's helpers unchanged
};

// Whose sys.monitoring local events (set on one code object) a native path
// must leave to the engine's code: those of the code that configparser runs
// for the call. A query names its own (`needs | runs(Scope::get)`); without
// one, every code object of configparser counts.
enum class Scope : unsigned { all, has_section, sections, options, has_option, get, items, count };
inline constexpr unsigned scope_shift = 8;
constexpr unsigned runs(Scope scope) { return static_cast<unsigned>(scope) << scope_shift; }

// After code of the program may have run: the engine's structure as
// configparser's next line finds it, by attribute lookup on the engine.
enum class Structure { sections, proxies };
Ref after_code_ran(PyObject* engine, Structure which) noexcept;

// Captures, at import, what the native paths stand in for (originals.hpp).
// False with an exception set on an error alone; a configparser that is not
// a verified release leaves every native path off.
bool capture(PyObject* configparser) noexcept;

// Every captured original still stands: the cheap, reusable test for any
// native code that stands in for one of them (original() gives it). False
// with no exception when something changed, or with one on an error.
bool originals_hold() noexcept;
PyObject* original(Original which) noexcept;  // borrowed, held for the process

// The originals hold and no profiler, tracer or monitoring tool listens:
// what a native path needs that makes new objects rather than an engine's.
bool may_stand_in() noexcept;

// Fills `out` when the native paths may stand in for `engine`: the
// originals hold, no profiler, tracer or monitoring tool is listening, and
// the engine is a plain ConfigParser() (exact class, default settings,
// nothing overridden in its own dict, exact dicts). False without an
// exception means "let the engine do it"; with one, an error to pass on.
bool view(PyObject* engine, Engine& out, unsigned needs) noexcept;

// The same proof, with the engine's structures borrowed from its dict: for
// a query that runs no code of the program between this and its last use
// of them (lookups of exact str in plain dicts, new strings), so nothing
// can drop them. Anything that may release a value or call out uses view().
struct Peeked {
    PyObject* sections = nullptr;
    PyObject* defaults = nullptr;
    PyObject* proxies = nullptr;
    PyObject* prefixes = nullptr;
};
bool peek(PyObject* engine, Peeked& out, unsigned needs) noexcept;

// The head of 3.13's PyDictKeysObject (Include/internal/pycore_dict.h),
// read on a verified release only.
struct DictKeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0: any keys; 1 and 2: exact str keys only
};

// An exact dict whose keys are all exact str: a lookup of an exact str in
// it compares no objects of the caller's, so runs no code. Inline: every
// query asks it of each dict it looks into.
inline bool plain_dict(PyObject* obj) noexcept {
    if (obj == nullptr || !PyDict_CheckExact(obj)) return false;
    const auto* head = reinterpret_cast<const DictKeysHead*>(reinterpret_cast<PyDictObject*>(obj)->ma_keys);
    return head->kind != 0;
}

// str.lower() of an exact str: what the default optionxform returns.
Ref lowered(PyObject* text) noexcept;

// Queries: the engine's answer, or declined.
Ref has_section(PyObject* engine, PyObject* section) noexcept;
Ref sections(PyObject* engine) noexcept;
Ref options(PyObject* engine, PyObject* section) noexcept;
Ref has_option(PyObject* engine, PyObject* section, PyObject* option) noexcept;
Ref get(PyObject* engine, PyObject* section, PyObject* option) noexcept;
// The option dict that the store builds from the engine's items(section).
Ref option_dict(PyObject* engine, PyObject* section) noexcept;

// What `cls()` makes, where cls is what the caller found as
// configparser.ConfigParser: built natively when it and everything its
// __init__ runs are the originals, else by calling it. Null with an
// exception set on failure.
Ref construct(PyObject* cls) noexcept;

// What SectionProxy(engine, name) makes, natively for a plain engine; else
// by the class itself. Null with an exception set on failure.
Ref section_proxy(PyObject* engine, PyObject* name) noexcept;
// section_proxy() will make them natively, running no Python code: a
// native read, which stores what it parsed only at the end, must not meet
// an error of SectionProxy.__init__ half way through. False without an
// exception when not.
bool proxies_made_natively(PyObject* engine) noexcept;

// Changes: Py_None (or the removal's answer) when done, or declined.
Ref add_section(PyObject* engine, PyObject* section) noexcept;
Ref set(PyObject* engine, PyObject* section, PyObject* option, PyObject* value) noexcept;
Ref remove_section(PyObject* engine, PyObject* section) noexcept;
Ref remove_option(PyObject* engine, PyObject* section, PyObject* option) noexcept;
// What engine.clear() leaves (every section gone, the defaults kept), in
// one pass: Py_None when done, or declined.
Ref clear(PyObject* engine) noexcept;

// What the engine's write(fp) would put into fp, as UTF-8. Declined (false,
// no exception) for anything unusual; false with an exception set only when
// memory ran out.
bool render(PyObject* engine, std::string& utf8) noexcept;

// Loading a file into an engine, as engine.read(path, encoding="utf-8-sig").
enum class Load {
    loaded,    // the file was opened and its content is in the engine
    unopened,  // the file could not be opened; `error_number` says why
    failed,    // the file was opened; an exception is set (a grammar error)
    declined,  // nothing was done: let the engine read
};

struct LoadResult {
    Load outcome = Load::declined;
    int error_number = 0;
};

// A regular file that the caller opened for reading through the path, and
// its size then: the read hands it to the engine's file object instead of
// opening the path again.
struct HeldFile {
    int fd = -1;  // the caller's, which it closes
    size_t size = 0;
};

LoadResult read(PyObject* engine, PyObject* path, HeldFile held = {}) noexcept;

// What the engine's read of `path` makes of a file holding `content`
// (bytes), without opening it: `loaded`, `failed`, or `unopened` where the
// engine's reader raises an OSError, which its read would pass over.
LoadResult read_bytes(PyObject* engine, PyObject* path, PyObject* content) noexcept;

}  // namespace ini::fast
