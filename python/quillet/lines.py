"""Turning UTF-8 byte offsets into line and column numbers.

Every span that pyql reports counts bytes of the UTF-8 encoding of the input.
People count lines and characters: ``TextIndex`` (``quillet.textindex``)
converts one into the other; ``LineIndex`` is its older name. Lines end at a
line feed only (a carriage return before it belongs to the line, as in the
parser), and both numbers count from 1.
"""

from __future__ import annotations

from quillet.textindex import TextIndex

__all__ = ["LineIndex", "line_col"]

LineIndex = TextIndex


def line_col(text: str | bytes | bytearray, offset: int) -> tuple[int, int]:
    """(line, column) of a UTF-8 byte offset into text, both counted from 1.

    The column counts characters, not bytes. For many offsets into one text,
    build a ``TextIndex`` once and ask it instead.

    >>> line_col("h\\u00e9llo\\nw\\u00f6rld", 3)
    (1, 3)
    >>> line_col("h\\u00e9llo\\nw\\u00f6rld", 7)
    (2, 1)
    """
    return TextIndex(text).line_col(offset)
