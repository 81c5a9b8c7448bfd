"""Diagnostics a writer can act on: the parser's errors, what loses or hides
content, and warnings for text that parses but almost certainly does not say
what its writer meant (links and footnotes a reader cannot follow among them).

Each diagnostic has a stable ``code``, a ``severity`` ("error" for the codes of
``ERRORS``: the parser's own errors and what loses or hides content; "warning"
for the rest), a message, where it is (UTF-8 byte span, ``str`` indexes, line
and column) and a one-line ``hint`` with the Quillet form to write instead.
Checking never changes what the parser makes of the text.

``quillet check PATH...`` prints them compiler-style; ``main`` is that command.
"""

from __future__ import annotations

import re
import sys
import warnings
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from functools import cached_property, lru_cache
from itertools import accumulate, compress, count
from operator import itemgetter
from typing import Any, Iterator

import pyql
from quillet import _native
from quillet._result import Result, maker
from quillet._source import gc_paused, profile_value, read_outline
from quillet.textindex import _NOT_CONTINUATION, TextIndex

__all__ = ["CODES", "ERRORS", "Diagnostic", "check", "main"]


@dataclass(frozen=True)
class Diagnostic(Result):
    """One problem: ``code`` (stable, see ``CODES``), ``severity`` ("error" or
    "warning"), ``message``, ``span`` (UTF-8 byte range), ``start`` and
    ``end`` (``str`` indexes), ``line`` and ``column`` of its start (from 1,
    the column in characters) and ``hint`` (what to write instead)."""

    __slots__ = ("code", "severity", "message", "span", "start", "end", "line", "column", "hint")

    code: str
    severity: str
    message: str
    span: tuple[int, int]
    start: int
    end: int
    line: int
    column: int
    hint: str

    def as_dict(self) -> dict[str, Any]:
        """The diagnostic as plain data, keyed by the field names."""
        return {
            "code": self.code,
            "severity": self.severity,
            "message": self.message,
            "span": list(self.span),
            "start": self.start,
            "end": self.end,
            "line": self.line,
            "column": self.column,
            "hint": self.hint,
        }


# Diagnostic(...) from the values of its slots, in their order: a document
# with many problems makes thousands.
_new_diagnostic = maker(Diagnostic)


# What check() is called without a source (the deprecated check(text=...)).
_NO_SOURCE: Any = object()

# Every code check() gives, with what it means. The codes never change meaning.
CODES = {
    # the parser's errors
    "unknown-directive": "a '::name' line whose name the parser does not know",
    "unclosed-list": "a line that opens another construct ended a ::list before its '::'",
    "invalid-list-item": "a line in a ::list that is not an item, a continuation or '::'",
    "unclosed-table": "a line that is not a row (a blank line too) ended a ::table before its '::'",
    "unclosed-html": "an ::html block that runs to the end of the input",
    "parse-error": "any other error the parser records",
    # warnings
    "byte-order-mark": "a byte-order mark at the start: the first line is then never a header or heading",
    "unknown-profile": "an '@profile' line with a profile the parser does not know",
    "unknown-module": "a name on the '@modules' line that the parser does not know",
    "unclosed-metadata": "a metadata block never closed, which reads the whole document as metadata",
    "unclosed-block": "a quote, callout, list, table, footnotes, math block or code fence running to the end",
    "swallowed-heading": "a quote, callout or footnotes block never closed that takes in the headings after it",
    "stray-closing-line": "a '::' line where no block is open, which starts a raw block that swallows text",
    "html-without-module": "an ::html block in a document whose '@modules' line does not name html",
    "unknown-attribute": "an attribute or argument a directive does not know",
    "unclosed-attribute-quote": "a quoted attribute value that is never closed",
    "ignored-arguments": "arguments after ':: name' (with a space), which are ignored",
    "ignored-attribute-text": "text in an attribute list that is no key=value pair",
    "invalid-list-start": "a start= argument that is not a number",
    "markdown-list-item": "a Markdown list item ('1.', '*', '+') inside a ::list",
    "markdown-list": "Markdown list lines outside a ::list, which make a paragraph",
    "markdown-quote": "'> ' quote lines, which make a paragraph",
    "markdown-link": "a Markdown link [label](url), which stays plain text",
    "markdown-image": "a Markdown image ![alt](src), which stays plain text",
    "markdown-setext-heading": "a line of '---' or '===' under text meant as a heading",
    "undefined-footnote": "a footnote reference [^label] that no definition '[^label]: text' answers",
    "duplicate-footnote": "a second definition of a footnote label (the first one is used)",
    "unused-footnote": "a footnote definition that no reference cites",
    "empty-link-url": "a link [[label|]] (or [[]]) with no URL",
    "empty-link-label": "a link [[|url]] with no label, which shows nothing to click",
    "unclosed-link": "a '[[' that no ']]' closes in its text, which stays plain text",
    "mistyped-scheme": "a URL whose scheme looks mistyped ('htps//x.org', 'http:/x.org', 'htp://')",
    "refused-scheme": "a URL whose scheme the HTML writer refuses by default ('javascript:'): it shows as text",
}

# The codes whose severity is "error": the parser's errors, and what loses or
# hides content. Every other code is a warning.
ERRORS = frozenset(
    ("unknown-directive", "unclosed-list", "invalid-list-item", "unclosed-table", "unclosed-html", "parse-error",
     "unclosed-metadata", "swallowed-heading")
)

