"""A small, fully typed program over pyql: an outline of a document, its links, and its errors.

    python examples/typed_usage.py [FILE.qlt ...]

With no file it reads tour.qlt and errors.qlt beside this script. It type-checks under `mypy --strict`;
the stubs that ship with pyql give every node attribute its exact type.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING

import pyql

if TYPE_CHECKING:
    # Unions of the node classes, known to type checkers only (they do not exist at run time).
    from pyql import _Block as Block
    from pyql import _Inline as Inline
    from pyql import _MetadataValue as MetadataValue


def plain_text(inlines: list[Inline]) -> str:
    """The text of a run of inline nodes, markup dropped."""
    parts: list[str] = []
    for node in inlines:
        if isinstance(node, (pyql.Text, pyql.CodeSpan)):
            parts.append(node.content)  # a str here ...
        elif isinstance(node, (pyql.Emphasis, pyql.Strong, pyql.Strikethrough)):
            parts.append(plain_text(node.content))  # ... and a list of inline nodes here
        elif isinstance(node, pyql.Link):
            parts.append(plain_text(node.label) or node.url)
        elif isinstance(node, pyql.AutoLink):
            parts.append(node.url)
        elif isinstance(node, pyql.FootnoteRef):
            parts.append(f"[^{node.label}]")
        else:
            parts.append(" " if isinstance(node, pyql.SoftBreak) else "\n")
    return "".join(parts)


def child_blocks(block: Block) -> Iterator[Block]:
    """The blocks nested directly inside a container block."""
    if isinstance(block, (pyql.Quote, pyql.Callout)):
        yield from block.blocks
    elif isinstance(block, pyql.List):
        for item in block.items:
            yield from item.blocks
    elif isinstance(block, pyql.Footnotes):
        for definition in block.defs:
            yield from definition.blocks


def inline_runs(block: Block) -> Iterator[list[Inline]]:
    """Every run of inline text that a block holds itself (not through its children)."""
    if isinstance(block, (pyql.Heading, pyql.Paragraph)):
        yield block.content
    elif isinstance(block, pyql.Table):
        for row in block.rows:
            for cell in row.cells:
                yield cell.content


def links(inlines: list[Inline]) -> Iterator[tuple[str, pyql.Span]]:
    for node in inlines:
        if isinstance(node, (pyql.Link, pyql.AutoLink)):
            yield node.url, node.span
        elif isinstance(node, (pyql.Emphasis, pyql.Strong, pyql.Strikethrough)):
            yield from links(node.content)


def walk(blocks: list[Block], depth: int = 0) -> Iterator[tuple[int, Block]]:
    for block in blocks:
        yield depth, block
        yield from walk(list(child_blocks(block)), depth + 1)


def describe_value(value: MetadataValue) -> str:
    if isinstance(value, list):
        return "[" + ", ".join(describe_value(v) for v in value) + "]"
    return f"{type(value).__name__} {value!r}"


def report(name: str, text: str) -> bool:
    """Prints what the document holds; true when it parsed without errors."""
    result = pyql.parse_with_recovery(text, pyql.Profile.Quillet)
    doc = result.document
    print(f"== {name}: {doc!r}")
    if doc.profile == pyql.Profile.Md:
        print("   (read as Markdown-compatible)")
    if pyql.ModuleKind.Html in doc.modules:
        print("   the html module is on")
    for key, value in (doc.metadata or {}).items():
        print(f"   meta {key}: {describe_value(value)}")

    data = text.encode("utf-8")  # spans count bytes of the UTF-8 text
    for depth, block in walk(doc.blocks):
        indent = "   " + "  " * depth
        span: pyql.Span = block.span
        if isinstance(block, pyql.Heading):
            print(f"{indent}{'#' * block.level} {plain_text(block.content)}")
        elif isinstance(block, pyql.List):
            ordered = "ordered" if block.kind == pyql.ListKind.Ordered else "unordered"
            start = "" if block.start is None else f" from {block.start}"
            print(f"{indent}{ordered} list{start}, {len(block.items)} items")
        elif isinstance(block, pyql.CodeBlock):
            print(f"{indent}code ({block.lang or 'no language'}), {len(block.content.splitlines())} lines")
        elif isinstance(block, pyql.Figure):
            print(f"{indent}figure {block.src}: {block.caption if block.caption is not None else block.alt}")
        elif isinstance(block, pyql.RawBlock):
            first = data[span.start : span.end].decode("utf-8").splitlines()[0]
            print(f"{indent}raw block at bytes {span.start}..{span.end}: {first}")
        for run in inline_runs(block):
            for url, where in links(run):
                print(f"{indent}link {url} ({where.len} bytes at {where.start})")

    for error in result.errors:
        kind: pyql.ParseErrorKind = error.kind
        where_text = "" if error.span is None else f" [{error.span.start}, {error.span.end})"
        severity = "recoverable" if error.recoverable else "fatal"
        print(f"   error{where_text} {kind!r}, {severity}: {error.message}")
        if kind == pyql.ParseErrorKind.UnknownDirective:
            print("     (the directive's body was kept as a raw block)")

    try:
        pyql.Parser(pyql.Profile.Quillet).parse(text)
    except ValueError as exc:
        assert not result.ok
        print(f"   parse() raised: {exc}")
    return result.ok


def main(argv: list[str]) -> int:
    here = Path(__file__).resolve().parent
    paths = [Path(a) for a in argv] or [here / "tour.qlt", here / "errors.qlt"]
    clean = [report(p.name, p.read_text(encoding="utf-8")) for p in paths]
    return 0 if all(clean) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
