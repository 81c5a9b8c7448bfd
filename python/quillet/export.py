"""The plain-data and JSON schema of parsed documents, and its Python export.

``quillet.to_dict`` and ``quillet.to_json`` (``quillet.writers``) write this
schema in C++. The functions here are the export written in Python, which
those fall back on where the C++ side cannot go: a metadata int outside
int64, and a ``cls`` given to ``to_json``. ``to_dict(obj)`` turns a ``pyql``
object into dicts, lists, strings, numbers, booleans and ``None`` that
``json`` can write; ``to_json(obj, **json_kwargs)`` returns that data as
JSON text. Both accept a ``Document``, a ``ParseResult``, a ``ParseError`` or
any single block or inline node.

Schema
------

Every node is an object with ``"type"`` (its class name), then its fields in
declaration order, then ``"span"``::

    {"type": "Heading", "level": 1,
     "content": [{"type": "Text", "content": "Hi", "span": [2, 4]}],
     "span": [0, 4]}

- ``"span"`` is ``[start, end]``: UTF-8 byte offsets into the input, end
  exclusive (``quillet.line_col`` turns an offset into a line and column).
- Texts are strings. An optional field (``List.start``, ``Callout.title``,
  ``Figure.caption``, ``Link.title``) is ``null`` when absent.
- Enumeration values are their member names: ``"Ordered"``, ``"Quillet"``,
  ``"Tables"``, ``"UnknownDirective"``.
- A field holding child nodes is an array of node objects.

Fields by type, as ``quillet.fields.NODE_SHAPES`` lists them (the ``content``
of Text, CodeSpan, CodeBlock, MathBlock, HtmlBlock and RawBlock is a string;
elsewhere it is an array of inlines)::

    Document       profile, modules, metadata, blocks
    Heading        level, content            Paragraph     content
    List           kind, start, items        ListItem      blocks
    CodeBlock      lang, content             Callout       kind, title, blocks
    Quote          blocks                    Figure        src, alt, caption
    Table          rows                      TableRow      cells, header
    TableCell      content                   Footnotes     defs
    FootnoteDef    label, blocks             MathBlock     display, content
    ThematicBreak  -                         HtmlBlock     content
    RawBlock       content                   Text          content
    Emphasis       content                   Strong        content
    Strikethrough  content                   CodeSpan      content
    Link           label, url, title         AutoLink      url
    FootnoteRef    label                     HardBreak     -
    SoftBreak      -

The document is ``{"type": "Document", "profile": "Quillet", "modules":
["Tables", ...], "metadata": {...} or null, "blocks": [...], "span": [0, N]}``.
Metadata values are JSON strings, booleans, integers, floats and arrays (which
nest to any depth); a subclass of str, int or float gives the value it holds,
as ``json.dumps`` reads it, whatever its methods say. A float that is not finite (the metadata value
``1.0e999`` is infinity) is written as ``null``: standard JSON has no such
numbers, and the text ``inf`` is already a string value, so a string would be
ambiguous; ``null`` never stands for anything else in metadata.

A ``ParseResult`` gives ``{"document": {...}, "errors": [...]}``, and each
error is ``{"message": str, "kind": "UnclosedDelimiter", "span": [start, end]
or null, "recoverable": bool}``.

``to_json`` writes metadata arrays nested more than ``PRETTY_DEPTH`` levels on
one line even when ``indent`` is given (indenting them would take space
growing with the square of the depth); apart from that it is ``json.dumps``
with the given keyword arguments. Neither function recurses per nesting level
of metadata, so values nested a million levels deep export fine (although
``json.loads`` cannot read them back).
"""

from __future__ import annotations

import json
import math
import secrets
from typing import Any, Callable

import pyql
from quillet import _native
from quillet.fields import NodeCycleError, shapes_by_class, walk

__all__ = ["PRETTY_DEPTH", "member_name", "to_dict", "to_json"]

# Metadata arrays nested deeper than this are written by an encoder that uses
# no recursion: json.dumps recurses once per level and fails near the
# interpreter's recursion limit (1000 by default).
PRETTY_DEPTH = 100

_ENUMS = ("Profile", "ModuleKind", "ListKind", "ParseErrorKind")


def member_name(member: object) -> str:
    """The bare name of an enumeration member: ``Md`` for ``Profile.Md``."""
    return repr(member).rpartition(".")[2]


