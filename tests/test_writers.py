"""The writers' Python face: to_dict, to_json, to_text and to_markdown of str and tree sources.

to_dict and to_json are held to the Python export of before (quillet.export, kept for what the C++ side
cannot hold), the tree path to the str path. The bytes of each format across its options are the format's own tests."""

from __future__ import annotations

import json
import threading

import pytest

from quillet import export as ref
import pyql
import quillet
from conftest import ROOT, SINK
from quillet import to_dict, to_html, to_json, to_markdown, to_text

TOUR = (ROOT / "examples" / "tour.qlt").read_text(encoding="utf-8")
ERRORS = (ROOT / "examples" / "errors.qlt").read_text(encoding="utf-8")
DOCS = [
    TOUR,
    ERRORS,
    SINK,
    "",
    "@profile md\n@modules tables, html\n--- meta ---\na: [1, [x, []], 2.5e999]\nb: 'é'\n---\n# T\n",
    "::list ordered start=7\n- a\n  ::quote\n  *b* [[l|u \"t\"]]\n  ::\n::\n::table\n| a | b |\n::\n",
    "unclosed *a and `b\n::zzz\nraw\n",
]


WRITERS = {"to_json": to_json, "to_text": to_text, "to_markdown": to_markdown, "to_html": to_html}
FORMATS = list(WRITERS)


def test_public_names():
    assert {"to_dict", *WRITERS} <= set(quillet.__all__)


@pytest.mark.parametrize("src", DOCS, ids=range(len(DOCS)))
def test_to_dict_and_to_json_equal_the_python_export(src):
    result = pyql.parse_with_recovery(src)
    doc = result.document
    expected = ref.to_dict(result)
    assert to_dict(src) == expected
    for obj in [result, doc, *result.errors, *doc.blocks]:
        assert to_dict(obj) == ref.to_dict(obj)
    assert to_dict(doc.blocks) == [ref.to_dict(b) for b in doc.blocks]
    assert to_json(src) == to_json(result) == ref.to_json(result)
    assert to_json(doc.blocks) == json.dumps([ref.to_dict(b) for b in doc.blocks])


@pytest.mark.parametrize("name", FORMATS)
@pytest.mark.parametrize("src", DOCS, ids=range(len(DOCS)))
def test_a_str_and_its_tree_write_the_same(name, src):
    write = WRITERS[name]
    assert write(src) == write(pyql.parse_with_recovery(src))
    assert write(src, profile=pyql.Profile.Md) == write(pyql.parse_with_recovery(src, pyql.Profile.Md))


def test_profile_applies_to_a_str():
    src = "@modules tables\nx ~~y~~\n"
    assert to_dict(src, profile=pyql.Profile.MdStrict) == ref.to_dict(
        pyql.parse_with_recovery(src, pyql.Profile.MdStrict))
    assert to_dict(src, profile="md-strict") == to_dict(src, profile=pyql.Profile.MdStrict)
    with pytest.raises(TypeError, match="profile must be None, a pyql.Profile or its name, not float"):
        to_dict(src, profile=1.0)


# Each change of a parsed tree, made by a caller; the tree is written as it stands after it.
CHANGES = [
    ("removed", lambda d: d.blocks.pop(1)),
    ("reordered", lambda d: d.blocks.reverse()),
    ("appended", lambda d: d.blocks[0].content.append(pyql.parse("*new*\n").blocks[0].content[0])),
    ("node twice", lambda d: d.blocks.append(d.blocks[0])),
    ("inner removed", lambda d: d.blocks[2].items.pop()),
    ("metadata", lambda d: d.metadata.update(x=[1, "two"], a=None)),
]
CHANGED = "--- meta ---\na: 1\n---\n# Head *em*\npara\n::list\n- one\n- two\n::\n"


@pytest.mark.parametrize("change", [c for _, c in CHANGES], ids=[n for n, _ in CHANGES])
def test_changed_trees(change):
    doc = pyql.parse(CHANGED)
    change(doc)
    assert to_dict(doc) == ref.to_dict(doc)
    assert to_json(doc) == ref.to_json(doc)
    assert to_json(doc.blocks[1:3]) == json.dumps([ref.to_dict(b) for b in doc.blocks[1:3]])