# The parser's own names: its directives (in the order hints list them), profiles and modules.
DIRECTIVES: tuple[str, ...] = tuple(name for name, _, _ in _native.DIRECTIVES)
PROFILES: tuple[str, ...] = _native.PROFILE_NAMES
MODULES: tuple[str, ...] = _native.MODULE_NAMES
# The keys of the directives that read an attribute list (key=value pairs); ::list reads words and
# start=N instead.
ATTRIBUTES: dict[str, tuple[str, ...]] = {name: keys for name, keys, words in _native.DIRECTIVES if keys and not words}
_LIST_KEYS, _LIST_WORDS = next((keys, words) for name, keys, words in _native.DIRECTIVES if name == "list")
# Keys people write for the ones a directive knows.
SYNONYMS = {
    "callout": {"kind": "type", "class": "type", "variant": "type", "level": "type", "severity": "type",
                "name": "title", "heading": "title", "label": "title", "header": "title"},
    "figure": {"url": "src", "href": "src", "image": "src", "path": "src", "source": "src", "file": "src",
               "title": "caption", "text": "alt", "description": "alt", "label": "caption"},
}
_CLOSERS = {"CodeBlock": "```"}
_OPEN_AT_END = ("Quote", "Callout", "List", "Table", "Footnotes", "MathBlock", "CodeBlock")
# Those that read the lines they take in as their own text (or drop them), so that a heading there is lost.
_CONTAINERS = frozenset(("Quote", "Callout", "Footnotes"))
# The blocks block_checks looks at beyond paragraphs: those whose opener line
# has arguments, and what may follow a paragraph or swallow text.
_SPECIAL = frozenset(("Callout", "Figure", "List", "ThematicBreak", "RawBlock"))
# Blocks whose text is kept as written: no link is read in them.
_VERBATIM = frozenset(("CodeBlock", "MathBlock", "HtmlBlock", "RawBlock"))
# The html module's name, as a header line and an outline's modules give it.
_HTML = MODULES[int(pyql.ModuleKind.Html)]


def _well_formed(name: str, value: str) -> str:
    """Opener lines that need no closer look: only keys and words the
    directive knows, a list's start a number, a value as ``value`` says."""
    if name == "list":
        args = "|".join([*_LIST_WORDS, *(f"{key}=\\+?[0-9]{{1,19}}" for key in _LIST_KEYS)])
    else:
        args = "(?:" + "|".join(ATTRIBUTES[name]) + f")=(?:{value})?"
    return rf"[ \t]*::{name}(?:[ \t]+(?:{args}))*[ \t]*"


_WELL_FORMED = {
    name: re.compile(_well_formed(name, '"[^"\\n]*"|[^\\s"]\\S*')) for name in ("list", *ATTRIBUTES)
}
# Most of those lines, matched in the text's bytes where the line starts, its
# end included, without reading the line out: unquoted values in ASCII only.
_WELL_FORMED_BYTES = {
    name: re.compile((_well_formed(name, '"[^"\\n]*"|[!#-~][!-~]*') + r"\r?(?:\n|\Z)").encode())
    for name in _WELL_FORMED
}
# The same patterns' match methods by class name.
_WELL_FORMED_BY_KIND = {name.capitalize(): pattern.match for name, pattern in _WELL_FORMED_BYTES.items()}
_MARK = re.compile(rb"[ \t>*+0-9-]")
_MARKDOWN_ITEM = re.compile(r"(?:\d{1,9}[.)]|[*+-])(?:[ \t]|$)")
_LINK = re.compile(r"(!?)\[([^\[\]\n]*)\]\(([^()\s]*)(?:\s+\"[^\"\n]*\")?\)")
_SPACES = " \t\r\n\v\f\u0085\u00a0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"


def _trim(text: str) -> str:
    """Trimmed as the parser trims: Unicode White_Space at both ends."""
    return text.strip(_SPACES)


def _first_word(text: str) -> str:
    """The text up to its first white space, as the parser reads a name."""
    for i, c in enumerate(text):
        if c in _SPACES:
            return text[:i]
    return text


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def _close_matches(word: str, known: tuple[str, ...]) -> list[str]:
    """The names of ``known`` that ``word`` could be a misspelling of, the
    closest first (a name in other case first of all)."""
    from difflib import get_close_matches

    same = [k for k in known if k.lower() == word.lower()]
    return same + [k for k in get_close_matches(word, known, n=len(known), cutoff=0.6) if k not in same]


@lru_cache(maxsize=1024)
def _suggest(word: str, known: tuple[str, ...]) -> str:
    """' (did you mean X?)' for a near miss, else ''."""
    lower = {k.lower(): k for k in known}
    if word.lower() in lower:
        return f" (did you mean '{lower[word.lower()]}'? names are case-sensitive)"
    from difflib import get_close_matches

    close = get_close_matches(word, known, n=1, cutoff=0.7)
    return f" (did you mean '{close[0]}'?)" if close else ""


