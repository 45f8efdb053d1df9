// Interned names: made once at import, used for every lookup and keyword match.
#pragma once

#include <Python.h>

namespace ini {

#define INI_NAMES(X)                                  \
    X(self, "self")                                   \
    X(path, "path")                                   \
    X(section, "section")                             \
    X(option, "option")                               \
    X(value, "value")                                 \
    X(save, "save")                                   \
    X(option_dict, "option_dict")                     \
    X(section_dict, "section_dict")                   \
    X(options, "options")                             \
    X(attr_path, "_path")                             \
    X(attr_config, "_config")                         \
    X(m_set_path, "_set_path")                        \
    X(m_read, "_read")                                \
    X(m_save, "_save")                                \
    X(m_has_section, "_has_section")                  \
    X(m_set_section, "_set_section")                  \
    X(m_set, "_set")                                  \
    X(m_set_option, "_set_option")                    \
    X(m_sections, "_sections")                        \
    X(m_get_option, "_get_option")                    \
    X(e_read, "read")                                 \
    X(e_write, "write")                               \
    X(e_clear, "clear")                               \
    X(e_get, "get")                                   \
    X(e_items, "items")                               \
    X(e_sections, "sections")                         \
    X(e_options, "options")                           \
    X(e_has_section, "has_section")                   \
    X(e_has_option, "has_option")                     \
    X(e_add_section, "add_section")                   \
    X(e_set, "set")                                   \
    X(e_remove_section, "remove_section")             \
    X(e_remove_option, "remove_option")               \
    X(config_parser, "ConfigParser")                  \
    X(configparser, "configparser")                   \
    X(encoding, "encoding")                           \
    X(utf8_sig, "utf-8-sig")                          \
    X(getvalue, "getvalue")                           \
    X(open, "open")                                   \
    X(ini_main, "ini_main")                           \
    X(class_name, "KestraIniMain")                    \
    X(dunder_module, "__module__")                    \
    X(dunder_qualname, "__qualname__")                \
    X(dunder_builtins, "__builtins__")                \
    X(dunder_test, "__test__")                        \
    X(dunder_spec, "__spec__")                        \
    X(initializing, "_initializing")                  \
    X(spec_name, "name")                              \
    X(spec_loader, "loader")                          \
    X(spec_origin, "origin")                          \
    X(spec_parent, "parent")                          \
    X(spec_search_locations, "submodule_search_locations") \
    X(dunder_loader, "__loader__")                    \
    X(dunder_file, "__file__")                        \
    X(dunder_package, "__package__")                  \
    X(dunder_path, "__path__")

struct Names {
#define INI_DECLARE_NAME(member, text) PyObject* member;
    INI_NAMES(INI_DECLARE_NAME)
#undef INI_DECLARE_NAME
    // Keyword-name tuples of the store's own keyword calls.
    PyObject* kw_save;      // ("save",)
    PyObject* kw_encoding;  // ("encoding",)
};

// Process-wide; filled by make_names() and never released.
extern Names names;

// Idempotent: a failed import leaves the names in place for the next try.
bool make_names() noexcept;

}  // namespace ini
