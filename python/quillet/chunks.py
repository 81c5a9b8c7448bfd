"""Splitting a document into chunks that fit a budget, along its structure.

The document is read as a run of top-level blocks, each owning the blank lines
after it (the first also owns the header before it), so that the blocks tile
the text. Blocks are packed into chunks in order while they fit the budget:

- a heading starts a new chunk unless the current chunk began at the heading of
  an enclosing section and the new section (up to the next heading of the same
  or a higher level) fits in it whole; so a chunk holds a section's start with
  whole subsections, or a part of one section, and its path is that section's;
- a heading travels with what follows it: headings that follow one another
  (a section with no blocks of its own, then its first subsection) share a
  chunk with the first block after them, and the header before the first
  block (profile, modules, metadata) is never a chunk's only content;
- a block never is cut in two unless it alone exceeds the budget; it is then
  cut between lines (code, lists, quotes, paragraphs) or between rows
  (tables), and a line that alone exceeds the budget at sentence ends, else
  after white space, else between characters: never inside a UTF-8 sequence
  or a grapheme cluster (a combining mark, a joiner, a variation selector or
  an emoji modifier stays with its base, a CRLF stays whole), and never inside
  a link's or code span's markup while a place outside one is left;
- no chunk is only white space: blank lines and spaces go with the text before
  them (the leading ones with the text after them).

So every chunk fits the budget (with its context and lead when
``context_in_budget=True``), except where nothing can be cut: a single
grapheme cluster (or the context alone) that fills the budget, a run of white
space longer than the budget after the last text, or a token counter whose
count of a piece exceeds the counts that placed it. Such a chunk says so
(``oversized``).

With ``overlap=0`` consecutive chunks tile the text: each starts where the one
before ends, the first at 0 and the last ends at the end of the text (a text
of white space alone gives no chunk).
"""

from __future__ import annotations

import re
import unicodedata
import warnings
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from itertools import accumulate
from typing import Any, Callable

import pyql
from quillet import _native
from quillet._result import Result, maker
from quillet._source import gc_paused, heading_paths, profile_value, read_outline
from quillet.textindex import TextIndex

__all__ = ["Chunk", "DEFAULT_MAX_CHARS", "chunks"]

DEFAULT_MAX_CHARS = 2000
FORMATS = ("source", "text", "markdown")
CONTEXT_SEPARATOR = " > "
# What with_context() puts between the context and the rest, and after a lead.
CONTEXT_JOINER = "\n\n"
LEAD_JOINER = "\n"

# The blocks whose later parts, once the block is cut, repeat its opener line
# in their lead (and a table its header row), so that each part still says
# what it is a piece of.
_OPENED = ("List", "CodeBlock", "Callout", "Quote", "Table", "Footnotes", "MathBlock", "HtmlBlock", "RawBlock")