class _Checker:
    """What the checks share: the text, its outline and top-level rows, the
    helpers that read its lines, and ``found``, where every phase adds what
    it finds (as tuples that ``_positioned`` makes Diagnostics of). The two
    phases that read the document from its top, the header and the blocks,
    are methods; the others are the functions after the class. A block is
    its top-level row's index: its class name is ``kinds[i]``, its span
    ``starts[i]``, ``ends[i]``."""

    def __init__(self, outline: _native.Outline, text: str, index: TextIndex, links: bool, refs: bool) -> None:
        self.text = text
        self.outline = outline
        self.index = index
        self.data = index.data
        self.links = links  # whether the text holds a "](" at all
        self.refs = refs  # whether it holds what opens a link, footnote or figure
        self.kinds: list[str] = outline.column("type", top=True)
        self.starts: list[int] = outline.column("byte_start", top=True)
        self.errors = outline.errors()
        # Where the errors start, in order: what a warning checks them against.
        self.error_starts = sorted(span[0] for _, _, _, span in self.errors if span is not None)
        self.found: list[tuple[int, int, str, str, str, str]] = []
        self.contents: list[Any] | None = None
        # The header lines an unknown profile line turned into text: warnings
        # about them follow from the one on that line.
        self.hidden: tuple[int, int] | None = None

    # -- helpers -----------------------------------------------------------

    def add(self, code: str, start: int, end: int, message: str, hint: str) -> None:
        self.found.append((start, end, "error" if code in ERRORS else "warning", code, message, hint))

    def line_at(self, start: int) -> tuple[int, int, str]:
        """The line that starts at byte start: (start, end without CR/LF, text)."""
        data = self.data
        nl = data.find(b"\n", start)
        end = len(data) if nl < 0 else nl
        if end > start and data[end - 1] == 0x0D:
            end -= 1
        return start, end, data[start:end].decode("utf-8", "replace")

    def lines(self, start: int, end: int) -> Iterator[tuple[int, int, str]]:
        """The lines of data[start:end], each as line_at gives it."""
        while start < end:
            line = self.line_at(start)
            yield line
            nl = self.data.find(b"\n", start, end)
            if nl < 0:
                break
            start = nl + 1

    def error_at(self, start: int, end: int) -> bool:
        """Whether an error starts in [start, end)."""
        i = bisect_left(self.error_starts, start)
        return i < len(self.error_starts) and self.error_starts[i] < end

    def line_number(self, offset: int) -> int:
        return self.index.line_col(offset)[0]

    @cached_property
    def ends(self) -> list[int]:
        """Where each block ends: read from the outline when a check first
        needs it (a clean document may never)."""
        ends: list[int] = self.outline.column("byte_end", top=True)
        return ends

    @cached_property
    def full_outline(self) -> _native.Outline:
        """The outline with the inline facts (links, footnotes, code spans,
        figures): the one given, unless it holds the top-level blocks alone."""
        if self.outline.inline:
            return self.outline
        return _native.outline(self.text, profile=self.outline.profile, top_only=True, inline=True)

    def content(self, i: int) -> str:
        """The content of block i (a raw block's), read from the outline the
        first time one is asked for."""
        if self.contents is None:
            self.contents = self.outline.column("content", top=True)
        content: str = self.contents[i]
        return content

    # -- the checks --------------------------------------------------------

    def run(self) -> list[Diagnostic]:
        """The phases in turn, each adding to ``found``; then the diagnostics
        in order of position."""
        _parse_errors(self)
        self.header()
        self.block_checks()  # hands blocks to the markdown, raw block and attribute list checks
        _open_at_end(self)
        _markdown_links(self)
        _links_and_notes(self)
        found = self.found
        if self.hidden is not None:
            lo, hi = self.hidden
            found = [f for f in found if not (lo <= f[0] < hi and f[2] == "warning")]
        return _positioned(found, self.data, self.text.isascii(), self.outline)

    def header(self) -> None:
        if self.text.startswith("\ufeff"):
            self.add("byte-order-mark", 0, 3, "a byte-order mark (U+FEFF) starts the text",
                     "remove it: with it the first line is never a profile line, metadata or heading")
            return  # the mark makes the first line ordinary content
        header = self.outline.header()
        if header is None:
            return
        profile, modules, metadata = header
        if profile is not None and profile[3] is None:
            self.broken_header(profile)
            return
        if modules is not None:
            for name, (start, end), kind in modules[2]:
                if kind is None:
                    self.add("unknown-module", start, end, f"unknown module '{name}' is ignored",
                             f"known modules: {', '.join(MODULES)}{_suggest(name, MODULES)}")
        if metadata is not None and not metadata[1]:
            start, end, _ = self.line_at(metadata[0][0])
            self.add("unclosed-metadata", start, end,
                     "the metadata block is never closed: the rest of the document is read as metadata"
                     + (f" ({_plural(self.line_number(len(self.data)) - self.line_number(start), 'line')})"),
                     "end the metadata block with a line '---'")

    def broken_header(self, profile: tuple[tuple[int, int], str, tuple[int, int], int | None]) -> None:
        """An unknown profile line ends the header: it and the header lines
        after it (a modules line, a metadata block) are read as the
        document's text. Said once, on the profile line: what those lines
        then look like to the other checks (a line of '---' under text, ...)
        is not reported."""
        (start, end), value, _, _ = profile
        after = self.data.find(b"\n", end) + 1 or len(self.data)
        # The lines after it as the header would have read them.
        _, modules, metadata = _native.read_header(self.data[after:].decode("utf-8", "replace"))
        parts = [(what, part[0]) for what, part in (("@modules line", modules), ("metadata block", metadata)) if part]
        if parts:
            self.hidden = (end, after + parts[-1][1][1])
        lost = " and ".join(f"the {what}" for what, _ in parts)
        close = _close_matches(value, PROFILES)
        names = [f"'@profile {name}'" for name in close or PROFILES]
        self.add("unknown-profile", start, end,
                 f"unknown profile '{value}': "
                 + (f"this line{',' if len(parts) > 1 else ' and'} {lost} after it are" if parts else "this line is")
                 + " read as the document's text",
                 ("did you mean " if close else "write ") + ", ".join(names[:-1])
                 + (" or " if len(names) > 1 else "") + names[-1] + ("?" if close else ""))

    def block_checks(self) -> None:
        """The blocks that need a closer look, each handed to its check:
        paragraphs that begin like Markdown and lines of '=' or '---' under
        text to the Markdown habits, raw blocks to the raw block check, the
        opener lines of ::callout, ::figure and ::list to the attribute lists."""
        data = self.data
        kinds, starts = self.kinds, self.starts
        # Most blocks need no look at all: what picks the few that do runs in
        # C, block by block, which keeps checking a clean document close to
        # the parse's cost.
        for i in _marked(data, starts):
            if kinds[i] == "Paragraph":
                _markdown_paragraph(self, i)
        # Lines of '=' under text: found once in the whole text, then matched
        # with the paragraph that holds them, each paragraph looked at once.
        seen = -1
        for found in _native.find_all(data, b"\n==", len(data)):
            i = bisect_right(starts, found) - 1
            if i != seen and i >= 0 and kinds[i] == "Paragraph" and found < self.ends[i]:
                _setext(self, i, None, "===")
                seen = i
        # Opener lines that read as written (most) are passed over here, one
        # pattern match each, before any check is called.
        well_formed = _WELL_FORMED_BY_KIND
        special = [
            i for i in compress(range(len(kinds)), map(_SPECIAL.__contains__, kinds))
            if kinds[i] not in well_formed or not well_formed[kinds[i]](data, starts[i])
        ]
        for i in special:
            kind = kinds[i]
            if kind == "ThematicBreak":
                if i and kinds[i - 1] == "Paragraph":
                    _setext(self, i - 1, i, "---")
            elif kind == "RawBlock":
                # The usual story of a stray '::': a list or table before it
                # ended early at a line with an error.
                j = i - 1
                while j >= 0 and kinds[j] not in ("List", "Table", "RawBlock"):
                    j -= 1
                _raw_block(self, i, j if j >= 0 and kinds[j] != "RawBlock" else None)
            else:
                _arguments(self, i)


