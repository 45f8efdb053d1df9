// Making an engine, and its section proxies, without running their Python
// __init__.
//
// ConfigParser() with no arguments spends most of its time in
// ConverterMapping.__init__, which walks dir(parser) and matches every name
// against a pattern, and SectionProxy.__init__ runs once per section of
// every file read. Where the classes and everything their __init__ runs
// are the originals (bypassed.def), the outcome is fixed: the same
// attributes, set in the same order, through the same object.__setattr__,
// holding the same objects the Python code would put there. Anything else
// calls the class itself.
#include "native/engine.hpp"

namespace ini::fast {

namespace {

struct Names {
    PyObject* dict;
    PyObject* sections;
    PyObject* defaults;
    PyObject* converters;
    PyObject* proxies;
    PyObject* delimiters;
    PyObject* optcre;
    PyObject* prefixes;
    PyObject* strict;
    PyObject* allow_no_value;
    PyObject* empty_lines;
    PyObject* default_section;
    PyObject* interpolation;
    PyObject* unnamed;
    PyObject* parser;
    PyObject* data;
    PyObject* name;
    PyObject* impl_keyword;  // the tuple ("_impl",)
    PyObject* full;
    PyObject* inline_;
    PyObject* prefixes_keywords;  // the tuple ("full", "inline")
    PyObject* getters[3];
    PyObject* converter_names[3];
    PyObject* kw_delimiters;
    PyObject* kw_comment_prefixes;
    PyObject* kw_inline_comment_prefixes;
    PyObject* kw_strict;
    PyObject* kw_empty_lines;
    PyObject* kw_default_section;
    PyObject* kw_interpolation;
    PyObject* kw_converters;
    PyObject* kw_unnamed;
};

// The converters a plain ConfigParser finds in dir(): the getters of
// RawConfigParser, in dir()'s (sorted) order.
constexpr const char* converter_texts[3] = {"boolean", "float", "int"};
constexpr Original getter_originals[3] = {Original::attr_ConfigParser_getboolean,
                                          Original::attr_ConfigParser_getfloat,
                                          Original::attr_ConfigParser_getint};

Names* made_names() noexcept {
    static Names n{};
    static bool made = false;
    if (made) return &n;
    const auto key = [](PyObject*& slot, const char* text) {
        slot = PyUnicode_InternFromString(text);
        return slot != nullptr;
    };
    bool ok = key(n.dict, "_dict") && key(n.sections, "_sections") && key(n.defaults, "_defaults") &&
              key(n.converters, "_converters") && key(n.proxies, "_proxies") &&
              key(n.delimiters, "_delimiters") && key(n.optcre, "_optcre") && key(n.prefixes, "_prefixes") &&
              key(n.strict, "_strict") && key(n.allow_no_value, "_allow_no_value") &&
              key(n.empty_lines, "_empty_lines_in_values") && key(n.default_section, "default_section") &&
              key(n.interpolation, "_interpolation") && key(n.unnamed, "_allow_unnamed_section") &&
              key(n.parser, "_parser") && key(n.data, "_data") && key(n.name, "_name") &&
              key(n.full, "full") && key(n.inline_, "inline") && key(n.kw_delimiters, "delimiters") &&
              key(n.kw_comment_prefixes, "comment_prefixes") &&
              key(n.kw_inline_comment_prefixes, "inline_comment_prefixes") && key(n.kw_strict, "strict") &&
              key(n.kw_empty_lines, "empty_lines_in_values") &&
              key(n.kw_default_section, "default_section") && key(n.kw_interpolation, "interpolation") &&
              key(n.kw_converters, "converters") && key(n.kw_unnamed, "allow_unnamed_section");
    PyObject* impl = ok ? PyUnicode_InternFromString("_impl") : nullptr;
    n.impl_keyword = impl ? PyTuple_Pack(1, impl) : nullptr;
    n.prefixes_keywords = n.impl_keyword ? PyTuple_Pack(2, n.full, n.inline_) : nullptr;
    ok = n.prefixes_keywords != nullptr;
    for (int i = 0; ok && i < 3; ++i) {
        ok = key(n.converter_names[i], converter_texts[i]) &&
             (n.getters[i] = PyUnicode_FromFormat("get%s", converter_texts[i])) != nullptr;
        if (ok) PyUnicode_InternInPlace(&n.getters[i]);
    }
    if (!ok) return nullptr;  // an exception is set; the next call tries again
    made = true;
    return &n;
}

// A proxy reads none of the engine's structures: view() proves the engine
// plain, and the converters are read below.
constexpr unsigned proven_only = 0;

PyTypeObject* class_of(Original which) noexcept { return reinterpret_cast<PyTypeObject*>(original(which)); }

bool is_text(PyObject* obj, const char* text) noexcept {
    return obj != nullptr && PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

bool is_pair(PyObject* obj, const char* first, const char* second) noexcept {
    return obj != nullptr && PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2 &&
           is_text(PyTuple_GET_ITEM(obj, 0), first) && is_text(PyTuple_GET_ITEM(obj, 1), second);
}

// Calling the class is type.__call__ over object.__new__, not refused as
// abstract, and its instances take attributes through object.__setattr__.
bool plain_class(PyTypeObject* type) noexcept {
    return Py_TYPE(type)->tp_call == PyType_Type.tp_call && type->tp_new == PyBaseObject_Type.tp_new &&
           !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) && type->tp_setattro == PyObject_GenericSetAttr;
}

// An instance as object.__new__ makes it, before its __init__.
Ref new_instance(PyTypeObject* type) noexcept {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return no_args;
    return Ref::steal(type->tp_new(type, no_args.get(), nullptr));
}

bool set(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(obj, name, value) == 0;
}

// RawConfigParser.__init__'s defaults, as a call without arguments reads
// them. The positional ones are a tuple the guard holds by identity; the
// keyword ones are a dict, which may change in place without an event.
bool init_defaults_plain(const Names& n) noexcept {
    PyObject* init = original(Original::attr_ConfigParser___init__);
    if (init == nullptr || !PyFunction_Check(init)) return false;
    PyObject* defaults = PyFunction_GET_DEFAULTS(init);
    PyObject* kw = PyFunction_GET_KW_DEFAULTS(init);
    if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 3 ||
        PyTuple_GET_ITEM(defaults, 0) != Py_None ||
        PyTuple_GET_ITEM(defaults, 1) != reinterpret_cast<PyObject*>(&PyDict_Type) ||
        PyTuple_GET_ITEM(defaults, 2) != Py_False || kw == nullptr || !PyDict_CheckExact(kw) ||
        PyDict_GET_SIZE(kw) != 9) {
        return false;
    }
    PyObject* unset = original(Original::global_configparser__UNSET);
    const auto at = [kw](PyObject* key) { return PyDict_GetItemWithError(kw, key); };
    return is_pair(at(n.kw_delimiters), "=", ":") && is_pair(at(n.kw_comment_prefixes), "#", ";") &&
           at(n.kw_inline_comment_prefixes) == Py_None && at(n.kw_strict) == Py_True &&
           at(n.kw_empty_lines) == Py_True && is_text(at(n.kw_default_section), "DEFAULT") &&
           at(n.kw_interpolation) == unset && at(n.kw_converters) == unset && at(n.kw_unnamed) == Py_False;
}

// ConfigParser._DEFAULT_INTERPOLATION passes the __init__'s isinstance()
// without running code: a BasicInterpolation under a plain metaclass.
bool default_interpolation_plain() noexcept {
    PyObject* interpolation = original(Original::attr_ConfigParser__DEFAULT_INTERPOLATION);
    PyTypeObject* base = class_of(Original::global_configparser_Interpolation);
    return Py_TYPE(interpolation) == class_of(Original::global_configparser_BasicInterpolation) &&
           Py_TYPE(base) == &PyType_Type && PyType_IsSubtype(Py_TYPE(interpolation), base);
}

// The names dir() of a new engine shows that ConverterMapping's pattern
// matches (get followed by something) are exactly the three getters, all
// originals, hence callable. Proven once per version tag of the class: the
// interpreter gives the class a new tag on any change to it or its bases.
unsigned proven_tag = 0;

// What GETTERCRE, ^get(?P<name>.+)$, may match: "get" and more.
bool matches_getter_pattern(PyObject* key) noexcept {
    return PyUnicode_GET_LENGTH(key) > 3 && PyUnicode_READ_CHAR(key, 0) == 'g' &&
           PyUnicode_READ_CHAR(key, 1) == 'e' && PyUnicode_READ_CHAR(key, 2) == 't';
}

bool getters_standard(const Names& n) noexcept {
    auto* type = class_of(Original::global_configparser_ConfigParser);
    if (type->tp_version_tag != 0 && type->tp_version_tag == proven_tag) return true;
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;
    const unsigned tag = type->tp_version_tag;
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) return false;
        Py_ssize_t position = 0;
        PyObject* key;
        while (PyDict_Next(dict.get(), &position, &key, nullptr)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!matches_getter_pattern(key)) continue;
            bool known = false;
            for (PyObject* getter : n.getters) known = known || PyUnicode_Compare(key, getter) == 0;
            if (!known) return false;
        }
    }
    proven_tag = tag;
    return true;
}

