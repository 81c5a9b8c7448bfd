"""``quillet lsp``: a language server for editors, over standard input and output.

It publishes ``check``'s diagnostics on open and on every change, and answers
document symbols (the heading outline with the directives of each section),
folding ranges, go to definition, references and hover for footnote labels,
and completion of directive names, module names and callout and figure
attributes. Positions are UTF-16 code units unless the client offers UTF-8,
on lines as the protocol counts them (a lone CR ends one too): one at a
time through ``TextIndex``, the thousands of an answer in one pass over the
text (``Positions.many``). Documents are synchronised fully or
incrementally.

Each version of a document is parsed once, into its outline
(``quillet._native.outline``), and checked once; every answer reads that
outline, and the next change drops it. Symbols and folding ranges, the
largest answers, are written as JSON by the server itself (``Json``).

The server needs pygls (``pip install "quillet-parser[lsp]"``); this module imports it
only when the server starts, so that the command can say how to install it.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import json
import logging
import re
import string
import sys
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, Sequence

import pyql
from quillet import _native
from quillet._source import gc_paused
from quillet.check import ATTRIBUTES, DIRECTIVES, MODULES, Diagnostic, _check
from quillet.textindex import TextIndex

if TYPE_CHECKING:
    from lsprotocol import types

__all__ = ["Positions", "build_server", "main"]

NAME = "quillet"
EXIT_USAGE = 2
INSTALL_HINT = 'quillet lsp needs pygls: pip install "quillet-parser[lsp]"\n'
# The common callout kinds offered after "type=" (any word is a valid kind).
CALLOUT_KINDS = ("note", "tip", "important", "warning", "caution")
# A message larger than this is skipped unread: a Content-Length alone would
# otherwise make the reader allocate that much at once.
MAX_MESSAGE = 256 << 20
# A header line longer than this is read in pieces (none of which is a header).
MAX_HEADER_LINE = 1 << 16

logger = logging.getLogger("quillet.lsp")

# A carriage return that no line feed follows: a line break to the protocol.
_LONE_CR = re.compile(rb"\r(?!\n)")


# ---------------------------------------------------------------------------
# Positions


class Positions:
    """LSP positions (line from 0, character in UTF-16 code units or UTF-8
    bytes) of one text, both ways, through its ``TextIndex``. Positions past
    the end of a line or of the text are clamped, as the protocol asks.

    Lines end as the protocol ends them: at a line feed, a carriage return
    and line feed, or a carriage return alone. The parser ends lines at line
    feeds only (a lone carriage return is text to it), so ``index`` keeps
    the parser's lines and ``lines`` is the index that positions use: the
    same one, or, when the text holds a lone carriage return, the index of
    the text with each one read as a line feed. One ASCII byte stands for
    another there, so both give the same bytes, characters and UTF-16
    units; only the lines differ."""

    __slots__ = ("index", "lines", "utf8")

    def __init__(self, index: TextIndex, utf8: bool) -> None:
        self.index = index
        self.lines = index
        data = index.data
        if b"\r" in data and data.count(b"\r") != data.count(b"\r\n"):
            self.lines = TextIndex(_LONE_CR.sub(b"\n", data))
        self.utf8 = utf8

    def position(self, offset: int) -> tuple[int, int]:
        """(line, character) of a byte offset."""
        index = self.lines
        data = index.data
        offset = max(0, min(offset, len(index)))
        if 0 < offset < len(data) and data[offset - 1] == 0x0D and data[offset] == 0x0A:
            offset -= 1  # between a line break's two bytes: the end of its line
        start = index.line_start(offset)
        line = index.line_col(start)[0] - 1
        if self.utf8:
            return line, self._snap(offset) - start
        return line, index.utf16_index(offset) - index.utf16_index(start)

    def many(self, offsets: Sequence[int]) -> list[tuple[int, int]]:
        """position() of each offset, all found in one pass over the text."""
        return _native.lsp_positions(self.lines.data, offsets, self.utf8)

    def _snap(self, offset: int) -> int:
        data = self.index.data
        while 0 < offset < len(data) and 0x80 <= data[offset] < 0xC0:
            offset -= 1
        return offset

    def offset(self, line: int, character: int) -> int:
        """The byte offset of (line, character)."""
        index = self.lines
        data = index.data
        try:
            start = index.line_offset(max(0, line) + 1)
        except ValueError:
            return len(data)  # a line past the last one: the end of the text
        end = data.find(b"\n", start)
        if end < 0:
            end = len(data)
        elif end > start and data[end - 1] == 0x0D:
            end -= 1  # the line's CR belongs to its line break
        character = max(0, character)
        if self.utf8:
            return self._snap(min(start + character, end))
        # At most four bytes per UTF-16 unit: decode no more of a long line.
        limit = self._snap(min(end, start + 4 * character))
        piece = data[start:limit].decode("utf-8", "surrogatepass")
        if piece.isascii():
            return start + min(character, len(piece))
        units = piece.encode("utf-16-le", "surrogatepass")[: 2 * character]
        prefix = units.decode("utf-16-le", "surrogatepass")
        if prefix and "\ud800" <= prefix[-1] <= "\udbff":
            prefix = prefix[:-1]  # half of a pair stands for the character
        return start + len(prefix.encode("utf-8", "surrogatepass"))


# ---------------------------------------------------------------------------
# Documents


def _valid_text(text: str) -> str:
    """The text with each lone surrogate (JSON can carry one) replaced by
    U+FFFD, which takes as many UTF-8 bytes, UTF-16 units and characters:
    every position stays where it was, and the parser gets valid UTF-8."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return re.sub("[\ud800-\udfff]", "\ufffd", text)
    return text


