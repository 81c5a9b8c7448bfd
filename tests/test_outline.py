"""The outline (quillet._native.outline) against the pyql tree of the same text: every row, column and
list is what a walk of the tree gives, from a str, from a tree with its text, and top-level only."""

import bisect
from pathlib import Path

import pytest
from hypothesis import given

import pyql
import quillet
from quillet import _native
from quillet._source import heading_paths, heading_title, read_outline
from quillet.fields import NODE_SHAPES, walk
from quillet.textindex import TextIndex
from conftest import bench_script
from test_properties import EXAMPLES, PROFILES, TEXTS

EXAMPLES_DIR = Path(__file__).resolve().parents[1] / "examples"
DOCUMENTS = [
    (EXAMPLES_DIR / "tour.qlt").read_text(encoding="utf-8"),
    (EXAMPLES_DIR / "errors.qlt").read_text(encoding="utf-8"),
    "",
    "\n\n",
    "@profile md\n@modules html\n--- meta ---\nk: 1\n---\n# Über *uns* [^n]\r\ntext `c` [[x|https://a.b]] <https://c.d>\n",
    "  #  \u00a0Title\u2003 with \x1c spaces \u3000\n## B\n::quote\n# not a heading [^q]\n::\n",
    "::list\n- a [^1]\n| more `x`\n- b\n::\n::table\n| h | i |\n| 1 |\n::\n::footnotes\n[^1]: *def* <http://x>\n::\n",
    "::callout type=note title=\"T\"\nbody\n::\n::figure src=a.png alt=\"A\" caption=\"C\"\n```py\ncode\n```\n::math\nx\n::\n",
    "# A\n### C\n## B\n# D\ntext é\n",
    "@profile gfm\n@modules html\n# T\n",  # an unknown profile line is a paragraph and part of the header
    "@profile md\r\n--- meta ---\r\nk: [1\r\n",  # metadata never closed
    # Positions counted across long runs of every width, in and around nested blocks.
    ("é" * 5000 + "\n" + "a😀\n" * 3000 + "\n::list\n- " + "ü" * 4100 + "\n| x\n- y\n::\n# " + "日" * 700 + "\n") * 2,
]

INLINE = {name for name, role, _, _ in _native.NODE_CLASSES if role == "inline"}
OWN_FIELDS = ["level", "kind", "start", "title", "lang", "content", "display", "src", "alt", "caption", "label",
              "header"]


def expected(result: pyql.ParseResult, text: str):
    """The rows and lists a walk of the tree gives."""
    rows, refs, links, code = [], [], [], []
    index = TextIndex(text)
    open_rows: list[int] = []
    section = None
    for node, shape, depth in walk(result.document.blocks):
        name = shape.name
        if name in INLINE:
            row = open_rows[-1]
            span = (node.span.start, node.span.end)
            if name == "FootnoteRef":
                refs.append((node.label, *span, row))
            elif name in ("Link", "AutoLink"):
                links.append((node.url, *span, row, name == "AutoLink"))
            elif name == "CodeSpan":
                code.append((*span, row))
            continue
        block_depth = depth  # blocks nest only in blocks
        del open_rows[block_depth:]
        if block_depth == 0 and name == "Heading":
            section = len(rows)
        start, end = node.span.start, node.span.end
        line, column = index.line_col(start)
        own = {}
        for field in OWN_FIELDS:
            value = getattr(node, field) if field in shape.fields and field != shape.children else None
            own[field] = repr(value).split(".")[1] if name == "List" and field == "kind" else value
        rows.append({
            "type": name, "depth": block_depth, "parent": open_rows[-1] if open_rows else None,
            "byte_start": start, "byte_end": end,
            "char_start": index.char_index(start), "char_end": index.char_index(end),
            "line": line, "column": column, "end_line": index.line_col(max(start, end - 1))[0],
            "heading_title": heading_title(node) if name == "Heading" else None,
            "section": section,
            "rows": len(node.rows) if name == "Table" else None,
            "cols": max((len(r.cells) for r in node.rows), default=0) if name == "Table" else None,
            "text": quillet.to_text(node).rstrip("\n"),
            **own,
        })
        open_rows.append(len(rows) - 1)
    return rows, refs, links, code


def columns(outline, names):
    found = [outline.column(name) for name in names]
    return [dict(zip(names, values)) for values in zip(*found)]


