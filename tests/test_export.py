"""to_dict and to_json: the plain-data and JSON form of parsed documents."""

from __future__ import annotations

import json
import math
import re

import pytest

import pyql
from quillet import export, to_dict, to_json
from quillet.export import PRETTY_DEPTH
from quillet.fields import NODE_SHAPES


def N(type_: str, start: int, end: int, /, **fields) -> dict:
    """A node as exported: type, fields in the order given, span."""
    return {"type": type_, **fields, "span": [start, end]}


def T(start: int, end: int, text: str) -> dict:
    return N("Text", start, end, content=text)


def P(start: int, end: int, text: str) -> dict:
    return N("Paragraph", start, end, content=[T(start, end, text)])


def exact(actual, expected) -> None:
    """Equal, keys in the same order too."""
    assert actual == expected
    assert json.dumps(actual) == json.dumps(expected)


# Every node class the parser produces, once.
BLOCKS = [
    ("# Hi *a*\n", N("Heading", 0, 8, level=1, content=[
        T(2, 5, "Hi "), N("Emphasis", 5, 8, content=[T(6, 7, "a")])])),
    ("**b** ~~c~~ `d`\n", N("Paragraph", 0, 15, content=[
        N("Strong", 0, 5, content=[T(2, 3, "b")]),
        T(5, 6, " "),
        N("Strikethrough", 6, 11, content=[T(8, 9, "c")]),
        T(11, 12, " "),
        N("CodeSpan", 12, 15, content="d")])),
    ("[[x|https://e.org]] <https://e.org> [^1]\n", N("Paragraph", 0, 40, content=[
        N("Link", 0, 19, label=[T(2, 3, "x")], url="https://e.org", title=None),
        T(19, 20, " "),
        N("AutoLink", 20, 35, url="https://e.org"),
        T(35, 36, " "),
        N("FootnoteRef", 36, 40, label="1")])),
    ("::list ordered start=3\n- a\n::\n", N("List", 0, 29, kind="Ordered", start=3, items=[
        N("ListItem", 25, 26, blocks=[P(25, 26, "a")])])),
    ("::list\n- a\n::\n", N("List", 0, 13, kind="Unordered", start=None, items=[
        N("ListItem", 9, 10, blocks=[P(9, 10, "a")])])),
    ("```py\nx\n```\n", N("CodeBlock", 0, 11, lang="py", content="x")),
    ('::callout type=tip title="T"\nbody\n::\n', N("Callout", 0, 36, kind="tip", title="T",
        blocks=[P(29, 33, "body")])),
    ("::quote\nq\n::\n", N("Quote", 0, 12, blocks=[P(8, 9, "q")])),
    ("::figure src=a.png alt=A\n", N("Figure", 0, 24, src="a.png", alt="A", caption=None)),
    ("::table\n| a |\n::\n", N("Table", 0, 16, rows=[
        N("TableRow", 8, 13, cells=[N("TableCell", 9, 12, content=[T(10, 11, "a")])],
          header=True)])),
    ("::footnotes\n[^1]: n\n::\n", N("Footnotes", 0, 22, defs=[
        N("FootnoteDef", 12, 19, label="1", blocks=[
            N("Paragraph", 12, 19, content=[T(18, 19, "n")])])])),
    ("::math display\nx\n::\n", N("MathBlock", 0, 19, display=True, content="x")),
    ("---\n", N("ThematicBreak", 0, 3)),
    ("@modules html\n::html\n<b>\n::\n", N("HtmlBlock", 14, 27, content="<b>")),
]


@pytest.mark.parametrize("source, block", BLOCKS, ids=[b["type"] for _, b in BLOCKS])
def test_every_node_type(source, block):
    doc = pyql.parse(source)
    exact(to_dict(doc)["blocks"], [block])
    exact(to_dict(doc.blocks[0]), block)  # a node on its own
    assert json.loads(to_json(doc)) == to_dict(doc)


def test_documented_fields_are_the_exported_fields():
    # The schema in the module's documentation is written by hand beside the table the export follows.
    table = export.__doc__.split("Fields by type")[1].split("::\n\n", 1)[1].split("\n\n")[0]
    documented = {name: () if fields == "-" else tuple(fields.split(", "))
                  for name, fields in re.findall(r"(\w+) {2,}(-|\w+(?:, \w+)*)", table)}
    assert documented == {"Document": ("profile", "modules", "metadata", "blocks"),
                          **{shape.name: shape.fields for shape in NODE_SHAPES}}


METADATA_SOURCE = """\
@profile md
@modules tables, html, tables
--- meta ---
s: text
q: 'true'
b: false
i: -9223372036854775808
f: 0.5
l: [1, [x], [[2.5]], []]
---
"""


def test_document_with_header_and_metadata():
    doc = pyql.parse(METADATA_SOURCE)
    exact(to_dict(doc), {
        "type": "Document",
        "profile": "Md",
        "modules": ["Tables", "Html", "Tables"],
        "metadata": {
            "s": "text", "q": "true", "b": False, "i": -(2**63), "f": 0.5,
            "l": [1, ["x"], [[2.5]], []],
        },
        "blocks": [],
        "span": [0, len(METADATA_SOURCE)],
    })