class Document:
    """An open document: its text, version and what was computed from it.

    An edit splices the text's UTF-8 bytes, what positions and spans count;
    the ``str`` is decoded from them when first asked for. What the features
    read is computed once per version of the text, on first use, and
    dropped by the next change: its positions, its outline (one parse) and
    its diagnostics (check()'s, of that outline)."""

    __slots__ = ("uri", "version", "utf8", "_text", "_data", "_positions", "_outline", "_diagnostics")
    uri: str
    version: int | None
    utf8: bool
    _text: str | None
    _data: bytes | None  # after an edit, the UTF-8 of the text (the str is decoded from it)
    _positions: Positions | None
    _outline: _native.Outline | None
    _diagnostics: list[Diagnostic] | None

    def __init__(self, uri: str, text: str, version: int | None, utf8: bool) -> None:
        self.uri, self.version, self.utf8 = uri, version, utf8
        self.replace(text)

    @property
    def text(self) -> str:
        if self._text is None:
            assert self._data is not None
            self._text = self._data.decode()
        return self._text

    @property
    def positions(self) -> Positions:
        if self._positions is None:
            self._positions = Positions(TextIndex(self.text if self._data is None else self._data), self.utf8)
        return self._positions

    @property
    def data(self) -> bytes:
        """The UTF-8 bytes of the text."""
        return self.positions.index.data

    def outline(self) -> _native.Outline:
        """The outline of the text, built on first use after each change from
        its UTF-8 bytes (an edit decodes no str for it): the top-level rows
        and the inline facts, all that the answers and the checks read."""
        if self._outline is None:
            self._outline = _native.outline(self.data, top_only=True, inline=True)
        return self._outline

    def diagnostics(self) -> list[Diagnostic]:
        """check()'s diagnostics of the text's outline, computed on first use after each change."""
        if self._diagnostics is None:
            with gc_paused():  # check()'s, with the index the document keeps (its UTF-8 is not made again)
                self._diagnostics = _check(self.outline(), self.text, self.positions.index, None)
        return self._diagnostics

    def _changed(self, text: str | None, data: bytes | None) -> None:
        self._text, self._data = text, data
        self._positions = None
        self._outline = None
        self._diagnostics = None

    def replace(self, text: str) -> None:
        self._changed(_valid_text(text), None)

    def edit(self, start: tuple[int, int], end: tuple[int, int], new: str) -> None:
        """Replace the text between two LSP positions."""
        positions = self.positions
        a = positions.offset(*start)
        b = positions.offset(*end)
        a, b = min(a, b), max(a, b)
        data = positions.index.data
        # Both offsets start characters, and the new text is valid: so is the result.
        self._changed(None, data[:a] + _valid_text(new).encode() + data[b:])

    def offset(self, position: types.Position) -> int:
        return self.positions.offset(position.line, position.character)

    def range(self, start: int, end: int) -> types.Range:
        from lsprotocol import types

        positions = self.positions
        (sl, sc), (el, ec) = positions.position(start), positions.position(max(start, end))
        return types.Range(types.Position(sl, sc), types.Position(el, ec))

    def ranges(self, spans: Sequence[tuple[int, int]]) -> list[types.Range]:
        """document.range() of each span, converted in one pass over the text."""
        from lsprotocol import types

        found = self.positions.many([offset for start, end in spans for offset in (start, max(start, end))])
        return [
            types.Range(types.Position(*found[i]), types.Position(*found[i + 1])) for i in range(0, len(found), 2)
        ]

    def line_text(self, offset: int) -> tuple[int, str]:
        """(start, text) of the line holding offset, up to offset."""
        start = self.positions.index.line_start(offset)
        return start, self.data[start:offset].decode("utf-8", "replace")


