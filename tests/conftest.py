"""Shared helpers: a compact S-expression rendering of parsed trees.

    render(node)  ->  (Paragraph 0..3 (Emphasis 0..3 (Text 1..2 "a")))

Each node shows its class, its span as START..END, its scalar fields and then
its children. Fields named bare below are shown as name=value (omitted when
None); a field prefixed with '"' is shown as a bare quoted text; a field
prefixed with '*' holds the child nodes.
"""

import os

import pyql

# Tests run under AddressSanitizer by scripts/test-sanitized.sh, which preloads its runtime. It reserves
# terabytes of address space and keeps freed memory in quarantine: address-space limits cannot be applied
# and the resident set says nothing of the parser.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

SHAPES = {
    # blocks and the records inside them
    "Heading": ("level", "*content"),
    "Paragraph": ("*content",),
    "List": ("kind", "start", "*items"),
    "ListItem": ("*blocks",),
    "CodeBlock": ("lang", '"content'),
    "Callout": ("kind", "title", "*blocks"),
    "Quote": ("*blocks",),
    "Figure": ("src", "alt", "caption"),
    "Table": ("*rows",),
    "TableRow": ("header", "*cells"),
    "TableCell": ("*content",),
    "Footnotes": ("*defs",),
    "FootnoteDef": ("label", "*blocks"),
    "MathBlock": ("display", '"content'),
    "ThematicBreak": (),
    "HtmlBlock": ('"content',),
    "RawBlock": ('"content',),
    # inlines
    "Text": ('"content',),
    "Emphasis": ("*content",),
    "Strong": ("*content",),
    "Strikethrough": ("*content",),
    "CodeSpan": ('"content',),
    "Link": ("url", "title", "*label"),
    "AutoLink": ('"url',),
    "FootnoteRef": ('"label',),
    "HardBreak": (),
    "SoftBreak": (),
}

_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t", '"': '\\"', "\\": "\\\\"}


def q(text):
    """Double-quoted text; control and invisible characters escaped."""
    return '"' + "".join(
        _ESCAPES.get(c) or (c if c.isprintable() else f"\\u{ord(c):04x}")
        for c in text
    ) + '"'


def scalar(value):
    if isinstance(value, str):
        return q(value)
    if isinstance(value, (bool, int)):
        return str(value)
    return str(value).rsplit(".", 1)[-1]  # enumeration member: its bare name


def render(node):
    name = type(node).__name__
    assert type(node) is getattr(pyql, name), f"unexpected node type {name}"
    parts = [name, f"{node.span.start}..{node.span.end}"]
    for field in SHAPES[name]:
        if field[0] == "*":
            parts += [render(child) for child in getattr(node, field[1:])]
        elif field[0] == '"':
            parts.append(q(getattr(node, field[1:])))
        elif getattr(node, field) is not None:
            parts.append(f"{field}={scalar(getattr(node, field))}")
    return "(" + " ".join(parts) + ")"


def P(start, end, text):
    """The rendering of a paragraph holding one Text node."""
    return f"(Paragraph {start}..{end} (Text {start}..{end} {q(text)}))"


def result(src, profile=None):
    return pyql.parse_with_recovery(src, profile)


def blocks(src):
    """Renderings of the top-level blocks of src, as a list of strings."""
    return [render(b) for b in result(src).document.blocks]


def inlines(src):
    """Rendering of the inline content of src, which must be one paragraph
    spanning the whole input; top-level nodes joined by a space."""
    res = result(src)
    assert res.errors == []
    [para] = res.document.blocks
    assert type(para) is pyql.Paragraph
    assert (para.span.start, para.span.end) == (0, len(src.encode()))
    return " ".join(render(n) for n in para.content)


def errors(src):
    """The recorded errors of src as (message, kind name, start, end)."""
    return [
        (e.message, scalar(e.kind), e.span.start, e.span.end)
        for e in result(src).errors
    ]
