"""Splitting a document into chunks that fit a budget, along its structure.

The document is read as a run of top-level blocks, each owning the blank lines
after it (the first also owns the header before it), so that the blocks tile
the text. Blocks are packed into chunks in order while they fit the budget:

- a heading starts a new chunk unless the current chunk began at the heading of
  an enclosing section and the new section (up to the next heading of the same
  or a higher level) fits in it whole; so a chunk holds a section's start with
  whole subsections, or a part of one section, and its path is that section's;
- a block never is cut in two unless it alone exceeds the budget; it is then cut
  between lines (code, lists, quotes, paragraphs) or between rows (tables),
  never inside a line, and so never inside a UTF-8 sequence. Only a single line
  longer than the budget makes a chunk over budget, and that chunk says so
  (``oversized``).

With ``overlap=0`` consecutive chunks tile the text: each starts where the one
before ends, the first at 0 and the last ends at the end of the text.
"""

from __future__ import annotations

import warnings
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from itertools import accumulate
from typing import Any, Callable

from quillet import _native
from quillet._result import Result, maker
from quillet._source import gc_paused, heading_paths, read_outline
from quillet.textindex import TextIndex

__all__ = ["Chunk", "DEFAULT_MAX_CHARS", "chunks"]

DEFAULT_MAX_CHARS = 2000
FORMATS = ("source", "text", "markdown")
CONTEXT_SEPARATOR = " > "

# The blocks whose later parts, once the block is cut, repeat its opener line
# in their context (and a table its header row), so that each part still says
# what it is a piece of.
_OPENED = ("List", "CodeBlock", "Callout", "Quote", "Table", "Footnotes", "MathBlock", "HtmlBlock", "RawBlock")


@dataclass(frozen=True)
class Chunk(Result):
    """One chunk of a document.

    ``index`` counts from 0; ``text`` is the exact source ``text[start:end]``
    for ``format="source"``, else the rendered text of the chunk's blocks;
    ``context`` is the heading path joined by " > " (with, for a later part of a
    cut block, the block's opener line and a table's header row), for callers
    to prepend when embedding ("" with ``heading_context=False``); ``path`` the
    titles of the sections that contain the chunk; ``span`` its UTF-8 byte range
    and ``start``, ``end`` the same as ``str`` indexes; ``size`` its length in
    characters, or in tokens when a ``count_tokens`` was given; ``kinds`` the
    node classes of its blocks, in order of first appearance; ``oversized`` is
    true only for a single line or row longer than the budget.
    """

    __slots__ = ("index", "text", "context", "path", "span", "start", "end", "size", "kinds", "oversized")

    index: int
    text: str
    context: str
    path: tuple[str, ...]
    span: tuple[int, int]
    start: int
    end: int
    size: int
    kinds: tuple[str, ...]
    oversized: bool

    def as_dict(self) -> dict[str, Any]:
        """The chunk as plain data: every field by its name, and beside them the
        keys retrieval frameworks use for the same facts: ``header_path``
        ("/A/B/", the path as a Markdown header splitter writes it),
        ``start_index`` and ``end_index`` (``str`` indexes)."""
        data = self.metadata()
        data["text"] = self.text
        return data

    def metadata(self) -> dict[str, Any]:
        """``as_dict()`` without the text: the metadata of a framework's
        document, whose text goes to its own field."""
        return {
            "index": self.index,
            "context": self.context,
            "path": list(self.path),
            "span": list(self.span),
            "start": self.start,
            "end": self.end,
            "size": self.size,
            "kinds": list(self.kinds),
            "oversized": self.oversized,
            "header_path": "/" + "".join(title + "/" for title in self.path),
            "start_index": self.start,
            "end_index": self.end,
        }


# Chunk(...) by the setters of its slots, in their order.
_new_chunk = maker(Chunk)


