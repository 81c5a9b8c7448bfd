"""What the agent tools share: reading their ``source`` argument and the plain
text of inline nodes."""

from __future__ import annotations

import gc
from contextlib import contextmanager
from functools import lru_cache
from typing import Any, Iterator, Sequence

import pyql
from quillet import _native

__all__ = [
    "Parsed", "gc_paused", "heading_paths", "heading_title", "parse_source", "plain_text", "profile_value",
    "read_outline",
]


@contextmanager
def gc_paused() -> Iterator[None]:
    """The cycle collector paused, as pyql pauses it while it parses.

    A parse leaves every node of the new tree in the collector's youngest
    generation, so the first allocations after it start collections that go
    through the whole tree, and on large documents they cost more than the
    parse (4 times as much at 8 MB). A tool that parses, reads the tree and
    drops it before the pause ends pays none of it; the tree and what the
    tools build hold no reference cycles."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


class Parsed:
    """A parsed document: its top-level blocks, its errors and, when the
    source was a ``str``, that text."""

    __slots__ = ("document", "blocks", "errors", "text")

    def __init__(
        self,
        document: pyql.Document | None,
        blocks: Sequence[Any],
        errors: Sequence[pyql.ParseError],
        text: str | None,
    ) -> None:
        self.document = document
        self.blocks = blocks
        self.errors = errors
        self.text = text


def profile_value(profile: Any) -> pyql.Profile | None:
    """The ``profile`` argument of every tool as pyql takes it: None, a
    ``pyql.Profile``, or a profile's name as the header line writes it
    ("@profile md"), the names being the parser's own."""
    if profile is None:
        return None
    if isinstance(profile, pyql.Profile):
        return profile
    if isinstance(profile, str):
        members = _profiles_by_name()
        if profile in members:
            return members[profile]
        raise ValueError(f"profile must be one of {', '.join(members)}, not {profile!r}")
    raise TypeError(f"profile must be None, a pyql.Profile or its name, not {type(profile).__name__}")


@lru_cache(maxsize=1)
def _profiles_by_name() -> dict[str, pyql.Profile]:
    """The parser's profile names, each with its ``pyql.Profile`` (a name's
    position in the parser's list is the member's value)."""
    members = {int(m): m for m in vars(pyql.Profile).values() if isinstance(m, pyql.Profile)}
    return {name: members[value] for value, name in enumerate(_native.PROFILE_NAMES)}


def parse_source(source: Any, profile: Any = None, *, name: str = "source") -> Parsed:
    """Parse a ``str``, or take a ``pyql.Document``, ``pyql.ParseResult`` or
    list of block nodes as they are."""
    if isinstance(source, str):
        result = pyql.parse_with_recovery(source, profile_value(profile))
        return Parsed(result.document, result.document.blocks, result.errors, source)
    if isinstance(source, pyql.ParseResult):
        return Parsed(source.document, source.document.blocks, source.errors, None)
    if isinstance(source, pyql.Document):
        return Parsed(source, source.blocks, [], None)
    if isinstance(source, (list, tuple)):
        return Parsed(None, list(source), [], None)
    raise _source_error(name, source)


def _source_error(name: str, source: Any) -> TypeError:
    return TypeError(
        f"{name} must be a str, a pyql.Document, a pyql.ParseResult or a list of blocks, "
        f"not {type(source).__name__}"
    )


def read_outline(
    source: Any,
    profile: Any = None,
    *,
    text: str | None = None,
    name: str = "source",
    plain: bool = False,
    render: str | None = None,
    top_only: bool = False,
    inline: bool = False,
) -> _native.Outline:
    """The outline of every tool's ``source``: a ``str`` (parsed with
    ``profile``, the GIL released), a ``pyql.Document``, ``pyql.ParseResult``
    or list of blocks (with ``text``, the str it was parsed from, when given),
    or an outline already built, taken as it is when it has what is asked.
    ``top_only`` asks for the top-level blocks only (no nested rows, no
    references, links or code spans), which costs little more than the
    parse. ``inline`` (with ``top_only``) asks for the inline facts too
    (footnote references, links, code spans) and the footnote definitions
    and figures at any depth, still without a row per nested block."""
    if text is not None and not isinstance(text, str):
        raise TypeError(f"text must be a str or None, not {type(text).__name__}")
    if isinstance(source, _native.Outline):
        if (
            (text is None or source.has_text)
            and (not plain or source.plain)
            and (render is None or source.render == render)
            and (top_only or not source.top_only)
            and (not inline or source.inline)
        ):
            return source
        raise ValueError(
            "this outline was built without what the call needs (its text, plain, render, nested rows or inline facts)"
        )
    if isinstance(source, str):
        return _native.outline(
            source, profile=profile_value(profile), plain=plain, render=render, top_only=top_only, inline=inline
        )
    if not isinstance(source, (pyql.Document, pyql.ParseResult, list, tuple)):
        raise _source_error(name, source)
    blocks = list(source) if isinstance(source, tuple) else source
    return _native.outline(blocks, text=text, plain=plain, render=render, top_only=top_only, inline=inline)


def heading_paths(outline: _native.Outline) -> dict[int, tuple[str, ...]]:
    """The heading path of each top-level heading's row: the titles of the
    headings whose sections hold it, outermost first, ending with its own.
    A row's path is ``paths[section]`` for its "section" column (``()`` when
    that is None): sections, chunks and records give the same paths."""
    return outline.heading_paths()


def plain_text(inlines: Sequence[Any]) -> str:
    """The text a reader sees in a list of inline nodes: markup dropped, a
    link's label kept, an autolink's address, footnote references left out."""
    parts: list[str] = []
    # Parsed inlines nest at most three levels; an explicit stack still keeps
    # node lists chained by hand, however deep, from recursing. A node shared
    # by several lists is read wherever it stands; one inside itself is read
    # once (open holds the nodes on the path from the top).
    stack: list[tuple[Iterator[Any], int | None]] = [(iter(inlines), None)]
    open_nodes: set[int] = set()
    while stack:
        items, owner = stack[-1]
        for node in items:
            kind = type(node)
            if kind is pyql.Text or kind is pyql.CodeSpan:
                parts.append(node.content)
            elif kind is pyql.AutoLink:
                parts.append(node.url)
            elif kind in (pyql.Link, pyql.Emphasis, pyql.Strong, pyql.Strikethrough):
                if id(node) in open_nodes:
                    continue
                open_nodes.add(id(node))
                stack.append((iter(node.label if kind is pyql.Link else node.content), id(node)))
                break
            elif kind in (pyql.HardBreak, pyql.SoftBreak):
                parts.append(" ")
        else:
            stack.pop()
            if owner is not None:
                open_nodes.discard(owner)
    return "".join(parts)


def heading_title(heading: Any) -> str:
    """A heading's title, the one every tool gives (a section's ``title`` and
    ``path``, a chunk's ``path``, a record's ``heading_path``): its plain text
    without the white space around it."""
    return plain_text(heading.content).strip()
