"""The writers' Python face: to_dict, to_json, to_text and to_markdown of str and tree sources.

to_dict and to_json are held to the Python export of before (quillet.export, kept for what the C++ side
cannot hold), the tree path to the str path. The bytes of each format across its options are the format's own tests."""

from __future__ import annotations

import ctypes
import json
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from quillet import export as ref
import pyql
import quillet
from conftest import ROOT, SINK, UNDER_ASAN
from quillet.fields import walk
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


class OddFloat(float):
    def __float__(self):
        return float("nan")

    def __repr__(self):
        return "odd"


class OddInt(int):
    def __int__(self):
        return 7

    def __index__(self):
        return 8

    def __str__(self):
        return "odd"


class OddStr(str):
    def __str__(self):
        return "odd"


# A subclass of float, int or str gives the value it holds, as json.dumps reads it, whatever its methods
# say; a float that is not finite is null. The C++ path and the Python export (reached directly, and
# through to_json when metadata holds an int outside int64) write the same.
SUBCLASS_VALUES = [
    (OddFloat(1.5), 1.5),
    (OddFloat("inf"), None),
    (OddFloat("nan"), None),
    (F("-inf"), None),
    (OddInt(5), 5),
    (OddInt(2**70), 2**70),
    (OddStr("plain"), "plain"),
    ([OddFloat(2.5), [OddInt(-3), OddStr("s")]], [2.5, [-3, "s"]]),
]


@pytest.mark.parametrize("value, expected", SUBCLASS_VALUES, ids=range(len(SUBCLASS_VALUES)))
def test_metadata_subclasses_give_the_value_they_hold(value, expected):
    doc = pyql.parse("--- meta ---\n---\n")
    doc.metadata[OddStr("k")] = value
    big = pyql.parse("--- meta ---\nbig: 99999999999999999999\n---\n")
    big.metadata[OddStr("k")] = value
    for write in (to_json, ref.to_json):
        for tree in (doc, big):
            assert json.loads(write(tree))["metadata"]["k"] == expected
    for data in (to_dict(doc), to_dict(big), ref.to_dict(doc)):
        assert json.dumps(data["metadata"]["k"]) == json.dumps(expected)
        assert [type(key) for key in data["metadata"]] == [str] * len(data["metadata"])


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
    # ASCII is read in place; the others go through each thread's own input buffer.
    sources = [TOUR, ERRORS, SINK, TOUR * 3, TEXTS[2] * 300, TEXTS[3] * 500]
    trees = [pyql.parse_with_recovery(s) for s in sources]
    formats = [to_dict, *WRITERS.values()]

    def outputs(i):
        return [write(obj) for write in formats for obj in (sources[i], trees[i])]

    expected = [outputs(i) for i in range(len(sources))]
    got: list = [None] * len(sources)

    def run(i):
        for _ in range(5):
            out = outputs(i)
            if got[i] is None or got[i] == out:
                got[i] = out
            else:
                got[i] = "differs"

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(sources))]
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