def _span(span: Any) -> list[int] | None:
    return None if span is None else [span.start, span.end]


def _plain_scalar(value: Any, enums: tuple[type, ...]) -> Any:
    # A subclass of int, str or float gives the value it holds, as json.dumps
    # reads it, whatever its __int__, __str__ or __float__ say.
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        return int.__int__(value)
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, float):
        number = float.__float__(value)
        return number if math.isfinite(number) else None
    if isinstance(value, enums):
        return member_name(value)
    raise TypeError(f"cannot export a value of type {type(value).__name__}")


def _metadata_value(value: Any) -> Any:
    """Plain copy of a metadata value; arrays are walked with an explicit
    stack, so nesting depth costs memory, not recursion."""
    if not isinstance(value, list):
        return _plain_scalar(value, ())
    root: list[Any] = []
    todo = [(value, root)]
    seen: set[int] = set()
    while todo:
        source, out = todo.pop()
        if id(source) in seen:
            # Only a caller's changes put one list in two places (or inside
            # itself); the slower walk below tells the two apart.
            return _shared_metadata_value(value)
        seen.add(id(source))
        for item in source:
            if isinstance(item, list):
                child: list[Any] = []
                out.append(child)
                todo.append((item, child))
            else:
                out.append(_plain_scalar(item, ()))
    return root


def _shared_metadata_value(value: list[Any]) -> list[Any]:
    """Like _metadata_value, for arrays that share lists: a list shared by
    two parents is copied twice, one that contains itself is refused."""
    root: list[Any] = []
    stack = [(iter(value), root, id(value))]
    open_lists = {id(value)}  # the lists on the path from the root
    while stack:
        items, out, ident = stack[-1]
        for item in items:
            if isinstance(item, list):
                if id(item) in open_lists:
                    raise ValueError("cannot export a metadata list that contains itself")
                child: list[Any] = []
                out.append(child)
                open_lists.add(id(item))
                stack.append((iter(item), child, id(item)))
                break
            out.append(_plain_scalar(item, ()))
        else:
            stack.pop()
            open_lists.discard(ident)
    return root


def _metadata(metadata: Any) -> dict[str, Any] | None:
    if metadata is None:
        return None
    result = {}
    for key, value in metadata.items():
        if not isinstance(key, str):
            raise TypeError(f"cannot export a metadata key of type {type(key).__name__}")
        result[str.__str__(key)] = _metadata_value(value)
    return result


def _nodes(nodes: Any) -> list[dict[str, Any]]:
    """Plain copies of a list of nodes, in the order walk() hands them out."""
    enums = tuple(getattr(pyql, name) for name in _ENUMS)
    root: list[dict[str, Any]] = []
    # outs[d] is the list that takes the nodes at depth d: the children of the
    # last node handed out at depth d - 1.
    outs = [root]
    try:
        for node, shape, depth in walk(nodes, check=False):
            if shape is None:
                raise TypeError(f"cannot export a {type(node).__name__} as a node")
            plain: dict[str, Any] = {"type": shape.name}
            children: list[dict[str, Any]] | None = None
            for field in shape.fields:
                if field == shape.children:
                    children = plain[field] = []
                else:
                    plain[field] = _plain_scalar(getattr(node, field), enums)
            plain["span"] = _span(node.span)
            if len(outs) > depth + 1:
                del outs[depth + 1 :]
            outs[depth].append(plain)
            if children is not None:
                outs.append(children)
    except NodeCycleError as exc:
        raise ValueError(f"cannot export {exc}") from None
    return root


def _document(doc: Any) -> dict[str, Any]:
    return {
        "type": "Document",
        "profile": member_name(doc.profile),
        "modules": [member_name(m) for m in doc.modules],
        "metadata": _metadata(doc.metadata),
        "blocks": _nodes(doc.blocks),
        "span": _span(doc.span),
    }


def error_dict(error: Any) -> dict[str, Any]:
    """The plain form of one ``ParseError``."""
    return {
        "message": error.message,
        "kind": member_name(error.kind),
        "span": _span(error.span),
        "recoverable": bool(error.recoverable),
    }


