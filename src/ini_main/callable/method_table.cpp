#include "methods.hpp"

#include "store/store.hpp"

namespace ini {

#define INI_METHOD(ident, text) \
    MethodId::ident, text, "KestraIniMain." text, "ini_main.KestraIniMain." text

const Method methods[method_count] = {
    {INI_METHOD(init, "__init__"), "KestraIniMain.__init__(self, path)",
     2, false, {&Names::self, &Names::path}, store::init},
    {INI_METHOD(set_path, "_set_path"), "KestraIniMain._set_path(self)",
     1, false, {&Names::self}, store::set_path},
    {INI_METHOD(get, "_get"), "KestraIniMain._get(self, section, option)",
     3, false, {&Names::self, &Names::section, &Names::option}, store::get},
    {INI_METHOD(get_option, "_get_option"), "KestraIniMain._get_option(self, section)",
     2, false, {&Names::self, &Names::section}, store::get_option},
    {INI_METHOD(get_all, "_get_all"), "KestraIniMain._get_all(self)",
     1, false, {&Names::self}, store::get_all},
    {INI_METHOD(set, "_set"), "KestraIniMain._set(self, section, option, value, save=True)",
     5, true, {&Names::self, &Names::section, &Names::option, &Names::value, &Names::save},
     store::set},
    {INI_METHOD(set_section, "_set_section"),
     "KestraIniMain._set_section(self, section, save=True)",
     3, true, {&Names::self, &Names::section, &Names::save}, store::set_section},
    {INI_METHOD(set_option, "_set_option"),
     "KestraIniMain._set_option(self, section, option_dict, save=True)",
     4, true, {&Names::self, &Names::section, &Names::option_dict, &Names::save},
     store::set_option},
    {INI_METHOD(set_all, "_set_all"), "KestraIniMain._set_all(self, section_dict, save=True)",
     3, true, {&Names::self, &Names::section_dict, &Names::save}, store::set_all},
    {INI_METHOD(sections, "_sections"), "KestraIniMain._sections(self)",
     1, false, {&Names::self}, store::sections},
    {INI_METHOD(options, "_options"), "KestraIniMain._options(self, section)",
     2, false, {&Names::self, &Names::section}, store::options},
    {INI_METHOD(remove_section, "_remove_section"),
     "KestraIniMain._remove_section(self, section, save=True)",
     3, true, {&Names::self, &Names::section, &Names::save}, store::remove_section},
    {INI_METHOD(remove_option, "_remove_option"),
     "KestraIniMain._remove_option(self, section, options, save=True)",
     4, true, {&Names::self, &Names::section, &Names::options, &Names::save},
     store::remove_option},
    {INI_METHOD(has_section, "_has_section"), "KestraIniMain._has_section(self, section)",
     2, false, {&Names::self, &Names::section}, store::has_section},
    {INI_METHOD(has_option, "_has_option"),
     "KestraIniMain._has_option(self, section, option)",
     3, false, {&Names::self, &Names::section, &Names::option}, store::has_option},
    {INI_METHOD(read, "_read"), "KestraIniMain._read(self)",
     1, false, {&Names::self}, store::read},
    {INI_METHOD(save, "_save"), "KestraIniMain._save(self)",
     1, false, {&Names::self}, store::save},
};

#undef INI_METHOD

}  // namespace ini