@dataclass(frozen=True)
class Chunk(Result):
    """One chunk of a document.

    ``index`` counts from 0; ``text`` is the exact source ``text[start:end]``
    for ``format="source"``, else the rendered text of the chunk's blocks;
    ``context`` is the heading path joined by " > ", for callers to prepend
    when embedding ("" with ``heading_context=False``); ``path`` the titles of
    the sections that contain the chunk; ``span`` its UTF-8 byte range and
    ``start``, ``end`` the same as ``str`` indexes; ``size`` its length in
    characters, or in tokens when a ``count_tokens`` was given; ``kinds`` the
    node classes of its blocks, in order of first appearance; ``oversized`` is
    true only where nothing could be cut (see the module's description);
    ``lead`` is, for a later part of a block cut in parts, the block's opener
    line (and a table's header row), which the part's text lacks ("" else; in
    the rendered formats each part repeats them in its text); ``footnotes``
    the footnote definitions (their source text) that the chunk cites and does
    not hold, in the order first cited; ``doc_id`` the ``doc_id`` given;
    ``doc_metadata`` the document's metadata entries whose values are scalars
    or lists of scalars (lists as tuples), as (key, value) pairs.
    """

    __slots__ = (
        "index", "text", "context", "path", "span", "start", "end", "size", "kinds", "oversized", "lead",
        "footnotes", "doc_id", "doc_metadata",
    )

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
    lead: str
    footnotes: tuple[str, ...]
    doc_id: str | None
    doc_metadata: tuple[tuple[str, Any], ...]

    def with_context(self) -> str:
        """The text to embed: the context, a blank line, then the lead and a
        line feed before the text (each left out when empty). With
        ``context_in_budget=True`` its size is what the budget holds."""
        return _with_context(self.context, self.lead, self.text)

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
        document (a LangChain ``Document``, a LlamaIndex ``TextNode``), whose
        text goes to its own field. The document's metadata entries follow
        under their own keys (lists as lists), ``doc_id`` too when one was
        given; a chunk's own key wins over an entry of the same name, which
        stays in ``doc_metadata``."""
        data: dict[str, Any] = {
            key: list(value) if isinstance(value, tuple) else value for key, value in self.doc_metadata
        }
        if self.doc_id is not None:
            data["doc_id"] = self.doc_id
        data.update(
            index=self.index,
            context=self.context,
            lead=self.lead,
            path=list(self.path),
            span=list(self.span),
            start=self.start,
            end=self.end,
            size=self.size,
            kinds=list(self.kinds),
            oversized=self.oversized,
            footnotes=list(self.footnotes),
            header_path="/" + "".join(title + "/" for title in self.path),
            start_index=self.start,
            end_index=self.end,
        )
        return data


def _with_context(context: str, lead: str, text: str) -> str:
    body = f"{lead}{LEAD_JOINER}{text}" if lead else text
    return f"{context}{CONTEXT_JOINER}{body}" if context else body


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
    context_in_budget: bool = False,
    lead_in_context: bool = False,
    doc_id: str | None = None,
    footnotes: bool = True,
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
    tiktoken encoder. It holds the chunk's text, or with
    ``context_in_budget=True`` its ``with_context()``: the context, "\\n\\n",
    the lead and "\\n", then the text. ``overlap`` (characters, or tokens with
    ``count_tokens``) repeats the last lines of a chunk at the start of the
    next, up to that size, except where a chunk starts a section. ``format``
    is ``"source"`` (the exact text), ``"text"`` or ``"markdown"`` (the blocks
    rendered by ``quillet.to_text`` or ``quillet.to_markdown``; sizes then
    count the rendered text, and each part of a cut table or code fence
    renders on its own, with the header row or the fence lines repeated).

    ``doc_id`` (a ``str``) goes into every chunk beside the document's
    metadata (``Chunk.metadata()``). ``footnotes=False`` leaves the chunks'
    ``footnotes`` empty and spares the walk of the inline text that finds the
    citations (about 0.4 times the parse on a document that cites notes). ``lead_in_context=True`` gives the older
    ``context``, which held a cut block's lead on a line after the heading
    path (the lead is then ""); it goes away in a later release.
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
    if doc_id is not None and not isinstance(doc_id, str):
        raise TypeError(f"doc_id must be a str or None, not {type(doc_id).__name__}")
    budget = max_tokens if count_tokens is not None and max_tokens is not None else max_chars
    assert budget is not None
    if overlap < 0 or overlap >= budget:
        raise ValueError(f"overlap must be at least 0 and below the budget ({budget}), not {overlap}")

    render = None if format == "source" else format
    budget_ = _Budget(
        max_chars, max_tokens, count_tokens, overlap, bool(context_in_budget), bool(heading_context),
        bool(lead_in_context),
    )
    with gc_paused():
        return _chunks(source, text, profile, budget_, render, doc_id, bool(footnotes))


def _chunks(
    source: Any, text: str, profile: Any, budget: _Budget, render: str | None, doc_id: str | None, footnotes: bool
) -> list[Chunk]:
    """The phases of chunks() in turn (see _Layout and what follows it)."""
    given = None if isinstance(source, str) else text
    # The rows inside the blocks cost more than the top-level ones: they are
    # read only when a block is cut (a table's header row, the markup a line
    # is not cut in). Where footnotes may be cited, the inline facts (the
    # references and definitions) are read at once.
    inline = footnotes and "[^" in text and not isinstance(source, _native.Outline)
    outline = read_outline(source, profile, text=given, render=render, top_only=True, inline=inline)
    if outline.length is not None and outline.length != len(text):
        raise ValueError("text is not the text the outline was built from")
    if text.isspace():
        return []  # no chunk is only white space

    def nested() -> _native.Outline:
        # The rows inside the blocks, for a table cut in parts (its header
        # row), footnotes and the markup a line is not cut inside: the
        # outline read if it has them, else one built for them.
        if not outline.top_only:
            return outline
        if isinstance(source, _native.Outline):
            return read_outline(text, outline.profile)
        return read_outline(source, profile, text=given)

    layout = _Layout(text, outline, budget.count, render is not None, nested)
    if not layout.n:
        return []
    emitter = _Emitter(layout, budget, doc_id, _doc_metadata(source, text, outline, layout, profile))
    out = _Packer(layout, budget, _Cutter(layout, budget), emitter).run()
    if render is not None:
        out = _drop_blank(out)
    if footnotes and "Footnotes" in layout.kinds:
        _footnotes(layout, out)
    return out


def _drop_blank(out: list[Chunk]) -> list[Chunk]:
    """The rendered chunks without those whose text is only white space (a
    header, which no writer writes): each gives its span to the chunk before
    it (the first to the one after it), so that the spans still tile."""
    if all(c.text.strip() for c in out):
        return out
    kept: list[Chunk] = []
    pending: Chunk | None = None  # a blank first chunk, whose span goes to the next
    for chunk in out:
        if not chunk.text.strip():
            if kept:
                object.__setattr__(kept[-1], "span", (kept[-1].span[0], chunk.span[1]))
                object.__setattr__(kept[-1], "end", chunk.end)
            elif pending is None:
                pending = chunk
            continue
        if pending is not None and not kept:
            object.__setattr__(chunk, "span", (pending.span[0], chunk.span[1]))
            object.__setattr__(chunk, "start", pending.start)
        object.__setattr__(chunk, "index", len(kept))
        kept.append(chunk)
    return kept


def _scalar(value: Any) -> bool:
    return isinstance(value, (str, int, float))  # bool is an int


def _doc_metadata(
    source: Any, text: str, outline: _native.Outline, layout: _Layout, profile: Any
) -> tuple[tuple[str, Any], ...]:
    """The document's metadata entries whose values are scalars or lists of
    scalars, as (key, value) pairs (lists as tuples): from the parsed
    document given, else from the parse of the header alone."""
    metadata: Any = None
    if isinstance(source, pyql.ParseResult):
        metadata = source.document.metadata
    elif isinstance(source, pyql.Document):
        metadata = source.metadata
    else:
        header = outline.header()
        if header is None or header[2] is None:
            return ()
        # The header is read by the parser itself, on the text before the
        # first block: a few lines, however long the document.
        head = text[: layout.cfirst] if layout.rows else text
        metadata = pyql.parse_with_recovery(head, profile_value(outline.profile)).document.metadata
    if not isinstance(metadata, dict):
        return ()
    entries = []
    for key, value in metadata.items():
        if _scalar(value):
            entries.append((key, value))
        elif isinstance(value, list) and all(_scalar(item) for item in value):
            entries.append((key, tuple(value)))
    return tuple(entries)


def _footnotes(layout: _Layout, out: list[Chunk]) -> None:
    """Each chunk's ``footnotes``: the definitions it cites and does not hold,
    in the order first cited (their source text without its final line
    feeds), set in C from the outline's references and definitions."""
    outline = layout.outline if layout.outline.inline else layout.nested()
    _native.chunk_footnotes(outline, out, layout.text)