# ---------------------------------------------------------------------------
# What the server answers


class Json(str):
    """An answer already written as JSON, as pygls would write it (json.dumps
    of the protocol's data, ASCII only): the server sends it as it is. The
    answers of thousands of symbols or ranges are written so, without
    building an object per node for pygls to convert back."""

    __slots__ = ()


_string = json.encoder.encode_basestring_ascii  # the str encoder of json.dumps


def _paused(answer: Callable[[Document], Json]) -> Callable[[Document], Json]:
    """An answer built with the collector paused: its many small tuples and
    lists hold no cycle, and collections started by them would walk the
    server's whole heap, a cost that grows with the documents it keeps."""

    @functools.wraps(answer)
    def paused(document: Document) -> Json:
        with gc_paused():
            return answer(document)

    return paused


@_paused
def diagnostics(document: Document) -> Json:
    """check()'s diagnostics of the document: the params of its
    publishDiagnostics notification, written as JSON (a document with many
    problems has thousands, and pygls's conversion of as many protocol
    objects costs several times the check)."""
    from lsprotocol import types

    severity = {"error": types.DiagnosticSeverity.Error.value, "warning": types.DiagnosticSeverity.Warning.value}
    found = document.diagnostics()
    positions = document.positions.many([offset for d in found for offset in (d.span[0], max(d.span[0], d.span[1]))])
    source = _string(NAME)
    written = [
        '{"range": {"start": {"line": %d, "character": %d}, "end": {"line": %d, "character": %d}}, '
        '"message": %s, "severity": %d, "code": %s, "source": %s}'
        % (*positions[2 * k], *positions[2 * k + 1], _string(d.message + (f"\nhint: {d.hint}" if d.hint else "")),
           severity.get(d.severity, types.DiagnosticSeverity.Warning.value), _string(d.code), source)
        for k, d in enumerate(found)
    ]
    version = "" if document.version is None else '"version": %d, ' % document.version
    return Json('{"uri": %s, %s"diagnostics": [%s]}' % (_string(document.uri), version, ", ".join(written)))


def _block_kinds() -> dict[str, int]:
    """The symbol kind of each block class shown in the outline, by the
    class's name (the outline's "type"). Headings are String, as the
    Markdown servers (VS Code's, marksman) give them; a code block is text
    kept as written, as an HTML or raw block is: Object, not Function, which
    an editor groups with a program's functions."""
    from lsprotocol import types

    kind = types.SymbolKind
    return {
        cls.__name__: value
        for cls, value in (
            (pyql.Table, kind.Array),
            (pyql.Callout, kind.Event),
            (pyql.Figure, kind.File),
            (pyql.CodeBlock, kind.Object),
            (pyql.List, kind.Array),
            (pyql.Quote, kind.String),
            (pyql.MathBlock, kind.Operator),
            (pyql.HtmlBlock, kind.Object),
            (pyql.RawBlock, kind.Object),
            (pyql.Footnotes, kind.Key),
        )
    }


