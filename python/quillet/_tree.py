"""The tree view of the ``quillet`` command: one line per node, indented by
depth, with the class name, the span and the node's fields."""

from __future__ import annotations

from quillet.export import flat_list_text, member_name
from quillet.fields import walk

__all__ = ["format_value", "render_tree"]

_INDENT = "  "


def _span(node: object) -> str:
    span = node.span  # type: ignore[attr-defined]
    return f"{span.start}..{span.end}"


def _scalar(value: object) -> str:
    if isinstance(value, (str, bool, int, float)) or value is None:
        return repr(value)
    return member_name(value)


def format_value(value: object) -> str:
    """repr-like text of a metadata value; nested lists of any depth are
    written without recursion."""
    return flat_list_text(value, ", ", repr)


def _format_key(key: str) -> str:
    if key and key.isprintable() and "=" not in key:
        return key
    return repr(key)


def render_tree(doc: object) -> list[str]:
    """The printed tree of a document, one line per node."""
    modules = ", ".join(member_name(m) for m in doc.modules)  # type: ignore[attr-defined]
    lines = [
        f"Document {_span(doc)} profile={member_name(doc.profile)} "  # type: ignore[attr-defined]
        f"modules=[{modules}]"
    ]
    metadata = doc.metadata  # type: ignore[attr-defined]
    if metadata is not None:
        lines.append(f"{_INDENT}metadata:")
        for key, value in metadata.items():
            lines.append(f"{_INDENT * 2}{_format_key(key)} = {format_value(value)}")

    # Each node prints the fields of its class except the one of child nodes,
    # whose nodes follow one level deeper; a node of no known class prints
    # its span only.
    for node, shape, depth in walk(doc.blocks):  # type: ignore[attr-defined]
        words = [type(node).__name__, _span(node)]
        if shape is not None:
            for field_name in shape.fields:
                if field_name != shape.children:
                    value = getattr(node, field_name)
                    if value is not None:
                        words.append(f"{field_name}={_scalar(value)}")
        lines.append(_INDENT * (depth + 1) + " ".join(words))
    return lines