# The phases, in the order they run: _Layout reads the blocks into units and
# running totals of their sizes; _Packer walks the totals and places runs of
# whole units in chunks, handing a unit over the budget to _Cutter, which cuts
# it into parts the packer places one by one; _Emitter makes the Chunk of what
# the packer placed. _Budget is the limits all of them measure against.


class _Budget:
    """The limits a chunk keeps: characters and/or tokens (as ``count``
    counts them), the overlap repeated before a chunk, and what a chunk
    carries beside its text (its context and lead), which the limits hold
    too with ``in_budget``."""

    __slots__ = (
        "max_chars", "max_tokens", "count", "overlap", "in_budget", "heading_context", "lead_in_context",
        "_reserved",
    )

    def __init__(
        self, max_chars: int | None, max_tokens: int | None, count: Callable[[str], int] | None, overlap: int,
        in_budget: bool = False, heading_context: bool = True, lead_in_context: bool = False,
    ) -> None:
        self.max_chars, self.max_tokens, self.count, self.overlap = max_chars, max_tokens, count, overlap
        self.in_budget, self.heading_context, self.lead_in_context = in_budget, heading_context, lead_in_context
        self._reserved: dict[tuple[tuple[str, ...], str], tuple[int, int]] = {}

    def fits(self, chars: int, tokens: int) -> bool:
        return (self.max_chars is None or chars <= self.max_chars) and (
            self.max_tokens is None or tokens <= self.max_tokens
        )

    def framing(self, path: tuple[str, ...], lead: str) -> tuple[str, str]:
        """The context and lead of a chunk of that path whose first part has
        that lead."""
        if not self.heading_context:
            return "", "" if self.lead_in_context else lead
        context = CONTEXT_SEPARATOR.join(path)
        if self.lead_in_context:
            if lead:
                context = f"{context}\n{lead}" if context else lead
            return context, ""
        return context, lead

    def reserve(self, path: tuple[str, ...], lead: str) -> tuple[int, int]:
        """The room the context and lead take in the budget (none unless
        ``in_budget``)."""
        if not self.in_budget:
            return 0, 0
        key = (path, lead)
        room = self._reserved.get(key)
        if room is None:
            prefix = _with_context(*self.framing(path, lead), "")
            tokens = int(self.count(prefix)) if self.count is not None and prefix else 0
            room = self._reserved[key] = (len(prefix), tokens)
        return room

    def over(self, text: str, size: int, context: str, lead: str) -> bool:
        """Whether a chunk exceeds the budget."""
        if self.in_budget and (context or lead):
            text = _with_context(context, lead, text)
            if self.count is not None:
                size = int(self.count(text))
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
        self._nested = nested
        self._full: _native.Outline | None = None
        self._markup: tuple[list[int], list[int]] | None = None
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
            self.cfirst: int = chars[0]
        elif total:
            kinds, starts, chars = [""], [0], [0]  # one unit of what the text holds (blank lines, a header)
            self.first = self.cfirst = 0
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
            unit.chars = len(unit.rendered) + 2  # and the blank line that joins it to the next
        return unit


    def nested(self) -> _native.Outline:
        """The outline with the rows inside the blocks, read once."""
        if self._full is None:
            self._full = self._nested()
        return self._full

    def markup(self) -> tuple[list[int], list[int]]:
        """The links and code spans, as str indexes where each starts and
        ends (overlaps merged), which a line is not cut inside."""
        if self._markup is None:
            outline = self.nested()
            spans = sorted(
                [(start, end) for _, start, end, _, _ in outline.links()]
                + [(start, end) for start, end, _ in outline.code_spans()]
            )
            starts: list[int] = []
            ends: list[int] = []
            for bstart, bend in spans:
                start, end = self.char(bstart), self.char(bend)
                if ends and start < ends[-1]:
                    ends[-1] = max(ends[-1], end)
                    continue
                starts.append(start)
                ends.append(end)
            self._markup = (starts, ends)
        return self._markup