def test_empty_document():
    exact(to_dict(pyql.parse("")), {
        "type": "Document", "profile": "Quillet", "modules": [], "metadata": None,
        "blocks": [], "span": [0, 0],
    })


def test_parse_result_with_errors():
    source = "::zzz\nraw\n::\n::table\n| a |\n\n"
    result = pyql.parse_with_recovery(source)
    data = to_dict(result)
    assert list(data) == ["document", "errors"]
    exact(data["document"]["blocks"][0], N("RawBlock", 0, 12, content="raw"))
    exact(data["errors"], [
        {"message": "unknown directive: zzz", "kind": "UnknownDirective", "span": [0, 5],
         "recoverable": True},
        {"message": "unclosed ::table", "kind": "UnclosedDelimiter", "span": [13, 20],
         "recoverable": True},
    ])
    exact(to_dict(result.errors[1]), data["errors"][1])
    assert json.loads(to_json(result)) == data


def test_clean_parse_result():
    assert to_dict(pyql.parse_with_recovery("x\n"))["errors"] == []


def no_constants(name):
    raise AssertionError(f"not JSON: {name}")


def test_non_finite_floats_are_null():
    doc = pyql.parse(
        "--- meta ---\nbig: 1.0e999\nsmall: -1.0e999\nword: inf\n"
        "list: [1.0e999, [-1.0e999]]\n---\n"
    )
    assert math.isinf(doc.metadata["big"])  # the parser does make them
    doc.metadata["nan"] = [float("nan")]  # the metadata dict is the caller's to change
    expected = {
        "big": None, "small": None, "word": "inf", "list": [None, [None]], "nan": [None],
    }
    assert to_dict(doc)["metadata"] == expected
    for kwargs in ({}, {"allow_nan": True}, {"indent": 2}):
        text = to_json(doc, **kwargs)
        assert json.loads(text, parse_constant=no_constants)["metadata"] == expected


def depth_of(value) -> int:
    depth = 0
    while isinstance(value, list):
        depth += 1
        value = value[0] if value else None
    return depth


@pytest.fixture(scope="module")
def deep_doc():
    depth = 1_000_000
    return depth, pyql.parse(
        "--- meta ---\ndeep: " + "[" * depth + "1" + "]" * depth + "\nafter: 2\n---\n"
    )


def test_deep_metadata_to_dict(deep_doc):
    depth, doc = deep_doc
    metadata = to_dict(doc)["metadata"]
    assert depth_of(metadata["deep"]) == depth
    assert metadata["after"] == 2


def test_deep_metadata_to_json(deep_doc):
    depth, doc = deep_doc
    text = to_json(doc)
    assert '"deep": ' + "[" * depth + "1" + "]" * depth + ', "after": 2}' in text


@pytest.mark.parametrize("kwargs", [{}, {"indent": 2}, {"separators": (",", ":")}])
def test_deep_metadata_round_trip(kwargs):
    # Deeper than json.dumps is left to write, shallow enough for json.loads.
    depth = PRETTY_DEPTH + 50
    doc = pyql.parse("--- meta ---\nd: " + "[" * depth + "'x'" + "]" * depth + "\n---\n")
    text = to_json(doc, **kwargs)
    assert json.loads(text) == to_dict(doc)
    assert ("[" * depth + '"x"' + "]" * depth) in text
    if "indent" not in kwargs:  # with indent, the deep value stays on one line
        assert text == json.dumps(to_dict(doc), **kwargs)


def test_shared_metadata_list_is_copied_twice():
    doc = pyql.parse("--- meta ---\nk: 1\n---\n")
    shared = [1, [2]]
    doc.metadata["k"] = [shared, shared]
    assert to_dict(doc)["metadata"]["k"] == [[1, [2]], [1, [2]]]


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda doc, loop: doc.metadata.update(k=loop), ValueError, "contains itself"),
        (lambda doc, loop: doc.metadata.update(k={"a": 1}), TypeError, "type dict"),
        (lambda doc, loop: doc.metadata.update({1: 2}), TypeError, "metadata key of type int"),
        (lambda doc, loop: doc.blocks.append("x"), TypeError, "cannot export a str as a node"),
        (lambda doc, loop: doc.blocks[0].content.append(doc.blocks[0]), ValueError,
         "Paragraph that contains itself"),
    ],
)
def test_values_a_parse_never_gives(change, error, message):
    doc = pyql.parse("--- meta ---\n---\n*a*\n")
    loop: list = [1]
    loop.append([loop])
    change(doc, loop)
    with pytest.raises(error, match=message):
        to_dict(doc)


# A str is a source too (it is parsed); see test_writers.py.
@pytest.mark.parametrize("obj", [None, b"# text", 42, pyql.Profile.Md, pyql.parse("x\n").span])
def test_to_dict_refuses_other_objects(obj):
    with pytest.raises(TypeError, match="expects a pyql Document.* or a str, not"):
        to_dict(obj)