def _first_line(data: bytes, start: int, end: int) -> str:
    nl = data.find(b"\n", start, end)
    # Up to the first line break as the editor shows them, a lone CR included.
    line = data[start : end if nl < 0 else nl].split(b"\r", 1)[0].decode("utf-8", "replace").strip()
    return line[:80] or "::"


def _outline_items(outline: _native.Outline, kinds: dict[str, int]) -> list[list[Any]]:
    """The symbols' tree in document order, one item per top-level heading
    and block of ``kinds``: [row, level (None for a block), start, end,
    section end (a heading's: at the next heading of the same or a higher
    level, or at the end of the text, as quillet.sections cuts it), how many
    open sections close after it]. A section's own blocks come before its
    subsections; blocks before the first heading stand at the top."""
    types = outline.column("type", top=True)
    levels = outline.column("level", top=True)
    starts = outline.column("byte_start", top=True)
    ends = outline.column("byte_end", top=True)
    items: list[list[Any]] = []
    open_: list[list[Any]] = []  # the items of the open sections
    for row, name in enumerate(types):
        if name == "Heading":
            level, start = levels[row], starts[row]
            while open_ and open_[-1][1] >= level:
                open_.pop()[4] = start
                items[-1][5] += 1
            item = [row, level, start, ends[row], None, 0]
            open_.append(item)
            items.append(item)
        elif name in kinds:
            items.append([row, None, starts[row], ends[row], None, 0])
    for item in open_:
        item[4] = outline.size
    if items:
        items[-1][5] += len(open_)
    return items


_RANGE = '{"start": {"line": %d, "character": %d}, "end": {"line": %d, "character": %d}}'
_BLOCK_SYMBOL = '{"name": %s, "kind": %d, "range": ' + _RANGE + ', "selectionRange": ' + _RANGE + "}"
_HEADING_SYMBOL = (
    '{"name": %s, "kind": %d, "range": ' + _RANGE + ', "selectionRange": ' + _RANGE + ', "detail": %s, "children": ['
)


@_paused
def symbols(document: Document) -> Json:
    """The heading outline, nested, with each section's directives and code
    blocks as children of its heading: a list of DocumentSymbol as JSON."""
    from lsprotocol import types

    outline = document.outline()
    data = document.data
    kinds = _block_kinds()
    items = _outline_items(outline, kinds)
    names = outline.column("type", top=True)
    titles = outline.column("heading_title", top=True)
    offsets: list[int] = []
    for _, level, start, end, section_end, _ in items:
        if level is not None:
            offsets += (start, max(start, section_end))
        offsets += (start, max(start, end))
    found = document.positions.many(offsets)
    heading = int(types.SymbolKind.String)
    parts = ["["]
    at, first = 0, True  # first: whether the list being written is still empty
    for row, level, start, end, _, closes in items:
        if not first:
            parts.append(", ")
        (a, b), (c, d) = found[at], found[at + 1]
        if level is None:
            name = _string(_first_line(data, start, end))
            parts.append(_BLOCK_SYMBOL % (name, kinds[names[row]], a, b, c, d, a, b, c, d))
            at, first = at + 2, False
        else:
            (e, f), (g, h) = found[at + 2], found[at + 3]
            marks = "#" * level
            name = _string(titles[row] or marks)
            parts.append(_HEADING_SYMBOL % (name, heading, a, b, c, d, e, f, g, h, _string(marks)))
            at, first = at + 4, True
        if closes:
            parts.append("]}" * closes)
            first = False
    parts.append("]")
    return Json("".join(parts))


def _text_end(data: bytes, start: int, end: int) -> int:
    """Where data[start:end] ends without the white space at its end (read
    from the end, in growing pieces)."""
    size = 256
    while True:
        low = max(start, end - size)
        kept = len(data[low:end].rstrip())
        if kept or low == start:
            return low + kept
        end, size = low, size * 4