# And read sixteen bytes at a time: a character of each length after and before ASCII runs of every length.
@pytest.mark.parametrize("wide", ["\x80", "\xff", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff"])
def test_result_str_at_every_alignment(wide):
    for before in range(35):
        for after in (0, 1, 15, 16, 17, 33):
            for line in ("a" * before + wide + "b" * after, "a" * before + wide * 2 + "b" * after + wide):
                assert to_text(line) == line + "\n"


# ------------------------------------------------------------------------------------- a str's UTF-8

# A str is read in place when ASCII or when CPython keeps its UTF-8 beside it, otherwise encoded into a
# buffer the thread keeps; each form writes what its tree writes.
TEXTS = ["# A\n\nplain *b*\n", "# é\n\nçà *ÿ*\n", "# Ā €\n\n文 *書*\n", "# 🙂\n\n\U0010ffff *x* é\n"]


def with_utf8_cached(text):
    """An equal str, a new object whose UTF-8 CPython has cached."""
    copy = "".join([text[:1], text[1:]])
    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
    as_utf8.argtypes, as_utf8.restype = [ctypes.py_object], ctypes.c_void_p
    as_utf8(copy)
    return copy


@pytest.mark.parametrize("name", FORMATS)
@pytest.mark.parametrize("text", TEXTS, ids=range(len(TEXTS)))
def test_every_form_of_a_str_writes_as_its_tree(name, text):
    write = WRITERS[name]
    expected = write(pyql.parse_with_recovery(text))
    assert (write(text), write(with_utf8_cached(text))) == (expected, expected)


@pytest.mark.parametrize("write", [to_dict, *WRITERS.values()])
def test_a_lone_surrogate_is_refused_as_str_encode_refuses_it(write):
    bad = "é" * 100 + "\ud800 x\n"
    with pytest.raises(UnicodeEncodeError) as caught:
        write(bad)
    with pytest.raises(UnicodeEncodeError) as expected:
        bad.encode()
    assert str(caught.value) == str(expected.value)
    # The thread's buffer came back: the next write reads its own text.
    assert write(TEXTS[1]) == write(pyql.parse_with_recovery(TEXTS[1]))


def test_a_code_hook_writes_while_the_thread_buffers_are_out():
    # The outer write's input and output are in the thread's buffers while the hook writes another
    # document on the same thread: the inner write must take buffers of its own.
    outer = "".join(f"é {i}\n\n```\nü{i}\n```\n\n" for i in range(50))
    inner = {f"ü{i}": to_text(f"ç *{i}*\n" * 50) for i in range(50)}
    expected = to_html(outer, code_hook=lambda code, lang: inner[code])
    assert to_html(outer, code_hook=lambda code, lang: to_text(f"ç *{code[1:]}*\n" * 50)) == expected


# A document past the buffers' keep (16 MiB) gives them back; the next, small one still writes right; a
# thread's buffers go when the thread ends.
HUGE_THEN_SMALL = r"""
import ctypes
from quillet import to_text
libc = ctypes.CDLL(None)
try:  # the sanitizer's count, when it replaces malloc
    malloc_in_use = libc.__sanitizer_get_current_allocated_bytes
    malloc_in_use.restype = ctypes.c_size_t
except AttributeError:  # glibc's: its heaps and the blocks it maps on their own
    from test_leaks import _MallInfo2
    libc.mallinfo2.restype = _MallInfo2
    malloc_in_use = lambda: libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd
small = "é *x*\n"
expected = to_text(small)
before = malloc_in_use()
huge = "é" + "word " * 4_000_000
assert to_text(huge).startswith("éword word")
del huge
assert to_text(small) == expected
# Threads keep what they wrote (5 MB each) until they end.
import threading
mid = "é" + "word " * 1_000_000
threads = [threading.Thread(target=to_text, args=(mid,)) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
del mid, threads
print((malloc_in_use() - before) // 2**20)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts glibc's or the sanitizer's malloc")
def test_a_huge_document_and_an_ended_thread_give_the_buffers_back():
    run = subprocess.run([sys.executable, "-c", HUGE_THEN_SMALL], capture_output=True, text=True, timeout=300,
                         cwd=Path(__file__).parent)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) < 8  # MiB still held


# ------------------------------------------------------------------------------------- shared nodes

# A tree that holds one node (or metadata list) twice at every level: forty levels are 2^40 nodes to
# write. Every writer, to_dict, records and the Python export refuse it with one ValueError, in a child
# under a timeout and (outside ASan) an address-space limit, so that a regression fails instead of
# eating the machine. The int outside int64 sends to_dict and to_json to the Python export.
EXPANDING = r"""
import json, pickle, resource, sys
import pyql, quillet
from quillet import export
if sys.argv[1] == "limit":
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))

def doubled(doc, first, inner, children):
    node = first
    for _ in range(40):
        child = inner()
        getattr(node, children)[:] = [child, child]
        node = child
    return doc

def inline(big):
    doc = pyql.parse("--- meta ---\n" + ("big: 99999999999999999999\n" if big else "") + "---\n*a*\n")
    return doubled(doc, doc.blocks[0].content[0], lambda: pyql.parse("*b*\n").blocks[0].content[0], "content")

def blocks(big):
    doc = pyql.parse("--- meta ---\n" + ("big: 99999999999999999999\n" if big else "") + "---\n::quote\na\n::\n")
    return doubled(doc, doc.blocks[0], lambda: pyql.parse("::quote\nb\n::\n").blocks[0], "blocks")

def metadata(big):
    doc = pyql.parse("--- meta ---\nk: [1]\n" + ("big: 99999999999999999999\n" if big else "") + "---\n")
    values = doc.metadata["k"]
    for _ in range(40):
        child = [1]
        values[:] = [child, child]
        values = child
    return doc

