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

Both read the document's outline (``_source.read_outline``: a row per block,
its plain text kept) and build what they return in ``quillet._native``: the
dicts, or the table's columns as Arrow buffers, without a dict per row.
"""

from __future__ import annotations

from typing import Any, Iterable

import pyql
from quillet import _native
from quillet._source import gc_paused, heading_paths, read_outline

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

_KEYS = tuple(name for name, _ in RECORD_FIELDS)
# The most bytes of one string column (and the most titles of the heading paths) in one record batch of
# to_arrow: Arrow's string and list arrays count with 32-bit offsets. A larger table comes in several batches.
_ARROW_BATCH_LIMIT = 2**31 - 1


def records(source: Any, *, doc_id: str | None = None, text: str | None = None,
            profile: Any = None) -> list[dict[str, Any]]:
    """One dict per block of ``source`` (a ``str``, parsed with ``profile``, a
    ``Document``, a ``ParseResult``, a list of blocks or an outline), in document
    order; see the module's documentation for the keys. ``text`` is the text a
    tree was parsed from."""
    # The rows hold no cycle: the collector, paused, does not walk them again and again as they are made.
    with gc_paused():
        outline = read_outline(source, profile, text=text, plain=True)
        return _native.records(outline, _KEYS, doc_id, heading_paths(outline))


def arrow_schema() -> Any:
    """The ``pyarrow.Schema`` of ``to_arrow``: ``RECORD_FIELDS``, every column nullable."""
    pa = _pyarrow()
    types = {"string": pa.string(), "int64": pa.int64(), "uint64": pa.uint64(), "bool": pa.bool_(),
             "list<string>": pa.list_(pa.string())}
    return pa.schema([(name, types[kind]) for name, kind in RECORD_FIELDS])


def to_arrow(source: Any, *, doc_id: str | None = None, text: str | None = None, profile: Any = None) -> Any:
    """A ``pyarrow.Table`` of the records of ``source`` (what ``records``
    takes but a list of blocks), or of an iterable of such records (the rows
    of many documents), with the schema ``arrow_schema()``."""
    pa = _pyarrow()
    schema = arrow_schema()
    if not isinstance(source, (str, pyql.Document, pyql.ParseResult, _native.Outline)):
        rows: Iterable[dict[str, Any]] = source
        return pa.Table.from_pylist(list(rows), schema=schema)
    outline = read_outline(source, profile, text=text, plain=True)
    batches = _native.record_columns(outline, _KEYS, doc_id, heading_paths(outline), _ARROW_BATCH_LIMIT)
    return pa.Table.from_batches(
        [pa.RecordBatch.from_arrays([_array(pa, field.type, length, buffers)
                                     for field, buffers in zip(schema, columns)], schema=schema)
         for length, columns in batches],
        schema=schema,
    )


def _array(pa: Any, kind: Any, length: int, buffers: tuple[Any, ...]) -> Any:
    """One column of a record batch from the buffers ``_native.record_columns`` made."""
    if pa.types.is_list(kind):
        _, offsets, count, child_offsets, data = buffers
        titles = pa.Array.from_buffers(kind.value_type, count,
                                       [None, pa.py_buffer(child_offsets), pa.py_buffer(data)])
        return pa.Array.from_buffers(kind, length, [None, pa.py_buffer(offsets)], children=[titles])
    return pa.Array.from_buffers(kind, length, [None if b is None else pa.py_buffer(b) for b in buffers])


def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError as exc:
        raise ImportError(
            "quillet.to_arrow needs pyarrow, which is not installed: pip install 'quillet-parser[arrow]'"
        ) from exc
    return pyarrow