def paragraph(src="*a*\n"):
    return pyql.parse(src).blocks[0]


# (what the caller puts where, the error, its text): every path names where the wrong object is.
BAD_TREES = [
    (lambda d: d.blocks.append("x"), TypeError, r"^blocks\[4\]: cannot export a str as a node \(expected a block"),
    (lambda d: d.blocks[1].content.insert(0, 3), TypeError,
     r"^blocks\[1\]\.content\[0\]: cannot export a int as a node \(expected an inline node\)$"),
    (lambda d: d.blocks[1].content.append(paragraph()), TypeError,
     r"^blocks\[1\]\.content\[1\]: expected an inline node, not a Paragraph$"),
    (lambda d: d.blocks.append(d.blocks[2].items[0]), TypeError, r"^blocks\[4\]: expected a block node, not a ListItem"),
    (lambda d: d.blocks[2].items[0].blocks.append(d.blocks[3].rows[0].cells[0]), TypeError,
     r"^blocks\[2\]\.items\[0\]\.blocks\[1\]: expected a block node, not a TableCell$"),
    (lambda d: d.blocks[3].rows.append(d.blocks[3].rows[0].cells[0]), TypeError,
     r"^blocks\[3\]\.rows\[1\]: expected a TableRow, not a TableCell$"),
    (lambda d: d.blocks[0].content.append(d.blocks[0]), ValueError,
     r"^blocks\[0\]\.content\[2\]: cannot export a Heading that contains itself$"),
    (lambda d: d.blocks[2].items[0].blocks.append(d.blocks[2]), ValueError, "a List that contains itself"),
]
BAD_SOURCE = "# H *e*\npara\n::list\n- a\n::\n::table\n| c |\n::\n"


@pytest.mark.parametrize("change, error, message", BAD_TREES)
def test_wrong_objects_in_a_tree(change, error, message):
    doc = pyql.parse(BAD_SOURCE)
    change(doc)
    for write in [to_dict, *WRITERS.values()]:
        with pytest.raises(error, match=message):
            write(doc)
    # The same path below a ParseResult, and (for a nested object) below a list of nodes.
    result = pyql.parse_with_recovery("")
    result.document.blocks.extend(doc.blocks)
    with pytest.raises(error, match=message.replace("^blocks", "^document.blocks")):
        to_dict(result)
    if "]\\." in message:
        with pytest.raises(error, match=message.replace("^blocks", "^")):
            to_dict(doc.blocks)


@pytest.mark.parametrize("obj", [None, b"x", 42, pyql.Profile.Md, pyql.parse("x\n").span, {"type": "Text"}])
@pytest.mark.parametrize("write", [to_dict, *WRITERS.values()])
def test_other_sources_are_refused(write, obj):
    with pytest.raises(TypeError, match=rf"^{write.__name__}\(\) expects a pyql Document, .* or a str, not "):
        write(obj)


DEPTH = 100_000


@pytest.fixture(scope="module")
def deep_doc():
    # Emphasis inside emphasis, DEPTH levels: only a caller can build it.
    doc = pyql.parse("*a*\n")
    node = doc.blocks[0].content[0]
    for _ in range(DEPTH):
        child = paragraph().content[0]
        node.content.append(child)
        node = child
    return doc


def test_deep_chain_to_dict(deep_doc):
    data = to_dict(deep_doc)["blocks"][0]["content"][0]
    depth = 0
    while len(data["content"]) == 2:
        data = data["content"][1]
        depth += 1
    assert depth == DEPTH


@pytest.mark.parametrize("name", FORMATS)
def test_deep_chain_is_written(name, deep_doc):
    text = WRITERS[name](deep_doc)
    assert text.count("a") >= DEPTH


class S(str):
    def __str__(self):
        return "from __str__"


class I(int):
    pass


class F(float):
    pass


