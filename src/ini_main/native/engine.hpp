// Native stand-ins for the work of a plain configparser.ConfigParser.
//
// Each entry below does what the engine's own Python code would do, directly
// on the engine's structures, but only for an engine that cannot be told
// apart from a default ConfigParser: its exact class, no method replaced on
// the class, its bases or its interpolation, no override in the instance's
// own dict, every setting at its default. Anything else is declined, and the
// caller takes the engine's own path.
//
// Entries returning a Ref: a result; or null with no exception set when
// declined; or null with an exception set (out of memory, mostly). Entries
// never raise what the engine would raise: a missing section, a missing
// option or a refused value is declined, so that the engine raises it with
// its own traceback.
#pragma once

#include <Python.h>

#include <string>

#include "ref.hpp"

namespace ini::fast {

// Borrowed views of an engine's structures, held for one call.
struct Engine {
    PyObject* object = nullptr;
    Ref sections;  // _sections: section name -> option dict
    Ref defaults;  // _defaults
    Ref proxies;   // _proxies
};

// What a native path reads of the engine; a query that never consults the
// interpolation need not pay for proving it plain.
enum Needs : unsigned {
    need_sections = 1,
    need_defaults = 2,
    need_proxies = 4,
    need_interpolation = 8,
    need_all = 15,
};

// Fills what `needs` names of `out` when the fast paths may stand in for
// `engine`. Never raises.
bool view(PyObject* engine, Engine& out, unsigned needs) noexcept;

// A module-level object of configparser, as the engine's code would find it.
Ref engine_global(const char* name) noexcept;

// The classes that the reader's error paths build on are still as proven.
bool line_classes_hold() noexcept;

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

LoadResult read(PyObject* engine, PyObject* path) noexcept;

}  // namespace ini::fast