@_paused
def folding_ranges(document: Document) -> Json:
    """Sections (the heading to the section's last text), directives, code
    fences and the metadata block: a list of FoldingRange as JSON."""
    from lsprotocol import types

    outline = document.outline()
    data = document.data
    spans: list[tuple[int, int, bool]] = []  # start, end, whether a region
    header = outline.header()
    meta = header[2] if header is not None else None
    if meta is not None:
        spans.append((*meta[0], True))
    items = _outline_items(outline, _block_kinds())
    for _, level, start, _, section_end, _ in items:
        if level is not None:
            # A section ends where its last text does, not at the blank lines before the next heading.
            spans.append((start, _text_end(data, start, section_end) - 1, True))
    spans += [(start, end - 1, False) for _, level, start, end, _, _ in items if level is None]
    offsets: list[int] = []
    for start, end, _ in spans:
        offsets += (start, max(start, end))
    found = document.positions.many(offsets)
    # Sorted by first line, longest first, then in the order above.
    ranges = []
    for i, (_, _, region) in enumerate(spans):
        first, last = found[2 * i][0], found[2 * i + 1][0]
        if last > first:
            ranges.append((first, -last, i, region))
    ranges.sort()
    kind = ', "kind": %s' % _string(types.FoldingRangeKind.Region.value)
    written = [
        '{"startLine": %d, "endLine": %d%s}' % (first, -last, kind if region else "")
        for first, last, _, region in ranges
    ]
    return Json("[" + ", ".join(written) + "]")


class _Footnote:
    """A footnote reference or definition: its label and span."""

    __slots__ = ("label", "start", "end")

    def __init__(self, label: str, start: int, end: int) -> None:
        self.label, self.start, self.end = label, start, end


def _footnotes(document: Document) -> tuple[list[_Footnote], list[_Footnote]]:
    """The footnote definitions and references of the document, in document order."""
    outline = document.outline()
    defs = [_Footnote(label, start, end) for label, start, end, _, _, _ in outline.footnote_defs()]
    refs = [_Footnote(label, start, end) for label, start, end, _ in outline.footnote_refs()]
    return defs, refs


def _label_at(document: Document, position: types.Position) -> tuple[str | None, _Footnote | None]:
    """The footnote label under the position, and the footnote that holds it."""
    offset = document.offset(position)
    defs, refs = _footnotes(document)
    for node in refs:
        if node.start <= offset <= node.end:
            return node.label, node
    for node in defs:
        # Only the "[^label]" that opens a definition names it.
        if node.start <= offset <= node.start + len(node.label.encode()) + 3:
            return node.label, node
    return None, None


def _def_label_range(document: Document, node: _Footnote) -> types.Range:
    return document.range(node.start, node.start + len(node.label.encode()) + 3)


def definition(document: Document, position: types.Position) -> list[types.Location]:
    from lsprotocol import types

    label, _ = _label_at(document, position)
    if label is None:
        return []
    defs, _ = _footnotes(document)
    return [types.Location(document.uri, _def_label_range(document, d)) for d in defs if d.label == label]


def references(document: Document, position: types.Position, declaration: bool) -> list[types.Location]:
    from lsprotocol import types

    label, _ = _label_at(document, position)
    if label is None:
        return []
    defs, refs = _footnotes(document)
    found = [types.Location(document.uri, document.range(r.start, r.end)) for r in refs if r.label == label]
    if declaration:
        found += [types.Location(document.uri, _def_label_range(document, d)) for d in defs if d.label == label]
    found.sort(key=lambda loc: (loc.range.start.line, loc.range.start.character))
    return found


def hover(document: Document, position: types.Position) -> types.Hover | None:
    """A footnote reference's definition, as written."""
    from lsprotocol import types

    label, node = _label_at(document, position)
    if label is None or node is None:
        return None
    defs, _ = _footnotes(document)
    texts = []
    for d in defs:
        if d.label == label:
            source = document.data[d.start : d.end].decode("utf-8", "replace")
            texts.append(source.split("]:", 1)[-1].strip())
    value = "\n\n---\n\n".join(texts) if texts else f"footnote [^{label}] has no definition"
    return types.Hover(
        contents=types.MarkupContent(kind=types.MarkupKind.PlainText, value=value),
        range=document.range(node.start, node.end),
    )


