"""Lines that keep their own line ends: now part of kestra_ini.document, named here for the crudini front end
until it reads through kestra_ini.document itself."""
from __future__ import annotations

from codecs import BOM_UTF8 as BOM

from kestra_ini.document import Line, majority_end, settle_ends, split_lines

__all__ = ["BOM", "Line", "majority_end", "settle_ends", "split_lines"]