// Everything ConfigParser() runs is the original, with its defaults.
bool engine_plain(const Names& n) noexcept {
    return may_stand_in() && plain_class(class_of(Original::global_configparser_ConfigParser)) &&
           plain_class(class_of(Original::global_configparser_ConverterMapping)) &&
           plain_class(class_of(Original::global_configparser_SectionProxy)) && init_defaults_plain(n) &&
           default_interpolation_plain() && getters_standard(n);
}

// functools.partial(function, _impl=impl), as calling the class makes it:
// its tp_new, which takes over a keyword dict that nothing else holds
// rather than copying it (functools.partial is immutable, so its tp_new
// is the one calling it runs).
Ref new_partial(const Names& n, PyObject* partial, PyObject* function, PyObject* impl) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(partial);
    Ref args = Ref::steal(PyTuple_Pack(1, function));
    Ref keywords = Ref::steal(PyDict_New());
    if (!args || !keywords || PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(n.impl_keyword, 0), impl) < 0) {
        return Ref();
    }
    return Ref::steal(type->tp_new(type, args.get(), keywords.get()));
}

// SectionProxy.__init__ for a plain engine whose converters are the three
// getters: functools.partial(self.get, _impl=getattr(parser, "get" + conv))
// for each, in order.
Ref make_proxy(const Names& n, PyObject* engine, PyObject* name) noexcept {
    Ref proxy = new_instance(class_of(Original::global_configparser_SectionProxy));
    if (!proxy || !set(proxy.get(), n.parser, engine) || !set(proxy.get(), n.name, name)) return Ref();
    PyObject* partial = original(Original::global_functools_partial);
    PyObject* get = original(Original::attr_SectionProxy_get);
    for (int i = 0; i < 3; ++i) {
        Ref bound_get = Ref::steal(PyMethod_New(get, proxy.get()));
        if (!bound_get) return bound_get;
        Ref impl = Ref::steal(PyMethod_New(original(getter_originals[i]), engine));
        if (!impl) return impl;
        Ref getter = new_partial(n, partial, bound_get.get(), impl.get());
        if (!getter || !set(proxy.get(), n.getters[i], getter.get())) return Ref();
    }
    return proxy;
}