class _Packer:
    """The second phase: runs of whole units placed in chunks by the running
    totals, a heading starting a chunk unless its section fits whole in the
    one its enclosing section began, headings kept with what follows them;
    what it places goes to the emitter."""

    def __init__(self, layout: _Layout, budget: _Budget, cutter: _Cutter, emitter: _Emitter) -> None:
        self.layout = layout
        self.budget = budget
        self.cutter = cutter
        self.emitter = emitter
        self.current: list[_Unit] = []  # what the open chunk holds so far
        self.chars = 0  # of the current chunk, with the room its context takes
        self.tokens = 0
        self.content = 0  # units in the current chunk that are not headings

    def open(self, paths: list[tuple[str, ...]], lead: str = "") -> None:
        """A chunk opens: its size starts at the room its context and lead
        take (the most a chunk of any of the paths takes)."""
        chars = tokens = 0
        for path in paths:
            c, t = self.budget.reserve(path, lead)
            chars, tokens = max(chars, c), max(tokens, t)
        self.chars, self.tokens = chars, tokens

    def run(self) -> list[Chunk]:
        layout, budget, out = self.layout, self.budget, self.emitter.out
        n = layout.n
        pc, pt, levels, heads, ends = layout.pc, layout.pt, layout.levels, layout.heads, layout.ends
        # Budgets left out are never reached.
        cap_chars = budget.max_chars if budget.max_chars is not None else 1 << 62
        cap_tokens = budget.max_tokens if budget.max_tokens is not None else 1 << 62
        in_budget = budget.in_budget
        # The common case, characters counted and no context in the budget,
        # no overlap, the text as it stands: runs of whole units are placed
        # and their chunks made in C, up to a unit this loop must place.
        runs = None
        if budget.count is None and not budget.overlap and not in_budget and layout.rendered is None:
            emitter = self.emitter
            # A budget beyond any text's length is the same budget as 2**62.
            runs = _native.chunk_runs(
                layout, min(cap_chars, 1 << 62), _new_chunk, CONTEXT_SEPARATOR if budget.heading_context else None,
                emitter.doc_id, emitter.doc_metadata,
            )
        i = 0
        while i < n:
            if runs is not None and not self.current:
                i = _native.chunk_run(runs, i, out)
                if i >= n:
                    break
            if not self.current:
                if in_budget:
                    self.open([layout.path_at(i)])
                else:
                    self.chars = self.tokens = 0
            size_chars, size_tokens = pc[i + 1] - pc[i], pt[i + 1] - pt[i]
            fresh_chars, fresh_tokens = (self.chars, self.tokens) if not self.current else self.fresh(i)
            if size_chars > cap_chars - fresh_chars or size_tokens > cap_tokens - fresh_tokens:
                join = bool(self.current) and not self.content
                for part in self.cutter.cut(layout.unit(i), self.chars, self.tokens, join):
                    self.add(part)
                i += 1
                continue
            level = levels[i]
            over = self.chars + size_chars > cap_chars or self.tokens + size_tokens > cap_tokens
            if self.current and not self.content and over and not level:
                # Headings alone are open and the block after them does not
                # fit beside them: it is cut so that its first part does.
                for part in self.cutter.cut(layout.unit(i), self.chars, self.tokens, True):
                    self.add(part)
                i += 1
                continue
            if self.current and (over or (level and self.content)):
                self.flush()
                if in_budget:
                    self.open([layout.path_at(i)])
            if not self.current and budget.overlap and out and not level:
                tail = self.tail(size_chars, size_tokens)
                if tail is not None:
                    self.push(tail)
            # The furthest run of whole units that fits beside what is open.
            j = bisect_right(pc, pc[i] + cap_chars - self.chars, i + 1) - 1
            if budget.max_tokens is not None:
                j = min(j, bisect_right(pt, pt[i] + cap_tokens - self.tokens, i + 1) - 1)
            # A heading in the run ends it, unless the chunk began at the
            # heading of an enclosing section and the new section fits whole,
            # or only headings come before it: they go with what follows.
            leading = not self.content
            if self.current:
                # A chunk opened by headings alone began at the last of them.
                opener = 0 if self.content else self.current[-1].level
            else:
                opener = level
            k0 = k = bisect_right(heads, i)
            if leading and level:
                k0 -= 1  # unit i is one of the headings
            while k < len(heads) and heads[k] < j:
                h = heads[k]
                if leading and h - i == k - k0:
                    opener = levels[h]  # the headings so far travel with this one
                    k += 1
                    continue
                if 0 < opener < levels[h] and ends[h] <= j:
                    k = bisect_left(heads, ends[h], k)
                    leading = False
                    continue
                j = h
                break
            heads_only = leading and level and j - i == bisect_left(heads, j) - bisect_left(heads, i)
            if j < n and (
                heads_only or (pc[j + 1] - pc[j] > cap_chars or pt[j + 1] - pt[j] > cap_tokens) and j not in ends
            ):
                # The next unit will be cut, or comes after headings alone:
                # its first part may join these.
                for k in range(i, j):
                    self.push(layout.unit(k))
                i = j
                continue
            i = self.emit_range(i, j)
        self.flush()
        return out

    def fresh(self, i: int) -> tuple[int, int]:
        """The room the context takes in a chunk that starts at unit i."""
        if not self.budget.in_budget:
            return 0, 0
        saved = self.chars, self.tokens
        self.open([self.layout.path_at(i)])
        room = self.chars, self.tokens
        self.chars, self.tokens = saved
        return room

    def emit_range(self, i: int, j: int) -> int:
        """A chunk of what is open and the units i..j-1; returns where the
        next chunk starts (before j when the token count of the whole came out
        over the budget)."""
        carry = self.current
        count, max_tokens, emitter = self.budget.count, self.budget.max_tokens, self.emitter
        while True:
            text = emitter.range_text(carry, i, j)
            size = len(text)
            if count is not None:
                size = int(count(text))
                if max_tokens is not None and j > i + (0 if carry else 1):
                    context, lead = emitter.range_framing(carry, i, j)
                    if self.budget.over(text, size, context, lead):
                        j -= 1  # the counts did not add up: one unit fewer
                        if j == i:
                            self.flush()
                            return i
                        continue
            break
        emitter.emit_range(carry, i, j, text, size)
        self.current, self.chars, self.tokens, self.content = [], 0, 0, 0
        return j

    def add(self, unit: _Unit) -> None:
        """One part of a cut unit: placed after what is open if it fits, else
        first in the next chunk (after the overlap)."""
        if self.current and not self.budget.fits(self.chars + unit.chars, self.tokens + unit.tokens):
            self.flush()
        if not self.current:
            self.open([unit.path], unit.lead)
            if self.budget.overlap and self.emitter.out:
                tail = self.tail(unit.chars, unit.tokens)
                if tail is not None:
                    self.push(tail)
        self.push(unit)

    def push(self, unit: _Unit) -> None:
        self.current.append(unit)
        self.chars += unit.chars
        self.tokens += unit.tokens
        if unit.kind != "Heading":
            self.content += 1

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
                while (
                    max_tokens is not None and take > 1 and self.budget.over(text, size, *emitter.framing(units[:take]))
                ):
                    take -= 1
                    text = emitter.units_text(units[:take])
                    size = int(count(text))
            emitter.emit(units[:take] if take < len(units) else units, text, size)
            rest = units[take:]
            self.current, self.content = [], 0
            self.chars = self.tokens = 0
            if rest:
                self.open([rest[0].path], rest[0].lead)
                for unit in rest:
                    self.push(unit)

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
            if piece.isspace():
                continue
            chars = len(piece)
            tokens = int(budget.count(piece)) if budget.count is not None else 0
            if (tokens if budget.count is not None else chars) > budget.overlap:
                break
            if not budget.fits(self.chars + chars + next_chars, self.tokens + tokens + next_tokens):
                break
            best = _Unit(at, end, cstart, last.end, "", last.path, 0)
            best.chars, best.tokens = chars, tokens
        return best