def to_dict(obj: Any) -> dict[str, Any]:
    """Plain data (dicts, lists, str, int, float, bool, None) for a
    ``Document``, ``ParseResult``, ``ParseError`` or node; see the module
    documentation for the schema. A tree that holds nodes or metadata lists
    in so many places that it expands beyond what the C++ writers write is
    refused with their ValueError."""
    _native.check_expansion(obj)
    if isinstance(obj, pyql.Document):
        return _document(obj)
    if isinstance(obj, pyql.ParseResult):
        return {
            "document": _document(obj.document),
            "errors": [error_dict(e) for e in obj.errors],
        }
    if isinstance(obj, pyql.ParseError):
        return error_dict(obj)
    if type(obj) in shapes_by_class():
        return _nodes([obj])[0]
    raise TypeError(
        "to_dict() expects a pyql Document, ParseResult, ParseError or node, "
        f"not {type(obj).__name__}"
    )


def _too_deep(value: Any, limit: int) -> bool:
    """Whether arrays in value nest more than limit levels."""
    stack = [(value, 1)] if isinstance(value, list) else []
    while stack:
        items, depth = stack.pop()
        if depth > limit:
            return True
        stack.extend((item, depth + 1) for item in items if isinstance(item, list))
    return False


_SEP, _CLOSE = object(), object()


def flat_list_text(value: Any, comma: str, scalar: Callable[[Any], str]) -> str:
    """One-line text of a value whose lists nest to any depth: brackets and
    `comma` between elements, `scalar` for everything else. Written with an
    explicit stack, never by recursion. A list inside itself (only a caller
    puts one there) is a ValueError: its text would never end."""
    parts: list[str] = []
    todo: list[Any] = [value]
    opened: list[Any] = []  # the lists on the path from the top, held so their ids stay theirs
    open_ids: set[int] = set()
    while todo:
        item = todo.pop()
        if item is _SEP:
            parts.append(comma)
        elif item is _CLOSE:
            parts.append("]")
            open_ids.discard(id(opened.pop()))
        elif isinstance(item, list):
            if id(item) in open_ids:
                raise ValueError("cannot write a metadata list that contains itself")
            opened.append(item)
            open_ids.add(id(item))
            parts.append("[")
            todo.append(_CLOSE)
            for i in range(len(item) - 1, -1, -1):
                todo.append(item[i])
                if i:
                    todo.append(_SEP)
        else:
            parts.append(scalar(item))
    return "".join(parts)


def _flat_json(value: Any, kwargs: dict[str, Any]) -> str:
    """JSON text of a plain metadata value on one line, without recursion;
    scalars are written by json.dumps with the caller's options."""
    separators = kwargs.get("separators")
    if separators is not None:
        comma = separators[0]
    else:
        comma = ", " if kwargs.get("indent") is None else ","
    return flat_list_text(value, comma, lambda item: json.dumps(item, **kwargs))


def dumps(data: Any, document: dict[str, Any] | None, **kwargs: Any) -> str:
    """``json.dumps`` of plain data from ``to_dict`` whose document dict
    (the one holding ``"metadata"``, or None) may hold metadata arrays nested
    without bound. The data is modified while it is written."""
    kwargs.setdefault("allow_nan", False)
    metadata = document.get("metadata") if document is not None else None
    deep = [k for k, v in (metadata or {}).items() if _too_deep(v, PRETTY_DEPTH)]
    if metadata is None or not deep:
        return json.dumps(data, **kwargs)
    flat = {key: _flat_json(metadata[key], kwargs) for key in deep}
    while True:
        # Each deep value is replaced by a unique marker string, the rest is
        # written by json, then every marker is replaced by the value's text.
        nonce = secrets.token_hex(16)
        markers = {key: f"\x00quillet-{nonce}-{i}" for i, key in enumerate(deep)}
        saved = {key: metadata[key] for key in deep}
        metadata.update(markers)
        try:
            text = json.dumps(data, **kwargs)
        finally:
            metadata.update(saved)
        encoded = {key: json.dumps(marker, **kwargs) for key, marker in markers.items()}
        if all(text.count(enc) == 1 for enc in encoded.values()):
            for key, enc in encoded.items():
                text = text.replace(enc, flat[key])
            return text


def to_json(obj: Any, **json_kwargs: Any) -> str:
    """JSON text of ``to_dict(obj)``, written by ``json.dumps`` with the given
    keyword arguments (``indent``, ``sort_keys``, ``ensure_ascii``, ...).
    The text is always valid JSON: non-finite floats are ``null``."""
    data = to_dict(obj)
    if "document" in data:
        document = data["document"]
    elif data.get("type") == "Document":
        document = data
    else:
        document = None
    return dumps(data, document, **json_kwargs)