Ref make_converters(const Names& n, PyObject* engine) noexcept {
    Ref mapping = new_instance(class_of(Original::global_configparser_ConverterMapping));
    if (!mapping || !set(mapping.get(), n.parser, engine)) return Ref();
    Ref data = Ref::steal(PyDict_New());
    if (!data || !set(mapping.get(), n.data, data.get())) return Ref();
    for (PyObject* converter : n.converter_names) {
        if (PyDict_SetItem(data.get(), converter, Py_None) < 0) return Ref();
    }
    return mapping;
}

Ref make_prefixes(const Names& n, PyObject* full) noexcept {
    Ref none = Ref::steal(PyTuple_New(0));
    if (!none) return none;
    PyObject* args[] = {full, none.get()};
    return Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(original(Original::global_types_SimpleNamespace)),
                            args, 0, n.prefixes_keywords));
}

// ConverterMapping.__init__ runs dir() on the engine when it holds three
// attributes, and dir() has a lasting effect: it copies the instance dict,
// whose keys the class shares with all its instances, and adds every name
// of the class to the copy, which fills the shared keys. From then on the
// class's instances keep their attributes in dicts of their own, whose
// changes reach dict watchers, the guard's way of learning that an engine
// changed. Once per process is enough: the shared keys stay full.
bool dir_ran = false;

bool run_dir(PyObject* engine) noexcept {
    Ref names = Ref::steal(PyObject_Dir(engine));
    dir_ran = static_cast<bool>(names);
    return dir_ran;
}