class _Unit:
    """A piece the packer places whole: a block with its trailing blank
    lines, or one part of a block that had to be cut."""

    __slots__ = ("bstart", "bend", "cstart", "cend", "chars", "tokens", "kind", "path", "level", "lead", "rendered", "top")

    def __init__(
        self, bstart: int, bend: int, cstart: int, cend: int, kind: str, path: tuple[str, ...], level: int
    ) -> None:
        self.bstart, self.bend, self.cstart, self.cend = bstart, bend, cstart, cend
        self.chars = cend - cstart
        self.tokens = 0
        self.kind, self.path, self.level = kind, path, level
        self.lead = ""  # what a later part of a cut block repeats
        self.rendered: str | None = None  # the text in the output format
        self.top = -1  # the unit's index in the layout, for a whole block


def _positive(name: str, value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


_MISSING: Any = object()


def chunks(
    source: Any = _MISSING,
    *,
    text: str | None = None,
    max_chars: int | None = None,
    max_tokens: int | None = None,
    count_tokens: Callable[[str], int] | None = None,
    overlap: int = 0,
    format: str = "source",
    heading_context: bool = True,
    profile: Any = None,
) -> list[Chunk]:
    """Split a document into chunks that follow its sections and blocks (see
    the module's description).

    ``source`` is a ``str`` (parsed here, with ``profile``), or a
    ``pyql.Document``, ``pyql.ParseResult``, list of top-level blocks or
    outline (``quillet._native.outline``) with ``text``, the ``str`` it was
    parsed from: chunks point into that text. (``text`` alone, without
    ``source``, is the older form of a ``str`` source.)

    The budget is ``max_chars`` characters (2000 when neither budget is given)
    and/or ``max_tokens`` tokens as ``count_tokens`` counts them: any callable
    from ``str`` to ``int``, for example ``lambda s: len(enc.encode(s))`` with a
    tiktoken encoder. ``overlap`` (characters, or tokens with ``count_tokens``)
    repeats the last lines of a chunk at the start of the next, up to that
    size, except where a chunk starts a section. ``format`` is ``"source"``
    (the exact text), ``"text"`` or ``"markdown"`` (the blocks rendered by
    ``quillet.to_text`` or ``quillet.to_markdown``; sizes then count the
    rendered text).
    """
    if source is _MISSING:
        if text is None:
            raise TypeError("chunks() missing 1 required positional argument: 'source'")
        warnings.warn(
            "chunks(text=...) without a source is deprecated: pass the str as the first argument",
            DeprecationWarning,
            stacklevel=2,
        )
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        source, text = text, None
    if isinstance(source, str):
        if text is not None and text is not source and text != source:
            raise ValueError("text must be None or the source itself when the source is a str")
        text = source
    elif text is None:
        raise TypeError(
            "source must be a str, or a parsed document given with text=, the str it was parsed from "
            f"(chunks point into it), not {type(source).__name__} alone"
        )
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(map(repr, FORMATS))}, not {format!r}")
    max_chars = _positive("max_chars", max_chars)
    max_tokens = _positive("max_tokens", max_tokens)
    if count_tokens is not None and not callable(count_tokens):
        raise TypeError(f"count_tokens must be callable, not {type(count_tokens).__name__}")
    if max_tokens is not None and count_tokens is None:
        raise ValueError("max_tokens needs count_tokens, the function that counts the tokens of a str")
    if max_chars is None and max_tokens is None:
        max_chars = DEFAULT_MAX_CHARS
    if isinstance(overlap, bool) or not isinstance(overlap, int):
        raise TypeError(f"overlap must be an int, not {type(overlap).__name__}")
    budget = max_tokens if count_tokens is not None and max_tokens is not None else max_chars
    assert budget is not None
    if overlap < 0 or overlap >= budget:
        raise ValueError(f"overlap must be at least 0 and below the budget ({budget}), not {overlap}")

    render = None if format == "source" else format
    budget_ = _Budget(max_chars, max_tokens, count_tokens, overlap)
    with gc_paused():
        return _chunks(source, text, profile, budget_, render, heading_context)


