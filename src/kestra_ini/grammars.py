"""The ways of reading INI text, as data: the document model takes one and has no other notion of syntax.

A grammar says which line is a header, a key, a comment, a directive, and how a key's name is compared:

    TOLERANT  INI as people write it: keys before the first header (the section ""), repeated keys and
              sections, bare keys (my.cnf), directives (!include, %include), an inline comment only after
              whitespace and ';', '//' comment lines, asterisk's [name](!) and [name](template) headers,
              headers named by all their bracketed text ([a][b], [[nested]]), lines of a section that are no
              key kept as they are (.inf, raw text), krb5's "{ }" blocks owned by their key, names compared
              exactly (a key differing only in case is found when it is the only one).
    ENGINE    configparser as the class configures it: every line under a header, "name = value" or
              "name: value" only, no inline comments, key names compared in lower case.
    CRUDINI   crudini 0.9.6's reading (iniparse's): '%' also starts a comment; an inline comment needs a value
              before its whitespace and ';' (so "a = ;c" reads ";c"); an indented line continues the
              value above it even when it looks like a comment, blank lines among its lines are skipped, and
              an indented line that continues nothing cannot be read; header names are taken as written.
              CRUDINI_FLAT is its reading under --ini-options=ignoreindent: every line as if unindented.

TOLERANT and ENGINE take a line whose first non-blank character is '#' or ';' as a comment, and a line
indented deeper than its key as the next line of that key's value; blank lines inside a value belong to it.
"""
from __future__ import annotations

import re
from collections import namedtuple

# name: for messages.
# header: fullmatch on a stripped line; group "name" is the section's name.
# key: fullmatch of a key's name.
# delimiter: the first match in a key line ends the name.
# inline: where an inline comment starts in the text after the delimiter (None: never).
# bare: fullmatch of a key without a delimiter (None: there are none).
# directive: match of a line kept as it is and never taken for a key (None: there are none).
# preamble: whether keys may come before the first header.
# fold: how key names compare (None: exactly, else by the one name differing only in case).
# nested_keys: whether a deeper line under an indented key that reads as a key is a key of its own.
# comments: what a comment line starts with, after its indentation.
# blank_in_value: whether blank lines among a value's lines are part of it (else they are skipped).
# comment_in_value: whether an indented line that looks like a comment continues the value above it.
# indented_keys: whether a key or header line may be indented (else such a line that continues nothing
#     cannot be read).
# continuation: whether an indented line may continue a value at all.
# loose_comments: what else starts a comment line, unless the line continues a value (a path such as
#     //server/share may).
# opaque: whether a line after a header that is no key, header, comment nor directive is kept as a line of its
#     section that belongs to no key (.inf registry lines, dosbox's [autoexec], Inno Setup's [Code]); else it
#     cannot be read. Before the first header it is kept only in a file that has a header.
# blocks: whether a key whose value is "{" owns every line down to the "}" that closes it, nested blocks
#     included (krb5.conf's relations), its value being those lines' text.
COMMENTS = ("#", ";")

Grammar = namedtuple("Grammar", "name header key delimiter inline bare directive preamble fold nested_keys "
                                "comments blank_in_value comment_in_value indented_keys continuation "
                                "loose_comments opaque blocks",
                     defaults=(COMMENTS, True, False, True, True, (), False, False))

TOLERANT = Grammar(
    name="tolerant",
    # The name is the whole text between the outer brackets: KDE's [Containments][1] and kiosk [Group][$i]
    # name the section "Containments][1", configobj's [[nested]] "[nested]".
    header=re.compile(r"\[\s*(?P<name>.*?)\s*\](?:\((?P<tag>[^()]*)\))?\s*(?:[;#].*)?"),
    key=re.compile(r"[^\s\[\]{}].*"),
    delimiter=re.compile(r"[=:]"),
    inline=re.compile(r"\s;"),
    bare=re.compile(r"[^\s\[\]{}=:;#][^\s{}=:]*"),
    directive=re.compile(r"!\w|%(?:include|unset)\b"),
    preamble=True,
    fold=None,
    nested_keys=True,
    loose_comments=("//",),
    opaque=True,
    blocks=True,
)



# --- what may be written -----------------------------------------------------------------------------
# The names and values every front end writes, so that they read back as given in the grammar: one rule each.

