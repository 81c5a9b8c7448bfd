"""The writers: a Quillet document as plain data, JSON, plain text or Markdown.

Every function takes one ``source``:

- a ``str`` of Quillet, parsed and written in C++ with the GIL released,
  without building a single ``pyql`` object; ``profile`` (a
  ``pyql.Profile`` or its name, ``"md"``) chooses the dialect it is parsed in, and the result is
  that of its ``pyql.parse_with_recovery``: the document and the errors;
- a ``pyql.Document``, ``ParseResult`` or ``ParseError``, a single node, or
  a list of nodes (``doc.blocks[2:4]``), written as the tree stands now,
  with whatever changes a caller made to its lists and its metadata
  (``profile`` does not apply: the tree has its own).

A child list holding something that is not a node, or a node of the wrong
kind, is a ``TypeError`` naming the path to it (``blocks[3].content[0]``); a
node inside itself is a ``ValueError``; a node found in two places is
written twice, but a tree whose places add up to more than 16 times its
distinct parts (nodes and metadata values) plus 1,000,000 is a
``ValueError``. Trees nested as deep as memory allows are written without
recursion. The plain-data and JSON schema is described in ``quillet.export``.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Sequence, Union, overload

from quillet import _native, export
from quillet._source import profile_value

if TYPE_CHECKING:
    import pyql
    from typing_extensions import TypeAlias

    Node: TypeAlias = Union[
        pyql.Heading, pyql.Paragraph, pyql.List, pyql.ListItem, pyql.CodeBlock, pyql.Callout,
        pyql.Quote, pyql.Figure, pyql.Table, pyql.TableRow, pyql.TableCell, pyql.Footnotes,
        pyql.FootnoteDef, pyql.MathBlock, pyql.ThematicBreak, pyql.HtmlBlock, pyql.RawBlock,
        pyql.Text, pyql.Emphasis, pyql.Strong, pyql.Strikethrough, pyql.CodeSpan, pyql.Link,
        pyql.AutoLink, pyql.FootnoteRef, pyql.HardBreak, pyql.SoftBreak,
    ]
    Source: TypeAlias = Union[str, pyql.Document, pyql.ParseResult, pyql.ParseError, Node, Sequence[Node]]

__all__ = ["to_dict", "to_json", "to_markdown", "to_text"]

# The keyword arguments of json.dumps. Of these, only indent, separators, sort_keys and ensure_ascii
# change what is written for this data (no NaN, only str keys, nothing json cannot write); cls makes
# json.dumps write it.
_JSON_KWARGS = frozenset(
    {"skipkeys", "ensure_ascii", "check_circular", "allow_nan", "cls", "indent", "separators", "default",
     "sort_keys"}
)


def _source(source: Any) -> Any:
    # A tuple of nodes is a list of nodes; anything else goes to the C++ side as it is.
    return list(source) if isinstance(source, tuple) else source


def _python_to_dict(source: Any) -> Any:
    """The Python export of a tree, for what the C++ side cannot hold."""
    if isinstance(source, list):
        return [export.to_dict(node) for node in source]
    return export.to_dict(source)


@overload
def to_dict(source: Sequence[Node], *, profile: pyql.Profile | str | None = None) -> list[dict[str, Any]]: ...
@overload
def to_dict(
    source: str | pyql.Document | pyql.ParseResult | pyql.ParseError | Node, *, profile: pyql.Profile | str | None = None
) -> dict[str, Any]: ...
def to_dict(source: Source, *, profile: pyql.Profile | str | None = None) -> Any:
    """Plain data (dicts, lists, str, int, float, bool, None) of ``source``:
    a ``str`` (its ``ParseResult``: ``{"document": ..., "errors": [...]}``),
    a ``Document``, ``ParseResult``, ``ParseError`` or node (a dict), or a
    list of nodes (a list of dicts). The schema is in ``quillet.export``."""
    source = _source(source)
    data = _native.to_dict(source, profile_value(profile))
    if data is NotImplemented:  # metadata holds an int outside int64
        return _python_to_dict(source)
    return data


def _json_options(json_kwargs: dict[str, Any]) -> dict[str, Any]:
    """The options of the C++ JSON writer: json.dumps's arguments normalised
    the way json.dumps normalises them."""
    unknown = set(json_kwargs) - _JSON_KWARGS
    if unknown:
        json.JSONEncoder(**json_kwargs)  # raises json.dumps's own TypeError
    indent = json_kwargs.get("indent")
    if indent is not None and not isinstance(indent, str):
        indent = " " * indent
    separators = json_kwargs.get("separators")
    if separators is not None:
        item_separator, key_separator = separators
    elif indent is not None:
        item_separator, key_separator = ",", ": "
    else:
        item_separator, key_separator = ", ", ": "
    return {
        "indent": indent,
        "item_separator": item_separator,
        "key_separator": key_separator,
        "sort_keys": bool(json_kwargs.get("sort_keys", False)),
        "ensure_ascii": bool(json_kwargs.get("ensure_ascii", True)),
    }


def _python_json(source: Any, profile: pyql.Profile | str | None, json_kwargs: dict[str, Any]) -> str:
    """json.dumps of to_dict(source), deep metadata written as export.dumps writes it."""
    data: Any = to_dict(source, profile=profile)
    if isinstance(data, dict) and "document" in data:
        document = data["document"]
    elif isinstance(data, dict) and data.get("type") == "Document":
        document = data
    else:
        document = None
    return export.dumps(data, document, **json_kwargs)


def to_json(source: Source, *, profile: pyql.Profile | str | None = None, **json_kwargs: Any) -> str:
    """JSON text of ``to_dict(source)``, byte for byte what ``json.dumps``
    writes with the same keyword arguments (``indent``, ``separators``,
    ``sort_keys``, ``ensure_ascii``; ``allow_nan``, ``check_circular``,
    ``skipkeys`` and ``default`` change nothing for this data). With ``cls``,
    that encoder writes it. Non-finite floats are ``null``. Accepts the same
    sources as ``to_dict``."""
    source = _source(source)
    if json_kwargs.get("cls") is not None:
        return _python_json(source, profile, json_kwargs)
    text = _native.write(source, "json", _json_options(json_kwargs), profile_value(profile))
    if text is NotImplemented:  # metadata holds an int outside int64
        return _python_json(source, profile, json_kwargs)
    return str(text)


def to_text(source: Source, *, profile: pyql.Profile | str | None = None, link_urls: bool = False) -> str:
    """Plain text of ``source``: the words a reader sees, none of the markup.
    With ``link_urls``, a link's URL follows its label in parentheses.
    Accepts the same sources as ``to_dict``."""
    return str(_native.write(_source(source), "text", {"link_urls": bool(link_urls)}, profile_value(profile)))


def to_markdown(source: Source, *, profile: pyql.Profile | str | None = None) -> str:
    """Markdown (CommonMark with the table, strikethrough, footnote and
    alert extensions) of ``source``. Accepts the same sources as
    ``to_dict``."""
    return str(_native.write(_source(source), "markdown", None, profile_value(profile)))