# Where a line that alone exceeds the budget is best cut: after a sentence's
# end and the white space after it, else after white space; the cut is where
# the next text starts.
_SENTENCE_END = re.compile(
    r"[.!?\u2026][\"')\]\u00bb\u201d\u2019]*\s+(?=\S)|[\u3002\uff01\uff1f][\u300d\u300f\uff09\u201d\u2019]*\s*(?=\S)"
)
_SPACE_RUN = re.compile(r"\s+(?=\S)")


def _joins(text: str, p: int) -> bool:
    """Whether text[p - 1] and text[p] belong to one grapheme cluster, so that
    no cut is made between them: a CRLF, a joiner (U+200D) and what it joins,
    a mark, variation selector, emoji modifier or tag after its base, a pair
    of regional indicators (a flag), conjoining Hangul jamo."""
    before, ch = text[p - 1], text[p]
    if before == "\r":
        return ch == "\n"
    o = ord(ch)
    if o < 0x300:
        return False  # the common case: nothing joins a character below the marks
    if ch == "\u200d" or before == "\u200d":
        return True
    if 0xFE00 <= o <= 0xFE0F or 0x1F3FB <= o <= 0x1F3FF or 0xE0020 <= o <= 0xE007F or 0xE0100 <= o <= 0xE01EF:
        return True
    if unicodedata.category(ch) in ("Mn", "Me", "Mc"):
        return True
    b = ord(before)
    if 0x1F1E6 <= o <= 0x1F1FF and 0x1F1E6 <= b <= 0x1F1FF:
        # Regional indicators pair from the first of their run.
        k = p - 1
        while k > 0 and 0x1F1E6 <= ord(text[k - 1]) <= 0x1F1FF:
            k -= 1
        return (p - k) % 2 == 1
    return _jamo(b, o)


