"""Helpers shared by the test files.

A compact S-expression rendering of parsed trees:

    render(node)  ->  (Paragraph 0..3 (Emphasis 0..3 (Text 1..2 "a")))

Each node shows its class, its span as START..END, its scalar fields and then
its children. Fields named bare below are shown as name=value (omitted when
None); a field prefixed with '"' is shown as a bare quoted text; a field
prefixed with '*' holds the child nodes.

Also: walk() over every node of a tree, SINK (a document with every node class
the parser produces), the repository's paths, the bench scripts loaded by
path, and the environment of a child interpreter.
"""

import os
import runpy
import sys
from pathlib import Path
from types import SimpleNamespace

import pyql

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"

# Both packages are tested as installed: quillet has a native module of its own
# (quillet._native), which exists only in a build. The test command installs
# the source tree first; scripts/test-sanitized.sh puts its own build first.

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


# The field holding the child nodes, for each class that has one.
CHILDREN = {
    "Document": "blocks",
    **{name: f[1:] for name, fields in SHAPES.items() for f in fields if f[0] == "*"},
}


def walk(node):
    """node and every node below it, depth first in source order. Iterative:
    some tests walk hundreds of thousands of nodes."""
    stack = [node]
    while stack:
        node = stack.pop()
        yield node
        name = type(node).__name__
        assert name in CHILDREN or name in SHAPES, f"unexpected node type {name}"
        if name in CHILDREN:
            stack.extend(reversed(getattr(node, CHILDREN[name])))


# One document with every node class the parser produces (all but the two
# break classes), with texts of two or more characters.
SINK = (
    "@modules html, math\n"
    "--- meta ---\n"
    "title: Tt\n"
    "---\n"
    "# Head *em* **st** ~~del~~ `code` [[label|http://u]] [^nn] <http://auto>\n"
    "\n"
    "::list ordered start=3\n- item\n::\n"
    "```py\ncode\n```\n"
    '::callout type=tip title="A title"\nbody\n::\n'
    "::quote\nquoted\n::\n"
    "::figure src=a.png alt=xy caption=cap\n"
    "::table\n| a | b |\n::\n"
    "::footnotes\n[^nn]: note\n::\n"
    "::math\nx^2\n::\n"
    "::html\n<b>\n::\n"
    "---\n"
    "::unknown\nraw text\n::\n"
    "A paragraph.\n"
)


def bench_script(name, run_name="<run_path>"):
    """The globals of the script bench/<name> as attributes; bench/ is no
    package, so the script is run from its path."""
    return SimpleNamespace(**runpy.run_path(str(BENCH / name), run_name=run_name))


def child_env(*paths):
    """The environment for a child interpreter, with paths put first on its
    PYTHONPATH."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [*paths, env.get("PYTHONPATH")]))
    return env