def key_problem(key: str, grammar: Grammar = TOLERANT) -> str | None:
    """Why a key's name cannot be written so that it reads back as that name, or None."""
    if not key or key != key.strip():
        return "a key name must be non-empty, without leading or trailing whitespace"
    if "\n" in key or "\r" in key or grammar.delimiter.search(key):
        return "a key name cannot hold a line break, '=' or ':'"
    if key.startswith(("[", *grammar.comments, *grammar.loose_comments)) or not grammar.key.fullmatch(key) \
            or grammar.inline is not None and grammar.inline.search(key) \
            or grammar.directive is not None and grammar.directive.match(key):
        return "a key name cannot start with '[', ';' or '#', read as a directive, nor hold ' ;' or '{'"
    return None


def section_problem(section: str, grammar: Grammar = TOLERANT) -> str | None:
    """Why a section's name cannot be written in a header that reads back as that name, or None."""
    named = grammar.header.fullmatch(f"[{section}]")  # a ']' may be part of a name ([a][b]) or end it
    if section != section.strip() or "\n" in section or "\r" in section or not named or named["name"] != section:
        return "a section name cannot hold a line break or ']', nor leading or trailing whitespace"
    return None


def value_problem(value: str | None, grammar: Grammar = TOLERANT) -> str | None:
    """Why a value cannot be written so that it reads back the same, or None."""
    if value is None:
        return None if grammar.bare is not None else "every key needs a value here"
    if "\r" in value:
        return "it holds a carriage return"
    first, *rest = value.split("\n")
    for line in (first, *rest):
        if line != line.strip():
            return "it has leading or trailing whitespace, which is not kept"
    if grammar.inline is not None and grammar.inline.search(" " + first):
        return "a ';' at its start or after whitespace would start an inline comment"
    if any(line.startswith(grammar.comments) for line in rest):
        return "a later line starting with ';' or '#' would be read as a comment"
    if rest and not rest[-1]:
        return "it ends with an empty line, which is not kept"
    return None


# --- the other grammars, built when first asked for ---------------------------------------------------------
# A query in the tolerant grammar is most of this package's use, and compiling the others' expressions would
# be a good part of its start-up.

def _engine() -> Grammar:
    return Grammar(
        name="engine",
        header=re.compile(r"\[(?P<name>.+)\].*"),
        key=re.compile(r".+"),
        delimiter=re.compile(r"[=:]"),
        inline=None,
        bare=None,
        directive=None,
        preamble=False,
        fold=str.lower,
        nested_keys=False,
    )


def _crudini() -> Grammar:
    return Grammar(
        name="crudini",
        header=re.compile(r"\[(?P<name>[^\]]+)\]\s*(?:[;#].*)?"),
        key=re.compile(r"[^=:\s\[][^=:]*"),
        delimiter=re.compile(r"[=:]"),
        inline=re.compile(r"(?<=\S)\s+;"),
        bare=re.compile(r"[^=:\s\[].*"),
        directive=None,
        preamble=True,
        fold=None,
        nested_keys=False,
        comments=("#", ";", "%"),
        blank_in_value=False,
        comment_in_value=True,
        indented_keys=False,
    )


def _crudini_flat() -> Grammar:
    return _crudini()._replace(name="crudini, ignoring indentation", indented_keys=True, continuation=False)


# crudini's key line, wherever --ini-options=ignoreindent lets it be indented: its name, and its delimiter with
# the whitespace around it, after which a changed value is written.

def _crudini_key_line() -> re.Pattern[str]:
    return re.compile(r"\s*(?P<key>[^=:\s\[][^=:]*?)\s*(?P<delimiter>[=:])\s*")


# Declared, not bound: the first lookup of each goes to __getattr__ below, which binds it.
ENGINE: Grammar
CRUDINI: Grammar
CRUDINI_FLAT: Grammar
CRUDINI_KEY_LINE: re.Pattern[str]
_BUILDERS = {"ENGINE": _engine, "CRUDINI": _crudini, "CRUDINI_FLAT": _crudini_flat,
             "CRUDINI_KEY_LINE": _crudini_key_line}


def __getattr__(name: str) -> object:
    if name not in _BUILDERS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    built = globals()[name] = _BUILDERS[name]()  # asked for once: later lookups find it in the module
    return built