def _jamo(before: int, ch: int) -> bool:
    """Whether two Hangul code points join: a leading jamo before a leading,
    vowel or syllable; a vowel or an LV syllable before a vowel or trailing;
    a trailing or an LVT syllable before a trailing."""
    def kind(o: int) -> str:
        if 0x1100 <= o <= 0x115F or 0xA960 <= o <= 0xA97F:
            return "L"
        if 0x1160 <= o <= 0x11A7 or 0xD7B0 <= o <= 0xD7C6:
            return "V"
        if 0x11A8 <= o <= 0x11FF or 0xD7CB <= o <= 0xD7FB:
            return "T"
        if 0xAC00 <= o <= 0xD7A3:
            return "LV" if (o - 0xAC00) % 28 == 0 else "LVT"
        return ""

    a, b = kind(before), kind(ch)
    if not a or not b:
        return False
    return (a == "L" and b != "T") or (a in ("LV", "V") and b in ("V", "T")) or (a in ("LVT", "T") and b == "T")


class _Stops:
    """Where a piece of a text may end: the search for the best cut at or
    before a limit, in the order line ends, sentence ends, white space (each
    first in the later half of the room), then between grapheme clusters;
    places inside a link's or code span's markup only when no other is left.
    A cut leaves text that is not white space on both sides."""

    __slots__ = ("text", "starts", "ends")

    def __init__(self, text: str, markup: tuple[list[int], list[int]] | None) -> None:
        self.text = text
        self.starts, self.ends = markup if markup is not None else ([], [])

    def inside(self, p: int) -> bool:
        k = bisect_right(self.starts, p - 1) - 1
        return k >= 0 and self.ends[k] > p

    def line(self, a: int, b: int, free: bool) -> int | None:
        text = self.text
        q = text.rfind("\n", max(0, a - 1), b)
        while q >= 0:
            if free or not self.inside(q + 1):
                return q + 1
            q = text.rfind("\n", max(0, a - 1), q)
        return None

    def pattern(self, pattern: re.Pattern[str], a: int, b: int, free: bool) -> int | None:
        found = None
        for match in pattern.finditer(self.text, max(0, a - 64), b + 1):
            p = match.end()
            if a <= p <= b and (free or not self.inside(p)):
                found = p
        return found

    def char(self, a: int, b: int, free: bool) -> int | None:
        text = self.text
        if not free:
            k = bisect_right(self.starts, b - 1) - 1
            if k >= 0 and self.starts[k] < a and self.ends[k] > b:
                return None  # all of a..b is inside one link or code span
        for p in range(b, a - 1, -1):
            if p < len(text) and _joins(text, p):
                continue
            if free or not self.inside(p):
                return p
        return None

    def best(self, pos: int, limit: int, floor: int, last: int, lines_only: bool) -> int | None:
        """The best cut in floor..min(limit, last) for a piece from pos that
        may reach limit (a line end only, with ``lines_only``); None when
        there is none."""
        hi = min(limit, last)
        if hi < floor:
            return None
        if lines_only:
            return self.line(floor, hi, False) or self.line(floor, hi, True)
        half = max(floor, pos + (limit - pos) // 2)
        for free in (False, True):
            for a in ((half, floor) if half > floor else (floor,)):
                found = self.line(a, hi, free)
                if found is None:
                    found = self.pattern(_SENTENCE_END, a, hi, free)
                if found is None:
                    found = self.pattern(_SPACE_RUN, a, hi, free)
                if found is not None:
                    return found
            found = self.char(floor, hi, free)
            if found is not None:
                return found
        return None

    def forced(self, limit: int, floor: int, last: int, end: int) -> int:
        """The nearest cut after limit, for a piece that cannot fit."""
        text = self.text
        p = max(limit + 1, floor)
        while p <= last and p < len(text) and _joins(text, p):
            p += 1
        return p if p <= last else end


class _Cutter:
    """The phase for a unit over the budget: cut between lines (a rendered
    block between the lines of its rendering), and a line over the budget
    within it (see _Stops), into parts that the packer then places one by
    one."""

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

    def caps(self, open_chars: int, open_tokens: int, later: bool) -> tuple[int | None, int | None]:
        """The room a part has: beside what is open, or (``later``) in a chunk
        of its own after the overlap."""
        budget = self.budget
        counting = budget.count is not None
        chars = None if budget.max_chars is None else budget.max_chars - open_chars
        tokens = None if budget.max_tokens is None or not counting else budget.max_tokens - open_tokens
        if later and budget.overlap:
            if counting and tokens is not None:
                tokens -= budget.overlap
            elif not counting and chars is not None:
                chars -= budget.overlap
        return chars, tokens

    def limit(self, text: str, pos: int, end: int, chars: int | None, tokens: int | None) -> int:
        """The furthest end of a piece of text from pos that fits the room
        (pos when not even one character does)."""
        hi = end if chars is None else min(end, pos + max(0, chars))
        count = self.budget.count
        if tokens is None or count is None:
            return hi
        if tokens < 0:
            return pos

        def fits(stop: int) -> bool:
            return int(count(text[pos:stop])) <= tokens

        # Gallop, then halve: a few counts of pieces near the room's size.
        good, step = pos, max(1, tokens)
        while True:
            probe = min(hi, pos + step)
            if not fits(probe):
                break
            good = probe
            if probe == hi:
                return hi
            step *= 2
        bad = probe
        while bad - good > 1:
            mid = (good + bad) // 2
            if fits(mid):
                good = mid
            else:
                bad = mid
        return good

    def pieces(
        self, text: str, start: int, end: int, stops: _Stops, first_room: tuple[int, int], later_room: tuple[int, int],
        floor: int = -1, join: bool = False,
    ) -> list[int]:
        """Where the pieces of text[start:end] end, each fitting its room: the
        first beside what is open (or, when not even a piece of it fits
        there, in a chunk of its own), the others in chunks of their own.
        ``floor`` keeps the first piece going until past it (a header is
        never a piece alone); ``join`` cuts the first piece within a line
        rather than leave what is open (headings alone) without it."""
        stripped = text[start:end].strip()
        if not stripped:
            return [end]
        first_text = text.find(stripped[0], start)
        last = start + len(text[start:end].rstrip())  # a cut leaves text after it: before this
        cuts: list[int] = []
        pos = start
        first = True
        while pos < end:
            chars, tokens = self.caps(*(first_room if first else later_room), later=not first)
            limit = self.limit(text, pos, end, chars, tokens)
            if limit >= end:
                cuts.append(end)
                break
            lowest = (first_text if pos == start else pos) + 1  # the piece holds text
            if pos == start and floor > lowest:
                lowest = floor
            # Between lines if one fits; a line is cut within only when it
            # does not fit a chunk of its own.
            stop = stops.best(pos, limit, lowest, last - 1, lines_only=True)
            if stop is None:
                if first and first_room != (0, 0) and not join:
                    first = False  # no line fits beside what is open: the next chunk
                    continue
                stop = stops.best(pos, limit, lowest, last - 1, lines_only=False)
                if stop is None and first and first_room != (0, 0):
                    first = False  # not even a piece fits beside what is open
                    continue
            if stop is None:
                stop = stops.forced(limit, lowest, last - 1, end)
            cuts.append(stop)
            pos = stop
            first = False
        return cuts

    def cut(self, unit: _Unit, open_chars: int, open_tokens: int, join: bool = False) -> list[_Unit]:
        """The unit cut into parts that each fit the budget. The first part
        also fits what room the open chunk (``open_chars``, ``open_tokens``,
        with its context) has left when it can; the others leave room for
        their context and the overlap that will come before them."""
        if unit.rendered is not None:
            return self.cut_rendered(unit)
        layout, budget = self.layout, self.budget
        text = layout.text
        window = _Window(text, unit.bstart, unit.bend, unit.cstart, unit.cend)
        lead = self.lead(unit.top, window) if unit.kind in _OPENED else ""
        later = budget.reserve(unit.path, lead)
        # A long line is cut outside links and code spans: the outline of
        # every block says where they are (read only when a line needs it).
        long_line = join or not _fits_lines(text, unit.cstart, unit.cend, budget.max_chars, budget.count)
        stops = _Stops(text, layout.markup() if long_line else None)
        floor = -1
        if unit.top == 0 and layout.first:
            # The header before the first block goes with the block's first
            # line, unless the two do not fit together: then with nothing.
            block = layout.cfirst
            line_end = text.find("\n", block, unit.cend)
            floor = unit.cend if line_end < 0 else line_end + 1
            if self.limit(text, unit.cstart, floor, *self.caps(*later, later=False)) < floor:
                floor = -1
        cuts = self.pieces(text, unit.cstart, unit.cend, stops, (open_chars, open_tokens), later, floor, join)
        parts: list[_Unit] = []
        start = unit.cstart
        for stop in cuts:
            part = _Unit(window.byte_offset(start), window.byte_offset(stop), start, stop, unit.kind, unit.path, 0)
            if parts:
                part.lead = lead
            parts.append(self.measure(part))
            start = stop
        return parts

    def cut_rendered(self, unit: _Unit) -> list[_Unit]:
        """A rendered block cut between the lines of its rendering (a line
        over the budget within it). A table's parts repeat its header row, a
        fenced code block's parts are fenced each. The source is cut at line
        boundaries in the same proportion, so that the parts still tile the
        text."""
        assert unit.rendered is not None
        layout, budget = self.layout, self.budget
        count = budget.count
        lines = unit.rendered.split("\n")
        repeat = close = ""
        if unit.kind == "Table" and lines:
            head = 2 if len(lines) > 1 and set(lines[1]) <= set("|-: ") else 1
            repeat = "\n".join(lines[:head]) + "\n"
            lines = lines[head:] if len(lines) > head else lines
        elif unit.kind == "CodeBlock" and len(lines) > 2 and lines[0][:3] in ("```", "~~~"):
            fence = lines[0][: len(lines[0]) - len(lines[0].lstrip(lines[0][0]))]
            if lines[-1].strip() == fence:
                repeat, close = lines[0] + "\n", "\n" + lines[-1]
                lines = lines[1:-1]
        # Each part's room: the budget less its context, the blank line after
        # it and what it repeats.
        reserve_chars, reserve_tokens = budget.reserve(unit.path, "")
        frame = repeat + close
        frame_tokens = int(count(frame)) if count is not None and frame else 0
        room = (reserve_chars + len(frame) + 2, reserve_tokens + frame_tokens)
        whole = "\n".join(lines)
        stops = _Stops(whole, None)
        cuts = self.pieces(whole, 0, len(whole), stops, room, room) if whole.strip() else [len(whole)]
        groups = []
        start = 0
        for stop in cuts:
            groups.append(whole[start:stop].rstrip("\n"))
            start = stop
        window = _Window(layout.text, unit.bstart, unit.bend, unit.cstart, unit.cend)
        source_lines = self.line_ends(window, unit.bstart, unit.bend)
        parts = []
        start = unit.bstart
        for g, (group, stop_char) in enumerate(zip(groups, cuts)):
            if g == len(groups) - 1:
                stop = unit.bend
            else:
                at_ = min(len(source_lines) - 1, max(0, stop_char * len(source_lines) // max(1, len(whole)) - 1))
                stop = max(start, source_lines[at_])
            part = _Unit(start, stop, window.char(start), window.char(stop), unit.kind, unit.path, 0)
            part.rendered = repeat + group + close
            parts.append(self.measure(part))
            start = stop
        return parts

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


def _fits_lines(text: str, start: int, end: int, max_chars: int | None, count: Callable[[str], int] | None) -> bool:
    """Whether every line of text[start:end] is short enough to need no cut
    inside it (by characters; with a token counter, lines are always looked
    at closely)."""
    if count is not None or max_chars is None:
        return count is None
    return max(map(len, text[start:end].split("\n"))) < max_chars // 2


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

    def slice(self, start: int, end: int) -> bytes:
        return self.data[start - self.base : end - self.base]

    def char(self, offset: int) -> int:
        return self.cbase + self.index.char_index(offset - self.base)

    def byte_offset(self, index: int) -> int:
        return self.base + self.index.byte_offset(index - self.cbase)


class _Emitter:
    """The last phase: the Chunk of what the packer placed (its text in the
    output format, path, context, lead, span and size), appended to ``out``."""

    def __init__(
        self, layout: _Layout, budget: _Budget, doc_id: str | None, doc_metadata: tuple[tuple[str, Any], ...]
    ) -> None:
        self.layout = layout
        self.budget = budget
        self.doc_id = doc_id
        self.doc_metadata = doc_metadata
        self.out: list[Chunk] = []
        self.contexts: dict[tuple[str, ...], str] = {}

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

    def path(self, units: list[_Unit]) -> tuple[str, ...]:
        """A chunk's path: that of the section its first unit is in (the
        chunk holds a part of it, or its start with whole subsections), or,
        should a tail repeated from the chunk before come first, what the
        units share."""
        path = units[0].path
        for unit in units[1:]:
            if unit.path is not path and unit.path[: len(path)] != path:
                common = 0
                while common < min(len(path), len(unit.path)) and path[common] == unit.path[common]:
                    common += 1
                path = path[:common]
        return path

    def framing(self, units: list[_Unit]) -> tuple[str, str]:
        """The context and lead of a chunk of units."""
        return self.budget.framing(self.path(units), next((u.lead for u in units if u.kind), ""))

    def range_framing(self, carry: list[_Unit], i: int, j: int) -> tuple[str, str]:
        """The context and lead of a chunk of the units carried and i..j-1."""
        if carry:
            path = self.path(carry + [self.layout.unit(k) for k in range(i, j)])
            return self.budget.framing(path, next((u.lead for u in carry if u.lead), ""))
        return self.budget.framing(self.layout.path_at(i), "")

    def emit_range(self, carry: list[_Unit], i: int, j: int, text: str, size: int) -> None:
        """The chunk of the units carried and the layout's i..j-1."""
        layout = self.layout
        if carry:
            kinds = tuple(dict.fromkeys([u.kind for u in carry if u.kind] + layout.kinds[i:j]))
            bstart, cstart = carry[0].bstart, carry[0].cstart
        else:  # the common case: whole units only
            kinds = tuple(dict.fromkeys(layout.kinds[i:j]))
            bstart, cstart = layout.bstarts[i], layout.cstarts[i]
        budget = self.budget
        if carry:
            context, lead = self.range_framing(carry, i, j)
            path = self.path(carry + [layout.unit(k) for k in range(i, j)])
            oversized = budget.over(text, size, context, lead)
        else:
            path, lead = layout.path_at(i), ""
            known = self.contexts.get(path)  # a section's chunks share their path
            if known is None:
                known = self.contexts[path] = budget.framing(path, "")[0]
            context = known
            if budget.in_budget or budget.count is not None:
                oversized = budget.over(text, size, context, lead)
            else:
                oversized = len(text) > budget.max_chars  # type: ignore[operator]
        out = self.out
        out.append(
            _new_chunk(
                len(out), text, context, path, (bstart, layout.bstarts[j]), cstart, layout.cstarts[j], size, kinds,
                oversized, lead, (), self.doc_id, self.doc_metadata,
            )
        )

    def emit(self, units: list[_Unit], text: str, size: int) -> None:
        """The chunk of units placed one by one (parts of a cut unit, what
        came before them)."""
        kinds = tuple(dict.fromkeys(unit.kind for unit in units if unit.kind))
        path = self.path(units)
        context, lead = self.budget.framing(path, next((u.lead for u in units if u.kind), ""))
        self.out.append(
            _new_chunk(
                len(self.out), text, context, path, (units[0].bstart, units[-1].bend), units[0].cstart,
                units[-1].cend, size, kinds, self.budget.over(text, size, context, lead), lead, (), self.doc_id,
                self.doc_metadata,
            )
        )