_DIRECTIVE_PREFIX = re.compile(r"[ \t]*::([A-Za-z0-9_-]*)")
_ATTRIBUTE_LINE = re.compile(rf"[ \t]*::({'|'.join(ATTRIBUTES)})[ \t]")
# The characters of a name being completed: ASCII, so that the name takes as
# many UTF-16 units as characters and bytes.
_NAME_CHARS = string.ascii_letters + string.digits + "_-"


def completion(document: Document, position: types.Position) -> list[types.CompletionItem]:
    """Directive names after "::", module names on the "@modules" line, and
    attributes (and callout kinds after "type=") on "::callout" and
    "::figure" lines."""
    from lsprotocol import types

    offset = document.offset(position)
    _, before = document.line_text(offset)
    # Scanned backwards from the cursor: a search for a name that ends there
    # would start again at every character of a long run of name characters.
    partial = before[len(before.rstrip(_NAME_CHARS)) :]
    edit_range = types.Range(types.Position(position.line, max(0, position.character - len(partial))), position)

    def items(names: Any, kind: Any, detail: str) -> list[types.CompletionItem]:
        return [
            types.CompletionItem(
                label=name,
                kind=kind,
                detail=detail,
                text_edit=types.TextEdit(range=edit_range, new_text=name),
            )
            for name in names
        ]

    directive = _DIRECTIVE_PREFIX.fullmatch(before)
    if directive is not None:
        return items(DIRECTIVES, types.CompletionItemKind.Keyword, "directive")
    # The line read alone, as the parser reads a modules line at the top of a document.
    modules = _native.read_header(before)[1]
    if modules is not None:
        names = before.encode()[modules[1][0] :].decode()
        if not names[:1].isspace():
            return []  # a name needs white space before it
        named = {name for name, _, _ in modules[2]}
        return items([m for m in MODULES if m not in named or m == partial], types.CompletionItemKind.Module, "module")
    attributes = _ATTRIBUTE_LINE.match(before)
    if attributes is not None and before.count('"') % 2 == 0:
        name = attributes.group(1)
        head = before[: len(before) - len(partial)]
        if name == "callout" and head.endswith("type="):
            return items(CALLOUT_KINDS, types.CompletionItemKind.EnumMember, "callout kind")
        if head.endswith((" ", "\t")):
            return items(
                [f"{key}=" for key in ATTRIBUTES[name]], types.CompletionItemKind.Property, f"::{name} attribute"
            )
    return []


# ---------------------------------------------------------------------------
# The server


class _Input:
    """Standard input as the message loop reads it, made safe against
    hostile framing: a body larger than MAX_MESSAGE is skipped instead of
    allocated, a header line is read in bounded pieces, and a header that
    follows the remains of a truncated message on the same line is found
    again, so that one bad message costs at most the next one."""

    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream

    def readline(self) -> bytes:
        line = self.stream.readline(MAX_HEADER_LINE)
        at = line.find(b"Content-Length:")
        return line[at:] if at > 0 else line

    def read(self, size: int) -> bytes:
        if size <= MAX_MESSAGE:
            return self.stream.read(size)
        left = size
        while left:
            chunk = self.stream.read(min(left, 1 << 20))
            if not chunk:
                return b""  # the input ended: so does the server
            left -= len(chunk)
        logger.error("skipped a message of %d bytes (at most %d are read)", size, MAX_MESSAGE)
        return b"\0"  # no JSON: reported as a message that cannot be read


