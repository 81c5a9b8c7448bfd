"""Companion tools for pyql, the Quillet document parser.

The ``quillet`` command prints the tree of a Quillet document and reports its
errors with line and column numbers (see ``quillet --help``). ``line_col``
turns the UTF-8 byte offsets of spans into (line, column) pairs.
"""

from quillet.lines import LineIndex, line_col

__all__ = ["LineIndex", "line_col"]
