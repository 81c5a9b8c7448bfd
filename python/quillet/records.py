"""Flat records: one plain ``dict`` per block of a document, for data frames and engines.

``records(source)`` walks the blocks of a document (nested blocks and the
records inside them, such as list items and table cells, too) in document
order and gives each one row of the same keys, ``RECORD_FIELDS``, in order:

========================  =============================================================
``doc_id``                the ``doc_id`` argument (a str, or None)
``index``                 the row's position among the document's rows, from 0
``parent``                the ``index`` of the enclosing block, or None at the top
``depth``                 0 for top-level blocks, one more per enclosing block
``type``                  the node class: ``"Heading"``, ``"ListItem"``, ...
``heading_path``          the titles of the headings whose sections hold the block
                          (as ``sections`` gives them), outermost first; a
                          heading's own path ends with itself
``text``                  the block's plain text (``to_text``, without its final
                          line feeds)
``byte_start, byte_end``  the span: UTF-8 byte offsets
``char_start, char_end``  the span in characters (indexes into the ``str``)
``line, column``          where the block starts, both from 1, the column in characters
``level`` ...             the block's own fields (``BLOCK_FIELDS``); None where the
                          block has no such field
========================  =============================================================

Character offsets, lines and columns need the text: they are computed for a
``str`` source, or for a tree when ``text=`` gives the text it was parsed
from, and are None otherwise. ``to_arrow`` gives the rows as a
``pyarrow.Table`` of the fixed schema ``arrow_schema()``.
"""

from __future__ import annotations

from typing import Any, Iterable, Iterator, Sequence

import pyql
from quillet._source import heading_title, parse_source
from quillet.fields import NodeShape, walk
from quillet.textindex import TextIndex
from quillet.writers import to_text

__all__ = ["BLOCK_FIELDS", "RECORD_FIELDS", "arrow_schema", "records", "to_arrow"]

# The blocks' own fields, each with its arrow type; a List's kind is its member name.
BLOCK_FIELDS: tuple[tuple[str, str], ...] = (
    ("level", "int64"),  # Heading
    ("kind", "string"),  # List (Ordered, Unordered), Callout
    ("start", "uint64"),  # List
    ("title", "string"),  # Callout
    ("lang", "string"),  # CodeBlock
    ("content", "string"),  # CodeBlock, MathBlock, HtmlBlock, RawBlock
    ("display", "bool"),  # MathBlock
    ("src", "string"),  # Figure
    ("alt", "string"),
    ("caption", "string"),
    ("label", "string"),  # FootnoteDef
    ("header", "bool"),  # TableRow
)

RECORD_FIELDS: tuple[tuple[str, str], ...] = (
    ("doc_id", "string"),
    ("index", "int64"),
    ("parent", "int64"),
    ("depth", "int64"),
    ("type", "string"),
    ("heading_path", "list<string>"),
    ("text", "string"),
    ("byte_start", "int64"),
    ("byte_end", "int64"),
    ("char_start", "int64"),
    ("char_end", "int64"),
    ("line", "int64"),
    ("column", "int64"),
    *BLOCK_FIELDS,
)

_OWN = {name for name, _ in BLOCK_FIELDS}
# Blocks whose children are inline nodes, which give no rows.
_INLINE_CONTENT = {"Heading", "Paragraph", "TableCell"}


def _blocks(blocks: Sequence[Any]) -> Iterator[tuple[Any, NodeShape, int]]:
    """The block nodes of a document and every block below them, depth first,
    as (node, shape, depth); inline nodes are not entered."""
    for node, shape, depth in walk(blocks, skip=_INLINE_CONTENT):
        if shape is None:
            raise TypeError(f"records: a {type(node).__name__} where a block was expected")
        yield node, shape, depth


def records(source: Any, *, doc_id: str | None = None, text: str | None = None,
            profile: Any = None) -> list[dict[str, Any]]:
    """One dict per block of ``source`` (a ``str``, parsed with ``profile``, a
    ``Document``, a ``ParseResult`` or a list of blocks), in document order; see the module's
    documentation for the keys. ``text`` is the text a tree was parsed from."""
    parsed = parse_source(source, profile)
    text = parsed.text if parsed.text is not None else text
    rows: list[dict[str, Any]] = []
    open_rows: list[int] = []  # the index of the row at each depth of the path
    headings: list[tuple[int, str]] = []  # the open sections: (level, text)
    for node, shape, depth in _blocks(parsed.blocks):
        name = shape.name
        del open_rows[depth:]
        plain = to_text(node).rstrip("\n")
        if name == "Heading":
            while headings and headings[-1][0] >= node.level:
                headings.pop()
            headings.append((node.level, heading_title(node)))
        span = node.span
        row: dict[str, Any] = {
            "doc_id": doc_id, "index": len(rows), "parent": open_rows[-1] if open_rows else None,
            "depth": depth, "type": name, "heading_path": [h for _, h in headings], "text": plain,
            "byte_start": span.start, "byte_end": span.end, "char_start": None, "char_end": None,
            "line": None, "column": None,
        }
        for field, _ in BLOCK_FIELDS:
            row[field] = None
        for field in shape.fields:
            if field in _OWN and field != shape.children:
                value = getattr(node, field)
                row[field] = value if name != "List" or field != "kind" else repr(value).split(".")[1]
        open_rows.append(len(rows))
        rows.append(row)
    if text is not None and rows:
        _place(rows, text)
    return rows


def _place(rows: list[dict[str, Any]], text: str) -> None:
    """Fills the character spans, lines and columns of rows from the text."""
    index = TextIndex(text)
    for row in rows:
        row["char_start"], row["char_end"] = index.char_span((row["byte_start"], row["byte_end"]))
        row["line"], row["column"] = index.line_col(row["byte_start"])


def arrow_schema() -> Any:
    """The ``pyarrow.Schema`` of ``to_arrow``: ``RECORD_FIELDS``, every column nullable."""
    pa = _pyarrow()
    types = {"string": pa.string(), "int64": pa.int64(), "uint64": pa.uint64(), "bool": pa.bool_(),
             "list<string>": pa.list_(pa.string())}
    return pa.schema([(name, types[kind]) for name, kind in RECORD_FIELDS])


def to_arrow(source: Any, *, doc_id: str | None = None, text: str | None = None, profile: Any = None) -> Any:
    """A ``pyarrow.Table`` of the records of ``source`` (what ``records``
    takes), or of an iterable of such records (the rows of many documents),
    with the schema ``arrow_schema()``."""
    pa = _pyarrow()
    if isinstance(source, (str, pyql.Document, pyql.ParseResult)):
        rows: Iterable[dict[str, Any]] = records(source, doc_id=doc_id, text=text, profile=profile)
    else:
        rows = source
    return pa.Table.from_pylist(list(rows), schema=arrow_schema())


def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError as exc:
        raise ImportError(
            "quillet.to_arrow needs pyarrow, which is not installed: pip install 'pyql[arrow]'"
        ) from exc
    return pyarrow