def _chunks(
    source: Any, text: str, profile: Any, budget: _Budget, render: str | None, heading_context: bool
) -> list[Chunk]:
    """The phases of chunks() in turn (see _Layout and what follows it)."""
    given = None if isinstance(source, str) else text
    outline = read_outline(source, profile, text=given, render=render, top_only=True)
    if outline.length is not None and outline.length != len(text):
        raise ValueError("text is not the text the outline was built from")

    def nested() -> _native.Outline:
        # The rows inside the blocks, for a table cut in parts (its header
        # row): the outline read if it has them, else one built for them.
        if not outline.top_only:
            return outline
        if isinstance(source, _native.Outline):
            return read_outline(text, outline.profile)
        return read_outline(source, profile, text=given)

    layout = _Layout(text, outline, budget.count, render is not None, nested)
    if not layout.n:
        return []
    return _Packer(layout, budget, _Cutter(layout, budget), _Emitter(layout, budget, heading_context)).run()


# The phases, in the order they run: _Layout reads the blocks into units and
# running totals of their sizes; _Packer walks the totals and places runs of
# whole units in chunks, handing a unit over the budget to _Cutter, which cuts
# it into parts the packer places one by one; _Emitter makes the Chunk of what
# the packer placed. _Budget is the limits all of them measure against.


class _Budget:
    """The limits a chunk keeps: characters and/or tokens (as ``count``
    counts them) and the overlap repeated before a chunk."""

    __slots__ = ("max_chars", "max_tokens", "count", "overlap")

    def __init__(
        self, max_chars: int | None, max_tokens: int | None, count: Callable[[str], int] | None, overlap: int
    ) -> None:
        self.max_chars, self.max_tokens, self.count, self.overlap = max_chars, max_tokens, count, overlap

    def fits(self, chars: int, tokens: int) -> bool:
        return (self.max_chars is None or chars <= self.max_chars) and (
            self.max_tokens is None or tokens <= self.max_tokens
        )

    def oversized(self, text: str, size: int) -> bool:
        """Whether a chunk exceeds the budget (a line or row that alone does)."""
        return (self.max_chars is not None and len(text) > self.max_chars) or (
            self.count is not None and self.max_tokens is not None and size > self.max_tokens
        )


