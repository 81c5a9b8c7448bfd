"""Companion tools for pyql, the Quillet document parser.

The ``quillet`` command prints the trees or the JSON of Quillet documents and
reports their errors with line and column numbers (see ``quillet --help``).
``to_dict`` and ``to_json`` export a parsed document as plain data or JSON
(the schema is described in ``quillet.export``). ``line_col`` turns the UTF-8
byte offsets of spans into (line, column) pairs.
"""

from quillet.export import to_dict, to_json
from quillet.lines import LineIndex, line_col

__all__ = ["LineIndex", "line_col", "to_dict", "to_json"]
