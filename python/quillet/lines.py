"""Turning UTF-8 byte offsets into line and column numbers.

Every span that pyql reports counts bytes of the UTF-8 encoding of the input.
People count lines and characters: ``LineIndex`` converts one into the other.
Lines end at a line feed only (a carriage return before it belongs to the
line, as in the parser), and both numbers count from 1.
"""

from __future__ import annotations

from bisect import bisect_right

__all__ = ["LineIndex", "line_col"]

# The bytes 0x80..0xBF continue a UTF-8 character; every other byte starts one.
_CONTINUATION = bytes(range(0x80, 0xC0))


def _count_chars(data: bytes, start: int, end: int) -> int:
    """Number of characters that start in data[start:end]."""
    return len(data[start:end].translate(None, _CONTINUATION))


class LineIndex:
    """Line starts of one text, for answering many offset queries cheaply.

    The text is encoded once and its line feeds are found once. A query costs
    a binary search plus a count of the characters between the line start and
    the offset; queries in increasing order on one line count only from the
    previous offset, so reporting many errors stays linear in the text.
    """

    def __init__(self, text: str | bytes | bytearray) -> None:
        if isinstance(text, str):
            data = text.encode("utf-8", "surrogatepass")
        elif isinstance(text, (bytes, bytearray)):
            data = bytes(text)
        else:
            raise TypeError(
                f"text must be str or bytes, not {type(text).__name__}"
            )
        self._data = data
        starts = [0]
        find = data.find
        nl = find(b"\n")
        while nl >= 0:
            starts.append(nl + 1)
            nl = find(b"\n", nl + 1)
        self._starts = starts
        # (line index, byte offset, column) of the previous query.
        self._last = (-1, 0, 0)

    def line_col(self, offset: int) -> tuple[int, int]:
        """(line, column) of a byte offset, both counted from 1.

        The column counts characters. An offset inside a multi-byte character
        gives the column of that character; the offset just past the last byte
        is allowed and gives the position after the last character.
        """
        offset = int(offset)
        data = self._data
        if offset < 0 or offset > len(data):
            raise ValueError(
                f"offset {offset} is outside the text (0..{len(data)})"
            )
        while offset > 0 and offset < len(data) and 0x80 <= data[offset] < 0xC0:
            offset -= 1
        line = bisect_right(self._starts, offset) - 1
        last_line, last_offset, last_col = self._last
        if line == last_line and last_offset <= offset:
            col = last_col + _count_chars(data, last_offset, offset)
        else:
            col = 1 + _count_chars(data, self._starts[line], offset)
        self._last = (line, offset, col)
        return line + 1, col


def line_col(text: str | bytes | bytearray, offset: int) -> tuple[int, int]:
    """(line, column) of a UTF-8 byte offset into text, both counted from 1.

    The column counts characters, not bytes. For many offsets into one text,
    build a ``LineIndex`` once and ask it instead.

    >>> line_col("h\\u00e9llo\\nw\\u00f6rld", 3)
    (1, 3)
    >>> line_col("h\\u00e9llo\\nw\\u00f6rld", 7)
    (2, 1)
    """
    return LineIndex(text).line_col(offset)