# Metadata values a caller may set, each written as the Python export writes it.
METADATA = [
    {"s": "x", "b": True, "f": False, "i": -(2**63), "j": 2**63 - 1, "fl": 0.25, "n": None},
    {"inf": float("inf"), "nan": [float("nan")], "deep": [[[[]]]]},
    {"sub": S("plain"), "int": I(5), "float": F(1.5), "boolean in list": [True, 1, 1.0]},
    {"surrogate": "a\ud800b", "key \udcff": "v", "é": ["ü", "日本"]},
    {"shared": [[1, [2]]] * 3},
    {"big": 2**64, "small": -(2**63) - 1},
]


@pytest.mark.parametrize("metadata", METADATA, ids=range(len(METADATA)))
def test_metadata(metadata):
    doc = pyql.parse("--- meta ---\n---\n")
    doc.metadata.update(metadata)
    assert to_dict(doc) == ref.to_dict(doc)
    assert to_json(doc) == ref.to_json(doc)
    assert to_json(doc, ensure_ascii=False, indent=1) == ref.to_json(doc, ensure_ascii=False, indent=1)


@pytest.mark.parametrize("value, error, message", [
    ({1: 2}, TypeError, "^cannot export a metadata key of type int$"),
    ({"k": {"a": 1}}, TypeError, "^cannot export a value of type dict$"),
    ({"k": [1, (2,)]}, TypeError, "^cannot export a value of type tuple$"),
    ({"k": pyql.Profile.Md}, TypeError, "^cannot export a value of type Profile$"),
])
def test_metadata_refused(value, error, message):
    doc = pyql.parse("--- meta ---\n---\n")
    doc.metadata.update(value)
    with pytest.raises(error, match=message):
        to_dict(doc)
    with pytest.raises(error, match=message):
        to_json(doc)


def test_metadata_list_inside_itself():
    doc = pyql.parse("--- meta ---\n---\n")
    loop: list = [1]
    loop.append([loop])
    doc.metadata["k"] = loop
    for write in (to_dict, to_json):
        with pytest.raises(ValueError, match="^cannot export a metadata list that contains itself$"):
            write(doc)


@pytest.mark.parametrize("kwargs", [
    {}, {"indent": 2}, {"indent": "\t"}, {"indent": 0}, {"separators": (",", ":")},
    {"indent": 1, "separators": (";", "=")}, {"sort_keys": True}, {"ensure_ascii": False},
    {"allow_nan": True, "check_circular": False, "skipkeys": True, "default": str},
])
def test_json_options(kwargs):
    result = pyql.parse_with_recovery(TOUR)
    assert to_json(result, **kwargs) == ref.to_json(result, **kwargs)


def test_json_encoder_class_and_unknown_keywords():
    class Upper(json.JSONEncoder):
        def encode(self, o):
            return super().encode(o).upper()

    assert to_json("x\n", cls=Upper) == ref.to_json(pyql.parse_with_recovery("x\n")).upper()
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        to_json("x\n", colour=1)


def test_threads_write_what_one_thread_writes():
    sources = [TOUR, ERRORS, SINK, TOUR * 3]
    trees = [pyql.parse_with_recovery(s) for s in sources]
    formats = [to_dict, *WRITERS.values()]

    def outputs(i):
        return [write(obj) for write in formats for obj in (sources[i], trees[i])]

    expected = [outputs(i) for i in range(4)]
    got: list = [None] * 4

    def run(i):
        for _ in range(5):
            out = outputs(i)
            if got[i] is None or got[i] == out:
                got[i] = out
            else:
                got[i] = "differs"

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected


# The result str is built at its final width: ASCII, one, two or four bytes a character, the widest character
# early or late in a long text. A str of the wrong width would compare unequal to the same characters.
@pytest.mark.parametrize("wide", ["", "é", "\xff", "Ā", "€", "\uffff", "\U0001f642", "\U0010ffff"])
@pytest.mark.parametrize("where", ["start", "end"])
def test_result_str_width(wide, where):
    body = "x" * 40 + " y" * 20
    para = wide + body if where == "start" else body + wide
    assert to_text(f"# {wide}h\n\n{para}\n") == f"{wide}h\n\n{para}\n"
