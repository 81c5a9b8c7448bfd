"""The heading tree of a document.

A section is a top-level heading and what follows it up to the next heading of
the same or a higher level (a smaller or equal number of "#"). Its own blocks
are those before its first subsection; the subsections are its children. The
blocks before the first heading form a section of level 0 with an empty title.
Headings exist only at the top level: a "# line" inside a quote, a callout or a
list item is text of a paragraph there, so it opens no section.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from quillet._result import Result
import pyql
from quillet._source import gc_paused, heading_title, parse_source
from quillet.textindex import TextIndex

if TYPE_CHECKING:
    from collections.abc import Iterator

__all__ = ["Section", "sections", "iter_sections"]


@dataclass(frozen=True)
class Section(Result):
    """One section of the heading tree.

    ``level`` is the heading's level (0 for the text before the first
    heading), ``title`` its plain text, ``path`` the titles from the top
    section down to this one, ``span`` the UTF-8 byte range from the heading
    to the next heading of the same or a higher level (or the end of the
    text), ``start`` and ``end`` the same range as ``str`` indexes (None when
    the source was already parsed and its text is unknown), ``heading`` the
    ``pyql.Heading`` (None at level 0), ``blocks`` the section's own blocks
    after its heading and ``children`` its subsections.
    """

    __slots__ = ("level", "title", "path", "span", "start", "end", "heading", "blocks", "children")

    level: int
    title: str
    path: tuple[str, ...]
    span: tuple[int, int]
    start: int | None
    end: int | None
    heading: Any
    blocks: tuple[Any, ...]
    children: tuple[Section, ...]

    def as_dict(self) -> dict[str, Any]:
        """The section as plain data: the field names as keys, the heading and
        blocks as ``quillet.to_dict`` gives them, the children as dicts."""
        from quillet.export import to_dict

        return {
            "level": self.level,
            "title": self.title,
            "path": list(self.path),
            "span": list(self.span),
            "start": self.start,
            "end": self.end,
            "heading": None if self.heading is None else to_dict(self.heading),
            "blocks": [to_dict(block) for block in self.blocks],
            "children": [child.as_dict() for child in self.children],
        }


class _Open:
    """A section being built: its fields, its blocks and children so far."""

    __slots__ = ("level", "title", "path", "start", "heading", "blocks", "children")

    def __init__(self, level: int, title: str, path: tuple[str, ...], start: int, heading: Any) -> None:
        self.level, self.title, self.path = level, title, path
        self.start, self.heading = start, heading
        self.blocks: list[Any] = []
        self.children: list[Section] = []


def sections(source: Any, *, profile: Any = None) -> list[Section]:
    """The top-level sections of a document, each with its subsections.

    ``source`` is a ``str`` (parsed here, with ``profile``), a
    ``pyql.Document``, a ``pyql.ParseResult`` or a list of top-level blocks.
    Character positions (``start``, ``end``) need the text: they are None
    unless ``source`` is a ``str``. The level-0 section comes first when
    blocks precede the first heading.

    >>> [(s.level, s.title, [c.title for c in s.children]) for s in sections("# A\\n## B\\n# C\\n")]
    [(1, 'A', ['B']), (1, 'C', [])]
    """
    with gc_paused():
        return _sections(source, profile)


def _sections(source: Any, profile: Any) -> list[Section]:
    parsed = parse_source(source, profile)
    text = parsed.text
    index = TextIndex(text) if text is not None else None
    blocks = parsed.blocks
    if parsed.document is not None:
        total = parsed.document.span.end
    else:
        total = blocks[-1].span.end if blocks else 0

    top: list[Section] = []
    stack: list[_Open] = []

    def close(until: int, end: int) -> None:
        # Close the open sections of level >= until, and the level-0 one,
        # which no heading continues; each ends where the next one starts.
        while stack and (stack[-1].level >= until or stack[-1].level == 0):
            done = stack.pop()
            start = done.start
            chars = index.char_span((start, end)) if index is not None else (None, None)
            section = Section(
                done.level, done.title, done.path, (start, end), chars[0], chars[1],
                done.heading, tuple(done.blocks), tuple(done.children),
            )
            (stack[-1].children if stack else top).append(section)

    for block in blocks:
        if type(block) is pyql.Heading:
            start = block.span.start
            close(block.level, start)
            title = heading_title(block)
            path = (stack[-1].path if stack else ()) + (title,)
            stack.append(_Open(block.level, title, path, start, block))
        else:
            if not stack:
                stack.append(_Open(0, "", (), 0, None))
            stack[-1].blocks.append(block)
    close(0, total)
    return top


def iter_sections(tree: list[Section]) -> Iterator[Section]:
    """Every section of a tree, in document order (each before its children)."""
    stack = list(reversed(tree))
    while stack:
        section = stack.pop()
        yield section
        stack.extend(reversed(section.children))