class _Layout:
    """The first phase: the top-level rows of the outline as arrays, one entry
    per unit (a block with the blank lines after it), which the packer reads
    by index."""

    def __init__(
        self,
        text: str,
        outline: _native.Outline,
        count: Callable[[str], int] | None,
        rendered: bool,
        nested: Callable[[], _native.Outline],
    ) -> None:
        self.text = text
        self.outline = outline
        self.nested = nested
        self.ascii = outline.length == outline.size
        self._index: TextIndex | None = None
        self._rows: tuple[list[Any], ...] | None = None
        self.n = self.read(count, rendered)

    def read(self, count: Callable[[str], int] | None, rendered: bool) -> int:
        """Where each unit starts, in bytes (``bstarts``) and characters
        (``cstarts``); its class, heading level and output text; running
        totals of the sizes (``pc``, ``pt``); the headings, their paths and
        where their sections end. Returns the number of units."""
        outline = self.outline
        kinds = outline.column("type", top=True)
        total = outline.size
        self.rows = len(kinds)  # the top-level rows: units but for a text without blocks
        starts: list[int]
        chars: list[int]
        if kinds:
            starts = outline.column("byte_start", top=True)
            self.first: int = starts[0]  # where the first block itself starts, after the header
            chars = outline.column("char_start", top=True)
        elif total:
            kinds, starts, chars = [""], [0], [0]  # one unit of what the text holds (blank lines, a header)
            self.first = 0
        else:
            return 0
        n = len(kinds)
        starts[0] = chars[0] = 0
        starts.append(total)
        length = outline.length
        assert length is not None  # chunks read an outline that has the text
        chars.append(length)
        self.bstarts, self.cstarts, self.kinds = starts, chars, kinds
        self.levels = [0] * n
        if outline.top_only:  # a row is a top-level block
            self.heads = heads = outline.column("index", top=True, type="Heading")
        else:
            self.heads = heads = [i for i, kind in enumerate(kinds) if kind == "Heading"]
        self.ends: dict[int, int] = {}
        # The headings' levels and paths, in the order of heads (paths are
        # keyed by row, in the order of the rows).
        levels = outline.column("level", top=True, type="Heading")
        paths = heading_paths(outline)
        self.head_paths = [paths[row] for row in sorted(paths)]
        ends = self.ends
        open_: list[tuple[int, int]] = []  # the open headings (level, unit), outermost first
        for i, level in zip(heads, levels):
            self.levels[i] = level
            while open_ and open_[-1][0] >= level:
                ends[open_.pop()[1]] = i
            open_.append((level, i))
        for _, i in open_:
            ends[i] = n
        pieces: list[str]
        self.rendered: list[str] | None
        if rendered:
            # Each block's text without its final line feeds: chunks join them
            # with a blank line and end with one line feed.
            self.rendered = outline.column("rendered", top=True) if self.rows else [""]
            self.pc = list(accumulate((len(r) + 2 for r in self.rendered), initial=0))
            pieces = self.rendered
        else:
            self.rendered = None
            self.pc = chars
            pieces = []
        if count is not None:
            if not rendered:
                text = self.text
                pieces = [text[chars[i] : chars[i + 1]] for i in range(n)]
            self.pt = list(accumulate((int(count(piece)) for piece in pieces), initial=0))
        else:
            self.pt = [0] * (n + 1)
        return n

    @property
    def index(self) -> TextIndex:
        """The text's index (and UTF-8 bytes), made when a unit is cut or an
        overlap repeated."""
        if self._index is None:
            self._index = TextIndex(self.text)
        return self._index

    @property
    def data(self) -> bytes:
        return self.index.data

    def char(self, offset: int) -> int:
        return offset if self.ascii else self.index.char_index(offset)

    def path_at(self, i: int) -> tuple[str, ...]:
        k = bisect_right(self.heads, i) - 1
        return self.head_paths[k] if k >= 0 else ()

    def block_start(self, i: int) -> int:
        """Where unit i's block starts (the first unit also holds the header
        before it)."""
        return self.first if i == 0 else self.bstarts[i]

    def header_row(self, i: int) -> tuple[int, int] | None:
        """The byte span of unit i's header row, when its block is a table
        whose first row is one."""
        if self.kinds[i] != "Table" or i >= self.rows:
            return None
        if self._rows is None:
            # Read once, the first time a table is cut: where each top-level
            # block's row is, and the fields of a table's rows.
            outline = self.nested()
            self._rows = (
                outline.column("index", top=True), outline.column("parent"), outline.column("type"),
                outline.column("header"), outline.column("byte_start"), outline.column("byte_end"),
            )
        tops, parents, types, headers, starts, ends = self._rows
        table = tops[i]
        first = table + 1  # a block's first part is the row after it
        if first < len(parents) and parents[first] == table and types[first] == "TableRow" and headers[first]:
            return starts[first], ends[first]
        return None

    def unit(self, i: int) -> _Unit:
        """Unit i as an object, for the rare paths that cut or carry it."""
        unit = _Unit(
            self.bstarts[i], self.bstarts[i + 1], self.cstarts[i], self.cstarts[i + 1],
            self.kinds[i], self.path_at(i), self.levels[i],
        )
        unit.chars = self.pc[i + 1] - self.pc[i]
        unit.tokens = self.pt[i + 1] - self.pt[i]
        unit.top = i
        if self.rendered is not None:
            unit.rendered = self.rendered[i]
            unit.chars = len(unit.rendered)
        return unit