def check_outline(text, profile=None):
    result = pyql.parse_with_recovery(text, profile)
    rows, refs, links, code = expected(result, text)
    names = list(rows[0]) if rows else ["type"]
    for outline in (
        _native.outline(text, profile=profile, plain=True),
        _native.outline(result, text=text, plain=True),
    ):
        assert len(outline) == len(rows)
        assert columns(outline, names) == rows
        assert outline.footnote_refs() == refs
        assert outline.links() == links
        assert outline.code_spans() == code
        assert outline.errors() == [
            (int(e.kind), _native.error_code(int(e.kind), e.message), e.message,
             None if e.span is None else (e.span.start, e.span.end))
            for e in result.errors
        ]
        assert outline.header() == _native.read_header(text)
        for name in {row["type"] for row in rows}:
            assert outline.column("index", type=name) == [i for i, r in enumerate(rows) if r["type"] == name]
            assert outline.column("byte_start", True, type=name) == [
                r["byte_start"] for r in rows if r["type"] == name and r["depth"] == 0]
        assert (outline.size, outline.length) == (len(text.encode()), len(text))
        assert outline.profile == _native.PROFILE_NAMES[int(result.document.profile)]
        assert outline.modules == tuple(_native.MODULE_NAMES[int(m)] for m in result.document.modules)
    # The top-level rows alone, with what they hold; their renderings are the writers' of each block.
    top = _native.outline(text, profile=profile, top_only=True, render="markdown")
    shared = [name for name in names if name not in ("section", "text")]  # rows are numbered anew
    assert columns(top, shared) == [{k: r[k] for k in shared} for r in rows if r["depth"] == 0]
    full_paths = heading_paths(_native.outline(text, profile=profile))
    assert list(heading_paths(top).values()) == list(full_paths.values())
    assert top.column("rendered") == [quillet.to_markdown(b).rstrip("\n") for b in result.document.blocks]
    assert top.footnote_refs() == top.links() == top.code_spans() == top.footnote_defs() == top.figures() == []
    # The top-level rows with the inline facts: each fact with the top-level row that holds it.
    full = _native.outline(text, profile=profile)
    facts = _native.outline(text, profile=profile, top_only=True, inline=True)
    tops = [i for i, r in enumerate(rows) if r["depth"] == 0]
    to_top = {row: bisect.bisect_right(tops, row) - 1 for row in range(len(rows))}
    assert (facts.top_only, facts.inline, top.inline, full.inline) == (True, True, False, True)
    assert columns(facts, shared) == columns(top, shared)
    with_text = _native.outline(text, profile=profile, top_only=True, inline=True, plain=True)
    assert with_text.column("text") == [r["text"] for r in rows if r["depth"] == 0]
    assert facts.unopened_links() == full.unopened_links()
    for name in ("footnote_refs", "links", "code_spans", "footnote_defs", "figures"):
        at_row = 2 if name == "code_spans" else 3
        whole = getattr(full, name)()
        assert getattr(facts, name)() == [(*f[:at_row], to_top[f[at_row]], *f[at_row + 1:]) for f in whole]
    assert full.footnote_defs() == [(r["label"], r["byte_start"], r["byte_end"], i, r["char_start"], r["char_end"])
                                    for i, r in enumerate(rows) if r["type"] == "FootnoteDef"]
    assert full.figures() == [(r["src"], r["byte_start"], r["byte_end"], i)
                              for i, r in enumerate(rows) if r["type"] == "Figure"]


@pytest.mark.parametrize("text", DOCUMENTS, ids=range(len(DOCUMENTS)))
def test_every_row_is_the_trees(text):
    check_outline(text)


@EXAMPLES
@given(TEXTS, PROFILES)
def test_every_row_is_the_trees_on_any_text(text, profile):
    check_outline(text, profile)


def test_a_tree_without_its_text_has_no_positions():
    text = DOCUMENTS[4]
    document = pyql.parse_with_recovery(text).document
    outline = _native.outline(document)
    assert outline.column("byte_start") == _native.outline(text).column("byte_start")
    for name in ("char_start", "char_end", "line", "end_line", "column"):
        assert set(outline.column(name)) == {None}
    assert (outline.header(), outline.length, outline.has_text, outline.errors()) == (None, None, False, [])
    assert outline.size == document.span.end
    assert _native.outline(document.blocks[1:2]).column("type") == ["Paragraph"]


def test_heading_paths_follow_the_levels():
    outline = read_outline(DOCUMENTS[8])
    paths = heading_paths(outline)
    assert [paths.get(s, ()) if s is not None else () for s in outline.column("section")] == [
        ("A",), ("A", "C"), ("A", "B"), ("D",), ("D",)
    ]
    assert outline.column("index", type="Heading") == [0, 1, 2, 3]
    assert outline.column("level", top=True, type="Paragraph") == [None]


@pytest.mark.parametrize("text", DOCUMENTS)
def test_the_outline_of_utf8_bytes_is_that_of_the_str(text):
    names = ("type", "depth", "byte_start", "char_end", "line", "end_line", "column", "heading_title", "label")
    made = [_native.outline(source, profile="md", top_only=top) for source in (text, text.encode()) for top in (0, 1)]
    read = [([o.column(n) for n in names], o.errors(), o.footnote_refs(), o.header(), o.length, o.size) for o in made]
    assert read[:2] == read[2:]


