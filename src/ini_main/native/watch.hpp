// configparser watched whole, from its import on.
//
// At import the module is walked: its namespace, every class it defines and
// the classes those inherit from (all but the immutable built-in ones),
// every function those hold, the instances they hold (their own dicts),
// and the builtins that configparser's code names (co_names of every code
// object, recursively). Each of these is copied and watched: dict watchers
// on the namespaces, type watchers on the classes, a function watcher on the
// functions. An event of any of them sets `watch_changed` in the state word;
// nothing else does. The next native call then compares everything with the
// copies taken at import, by identity: for a class, what attribute lookup
// on it resolves each name to through its MRO, so that an entry repeating
// what it inherits passes; for a namespace, its items. If all is as it was
// (the change was undone), the word is cleared again, else it stays
// `watch_differs` until the next event. Closure cells change without an event: cells_hold()
// compares them at every call.
#pragma once

#include <Python.h>

#include <vector>

namespace ini::fast {

enum WatchState : unsigned {
    watch_changed = 1,   // an event since the last comparison
    watch_differs = 2,   // the last comparison found a difference
    watch_unproven = 4,  // not a verified release, or the walk failed: for good
};

// Zero: everything configparser's code rests on is as it was at import.
extern unsigned watch_state;

// The watchers, registered once per process (the module refuses a second
// interpreter). False with an exception set when the interpreter has none
// left.
bool add_watchers() noexcept;

// What to watch besides configparser's own namespace: a class (its MRO
// with it), the functions an attribute runs, a name of another namespace.
void watch_class(PyTypeObject* type);
bool watch_functions_of(PyObject* attribute);
bool watch_name(PyObject* dict, PyObject* name);

// Walks configparser's namespace as described above. False with an
// exception set on an error alone.
bool watch_configparser(PyObject* configparser_dict);

// Copies everything walked and starts the watchers; clears the state word.
bool start_watching() noexcept;

// The comparison with the copies, after an event: true when everything is
// as it was. False with an exception set on an error.
bool unchanged_since_import() noexcept;

bool cells_hold() noexcept;

// Appends the code of `function` and every code object nested in it.
void add_codes_of(PyObject* function, std::vector<PyCodeObject*>& codes);
// The code objects of every function walked whose globals are `globals`
// (configparser's own), nested ones with them.
void add_codes_with_globals(PyObject* globals, std::vector<PyCodeObject*>& codes);

// How the walk sees configparser, which the fingerprint must see alike: a
// class that configparser's code defines (its __module__ says so), a name
// such as __file__ that the import sets, and a cache that the standard
// library keeps in a namespace (a warning's registry in a module's,
// copyreg's __slotnames__ in a class's), which changes nothing the code does.
bool defined_by_configparser(PyObject* value) noexcept;
bool is_dunder(PyObject* name) noexcept;
bool is_cache(PyObject* key) noexcept;

// Moves an object's inline attribute values into its dict, through its
// class's __dict__ descriptor: every later store then goes through the
// dict, so a watcher on it sees them all.
bool detach_dict(PyObject* obj, PyObject* dict) noexcept;

}  // namespace ini::fast