class _Packer:
    """The second phase: runs of whole units placed in chunks by the running
    totals, a heading starting a chunk unless its section fits whole in the
    one its enclosing section began; what it places goes to the emitter."""

    def __init__(self, layout: _Layout, budget: _Budget, cutter: _Cutter, emitter: _Emitter) -> None:
        self.layout = layout
        self.budget = budget
        self.cutter = cutter
        self.emitter = emitter
        self.current: list[_Unit] = []  # what the open chunk holds so far
        self.chars = 0  # of the current chunk
        self.tokens = 0

    def run(self) -> list[Chunk]:
        layout, budget, out = self.layout, self.budget, self.emitter.out
        n = layout.n
        pc, pt, levels, heads, ends = layout.pc, layout.pt, layout.levels, layout.heads, layout.ends
        # Budgets left out are never reached.
        cap_chars = budget.max_chars if budget.max_chars is not None else 1 << 62
        cap_tokens = budget.max_tokens if budget.max_tokens is not None else 1 << 62
        i = 0
        while i < n:
            size_chars, size_tokens = pc[i + 1] - pc[i], pt[i + 1] - pt[i]
            if size_chars > cap_chars or size_tokens > cap_tokens:
                for part in self.cutter.cut(layout.unit(i), self.chars, self.tokens):
                    self.add(part, heading=False)
                i += 1
                continue
            level = levels[i]
            if self.current and (
                level or self.chars + size_chars > cap_chars or self.tokens + size_tokens > cap_tokens
            ):
                self.flush()
            if not self.current and budget.overlap and out and not level:
                tail = self.tail(size_chars, size_tokens)
                if tail is not None:
                    self.current.append(tail)
                    self.chars, self.tokens = tail.chars, tail.tokens
            # The furthest run of whole units that fits beside what is open.
            j = bisect_right(pc, pc[i] + cap_chars - self.chars, i + 1) - 1
            if budget.max_tokens is not None:
                j = min(j, bisect_right(pt, pt[i] + cap_tokens - self.tokens, i + 1) - 1)
            # A heading in the run ends it, unless the chunk began at the
            # heading of an enclosing section and the new section fits whole.
            opener = 0 if self.current else level
            k = bisect_right(heads, i)
            while k < len(heads) and heads[k] < j:
                h = heads[k]
                if 0 < opener < levels[h] and ends[h] <= j:
                    k = bisect_left(heads, ends[h], k)
                    continue
                j = h
                break
            if j < n and (pc[j + 1] - pc[j] > cap_chars or pt[j + 1] - pt[j] > cap_tokens) and j not in ends:
                # The next unit will be cut: its first part may join these.
                for k in range(i, j):
                    self.push(layout.unit(k))
                i = j
                continue
            i = self.emit_range(i, j)
        self.flush()
        return out

    def emit_range(self, i: int, j: int) -> int:
        """A chunk of what is open and the units i..j-1; returns where the
        next chunk starts (before j when the token count of the whole came out
        over the budget)."""
        carry = self.current
        count, max_tokens = self.budget.count, self.budget.max_tokens
        while True:
            text = self.emitter.range_text(carry, i, j)
            size = len(text)
            if count is not None:
                size = int(count(text))
                if max_tokens is not None and size > max_tokens and j > i + (0 if carry else 1):
                    j -= 1  # the counts did not add up: one unit fewer
                    if j == i:
                        self.flush()
                        return i
                    continue
            break
        self.emitter.emit_range(carry, i, j, text, size)
        self.current, self.chars, self.tokens = [], 0, 0
        return j

    def add(self, unit: _Unit, heading: bool) -> None:
        """One part of a cut unit: placed after what is open if it fits, else
        first in the next chunk (after the overlap)."""
        if self.current and not self.budget.fits(self.chars + unit.chars, self.tokens + unit.tokens):
            self.flush()
        if not self.current and self.budget.overlap and self.emitter.out and not heading:
            tail = self.tail(unit.chars, unit.tokens)
            if tail is not None:
                self.push(tail)
        self.push(unit)

    def push(self, unit: _Unit) -> None:
        self.current.append(unit)
        self.chars += unit.chars
        self.tokens += unit.tokens

    def flush(self) -> None:
        """Make a chunk of the units gathered. With a token counter, the count
        of the whole chunk is checked too (tokens need not add up exactly):
        units that push it over go on to the next chunk."""
        count, max_tokens, emitter = self.budget.count, self.budget.max_tokens, self.emitter
        while self.current:
            units = self.current
            take = len(units)
            text = emitter.units_text(units)
            size = len(text)
            if count is not None:
                size = int(count(text))
                while max_tokens is not None and size > max_tokens and take > 1:
                    take -= 1
                    text = emitter.units_text(units[:take])
                    size = int(count(text))
            emitter.emit(units[:take] if take < len(units) else units, text, size)
            rest = units[take:]
            self.current = rest
            self.chars = sum(u.chars for u in rest) if rest else 0
            self.tokens = sum(u.tokens for u in rest) if rest else 0

    def tail(self, next_chars: int, next_tokens: int) -> _Unit | None:
        """The last lines of the previous chunk, up to ``overlap`` in size and
        never all of it, if they fit before unit; None otherwise."""
        layout, budget = self.layout, self.budget
        if layout.rendered is not None:
            return None  # rendered text has no source lines to repeat
        last = self.emitter.out[-1]
        start, end = last.span
        data = layout.data
        best = None
        at = end
        while True:
            nl = data.rfind(b"\n", start, at - 1) if at - 1 > start else -1
            if nl < 0:
                break
            at = nl + 1
            cstart = layout.char(at)
            piece = layout.text[cstart : last.end]
            chars = len(piece)
            tokens = int(budget.count(piece)) if budget.count is not None else 0
            if (tokens if budget.count is not None else chars) > budget.overlap:
                break
            if not budget.fits(chars + next_chars, tokens + next_tokens):
                break
            best = _Unit(at, end, cstart, last.end, "", last.path, 0)
            best.chars, best.tokens = chars, tokens
        return best