def build_server() -> Any:
    """The language server (a pygls ``LanguageServer``), not yet started."""
    from lsprotocol import types
    from pygls.lsp.server import LanguageServer
    from pygls.protocol import LanguageServerProtocol, lsp_method

    class Protocol(LanguageServerProtocol):
        """Leaves the documents to the server (which converts positions
        with TextIndex), offers UTF-8 positions only when the client does,
        answers a request it cannot read with an error, and keeps the
        protocol's order: before initialize a request gets ServerNotInitialized
        (a notification other than exit is dropped), after shutdown a request
        gets InvalidRequest, and exit sets the status the process ends with
        (0 after shutdown, else 1)."""

        initialize_seen = False
        exit_status = 0

        def handle_message(self, message: Any) -> Any:
            method = getattr(message, "method", None)
            msg_id = getattr(message, "id", None)
            if method == types.EXIT:
                self.exit_status = 0 if self._shutdown else 1
            elif method == types.INITIALIZE:
                self.initialize_seen = True
            elif method is not None and (not self.initialize_seen or self._shutdown):
                from pygls.exceptions import JsonRpcInvalidRequest, JsonRpcServerNotInitialized

                if msg_id is None:
                    logger.warning("%s before initialize or after shutdown is dropped", method)
                elif self._shutdown:
                    self._send_response(msg_id, error=JsonRpcInvalidRequest().to_response_error())
                else:
                    self._send_response(msg_id, error=JsonRpcServerNotInitialized().to_response_error())
                return None
            return super().handle_message(message)

        @lsp_method(types.INITIALIZE)
        def lsp_initialize(self, params: types.InitializeParams) -> Any:
            general = params.capabilities.general
            offered = general.position_encodings if general is not None else None
            if general is not None and offered is not None:
                utf8 = types.PositionEncodingKind.Utf8
                general.position_encodings = [utf8 if utf8 in offered else types.PositionEncodingKind.Utf16]
            return (yield from super().lsp_initialize(params))

        @lsp_method(types.TEXT_DOCUMENT_DID_OPEN)
        def lsp_text_document__did_open(self, params: Any) -> Any:
            yield self.fm.features[types.TEXT_DOCUMENT_DID_OPEN], (params,), None

        @lsp_method(types.TEXT_DOCUMENT_DID_CHANGE)
        def lsp_text_document__did_change(self, params: Any) -> Any:
            yield self.fm.features[types.TEXT_DOCUMENT_DID_CHANGE], (params,), None

        @lsp_method(types.TEXT_DOCUMENT_DID_CLOSE)
        def lsp_text_document__did_close(self, params: Any) -> Any:
            yield self.fm.features[types.TEXT_DOCUMENT_DID_CLOSE], (params,), None

        def _send_response(self, msg_id: Any, result: Any = None, error: Any = None) -> None:
            if error is not None or not isinstance(result, Json):
                super()._send_response(msg_id, result, error)
                return
            self._result_types.pop(msg_id, None)
            # The message's keys in the order pygls writes them.
            self._send_data(Json('{"id": %s, "jsonrpc": "2.0", "result": %s}' % (json.dumps(msg_id), result)))

        def _send_data(self, data: Any) -> None:
            if not isinstance(data, Json):
                super()._send_data(data)
                return
            if self.writer is None:
                logger.error("no transport to send an answer on")
                return
            # Framed as pygls frames its messages: the body is ASCII, so its length is its size in bytes.
            header = ""
            if self._include_headers:
                header = (
                    f"Content-Length: {len(data)}\r\n"
                    f"Content-Type: {self.CONTENT_TYPE}; charset={self.CHARSET}\r\n\r\n"
                )
            written = self.writer.write((header + data).encode(self.CHARSET))
            if inspect.isawaitable(written):
                asyncio.ensure_future(written)

        def structure_message(self, data: dict[str, Any]) -> Any:
            try:
                return super().structure_message(data)
            except Exception as exc:
                msg_id = data.get("id")
                if "method" in data and isinstance(msg_id, (int, str)):
                    from pygls.exceptions import JsonRpcInvalidParams

                    error = exc if hasattr(exc, "to_response_error") else JsonRpcInvalidParams()
                    self._send_response(msg_id, error=error.to_response_error())
                raise

    from quillet import __version__

    server = LanguageServer(
        NAME,
        __version__,
        protocol_cls=Protocol,
        text_document_sync_kind=types.TextDocumentSyncKind.Incremental,
    )
    documents: dict[str, Document] = {}

    def utf8() -> bool:
        return bool(server.server_capabilities.position_encoding == types.PositionEncodingKind.Utf8)

    def publish(document: Document) -> None:
        server.protocol._send_data(
            Json('{"method": "%s", "params": %s, "jsonrpc": "2.0"}'
                 % (types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS, diagnostics(document)))
        )

    def feature(method: str, options: Any = None) -> Callable[[Callable[..., Any]], Any]:
        return server.feature(method, options)

    @feature(types.TEXT_DOCUMENT_DID_OPEN)
    def did_open(params: types.DidOpenTextDocumentParams) -> None:
        item = params.text_document
        document = Document(item.uri, item.text, item.version, utf8())
        documents[item.uri] = document
        publish(document)

    @feature(types.TEXT_DOCUMENT_DID_CHANGE)
    def did_change(params: types.DidChangeTextDocumentParams) -> None:
        document = documents.get(params.text_document.uri)
        if document is None:
            logger.error("a change of %s, which is not open, is ignored", params.text_document.uri)
            return
        for change in params.content_changes:
            if isinstance(change, types.TextDocumentContentChangePartial):
                start, end = change.range.start, change.range.end
                document.edit((start.line, start.character), (end.line, end.character), change.text)
            else:
                document.replace(change.text)
        document.version = params.text_document.version
        publish(document)

    @feature(types.TEXT_DOCUMENT_DID_CLOSE)
    def did_close(params: types.DidCloseTextDocumentParams) -> None:
        if documents.pop(params.text_document.uri, None) is not None:
            server.text_document_publish_diagnostics(
                types.PublishDiagnosticsParams(uri=params.text_document.uri, diagnostics=[])
            )

    def opened(uri: str) -> Document | None:
        document = documents.get(uri)
        if document is None:
            logger.warning("a request for %s, which is not open, has no answer", uri)
        return document

    @feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
    def document_symbol(params: types.DocumentSymbolParams) -> list[types.DocumentSymbol] | Json:
        document = opened(params.text_document.uri)
        return [] if document is None else symbols(document)

    @feature(types.TEXT_DOCUMENT_FOLDING_RANGE)
    def folding_range(params: types.FoldingRangeParams) -> list[types.FoldingRange] | Json:
        document = opened(params.text_document.uri)
        return [] if document is None else folding_ranges(document)

    @feature(types.TEXT_DOCUMENT_DEFINITION)
    def goto_definition(params: types.DefinitionParams) -> list[types.Location]:
        document = opened(params.text_document.uri)
        return [] if document is None else definition(document, params.position)

    @feature(types.TEXT_DOCUMENT_REFERENCES)
    def find_references(params: types.ReferenceParams) -> list[types.Location]:
        document = opened(params.text_document.uri)
        if document is None:
            return []
        return references(document, params.position, params.context.include_declaration)

    @feature(types.TEXT_DOCUMENT_HOVER)
    def on_hover(params: types.HoverParams) -> types.Hover | None:
        document = opened(params.text_document.uri)
        return None if document is None else hover(document, params.position)

    @feature(types.TEXT_DOCUMENT_COMPLETION, types.CompletionOptions(trigger_characters=[":", "=", " ", ","]))
    def complete(params: types.CompletionParams) -> list[types.CompletionItem]:
        document = opened(params.text_document.uri)
        return [] if document is None else completion(document, params.position)

    return server


def main(argv: list[str] | None = None) -> int:
    """``quillet lsp``: serve over standard input and output until the client
    says exit (or the input ends). Exits 0 on exit after shutdown (or at the
    end of the input), 1 on exit without shutdown, and 2, saying how to
    install it, without pygls."""
    import argparse

    parser = argparse.ArgumentParser(
        prog="quillet lsp",
        description="A language server for Quillet documents (*.qlt), over standard input and output.",
    )
    parser.add_argument("--log-level", default="WARNING", choices=("DEBUG", "INFO", "WARNING", "ERROR"),
                        help="what to log on standard error (default WARNING)")
    args = parser.parse_args(argv)
    try:
        import pygls  # noqa: F401
    except ImportError:
        sys.stderr.write(INSTALL_HINT)
        return EXIT_USAGE
    logging.basicConfig(level=args.log_level, stream=sys.stderr, format="quillet lsp: %(levelname)s: %(message)s")
    server = build_server()
    server.start_io(_Input(sys.stdin.buffer), sys.stdout.buffer)
    return int(server.protocol.exit_status)
