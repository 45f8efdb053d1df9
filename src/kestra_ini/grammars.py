"""The ways of reading INI text, as data: the document model takes one and has no other notion of syntax.

A grammar says which line is a header, a key, a comment, a directive, and how a key's name is compared:

    TOLERANT  INI as people write it: keys before the first header (the section ""), repeated keys and
              sections, bare keys (my.cnf), directives (!include, %include), an inline comment only after
              whitespace and ';', asterisk's [name](!) and [name](template) headers, names compared exactly
              (a key differing only in case is found when it is the only one).
    ENGINE    configparser as the class configures it: every line under a header, "name = value" or
              "name: value" only, no inline comments, key names compared in lower case.

Both take a line whose first non-blank character is '#' or ';' as a comment, and a line indented deeper than
its key as the next line of that key's value; blank lines inside a value belong to it.
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
Grammar = namedtuple("Grammar", "name header key delimiter inline bare directive preamble fold nested_keys")

COMMENTS = ("#", ";")

TOLERANT = Grammar(
    name="tolerant",
    header=re.compile(r"\[\s*(?P<name>[^\]]*?)\s*\](?:\((?P<tag>[^()]*)\))?\s*(?:[;#].*)?"),
    key=re.compile(r"[^\s\[\]{}].*"),
    delimiter=re.compile(r"[=:]"),
    inline=re.compile(r"\s;"),
    bare=re.compile(r"[^\s\[\]{}=:;#][^\s{}=:]*"),
    directive=re.compile(r"!\w|%(?:include|unset)\b"),
    preamble=True,
    fold=None,
    nested_keys=True,
)

ENGINE = Grammar(
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