@pytest.mark.parametrize("call, error, message", [
    (lambda: _native.outline(3), TypeError, "source must be a str, a pyql.Document"),
    (lambda: read_outline(3, name="doc"), TypeError, "doc must be a str, a pyql.Document"),
    (lambda: _native.outline("x", profile="nope"), ValueError, "profile must be one of quillet, md, md-strict"),
    (lambda: _native.outline("x", profile=1), TypeError, "profile must be None, a pyql.Profile or its name"),
    (lambda: _native.outline("x", render="html"), ValueError, "render must be None, 'text' or 'markdown'"),
    (lambda: _native.outline("x", colour=1), TypeError, "unexpected keyword argument 'colour'"),
    (lambda: _native.outline(pyql.parse("# long heading\n"), text="# x"), ValueError, "a span lies past it"),
    (lambda: _native.outline("x").column("nope"), ValueError, "no column 'nope'"),
    (lambda: _native.outline("x").column("text"), ValueError, "needs an outline built with plain=True"),
    (lambda: _native.outline("x").column("rendered"), ValueError, "needs an outline built with render="),
    (lambda: _native.outline("x").column("type", type="Nope"), ValueError, "a node class's name"),
    (lambda: read_outline(_native.outline("x", top_only=True)), ValueError, "without what the call needs"),
    (lambda: read_outline(pyql.parse("x"), text=b"x"), TypeError, "text must be a str or None"),
    (lambda: _native.outline(b"# \xc3\n\xff"), UnicodeDecodeError, "can't decode byte 0xc3 in position 2"),
    (lambda: _native.outline("é" * 40 + "\ud800"), UnicodeEncodeError, "in position 40: surrogates not allowed"),
    (lambda: read_outline(b"x"), TypeError, "source must be a str, a pyql.Document"),
])
def test_wrong_arguments_are_named(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        call()


def remade(node, **fields):
    """A copy of node (made as a pickle remakes it) with some of its fields given anew, by name."""
    shape = next(s for s in NODE_SHAPES if s.name == type(node).__name__)
    make, args = node.__reduce_ex__(2)
    args = list(args)
    for name, value in fields.items():
        args[3 + [f for f in shape.fields].index(name)] = value
    return make(*args)


def first(text, path=()):
    """The node at path (attribute names and indexes) below the first block of text."""
    node = pyql.parse(text).blocks[0]
    for step in path:
        node = node[step] if isinstance(step, int) else getattr(node, step)
    return node


def nested_items(depth, ordered=False):
    """A list with one item per level, each item holding the next level's list."""
    top = first("::list ordered start=18446744073709551614\n- a\n- b\n- c\n::\n" if ordered else "::list\n- a\n::\n")
    at = top
    for _ in range(depth):
        inner = first("::list\n- in *x*\n  | more\n- b\n::\n")
        at.items[0].blocks.append(inner)
        at = inner
    return top


def hostile_blocks():
    """Trees a caller may build that no parse gives: every way a container's text is laid out otherwise."""
    para = lambda t: first(t)  # noqa: E731
    soft = _native.rebuild(35, 3, 4)  # a SoftBreak
    text = lambda s: remade(first("x\n", ("content", 0)), content=s)  # noqa: E731
    code = lambda s: remade(first("`c`\n", ("content", 0)), content=s)  # noqa: E731
    table = first("::table\n| a | b | c |\n| d | e | f |\n::\n")
    cells = table.rows[0].cells
    for cell, content in zip(cells, ([text("a  ")], [code(" \t")], [text("c\r")])):
        cell.content[:] = content
    table.rows[1].cells[1].content[:] = [text("x"), soft, code("| y")]
    table.rows[1].cells[0].content[:] = []
    pieces = para("x\n")  # spaces a piece begins or ends with, kept or dropped
    pieces.content[:] = [text(" \t"), code("  c "), text("  mid \r"), code(" "), text(""), text(" end "), soft,
                         soft, code(" next\n\n  "), text(" last")]
    item_list = first("::list\n- a\n- b\n::\n")
    leading = para("p\n")
    leading.content[:] = [soft, text("| starts "), code("  on a new line")]
    item_list.items[0].blocks[:] = [leading, para("q\n")]
    callout = first("::callout type=note title=\"T\"\nbody\n::\n")
    titled = [remade(callout, title=t) for t in (" t \t", "two\n\n  lines ", "", None)]
    in_item = first("::list\n- a\n::\n")
    footnotes = first("::footnotes\n[^n]: def\n::\n")
    in_item.items[0].blocks.extend([titled[1], remade(first("::figure src=s alt=a\n"), alt="x\n| y"), footnotes])
    quote = first("::quote\nq\n::\n")
    quote.blocks[:0] = [footnotes, table, item_list]
    notes = first("::footnotes\n[^a]: one\n[^b]: two\n::\n")
    notes.defs[0].blocks.append(footnotes)
    return [nested_items(3), nested_items(20), nested_items(3, ordered=True), table, pieces, item_list, *titled,
            in_item, quote, notes]


CORPUS = bench_script("corpus.py").generate(60_000)[0]


@pytest.mark.parametrize("source", [CORPUS, hostile_blocks()], ids=["corpus", "hostile trees"])
def test_every_rows_text_is_its_blocks_text_alone(source):
    blocks = pyql.parse_with_recovery(source).document.blocks if isinstance(source, str) else source
    nodes = [node for node, shape, _ in walk(blocks) if shape.name not in INLINE]
    expected = [quillet.to_text(node).rstrip("\n") for node in nodes]
    assert _native.outline(blocks, plain=True).column("text") == expected
    if isinstance(source, str):
        assert _native.outline(source, plain=True).column("text") == expected