def _marked(data: bytes, starts: list[int]) -> list[int]:
    """The blocks (by index) whose first byte is a space, a tab or a mark
    that opens a list item or quote in Markdown, found in one byte per block."""
    if not starts:
        return []
    # itemgetter of one index gives its item, not a tuple of one
    first_bytes = itemgetter(*starts) if len(starts) > 1 else lambda data: (data[starts[0]],)
    try:
        firsts = bytes(first_bytes(data))
    except IndexError:  # a block that starts at the very end: a line feed stands for its first byte
        firsts = bytes(first_bytes(data + b"\n"))
    return [m.start() for m in _MARK.finditer(firsts)]


# -- the parser's errors: each classified by its code, with a hint ----------


def _parse_errors(c: _Checker) -> None:
    starts = c.starts
    for _, code, message, span in c.errors:
        start, end = span if span is not None else (0, 0)
        after = bisect_right(starts, start)  # the block after the one the error is about
        if code == "unknown-directive":
            name = _first_word(_trim(c.line_at(start)[2])[2:])
            c.add("unknown-directive", start, end, message,
                  f"known directives: {', '.join(DIRECTIVES)}{_suggest(name, DIRECTIVES)}; "
                  "the body up to the next '::' line is kept as raw text")
        elif code == "unclosed-list":
            where = f" (line {c.line_number(starts[after])})" if after < len(starts) else ""
            c.add("unclosed-list", start, end, message,
                  f"end the list with a line '::' before the line that opens another construct{where}")
        elif code == "invalid-list-item":
            line_text = _trim(c.line_at(start)[2])
            c.add("invalid-list-item", start, end, message,
                  "list items begin with '- ', continuation lines with '| '; the list ends here")
            if _MARKDOWN_ITEM.match(line_text):
                marker = line_text.split(None, 1)
                rest = marker[1] if len(marker) > 1 else ""
                ordered = marker[0][0].isdigit()
                c.add("markdown-list-item", start, end,
                      f"'{marker[0]}' is a Markdown list marker; in a ::list every item begins with '- '",
                      f"write '- {rest}'" + (" and open the list with '::list ordered'" if ordered else ""))
        elif code == "unclosed-table":
            # The table stops at the line after the last one it took.
            table_end = c.ends[after - 1] if after else end
            where = f" at line {c.line_number(table_end) + 1}"
            c.add("unclosed-table", start, end, message,
                  f"the table ended{where}: every row begins with '|', a blank line ends the table; "
                  "remove the line or close the table with '::' before it")
        elif code == "unclosed-html":
            c.add("unclosed-html", start, end, message,
                  "end the block with a line '::'")
        else:
            c.add("parse-error", start, end, message, "")


# -- Markdown habits: a paragraph that begins with list or quote marks, a line
# of '=' or '---' under text; block_checks hands them the blocks -----------


def _markdown_paragraph(c: _Checker, i: int) -> None:
    start = c.starts[i]
    if c.error_at(start, start + 1):
        return  # the rest of a list that ended at this line: reported there
    _, first_end, first = c.line_at(start)
    first = _trim(first)
    if first.startswith(">") and (len(first) == 1 or first[1] in " \t"):
        c.add("markdown-quote", start, first_end,
              "'>' does not quote here: these lines are an ordinary paragraph",
              "write '::quote', the quoted lines without '>', then '::'")
        return
    if not _MARKDOWN_ITEM.match(first):
        return  # the other lines need no look
    lines = list(c.lines(start, c.ends[i]))
    if all(_MARKDOWN_ITEM.match(_trim(line[2])) for line in lines):
        ordered = first[0].isdigit()
        c.add("markdown-list", start, first_end,
              f"Markdown list lines are an ordinary paragraph here ({_plural(len(lines), 'line')})",
              f"write '::list{' ordered' if ordered else ''}', one '- item' line per item, then '::'")


def _setext(c: _Checker, paragraph: int, rule: int | None, mark: str) -> None:
    """The paragraph's last line underlined by the thematic break ``rule``
    (a line of '---'), or, when ``rule`` is None, by its own last line of
    '='."""
    span_start, span_end = c.starts[paragraph], c.ends[paragraph]
    if rule is not None:
        # Only a break on the very next line underlines the text.
        start, end = c.starts[rule], c.ends[rule]
        if c.data[span_end:start].strip(b"\r") != b"\n":
            return
        title_line = list(c.lines(span_start, span_end))[-1]
        level = "##"
    else:
        lines = list(c.lines(span_start, span_end))
        last = _trim(lines[-1][2])
        if len(lines) < 2 or len(last) < 2 or set(last) != {"="}:
            return
        title_line = lines[-2]
        start, end = lines[-1][0], lines[-1][1]
        level = "#"
    title = _trim(title_line[2])
    c.add("markdown-setext-heading", start, end,
          f"a line of '{mark}' under text does not make a heading here"
          + (": it is a thematic break" if rule is not None else ": it stays paragraph text"),
          f"write '{level} {title}' instead of the two lines")


# -- raw blocks: an ::html block without the html module, a stray '::' and
# what it swallowed ------------------------------------------------------


def _raw_block(c: _Checker, i: int, container: int | None) -> None:
    """The raw block ``i``; ``container`` is the list or table before it
    since the last raw block, if any."""
    start, end, line = c.line_at(c.starts[i])
    opener = _trim(line)
    if opener.startswith("::html") and (len(opener) == 6 or opener[6] in _SPACES):
        if _HTML not in c.outline.modules:
            c.add("html-without-module", start, end,
                  "this ::html block is kept as a raw block: the html module is not enabled",
                  "add 'html' to the '@modules' line at the top of the document")
        return
    if opener != "::":
        return
    # What the raw block swallowed: its content's blocks, as a parse of it alone gives them.
    counts: dict[str, int] = {}
    for kind in _native.outline(c.content(i)).column("type", top=True):
        counts[kind] = counts.get(kind, 0) + 1
    names = [_plural(n, name) for name, n in counts.items()]
    what = ", ".join(names[:-1]) + (" and " if len(names) > 1 else "") + (names[-1] if names else "")
    message = "a '::' line where no block is open starts a raw block"
    message += f" that swallows {what}" if what else ""
    message += " up to the next '::' line or the end of the input"
    hint = "delete this line, or name the directive it was meant to open (for example '::quote')"
    # The usual story: a list or table ended early at a line with an
    # error, and its own '::' then closed nothing.
    failed = container is not None and c.error_at(c.starts[container], start)
    if failed:
        assert container is not None
        hint = (f"the ::{c.kinds[container].lower()} on line {c.line_number(c.starts[container])} ended early "
                "with an error, so this '::' closed nothing: fix the line the error points at")
    elif i:
        kind = c.kinds[i - 1]
        if kind in ("Quote", "Callout"):
            hint = (f"the ::{kind.lower()} on line {c.line_number(c.starts[i - 1])} was already closed by an "
                    "earlier '::' (directives cannot nest inside it): delete this line")
    c.add("stray-closing-line", start, end, message, hint)


