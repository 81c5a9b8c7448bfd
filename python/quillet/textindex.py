"""Converting the UTF-8 byte offsets of spans into positions people and programs use.

Every span pyql reports counts bytes of the UTF-8 encoding of the input, but a
Python ``str`` is indexed by character, editors and JavaScript count UTF-16
code units, and people count lines and columns. Slicing a ``str`` with a byte
span goes wrong after the first non-ASCII character; ``TextIndex`` converts
instead.

The index is built once per text in linear time, and only the tables a caller
asks for are built (the first character lookup builds the character table, the
first line lookup the line table). Each table holds one entry per page of
``PAGE`` bytes; a lookup reads the entry of its page and counts, with one C-level
byte operation, within that page alone, so every lookup costs at most a page's
worth of work whatever the length of the text. An ASCII text needs no character
table at all: there, character, UTF-16 and byte offsets coincide.
"""

from __future__ import annotations

from bisect import bisect_left
from typing import Any, Tuple, Union

from quillet import _native

__all__ = ["PAGE", "TextIndex", "SpanLike"]

# Bytes per page of the lookup tables: a lookup counts within at most one page,
# so this bounds the cost of one lookup on any text (a megabyte-long line, a
# text of nothing but multi-byte characters).
PAGE_SHIFT = 12
PAGE = 1 << PAGE_SHIFT

# Deleting these from a byte string leaves only the bytes counted: the bytes
# 0x80..0xBF continue a UTF-8 character (every other byte starts one), and the
# bytes 0xF0..0xF7 start a character outside the Basic Multilingual Plane, which
# takes two UTF-16 code units.
_NOT_CONTINUATION = bytes(b for b in range(256) if not 0x80 <= b < 0xC0)
_NOT_ASTRAL_LEAD = bytes(b for b in range(256) if not 0xF0 <= b < 0xF8)

# A span as pyql gives it (anything with start and end) or a (start, end) pair.
SpanLike = Union[Tuple[int, int], Any]


def _span_bounds(span: SpanLike) -> tuple[int, int]:
    if isinstance(span, tuple):
        start, end = span
    else:
        start, end = span.start, span.end
    return int(start), int(end)