class _Cutter:
    """The phase for a unit over the budget: cut between lines (a rendered
    block between the lines of its rendering) into parts that the packer then
    places one by one."""

    def __init__(self, layout: _Layout, budget: _Budget) -> None:
        self.layout = layout
        self.budget = budget

    def measure(self, unit: _Unit) -> _Unit:
        """Fill in the unit's size in the output format."""
        piece = unit.rendered if unit.rendered is not None else self.layout.text[unit.cstart : unit.cend]
        if unit.rendered is not None:
            unit.chars = len(piece) + 2  # and the blank line that joins it to the next
        if self.budget.count is not None:
            unit.tokens = int(self.budget.count(piece))
        return unit

    def line_ends(self, window: _Window, start: int, end: int) -> list[int]:
        """The byte offsets just past each line of the bytes start..end."""
        cuts = []
        nl = window.find(b"\n", start, end)
        while nl >= 0:
            cuts.append(nl + 1)
            nl = window.find(b"\n", nl + 1, end)
        if not cuts or cuts[-1] != end:
            cuts.append(end)
        return cuts

    def lead(self, i: int, window: _Window) -> str:
        """The opener line of unit i's block (and a table's header row)."""
        layout = self.layout
        start = layout.block_start(i)
        end = window.find(b"\n", start, window.end)
        lines = [window.slice(start, end if end >= 0 else window.end).decode("utf-8", "replace").rstrip("\r")]
        header = layout.header_row(i)
        if header is not None:
            lines.append(window.slice(*header).decode("utf-8", "replace"))
        return "\n".join(lines)

    def cut(self, unit: _Unit, open_chars: int, open_tokens: int) -> list[_Unit]:
        """The unit cut between lines into parts that each fit the budget,
        save single lines that alone exceed it. The first part also fits what
        room the open chunk (``open_chars``, ``open_tokens``) has left when it
        can; the others leave room for the overlap that will come before
        them."""
        if unit.rendered is not None:
            return self.cut_rendered(unit)
        layout, budget = self.layout, self.budget
        window = _Window(layout.text, unit.bstart, unit.bend, unit.cstart, unit.cend)
        if unit.kind in _OPENED:
            unit.lead = self.lead(unit.top, window)
        parts: list[_Unit] = []
        char = window.char
        start = unit.bstart
        first = True
        counting = budget.count is not None
        max_chars = budget.max_chars
        if max_chars is not None and budget.overlap and not counting:
            max_chars -= budget.overlap
        max_tokens = budget.max_tokens
        if max_tokens is not None and budget.overlap and counting:
            max_tokens -= budget.overlap
        room_chars = None if budget.max_chars is None else budget.max_chars - open_chars
        line_ends = iter(self.line_ends(window, unit.bstart, unit.bend)) if counting else None
        pending: int | None = None  # a line end read but not yet placed
        while start < unit.bend:
            if not counting and max_chars is not None:
                # Characters alone: find the last line end within reach.
                room = room_chars if first and room_chars else max_chars
                at = char(start)
                reach = window.byte_offset(max(at, min(at + room, char(unit.bend))))  # no room: start
                if reach >= unit.bend:
                    stop = unit.bend
                else:
                    stop = window.rfind(b"\n", start, reach) + 1
                    if stop <= start:
                        if first and room != max_chars:
                            first = False
                            continue
                        found = window.find(b"\n", start, unit.bend)
                        stop = unit.bend if found < 0 else found + 1
            else:
                assert line_ends is not None
                chars = tokens = 0
                if first:
                    chars, tokens = open_chars, open_tokens
                cap_chars = budget.max_chars if first else max_chars
                cap_tokens = budget.max_tokens if first else max_tokens
                stop = start
                while True:
                    line_end = pending if pending is not None else next(line_ends, None)
                    pending = None
                    if line_end is None:
                        break
                    piece = layout.text[char(stop) : char(line_end)]
                    n_chars, n_tokens = len(piece), int(budget.count(piece))  # type: ignore[misc]
                    if (cap_chars is None or chars + n_chars <= cap_chars) and (
                        cap_tokens is None or tokens + n_tokens <= cap_tokens
                    ):
                        chars, tokens, stop = chars + n_chars, tokens + n_tokens, line_end
                        continue
                    if stop > start:
                        pending = line_end  # it opens the next part
                    elif chars or tokens:
                        pending = line_end  # no room left in the current chunk
                        first = False
                    else:
                        stop = line_end  # a line alone over the budget
                    break
                if stop == start:
                    continue
            if parts and not window.slice(start, stop).strip():
                # Only the blank lines after the block are left: they go with
                # its last part when they fit there.
                last = parts[-1]
                merged = self.measure(_Unit(last.bstart, stop, last.cstart, char(stop), unit.kind, unit.path, 0))
                if budget.fits(merged.chars, merged.tokens):
                    merged.lead = last.lead
                    parts[-1] = merged
                    start = stop
                    continue
            part = _Unit(start, stop, char(start), char(stop), unit.kind, unit.path, 0)
            if parts:
                part.lead = unit.lead
            parts.append(self.measure(part))
            start = stop
            first = False
        return parts

    def cut_rendered(self, unit: _Unit) -> list[_Unit]:
        """A rendered block cut between the lines of its rendering. The source
        is cut at line boundaries in the same proportion, so that the parts
        still tile the text."""
        assert unit.rendered is not None
        layout, budget = self.layout, self.budget
        count = budget.count
        lines = unit.rendered.split("\n")
        repeat = ""
        if unit.kind == "Table" and lines:
            head = 2 if layout.rendered is not None and len(lines) > 1 and set(lines[1]) <= set("|-: ") else 1
            repeat = "\n".join(lines[:head]) + "\n"
            lines = lines[head:] if len(lines) > head else lines
        groups: list[list[str]] = []
        size_chars = size_tokens = 0
        for line in lines:
            n_chars = len(line) + 1
            n_tokens = int(count(line + "\n")) if count is not None else 0
            if groups and budget.fits(size_chars + n_chars, size_tokens + n_tokens):
                groups[-1].append(line)
                size_chars, size_tokens = size_chars + n_chars, size_tokens + n_tokens
            else:
                groups.append([line])
                size_chars = len(repeat) + n_chars
                size_tokens = (int(count(repeat)) if count is not None and repeat else 0) + n_tokens
        window = _Window(layout.text, unit.bstart, unit.bend, unit.cstart, unit.cend)
        source_lines = self.line_ends(window, unit.bstart, unit.bend)
        parts = []
        start, done = unit.bstart, 0
        for g, group in enumerate(groups):
            done += len(group)
            if g == len(groups) - 1:
                stop = unit.bend
            else:
                at = min(len(source_lines) - 1, max(0, done * len(source_lines) // max(1, len(lines)) - 1))
                stop = max(start, source_lines[at])
            part = _Unit(start, stop, window.char(start), window.char(stop), unit.kind, unit.path, 0)
            part.rendered = repeat + "\n".join(group)
            parts.append(self.measure(part))
            start = stop
        return parts


class _Window:
    """The bytes start..end of the text (a unit being cut) and their index,
    read at the byte offsets and str indexes of the whole text: cutting a
    block costs its own length, not the text's."""

    __slots__ = ("index", "data", "base", "cbase", "end")

    def __init__(self, text: str, start: int, end: int, cstart: int, cend: int) -> None:
        self.index = TextIndex(text[cstart:cend])
        self.data = self.index.data
        self.base, self.cbase, self.end = start, cstart, end

    def find(self, sub: bytes, start: int, end: int) -> int:
        base = self.base
        found = self.data.find(sub, max(0, start - base), max(0, end - base))
        return found + base if found >= 0 else -1

    def rfind(self, sub: bytes, start: int, end: int) -> int:
        base = self.base
        found = self.data.rfind(sub, max(0, start - base), max(0, end - base))
        return found + base if found >= 0 else -1

    def slice(self, start: int, end: int) -> bytes:
        return self.data[start - self.base : end - self.base]

    def char(self, offset: int) -> int:
        return self.cbase + self.index.char_index(offset - self.base)

    def byte_offset(self, index: int) -> int:
        return self.base + self.index.byte_offset(index - self.cbase)


class _Emitter:
    """The last phase: the Chunk of what the packer placed (its text in the
    output format, path, context, span and size), appended to ``out``."""

    def __init__(self, layout: _Layout, budget: _Budget, heading_context: bool) -> None:
        self.layout = layout
        self.budget = budget
        self.heading_context = heading_context
        self.out: list[Chunk] = []

    def context(self, path: tuple[str, ...], lead: str) -> str:
        """A chunk's context: its heading path joined, then the lead line of a
        block cut in parts; "" without heading_context."""
        if not self.heading_context:
            return ""
        context = CONTEXT_SEPARATOR.join(path)
        if lead:
            context = f"{context}\n{lead}" if context else lead
        return context

    def units_text(self, units: list[_Unit]) -> str:
        """The text of a chunk of units."""
        if self.layout.rendered is None:
            return self.layout.text[units[0].cstart : units[-1].cend]
        pieces = [u.rendered for u in units if u.rendered]
        return "\n\n".join(pieces) + "\n" if pieces else ""

    def range_text(self, carry: list[_Unit], i: int, j: int) -> str:
        """The text of a chunk of the units carried and the layout's i..j-1."""
        layout = self.layout
        if layout.rendered is None:
            return layout.text[carry[0].cstart if carry else layout.cstarts[i] : layout.cstarts[j]]
        pieces = [u.rendered for u in carry if u.rendered] + [r for r in layout.rendered[i:j] if r]
        return "\n\n".join(pieces) + "\n" if pieces else ""

    def emit_range(self, carry: list[_Unit], i: int, j: int, text: str, size: int) -> None:
        """The chunk of the units carried and the layout's i..j-1."""
        layout = self.layout
        if carry:
            kinds = tuple(dict.fromkeys([u.kind for u in carry if u.kind] + layout.kinds[i:j]))
            lead = next((u.lead for u in carry if u.lead), "")
            bstart, cstart = carry[0].bstart, carry[0].cstart
        else:  # the common case: whole units only
            kinds = tuple(dict.fromkeys(layout.kinds[i:j]))
            lead = ""
            bstart, cstart = layout.bstarts[i], layout.cstarts[i]
        path = layout.path_at(i)
        self.out.append(
            _new_chunk(
                len(self.out), text, self.context(path, lead), path, (bstart, layout.bstarts[j]),
                cstart, layout.cstarts[j], size, kinds, self.budget.oversized(text, size),
            )
        )

    def emit(self, units: list[_Unit], text: str, size: int) -> None:
        """The chunk of units placed one by one (parts of a cut unit, what
        came before them)."""
        # A chunk holds a part of one section or a section's start with whole
        # subsections: its first block's path, or, should a tail repeated from
        # the chunk before come first, what the two share.
        path = units[0].path
        for unit in units[1:]:
            if unit.path is not path and unit.path[: len(path)] != path:
                common = 0
                while common < min(len(path), len(unit.path)) and path[common] == unit.path[common]:
                    common += 1
                path = path[:common]
        kinds = tuple(dict.fromkeys(unit.kind for unit in units if unit.kind))
        context = self.context(path, next((u.lead for u in units if u.kind), ""))
        oversized = self.budget.oversized(text, size)
        self.out.append(
            _new_chunk(
                len(self.out), text, context, path, (units[0].bstart, units[-1].bend),
                units[0].cstart, units[-1].cend, size, kinds, oversized,
            )
        )