# -- attribute lists: the arguments of an opener line that the parser ignores
# or drops; a well-formed line needs no closer look -----------------------


def _arguments(c: _Checker, i: int) -> None:
    """An opener line that block_checks did not find well-formed in its bytes."""
    name = c.kinds[i].lower()
    start, end, line = c.line_at(c.starts[i])
    if _WELL_FORMED[name].fullmatch(line):
        return
    trimmed = _trim(line)
    prefix = "::" + name
    lead = len(line.encode()) - len(line.lstrip(_SPACES).encode())
    if not trimmed.startswith(prefix):
        # "::  name args": the name is read, the arguments are not.
        words = trimmed[2:].split()
        if len(words) > 1:
            c.add("ignored-arguments", start, end,
                  f"the arguments of this ::{name} are ignored: a space follows '::'",
                  f"write '{prefix} {' '.join(words[1:])}'")
        return
    arguments = trimmed[len(prefix):]
    base = start + lead + len(prefix.encode())
    if name == "list":
        _list_arguments(c, arguments, base)
    else:
        _attribute_list(c, name, arguments, base)


def _list_arguments(c: _Checker, arguments: str, base: int) -> None:
    for match in re.finditer(r"\S+", arguments):
        word = match.group()
        start = base + len(arguments[: match.start()].encode())
        end = start + len(word.encode())
        if word in _LIST_WORDS:
            continue
        key = word.split("=", 1)[0]
        if "=" in word and key in _LIST_KEYS:
            value = word[len(key) + 1 :]
            if not re.fullmatch(r"\+?[0-9]+", value) or int(value) >= 1 << 64:
                c.add("invalid-list-start", start, end,
                      f"'{word}' is not a start number: the list gets none",
                      f"write {key}= and a number, for example {key}=3")
            continue
        c.add("unknown-attribute", start, end,
              f"::list does not know '{word}', which is ignored",
              f"::list takes {', '.join(repr(w) for w in _LIST_WORDS)} and "
              f"{' and '.join(repr(k + '=N') for k in _LIST_KEYS)}" + _suggest(word, _LIST_WORDS))


def _attribute_list(c: _Checker, name: str, arguments: str, base: int) -> None:
    """The attribute list read by the parser's own reader, reporting what
    it drops. ``base`` is the byte offset of ``arguments`` in the text."""
    known = ATTRIBUTES[name]
    pairs, stop = _native.read_attributes(arguments)
    for (key, (start, end)), _ in pairs:
        if key not in known:
            _unknown_attribute(c, name, known, key, base + start, base + end)
    if stop is None:
        return
    reason, key_part, (rest, (start, end)) = stop
    if reason == "no-pair":
        c.add("ignored-attribute-text", base + start, base + end,
              f"'{rest}' is no key=value pair and is ignored",
              'quote a value that holds spaces: title="Two words"')
        return
    assert key_part is not None
    key, (key_start, key_end) = key_part
    if key not in known:
        _unknown_attribute(c, name, known, key, base + key_start, base + key_end)
    c.add("unclosed-attribute-quote", base + start, base + end,
          f"the quoted value of '{key}' is never closed: it and everything after it are ignored",
          'end the value with a closing "')


def _unknown_attribute(c: _Checker, name: str, known: tuple[str, ...], key: str, start: int, end: int) -> None:
    hint = f"::{name} takes {' and '.join(k + '=' for k in known)}"
    if " " in key:
        hint += f"; the words before '{key.split()[-1]}=' joined its key: quote values with spaces"
    elif key.lower() in SYNONYMS[name]:
        hint += f"; did you mean {SYNONYMS[name][key.lower()]}=?"
    else:
        hint += _suggest(key, known)
    c.add("unknown-attribute", start, end, f"::{name} does not know the attribute '{key}', which is ignored",
          hint)


# -- open at the end: a last block whose closing line is missing ------------


def _open_at_end(c: _Checker) -> None:
    if not c.kinds:
        return
    kind = c.kinds[-1]
    if kind not in _OPEN_AT_END:
        return
    data = c.data
    span_start, span_end = c.starts[-1], c.ends[-1]
    if data[span_end:].strip(b" \t\r\n"):
        return  # something follows: the block was closed or ended
    last_start = data.rfind(b"\n", span_start, span_end) + 1
    closer = _CLOSERS.get(kind, "::")
    if last_start > span_start and _trim(c.line_at(last_start)[2]) == closer:
        return
    start, end, line = c.line_at(span_start)
    name = "code fence" if kind == "CodeBlock" else "::" + _trim(line)[2:].split(" ", 1)[0]
    if c.error_at(span_start, span_start + 1):
        return  # ended by a line the error names, not by the end of the input
    lines = c.line_number(len(data)) - c.line_number(start)
    if kind in _CONTAINERS:
        # What the block took in, as the document would read it: headings
        # there are sections made text (or, in ::footnotes, dropped).
        body = data[end:].decode("utf-8", "replace")
        inner = _native.outline(body, top_only=True)
        headings = inner.column("byte_start", top=True, type="Heading")
        if headings:
            at = end + headings[0]
            c.add("swallowed-heading", start, end,
                  f"this {name} is never closed: it takes in the rest of the input ({_plural(lines, 'more line')}), "
                  f"{_plural(len(headings), 'heading')} included, as its own text",
                  f"end it with a line '{closer}' before line {c.line_number(at)} "
                  f"('{_trim(c.line_at(at)[2])}')")
            return
    c.add("unclosed-block", start, end,
          f"this {name} runs to the end of the input ({_plural(lines, 'more line')}): "
          f"its closing '{closer}' line is missing",
          f"end it with a line '{closer}'")


