// The objects that the native paths stand in for, captured at import.
//
// bypassed.def lists them; capture() resolves each entry as the engine's
// code would, keeps a strong reference to what it found, and checks the
// fingerprint of the lot against the releases that were verified. A native
// path runs only while every entry still resolves to its capture: see
// guard.cpp.
#pragma once

#include <Python.h>

#include <cstddef>

namespace ini::fast {

enum class Kind { global, attr };

struct Entry {
    Kind kind;
    const char* owner;  // a module (global) or a class of configparser (attr)
    const char* name;
};

inline constexpr Entry entries[] = {
#define GLOBAL(module, name) {Kind::global, #module, #name},
#define ATTR(owner, name) {Kind::attr, #owner, #name},
#include "native/bypassed.def"
#undef GLOBAL
#undef ATTR
};

inline constexpr size_t entry_count = sizeof(entries) / sizeof(entries[0]);

// The index of each entry, for code that needs one original by name:
// original(Original::global_configparser_SectionProxy).
enum class Original : size_t {
#define GLOBAL(module, name) global_##module##_##name,
#define ATTR(owner, name) attr_##owner##_##name,
#include "native/bypassed.def"
#undef GLOBAL
#undef ATTR
};

// The SHA-256, in hex, of the canonical text of the captured objects and of
// configparser's whole namespace (the same text that tools/fingerprint
// prints with --text). False with an exception set on failure.
bool fingerprint(PyObject* const* captured, PyObject* cached_property_type, PyObject* pattern_type,
                 PyObject* configparser_dict, char (&hex)[65]) noexcept;

// The fingerprint is one that the differential suite verified.
bool verified(const char* hex) noexcept;

}  // namespace ini::fast
