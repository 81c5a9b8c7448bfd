"""The heading tree of a document.

A section is a top-level heading and what follows it up to the next heading of
the same or a higher level (a smaller or equal number of "#"). Its own blocks
are those before its first subsection; the subsections are its children. The
blocks before the first heading form a section of level 0 with an empty title.
Headings exist only at the top level: a "# line" inside a quote, a callout or a
list item is text of a paragraph there, so it opens no section.

The tree is read from the document's outline (its top-level rows: class,
heading level and title, positions); no pyql node is built for it. A
section's ``heading`` and ``blocks`` are nodes: the sections of one call share
one ``_Nodes``, which takes them on the first read of either field (from the
parsed document given, else by parsing the text once) and hands each section
its slice of the top-level blocks.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Sequence

import pyql
from quillet import _native
from quillet._result import Result, maker
from quillet._source import gc_paused, profile_value, read_outline

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
    the source was already parsed and its text was not given), ``heading`` the
    ``pyql.Heading`` (None at level 0), ``blocks`` the section's own blocks
    after its heading and ``children`` its subsections. ``heading`` and
    ``blocks`` are taken from the document on first read.
    """

    # heading and blocks live in _heading and _blocks behind properties (set
    # below): nodes not yet taken are a pending tuple there.
    __slots__ = ("level", "title", "path", "span", "start", "end", "_heading", "_blocks", "children")

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


class _Nodes:
    """The top-level nodes under the sections of one call, taken once, on the
    first read of a section's heading or blocks: the parsed document's, or
    those of the text parsed then."""

    __slots__ = ("_source", "_profile", "_count", "_blocks", "_lock")

    def __init__(self, source: Any, profile: Any, count: int) -> None:
        self._source = source  # a str to parse, a parsed document, or None (an outline without its text)
        self._profile = profile
        self._count = count  # the outline's top-level rows
        self._blocks: Sequence[Any] | None = None
        self._lock = threading.Lock()

    def blocks(self) -> Sequence[Any]:
        with self._lock:
            if self._blocks is None:
                self._blocks = self._take()
                self._source = None
            return self._blocks

    def _take(self) -> Sequence[Any]:
        source = self._source
        if isinstance(source, str):
            blocks: Sequence[Any] = pyql.parse_with_recovery(source, self._profile).document.blocks
        elif isinstance(source, pyql.ParseResult):
            blocks = source.document.blocks
        elif isinstance(source, pyql.Document):
            blocks = source.blocks
        elif source is None:
            raise ValueError("the heading and blocks of sections read from an outline need its text (text=)")
        else:
            blocks = list(source)
        if len(blocks) != self._count:
            raise ValueError("the document's blocks are not those its outline was built from")
        return blocks


# A section's heading and blocks not yet taken are a tuple, the same in both
# slots: (the call's _Nodes, the top-level index of its heading (-1 at level
# 0), and the first and last+1 indexes of its own blocks). No heading or
# tuple of blocks a caller gives starts with a _Nodes.


def _take(section: Section, pending: tuple[_Nodes, int, int, int]) -> tuple[Any, tuple[Any, ...]]:
    nodes, head, first, last = pending
    blocks = nodes.blocks()
    heading = blocks[head] if head >= 0 else None
    own = tuple(blocks[first:last])
    # A thread that reads a slot still holding the pending tuple takes the
    # same nodes again: the holder gives one list.
    object.__setattr__(section, "_heading", heading)
    object.__setattr__(section, "_blocks", own)
    return heading, own


def _pending(value: Any) -> bool:
    return type(value) is tuple and len(value) == 4 and type(value[0]) is _Nodes


def _get_heading(self: Section) -> Any:
    value = getattr(self, "_heading")
    return _take(self, value)[0] if _pending(value) else value


def _set_heading(self: Section, value: Any) -> None:
    object.__setattr__(self, "_heading", value)


def _get_blocks(self: Section) -> tuple[Any, ...]:
    value = getattr(self, "_blocks")
    return _take(self, value)[1] if _pending(value) else value


def _set_blocks(self: Section, value: tuple[Any, ...]) -> None:
    object.__setattr__(self, "_blocks", value)


# Set after the class is made, so that the dataclass sees no default in them;
# its __init__ (which sets fields with object.__setattr__), __eq__ and
# __repr__ go through them. Assigning them stays refused (frozen).
setattr(Section, "heading", property(_get_heading, _set_heading))
setattr(Section, "blocks", property(_get_blocks, _set_blocks))


# Section(...) from the values of its slots, in their order (the pending
# heading and blocks given twice, one per slot).
_new_section = maker(Section)


def sections(source: Any, *, text: str | None = None, profile: Any = None) -> list[Section]:
    """The top-level sections of a document, each with its subsections.

    ``source`` is a ``str`` (parsed here, with ``profile``), a
    ``pyql.Document``, a ``pyql.ParseResult``, a list of top-level blocks or
    an outline (``quillet._native.outline``). Character positions (``start``,
    ``end``) need the text: a parsed source gives them with ``text=``, the
    ``str`` it was parsed from, else they are None. The level-0 section comes
    first when blocks precede the first heading.

    >>> [(s.level, s.title, [c.title for c in s.children]) for s in sections("# A\\n## B\\n# C\\n")]
    [(1, 'A', ['B']), (1, 'C', [])]
    """
    with gc_paused():
        return _sections(source, text, profile)


def _sections(source: Any, text: str | None, profile: Any) -> list[Section]:
    outline = read_outline(source, profile, text=text, top_only=True)
    n = len(outline) if outline.top_only else len(outline.column("depth", top=True))  # the top-level blocks
    if not n:
        return []
    if isinstance(source, str):
        nodes = _Nodes(source, profile_value(profile), n)
    elif isinstance(source, _native.Outline):
        nodes = _Nodes(text, profile_value(outline.profile) if text is not None else None, n)
    else:
        nodes = _Nodes(source, None, n)
    length = outline.length
    if isinstance(source, (list, tuple)) and length is None:
        total = outline.column("byte_end", top=True)[-1]  # where the last block ends: all that is known
    else:
        total = outline.size
    # The tree, built in C from the top-level rows: each section ends where
    # the next heading of the same or a higher level starts, or at the end.
    return _native.section_tree(outline, _new_section, nodes, total, length)


def iter_sections(tree: list[Section]) -> Iterator[Section]:
    """Every section of a tree, in document order (each before its children)."""
    stack = list(reversed(tree))
    while stack:
        section = stack.pop()
        yield section
        stack.extend(reversed(section.children))