class TextIndex:
    """Positions in one text: UTF-8 byte offsets (what spans count), ``str``
    indexes, UTF-16 code units, and lines and columns.

    ``text`` is the ``str`` that was parsed, or its UTF-8 bytes. Byte offsets
    from 0 to ``len(data)`` (the end included) are accepted; an offset inside a
    multi-byte character stands for that character. Lines end at a line feed
    only (a carriage return before it belongs to its line, as in the parser);
    lines and columns count from 1, columns in characters.

    >>> index = TextIndex("h\\u00e9llo\\nw\\u00f6rld")
    >>> index.char_index(3), index.line_col(7), index.char_span((7, 13))
    (2, (2, 1), (6, 11))
    """

    __slots__ = ("_data", "_ascii", "_chars", "_astral", "_lines", "_line_starts")

    def __init__(self, text: str | bytes | bytearray) -> None:
        if isinstance(text, str):
            # text.encode("utf-8", "surrogatepass"), a long text encoded without holding the GIL
            self._data = _native.utf8(text)
            self._ascii = text.isascii()
        elif isinstance(text, (bytes, bytearray)):
            self._data = bytes(text)
            self._ascii = self._data.isascii()
        else:
            raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
        # Per page, built on first use: characters and astral characters that
        # start before the page; line feeds before it; where the line holding
        # the page's first byte starts.
        self._chars: list[int] | None = None
        self._astral: list[int] | None = None
        self._lines: list[int] | None = None
        self._line_starts: list[int] | None = None

    @property
    def data(self) -> bytes:
        """The UTF-8 bytes of the text: what spans are offsets into."""
        return self._data

    def __len__(self) -> int:
        """The length of the text in bytes."""
        return len(self._data)

    def _check(self, offset: int) -> int:
        offset = int(offset)
        data = self._data
        if offset < 0 or offset > len(data):
            raise ValueError(f"offset {offset} is outside the text (0..{len(data)})")
        # An offset inside a character stands for the character.
        while 0 < offset < len(data) and 0x80 <= data[offset] < 0xC0:
            offset -= 1
        return offset

    def _char_table(self) -> list[int]:
        table = self._chars
        if table is None:
            data = self._data
            table, before = [], 0
            for start in range(0, len(data) + 1, PAGE):
                table.append(start - before)
                before += len(data[start : start + PAGE].translate(None, _NOT_CONTINUATION))
            self._chars = table
        return table

    def _chars_before(self, offset: int) -> int:
        """Characters that start before offset (offset already checked)."""
        if self._ascii:
            return offset
        page = offset >> PAGE_SHIFT
        start = page << PAGE_SHIFT
        extra = len(self._data[start:offset].translate(None, _NOT_CONTINUATION))
        return self._char_table()[page] + (offset - start) - extra

    def char_index(self, offset: int) -> int:
        """The ``str`` index of a byte offset: ``text[:char_index(b)]``
        encodes to ``data[:b]``."""
        return self._chars_before(self._check(offset))

    def utf16_index(self, offset: int) -> int:
        """The offset in UTF-16 code units (editors, JavaScript, the Language
        Server Protocol) of a byte offset."""
        offset = self._check(offset)
        chars = self._chars_before(offset)
        if self._ascii:
            return chars
        table = self._astral
        data = self._data
        if table is None:
            table, before = [], 0
            for start in range(0, len(data) + 1, PAGE):
                table.append(before)
                before += len(data[start : start + PAGE].translate(None, _NOT_ASTRAL_LEAD))
            self._astral = table
        page = offset >> PAGE_SHIFT
        start = page << PAGE_SHIFT
        return chars + table[page] + len(data[start:offset].translate(None, _NOT_ASTRAL_LEAD))

    def char_span(self, span: SpanLike) -> tuple[int, int]:
        """The ``str`` slice bounds of a byte span (a ``pyql.Span``, any object
        with ``start`` and ``end``, or a pair): ``text[s:e]`` is the node's
        source."""
        start, end = _span_bounds(span)
        return self.char_index(start), self.char_index(end)

    def byte_offset(self, index: int) -> int:
        """The byte offset of a ``str`` index, from 0 to the text's length in
        characters: the inverse of ``char_index``. Its page is found by halving
        the page table, then it counts within that page."""
        index = int(index)
        if self._ascii:
            if not 0 <= index <= len(self._data):
                raise ValueError(f"index {index} is outside the text (0..{len(self._data)})")
            return index
        table = self._char_table()
        data = self._data
        total = self._chars_before(len(data))
        if not 0 <= index <= total:
            raise ValueError(f"index {index} is outside the text (0..{total})")
        # The last page that starts at or before the character (pages start
        # with increasing character counts), found by halving.
        low, high = 0, len(table) - 1
        while low < high:
            middle = (low + high + 1) >> 1
            if table[middle] <= index:
                low = middle
            else:
                high = middle - 1
        start = low << PAGE_SHIFT
        while start < len(data) and 0x80 <= data[start] < 0xC0:
            start += 1  # the rest of a character begun on the page before
        wanted = index - self._chars_before(start)
        # At most a page and one character further: decode up to a boundary.
        end = min(len(data), start + PAGE + 4)
        while end < len(data) and 0x80 <= data[end] < 0xC0:
            end -= 1
        piece = data[start:end].decode("utf-8", "surrogatepass")
        return start + len(piece[:wanted].encode("utf-8", "surrogatepass"))

    def _line_tables(self) -> tuple[list[int], list[int]]:
        lines, starts = self._lines, self._line_starts
        if lines is None or starts is None:
            data = self._data
            lines, starts = [], []
            count = count_nl = 0
            line_start = 0
            for start in range(0, len(data) + 1, PAGE):
                lines.append(count)
                starts.append(line_start)
                end = start + PAGE
                count_nl = data.count(b"\n", start, end)
                if count_nl:
                    count += count_nl
                    line_start = data.rfind(b"\n", start, end) + 1
            self._lines, self._line_starts = lines, starts
        return lines, starts

    def line_start(self, offset: int) -> int:
        """The byte offset where the line holding offset starts."""
        offset = self._check(offset)
        page = offset >> PAGE_SHIFT
        start = page << PAGE_SHIFT
        found = self._data.rfind(b"\n", start, offset)
        return found + 1 if found >= 0 else self._line_tables()[1][page]

    def line_offset(self, line: int) -> int:
        """The byte offset where a line (counted from 1) starts: the inverse of
        the line of ``line_col``. Lines run from 1 to one more than the number
        of line feeds. Its page is found by halving the page table, then the
        line feeds are counted within that page."""
        line = int(line)
        wanted = line - 1  # line feeds before the line
        data = self._data
        lines, _ = self._line_tables()
        last = (len(lines) - 1) << PAGE_SHIFT
        total = lines[-1] + data.count(b"\n", last)
        if not 0 <= wanted <= total:
            raise ValueError(f"line {line} is outside the text (1..{total + 1})")
        if wanted == 0:
            return 0
        # The last page with fewer line feeds before it than wanted holds the
        # line feed that ends the line before.
        page = bisect_left(lines, wanted) - 1
        start = page << PAGE_SHIFT
        end = min(len(data), start + PAGE)
        rest = data[start:end].split(b"\n", wanted - lines[page])[-1]
        return end - len(rest)

    def line_col(self, offset: int) -> tuple[int, int]:
        """(line, column) of a byte offset, both counted from 1, the column in
        characters. The offset just past the last byte gives the position
        after the last character."""
        offset = self._check(offset)
        page = offset >> PAGE_SHIFT
        start = page << PAGE_SHIFT
        lines, starts = self._line_tables()
        line = lines[page] + self._data.count(b"\n", start, offset)
        found = self._data.rfind(b"\n", start, offset)
        line_start = found + 1 if found >= 0 else starts[page]
        return line + 1, self._chars_before(offset) - self._chars_before(line_start) + 1