# -- links: Markdown links and images outside code, which stay plain text ---


def _markdown_links(c: _Checker) -> None:
    text = c.text
    if not c.links:
        return
    starts, ends, kinds = c.starts, c.ends, c.kinds
    code_spans: dict[int, list[tuple[int, int]]] | None = None
    for match in _LINK.finditer(text):
        start = c.index.byte_offset(match.start())
        end = c.index.byte_offset(match.end())
        i = bisect_right(starts, start) - 1
        if i < 0 or start >= ends[i] or kinds[i] in _VERBATIM:
            continue
        if code_spans is None:
            code_spans = _code_spans(c)
        if any(s <= start < e for s, e in code_spans.get(i, ())):
            continue
        image, label, url = match.group(1), match.group(2), match.group(3)
        if image:
            c.add("markdown-image", start, end, "a Markdown image stays plain text here",
                  f"write a line '::figure src={url} alt=\"{label}\"'")
        else:
            c.add("markdown-link", start, end, "a Markdown link stays plain text here",
                  f"write [[{label}|{url}]]" if label else f"write <{url}>")


def _code_spans(c: _Checker) -> dict[int, list[tuple[int, int]]]:
    """The code spans of each top-level block (by its index), at any depth
    inside it. Rows come in document order, each block before the blocks
    inside it, so a row belongs to the last top-level row before it (an
    outline of top-level rows alone gives that row)."""
    outline = c.full_outline
    tops = list(compress(count(), map((0).__eq__, outline.column("depth"))))
    spans: dict[int, list[tuple[int, int]]] = {}
    for start, end, row in outline.code_spans():
        spans.setdefault(bisect_right(tops, row) - 1, []).append((start, end))
    return spans


# -- links and footnotes: what a reader cannot follow ------------------------

# URLs that may hold a mistyped scheme, each at the start of a line (the URLs
# are matched joined by line feeds): a scheme-like word (what a URL begins
# with: a letter, then letters, digits, '+', '-' or '.') without its colon or
# with ';' for it, or with its colon when it is not one of the HTML writer's
# schemes or is followed by one slash or three. Which of these were meant
# for a scheme the writer knows, _urls decides.
_SUSPECT_URL = re.compile(
    r"^[\x00-\x09\x0b-\x20]*(?!(?:%s):(?!/(?:[^/]|$)|///))([a-z][a-z0-9+.-]*)(?::(/{0,3})|[;,.]?//)"
    % "|".join(map(re.escape, _native.HTML_SCHEMES)),
    re.I | re.M,
)
# The bytes that may start a link's label that is blank.
_BLANK_START = frozenset(b" \t\r\n|")


def _links_and_notes(c: _Checker) -> None:
    if not c.refs:
        return
    outline = c.full_outline
    data = c.data
    # The links with a label and a URL of a scheme the HTML writer takes, the most common by far, are left
    # out here: what follows finds nothing in them.
    links = _native.links_to_check(outline, data)
    for url, start, end, _, autolink in links:
        if autolink or (url.strip() and data[start + 2] not in _BLANK_START):
            continue
        content = data[start + 2 : end - 2]
        bar = content.find(b"|")
        label = content if bar < 0 else content[:bar]
        if not url.strip():
            c.add("empty-link-url", start, end,
                  "this link has no URL" + ("" if label.strip() else " and no label"),
                  f"write [[{label.decode('utf-8', 'replace').strip() or 'label'}|url]]")
        elif not label.strip():
            c.add("empty-link-label", start, end, "this link has no label: it shows nothing to click",
                  f"write [[{url}]] to show the URL, or [[label|{url}]]")
    _urls(c, [(url, start, end) for url, start, end, _, _ in links if url.strip()], False)
    _footnotes(c, outline)
    figures = outline.figures()
    if figures:
        _urls(c, [(src, start, c.line_at(start)[1]) for src, start, _, _ in figures if src], True)
    _unclosed_links(c, outline)


def _near(word: str, known: tuple[str, ...]) -> str | None:
    """The name of ``known`` that ``word`` is one slip away from (a letter
    left out, added, changed, or two swapped), else None."""
    for name in known:
        if abs(len(name) - len(word)) > 1:
            continue
        a, b = (word, name) if len(word) <= len(name) else (name, word)
        i = 0
        while i < len(a) and a[i] == b[i]:
            i += 1
        if (a[i:] == b[i + 1 :] or a[i + 1 :] == b[i + 1 :]
                or (len(a) == len(b) and a[i + 2 :] == b[i + 2 :] and a[i : i + 2] == b[i : i + 2][::-1])):
            return name
    return None


def _urls(c: _Checker, urls: list[tuple[str, int, int]], image: bool) -> None:
    """The URLs (each with the span of its link or figure) whose scheme looks
    mistyped, or that the HTML writer refuses."""
    if not urls:
        return
    what = "image" if image else "link"
    known = _native.HTML_SCHEMES
    mistyped = set()
    joined = "\n".join(url for url, _, _ in urls)
    if _SUSPECT_URL.search(joined):
        offsets = list(accumulate((len(url) + 1 for url, _, _ in urls), initial=0))
        for match in _SUSPECT_URL.finditer(joined):
            i = bisect_right(offsets, match.start()) - 1
            if offsets[i] != match.start():
                continue  # a line of a URL that holds line feeds
            url, start, end = urls[i]
            scheme, slashes = match.group(1).lower(), match.group(2)
            meant = scheme if scheme in known else _near(scheme, known)
            # 'http//x', 'https;//x', 'htp://x', 'http:/x', 'http:///x'; not
            # 'mailto:x' nor 'docs//x'.
            if meant is not None and (meant != scheme or slashes is None or slashes in ("/", "///")):
                rest = url[match.end() - offsets[i] :].lstrip("/")
                fixed = f"{meant}:" + ("" if meant == "mailto" else "//") + rest
                c.add("mistyped-scheme", start, end, f"the {what}'s URL '{url}' looks mistyped",
                      f"did you mean '{fixed}'?")
                mistyped.add(i)
    for i in _native.refused_urls([url for url, _, _ in urls], image):
        if i in mistyped:
            continue
        url, start, end = urls[i]
        scheme = url.strip().split(":", 1)[0]
        c.add("refused-scheme", start, end,
              f"the HTML writer refuses this {what}'s URL (scheme '{scheme}'): it shows as plain text",
              f"use a URL with {', '.join(s + ':' for s in known)} or a relative one")