writers = [quillet.to_json, quillet.to_text, quillet.to_markdown, quillet.to_html, quillet.to_dict,
           lambda d: quillet.to_json(d, cls=json.JSONEncoder), export.to_json,
           lambda d: quillet.to_text(pickle.loads(pickle.dumps(d)))]
messages = set()
for make in (inline, blocks, metadata):
    for big in (False, True):
        doc = make(big)
        for write in writers + ([quillet.records] if make is not metadata else []):
            try:
                write(doc)
            except ValueError as e:
                messages.add(str(e))
            else:
                raise AssertionError(f"{make.__name__} written")
print(messages)
"""


def test_exponentially_shared_tree_is_refused_everywhere():
    run = subprocess.run([sys.executable, "-c", EXPANDING, "none" if UNDER_ASAN else "limit"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    message = ("the tree shares nodes so often that it expands to more than 16 times its distinct nodes and "
               "metadata values, plus 1000000")
    assert run.stdout == repr({message}) + "\n"


def shared_tree(share):
    """A document that holds one emphasis twice, one paragraph three times, one list item 10,000 times
    and one metadata list three times; with share false, a copy in each place instead (parsed from the
    same text, so with the same spans)."""
    made: dict = {}

    def node(src, pick):
        if not share or src not in made:
            made[src] = pick(pyql.parse(src))
        return made[src]

    def emphasis():
        return node("*e* x\n", lambda tree: tree.blocks[0].content[0])

    def para():
        return node("p *q* [[l|u]]\n", lambda tree: tree.blocks[0])

    def item():
        return node("::list\n- item *i*\n::\n", lambda tree: tree.blocks[0].items[0])

    doc = pyql.parse("--- meta ---\nk: 1\n---\n# H\n::list\n- x\n::\n")
    doc.blocks[0].content[:] = [emphasis(), emphasis()]
    doc.blocks[1].items[:] = [item() for _ in range(10_000)]
    doc.blocks.extend([para(), para(), para()])
    values = [1, ["two"]]
    doc.metadata.update(a=values, b=[values, values] if share else [[1, ["two"]], [1, ["two"]]])
    return doc


@pytest.mark.parametrize("write", [to_dict, *WRITERS.values(), quillet.records, ref.to_dict],
                         ids=["to_dict", *FORMATS, "records", "export"])
def test_shared_nodes_write_as_their_copies(write):
    assert write(shared_tree(True)) == write(shared_tree(False))


# The limit is 16 times the distinct parts plus 1,000,000: one Text node met 1,000,016 times writes.
@pytest.mark.parametrize("extra, refused", [(0, False), (1, True)])
def test_expansion_limit_is_exact(extra, refused):
    nodes = [paragraph("a\n").content[0]] * (1_000_016 + extra)
    if refused:
        for walk_or_write in (to_text, lambda n: next(walk(n))):
            with pytest.raises(ValueError, match="^the tree shares nodes so often"):
                walk_or_write(nodes)
    else:
        assert to_text(nodes) == "a" * len(nodes) + "\n"
        assert next(walk(nodes))[0] is nodes[0]


# A signal handler runs while a large tree is converted (the CPU timer fires during the call): one that
# raises stops the conversion, and one that empties the lists being read meets an error, not freed memory.
# The converter holds every Text node it has read until the call returns: a handler run inside the call
# sees their counts raised.
INTERRUPTED = r"""
import signal, sys
import pyql
from quillet import _native
doc = pyql.parse("start\n")
para = pyql.parse("*a* b\n").blocks[0]
doc.blocks[:] = [para] * 150_000
text = para.content[1]
before = sys.getrefcount(text)

def handler(signum, frame):
    print("inside" if sys.getrefcount(text) > before else "outside")
    if sys.argv[1] == "raise":
        raise KeyboardInterrupt
    para.content.clear()
    doc.blocks.clear()

signal.signal(signal.SIGPROF, handler)
signal.setitimer(signal.ITIMER_PROF, 0.001)
try:
    _native.write(doc, "text", None)
except (KeyboardInterrupt, RuntimeError) as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("mode, error", [("raise", "KeyboardInterrupt"), ("empty", "RuntimeError")])
def test_signal_handlers_run_during_a_conversion(mode, error):
    run = subprocess.run([sys.executable, "-c", INTERRUPTED, mode], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "inside" and lines[1].startswith(error)
    if mode == "empty":
        assert lines[1].endswith("a list changed size while it was written")