// RawConfigParser.__init__ with no arguments, step by step, in its order
// of assignments.
bool initialise(const Names& n, PyObject* engine) noexcept {
    PyObject* init = original(Original::attr_ConfigParser___init__);
    PyObject* kw = PyFunction_GET_KW_DEFAULTS(init);
    Ref delimiters = Ref::borrow(PyDict_GetItemWithError(kw, n.kw_delimiters));
    Ref comment_prefixes = Ref::borrow(PyDict_GetItemWithError(kw, n.kw_comment_prefixes));
    Ref default_section = Ref::borrow(PyDict_GetItemWithError(kw, n.kw_default_section));
    Ref sections = Ref::steal(PyDict_New());
    Ref defaults = Ref::steal(PyDict_New());
    if (!sections || !defaults || !set(engine, n.dict, reinterpret_cast<PyObject*>(&PyDict_Type)) ||
        !set(engine, n.sections, sections.get()) || !set(engine, n.defaults, defaults.get())) {
        return false;
    }
    if (!dir_ran && !run_dir(engine)) return false;
    Ref converters = make_converters(n, engine);
    Ref proxies = Ref::steal(PyDict_New());
    if (!converters || !proxies || !set(engine, n.converters, converters.get()) ||
        !set(engine, n.proxies, proxies.get())) {
        return false;
    }
    Ref default_proxy = make_proxy(n, engine, default_section.get());
    if (!default_proxy || PyDict_SetItem(proxies.get(), default_section.get(), default_proxy.get()) < 0) {
        return false;
    }
    Ref prefixes = make_prefixes(n, comment_prefixes.get());
    return prefixes && set(engine, n.delimiters, delimiters.get()) &&
           set(engine, n.optcre, original(Original::attr_ConfigParser_OPTCRE)) &&
           set(engine, n.prefixes, prefixes.get()) && set(engine, n.strict, Py_True) &&
           set(engine, n.allow_no_value, Py_False) && set(engine, n.empty_lines, Py_True) &&
           set(engine, n.default_section, default_section.get()) &&
           set(engine, n.interpolation, original(Original::attr_ConfigParser__DEFAULT_INTERPOLATION)) &&
           set(engine, n.unnamed, Py_False);
}

// A new plain engine; null without an exception when declined.
Ref build_engine() noexcept {
    Names* n = made_names();
    if (n == nullptr || !engine_plain(*n)) return Ref();
    Ref engine = new_instance(class_of(Original::global_configparser_ConfigParser));
    if (!engine || !initialise(*n, engine.get())) return Ref();
    // The collector may have run a finalizer while the objects were made,
    // and a finalizer may change a class: then the class decides.
    if (!engine_plain(*n)) return Ref();
    return engine;
}

// The engine's ConverterMapping holds exactly the three getters' names,
// in order: what SectionProxy.__init__ iterates.
bool standard_converters(const Names& n, PyObject* engine) noexcept {
    Ref dict = Ref::steal(PyObject_GenericGetDict(engine, nullptr));
    if (!dict) return false;
    Ref mapping = Ref::borrow(PyDict_GetItemWithError(dict.get(), n.converters));
    if (!mapping || Py_TYPE(mapping.get()) != class_of(Original::global_configparser_ConverterMapping)) {
        return false;
    }
    Ref own = Ref::steal(PyObject_GenericGetDict(mapping.get(), nullptr));
    if (!own) return false;
    PyObject* data = PyDict_GetItemWithError(own.get(), n.data);
    if (data == nullptr || !PyDict_CheckExact(data) || PyDict_GET_SIZE(data) != 3) return false;
    Py_ssize_t position = 0;
    PyObject* key;
    for (PyObject* expected : n.converter_names) {
        if (!PyDict_Next(data, &position, &key, nullptr) || !PyUnicode_CheckExact(key) ||
            PyUnicode_Compare(key, expected) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

Ref construct(PyObject* cls) noexcept {
    if (cls == original(Original::global_configparser_ConfigParser)) {
        Ref engine = build_engine();
        if (engine || PyErr_Occurred()) return engine;
    }
    return Ref::steal(PyObject_CallNoArgs(cls));
}

bool proxies_made_natively(PyObject* engine) noexcept {
    Names* n = made_names();
    Engine e;
    const bool native = n != nullptr && view(engine, e, proven_only) &&
                        plain_class(class_of(Original::global_configparser_SectionProxy)) &&
                        standard_converters(*n, engine);
    PyErr_Clear();
    return native;
}

Ref section_proxy(PyObject* engine, PyObject* name) noexcept {
    Names* n = made_names();
    if (n == nullptr) return Ref();
    Engine e;
    if (view(engine, e, proven_only) && plain_class(class_of(Original::global_configparser_SectionProxy)) &&
        standard_converters(*n, engine)) {
        return make_proxy(*n, engine, name);
    }
    if (PyErr_Occurred()) return Ref();
    PyObject* proxy_class = original(Original::global_configparser_SectionProxy);
    return Ref::steal(PyObject_CallFunctionObjArgs(proxy_class, engine, name, nullptr));
}

}  // namespace ini::fast