def _footnotes(c: _Checker, outline: _native.Outline) -> None:
    refs = outline.footnote_refs()
    definitions = outline.footnote_defs()
    if not refs and not definitions:
        return
    first: dict[str, int] = {}
    for label, start, end, _, _, _ in definitions:
        if label in first:
            c.add("duplicate-footnote", start, end,
                  f"a second definition of the footnote '{label}': the first one (line "
                  f"{c.line_number(first[label])}) is used",
                  "give this note a label of its own, or delete one of the two")
        else:
            first[label] = start
    cited = set()
    for label, start, end, _ in refs:
        cited.add(label)
        if label not in first:
            c.add("undefined-footnote", start, end,
                  f"the footnote '{label}' is never defined: the reference shows as its text",
                  f"add a line '[^{label}]: the note' to a ::footnotes block"
                  + _suggest(label, tuple(first)))
    for label, start in first.items():
        if label not in cited:
            c.add("unused-footnote", start, c.line_at(start)[1],
                  f"no reference cites the footnote '{label}'", f"cite it with [^{label}], or delete it")


def _unclosed_links(c: _Checker, outline: _native.Outline) -> None:
    """Each '[[' that no ']]' closes in its text, which the outline finds
    where the parse left it as text."""
    for at in outline.unopened_links():
        block = bisect_right(c.starts, at) - 1
        hint = ("in a table a '|' ends the cell, in a link too: write [[url]] there" if c.kinds[block] == "Table"
                else "end the link with ']]' (a link never spans two paragraphs or table cells)")
        c.add("unclosed-link", at, at + 2, "this '[[' opens no link: no ']]' follows it in its text", hint)


def _positioned(
    found: list[tuple[int, int, str, str, str, str]], data: bytes, ascii_only: bool, outline: _native.Outline
) -> list[Diagnostic]:
    """The diagnostics found, in order of position, with their character
    positions, lines and columns: sorted, each one counts lines and
    characters from the one before, or from the start of its top-level
    block when that comes after it (the outline placed the blocks), so
    that diagnostics far apart cost no scan of the text between them."""
    if not found:
        return []
    starts: list[int] = outline.column("byte_start", top=True)
    char_starts: list[int] = outline.column("char_start", top=True)
    lines: list[int] = outline.column("line", top=True)
    columns: list[int] = outline.column("column", top=True)

    def chars_in(piece: bytes) -> int:
        # Characters are the bytes that do not continue one.
        return len(piece) if ascii_only else len(piece) - len(piece.translate(None, _NOT_CONTINUATION))

    diagnostics = []
    line, at, char, line_start_char = 1, 0, 0, 0
    for start, end, severity, code, message, hint in sorted(
        found, key=lambda f: (f[0], f[2] != "error", f[1], f[3])
    ):
        if start > at:
            block = bisect_right(starts, start) - 1
            if block >= 0 and starts[block] > at:
                at, char, line = starts[block], char_starts[block], lines[block]
                line_start_char = char - columns[block] + 1
            newlines = data.count(b"\n", at, start)
            gap_chars = start - at if ascii_only else chars_in(data[at:start])
            if newlines:
                line += newlines
                # The characters of the gap up to its last line's start: the
                # gap's, less those of that line (one scan of the gap).
                line_start = data.rfind(b"\n", at, start) + 1
                line_start_char = char + gap_chars - chars_in(data[line_start:start])
            char += gap_chars
            at = start
        end_char = char + chars_in(data[start:end])
        diagnostics.append(
            _new_diagnostic(code, severity, message, (start, end), char, end_char, line, char - line_start_char + 1,
                       hint)
        )
    return diagnostics


def check(source: Any = _NO_SOURCE, *, text: str | None = None, profile: Any = None) -> list[Diagnostic]:
    """The diagnostics of a document, in order of position: the parser's
    errors and what loses or hides content (severity "error", the codes of
    ``ERRORS``), and warnings for text that parses but almost certainly does
    not mean what its writer meant (see ``CODES``).

    ``source`` is the document's ``str``, parsed with ``profile`` (None, a
    ``pyql.Profile`` or "quillet", "md", "md-strict"), or a parsed source: a
    ``pyql.ParseResult``, ``pyql.Document``, list of blocks or an outline of
    ``quillet._native.outline``, with ``text``, the ``str`` it was parsed
    from (the checks read its lines as well as its blocks; ``profile`` is
    then not used). A parsed source's parser errors are those its
    ParseResult holds: a Document or list of blocks carries none. An outline
    is read as it is, nothing parsed again, unless it holds the top-level
    blocks alone and the text has something like a Markdown link (whose
    check needs the code spans). Passing the text as ``text=`` alone still
    works but is deprecated.

    >>> [(d.code, d.line, d.hint) for d in check("::callout kind=tip\\nHi\\n::\\n")]
    [('unknown-attribute', 1, '::callout takes type= and title=; did you mean type=?')]
    """
    if source is _NO_SOURCE:
        if text is None:
            raise TypeError("check() missing its argument: source, the text to check")
        warnings.warn("check(text=...) is deprecated: pass the text as the first argument, source",
                      DeprecationWarning, stacklevel=2)
        source, text = text, None
    if isinstance(source, str):
        if text is not None and text != source:
            raise ValueError("text is for a parsed source: a str source is the text itself")
        text = source
    elif text is None:
        if not isinstance(source, (pyql.ParseResult, pyql.Document, _native.Outline, list, tuple)):
            read_outline(source)  # raises the TypeError every tool gives for another source
        raise ValueError("check needs the text of a parsed source: pass the str it was parsed from as text=")
    elif not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    with gc_paused():
        return _check(source, text, TextIndex(text), profile)


def _check(source: Any, text: str, index: TextIndex, profile: Any) -> list[Diagnostic]:
    """check() of a source and its text, with the text's index (the language
    server passes the one it keeps, whose UTF-8 it already has)."""
    # The inline facts matter only to the link and footnote checks, but
    # outlining them costs less than searching the text for what opens a
    # link, footnote or figure; no check reads a nested block's row. An
    # outline given is taken as it is (full_outline reads what one of
    # top-level blocks alone lacks, if the text has what opens one).
    data = index.data
    links = bool(_native.find_all(data, b"](", 1))
    given = isinstance(source, _native.Outline)
    marks = (b"[[", b"[^", b"://", b"mailto:", b"::figure")
    refs = not given or any(_native.find_all(data, mark, 1) for mark in marks)
    if isinstance(source, str):  # its UTF-8, made above, is read as it is: not encoded again
        outline = _native.outline(data, profile=profile_value(profile), top_only=True, inline=True)
    else:
        outline = read_outline(source, profile, text=text, top_only=True, inline=not given)
    if outline.length != len(text):
        raise ValueError(
            f"text is not what the source was parsed from: {len(text)} characters, "
            f"the source's text has {outline.length}"
        )
    return _Checker(outline, text, index, links, refs).run()


# ---------------------------------------------------------------------------
# quillet check FILE...

EXIT_OK, EXIT_FOUND, EXIT_USAGE = 0, 1, 2


def _caret(line: str, column: int, width: int) -> str:
    """Spaces up to the column (tabs kept, so that the caret lines up), then
    the caret and a tilde under each further character of the span."""
    prefix = "".join(c if c == "\t" else " " for c in line[: column - 1])
    return prefix + "^" + "~" * max(0, width - 1)


def format_diagnostic(name: str, text: str, diagnostic: Diagnostic) -> str:
    """A diagnostic as a compiler prints it: the position and message, the
    source line, a caret under the span, and the hint."""
    from quillet.cli import printable

    d = diagnostic
    head = f"{name}:{d.line}:{d.column}: {d.severity}[{d.code}]: {d.message}"
    line_start = d.start - (d.column - 1)
    line_end = text.find("\n", d.start)
    if line_end < 0:
        line_end = len(text)
    source = text[line_start:line_end].rstrip("\r")
    width = max(1, min(d.end, line_start + len(source)) - d.start)
    shown = printable(source)
    lines = [printable(head)]
    if shown == source:  # escapes would move the caret
        lines += ["    " + source, "    " + _caret(source, d.column, width)]
    else:
        lines.append("    " + shown)
    if d.hint:
        lines.append("    hint: " + printable(d.hint))
    return "\n".join(lines) + "\n"


def check_file(job: Any, profile: str | None, fmt: str) -> tuple[str, str | None, bool, bool]:
    """``quillet check`` on one document of the command line (a
    ``quillet.cli.Job``): its diagnostics as the command prints them, why it
    gave no text (or None), and whether it has errors, and warnings. Runs in
    the worker processes with -j: only this small result comes back."""
    import json

    from quillet import cli

    try:
        data = job.data if job.data is not None else cli._read(job.path or "", job.fifo_ok)
        text = cli._decode(data)
    except cli.InputError as exc:
        reason = str(exc)
        output = json.dumps({"path": job.name, "diagnostics": None, "input_error": reason}) + "\n"
        return output if fmt == "json" else "", reason, False, False
    diagnostics = check(text, profile=profile)
    if fmt == "json":
        record = {"path": job.name, "diagnostics": [d.as_dict() for d in diagnostics], "input_error": None}
        output = json.dumps(record, ensure_ascii=False) + "\n"
    else:
        output = "".join(format_diagnostic(job.name, text, d) for d in diagnostics)
    errors = any(d.severity == "error" for d in diagnostics)
    return output, None, errors, len(diagnostics) > errors


def main(argv: list[str] | None = None) -> int:
    """``quillet check PATH...``: print the diagnostics of each document,
    found as the ``quillet`` command finds them (a directory stands for
    every ``*.qlt`` file below it). The exit status is 1 when some file has
    errors (or warnings, with --strict), 2 for a path that gives no
    document, else 0."""
    import argparse
    import functools
    import json
    import os

    from quillet import cli
    from quillet.batch import broken_pool, ordered_map

    parser = argparse.ArgumentParser(
        prog="quillet check",
        description="Check Quillet documents: the parser's errors, what loses or hides content (errors too), "
        "and warnings for text that parses but almost certainly does not mean what its writer meant, each "
        "with a hint. A directory stands for every *.qlt file below it, as for the quillet command.",
    )
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="a document, a directory (its *.qlt files), or - for standard input")
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="text (compiler-style, the default) or json (one JSON object per file)")
    parser.add_argument("--strict", action="store_true", help="exit with 1 on warnings too")
    parser.add_argument("--profile", choices=PROFILES, help="profile to parse with")
    parser.add_argument("-j", "--jobs", type=cli._positive_or_zero, default=1, metavar="N",
                        help="check in N worker processes (0: one per CPU; default 1); output keeps the input order")
    args = parser.parse_args(argv)
    if args.paths.count("-") > 1:
        parser.error("standard input (-) can be read only once")
    jobs = list(cli.expand(args.paths, cli.read_stdin))
    todo = [job for job in jobs if isinstance(job, cli.Job)]
    work = functools.partial(check_file, profile=args.profile, fmt=args.format)
    workers = args.jobs or os.cpu_count() or 1
    results: Iterator[tuple[str, str | None, bool, bool]] = (
        ordered_map(work, todo, workers) if workers > 1 and len(todo) > 1 else map(work, todo)
    )
    status = EXIT_OK
    out = sys.stdout
    try:
        for job in jobs:
            if isinstance(job, cli.Job):
                output, reason, errors, warned = next(results)
            else:
                reason = job.input_error or ""
                output = json.dumps({"path": job.name, "diagnostics": None, "input_error": reason}) + "\n"
                output, errors, warned = output if args.format == "json" else "", False, False
            if reason is not None:
                sys.stderr.write(cli.printable(f"quillet check: {job.name}: {reason}") + "\n")
                status = EXIT_USAGE
            out.write(output)
            if status != EXIT_USAGE and (errors or (warned and args.strict)):
                status = EXIT_FOUND
    except broken_pool():
        sys.stderr.write("quillet check: a worker process stopped unexpectedly; the remaining files were not checked\n")
        return EXIT_USAGE
    finally:
        close = getattr(results, "close", None)
        if close is not None:
            close()
    out.flush()
    return status
