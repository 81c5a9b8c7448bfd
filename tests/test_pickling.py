"""Pickling and copying pyql's objects: every class, every protocol, shared
and cyclic trees, and pickles that are malformed or malicious."""

import copy
import io
import math
import pickle
import random
import re
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given, settings

import pyql
import quillet
from conftest import ROOT, SINK, walk
from quillet import _native
from test_properties import PROFILES, TEXTS

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
COPIES = {
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, p))) for p in PROTOCOLS},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}

RESULT = pyql.parse_with_recovery(SINK + "::nope\nx\n::\n")


def objects():
    """One object of every class."""
    found = {}
    for node in walk(RESULT.document):
        found.setdefault(type(node).__name__, node)
    error = RESULT.errors[0]
    found.update({
        "Document": RESULT.document, "ParseResult": RESULT, "ParseError": error,
        "Span": error.span, "Parser": pyql.Parser(pyql.Profile.MdStrict),
        "Profile": pyql.Profile.Md, "ModuleKind": pyql.ModuleKind.Html,
        "ParseErrorKind": pyql.ParseErrorKind.Other, "ListKind": pyql.ListKind.Unordered,
        "untitled callout": pyql.parse("::callout\nx\n::\n").blocks[0],
        "unstarted list": pyql.parse("::list\n- a\n::\n").blocks[0],
        # what the parser never makes, in the form pickles give
        "unspanned error": _native.rebuild(7, "m", 5, None, None, False),
        "HardBreak": _native.rebuild(34, 1, 2), "SoftBreak": _native.rebuild(35, 3, 4),
    })
    return found


OBJECTS = objects()
VALUES = (pyql.Parser, pyql.Profile, pyql.ModuleKind, pyql.ListKind, pyql.ParseErrorKind, pyql.Span)


def same(a, b):
    """Equal class, fields, spans and texts, and the same repr where the class has its own."""
    assert type(a) is type(b)
    assert repr(a) == repr(b) or " object at 0x" in repr(a)
    if isinstance(a, pyql.Span):
        assert (a.start, a.end) == (b.start, b.end)
    elif not isinstance(a, VALUES):
        assert quillet.to_dict(a) == quillet.to_dict(b)


def test_every_class_is_covered():
    names = {type(o).__name__ for o in OBJECTS.values()}
    assert names == {n for n in dir(pyql) if isinstance(getattr(pyql, n), type)}


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("name", sorted(OBJECTS))
def test_every_class_copies(name, how):
    original = OBJECTS[name]
    copied = COPIES[how](original)
    same(original, copied)
    if name == "Parser":
        assert copied.parse("# a").profile == pyql.Profile.MdStrict
    if isinstance(original, (pyql.Profile, pyql.ModuleKind, pyql.ListKind, pyql.ParseErrorKind)):
        assert copied == original


def test_examples_and_corpus_round_trip():
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import corpus
    finally:
        sys.path.pop(0)
    texts = [p.read_text() for p in sorted((ROOT / "examples").glob("*.qlt"))]
    texts.append(corpus.generate(200_000)[0])
    for text in texts:
        result = pyql.parse_with_recovery(text)
        for how in ("pickle2", f"pickle{pickle.HIGHEST_PROTOCOL}", "deepcopy"):
            assert quillet.to_dict(COPIES[how](result)) == quillet.to_dict(result)


@settings(max_examples=150, deadline=None)
@given(TEXTS, PROFILES)
def test_any_document_round_trips(text, profile):
    result = pyql.parse_with_recovery(text, profile)
    assert quillet.to_dict(pickle.loads(pickle.dumps(result))) == quillet.to_dict(result)


@pytest.mark.parametrize("how", [h for h in COPIES if h != "copy"])
def test_shared_and_cyclic_trees(how):
    doc = pyql.parse("# a *b*\n\npara\n")
    heading, para = doc.blocks
    doc.blocks.append(heading)                 # reached twice
    para.content.append(para)                  # inside itself
    emphasis = heading.content[1]
    emphasis.content.append(heading)           # a cycle through two levels
    (copied,) = COPIES[how]([doc])
    h, p, h2 = copied.blocks
    assert h is h2
    assert h.content[1].content[-1].content is h.content and p.content[-1].content is p.content
    if how != "deepcopy":
        # deepcopy copies a node's list before the node itself: the copy of a node inside
        # itself is a second node holding the same copied list
        assert h.content[1].content[-1] is h and p.content[-1] is p


def test_shallow_copy_shares_the_children():
    doc = pyql.parse("# a\n")
    assert copy.copy(doc).blocks is doc.blocks
    assert copy.copy(doc.blocks[0]).content is doc.blocks[0].content


def test_unpickling_imports_nothing_first():
    data = pickle.dumps(RESULT)
    code = ("import pickle, sys\n"
            "r = pickle.loads(sys.stdin.buffer.read())\n"
            "print(repr(r), repr(r.errors[0]), r.document.blocks[0].content[0].content)")
    out = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=60)
    assert out.stdout.decode().split() == (
        f"{RESULT!r} {RESULT.errors[0]!r} {RESULT.document.blocks[0].content[0].content}".split()), out.stderr


# ------------------------------------------------------------------ bad pickles

I = int(pyql.ParseErrorKind.Other) + 1  # the first kind past the last
BAD = [
    (),                                      # no class id
    (36,), (-1,), ("Span",), (True, 1, 2),   # class ids
    (0, 1), (0, 1, 2, 3),                    # counts
    (0, 2, 1), (0, -1, 1), (0, 0, 2**32), (0, 0.0, 1),  # spans
    (1, 3), (2, 7), (6, I), (12, 2), (3, 3), (1, None),  # enumeration values
    (8, 0, 1, 0, []), (8, 0, 1, 7, []), (8, 0, 1, 1, ()), (8, 0, 1, 1, "x"),  # Heading
    (10, 0, 1, 2, None, []), (10, 0, 1, 0, -1, []), (10, 0, 1, 0, 2**64, []),  # List
    (18, 0, 1, 1, []),                       # TableRow's header is a bool
    (22, 0, 1, 1, "x"),                      # MathBlock's display is a bool
    (13, 0, 1, None, "x"), (13, 0, 1, b"\xff", "x"),
    (26, 0, 1, b"\xc0\x80"), (26, 0, 1, b"\xed\xa0\x80"), (26, 0, 1, b"\xe2\x82"), (26, 0, 1, b"\xf4\x90\x80\x80"), (13, 0, 1, "\ud800", "x"),  # CodeBlock texts
    (26, 0, 1, None), (26, 0, 1), (26, 0, 1, "a", "b"),  # Text
    (9, 0, 1, [].__iter__()), (9, 0, 1, (1,)), (9, 0, 1, {}),  # child lists
    (4, 0, 1, 0, (), [], []), (4, 0, 1, 0, (7,), None, []), (4, 0, 1, 0, [0], None, []),  # Document
    (4, 0, 1, 3, (), None, []), (4, 0, 1, 0, (), None),
    (5, None, [RESULT.errors[0]]), (5, 1, ()), (5, None, ("x",)), (5, None),  # ParseResult
    (7, "m", 0, 1, None, True), (7, "m", 0, 2, 1, True), (7, "m", I, None, None, True),  # ParseError
    (7, "m", 0, None, None, 1), (7, 1, 0, None, None, True),
]


@pytest.mark.parametrize("args", BAD, ids=repr)
def test_malformed_values_raise(args):
    with pytest.raises((TypeError, ValueError, UnicodeEncodeError)):
        _native.rebuild(*args)


# Every lead byte, each followed by the edges of the second byte's ranges and by whole, short or broken
# tails: text bytes are taken exactly when Python's strict decoder takes them.
UTF8_EDGES = [
    bytes([lead, second]) + tail
    for lead in range(0x80, 0x100)
    for second in (0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0)
    for tail in (b"", b"\x80", b"\xbf\xbf", b"\x80A", b"\x80\x80A")
]


def test_text_bytes_at_the_edges_of_utf8():
    for data in UTF8_EDGES:
        for text in (data, b"x" * 17 + data):  # alone, and after a run of ASCII skipped in blocks
            try:
                expected = text.decode()
            except UnicodeDecodeError:
                expected = None
            try:
                node = _native.rebuild(26, 0, 1, text)
            except ValueError:
                assert expected is None, text
            else:
                assert node.content == expected, text


class OnlyRebuild(pickle.Unpickler):
    """Loads nothing but quillet._native.rebuild and rebuild_image: a mutated pickle may name any global."""

    def find_class(self, module, name):
        if module == "quillet._native" and name in ("rebuild", "rebuild_image"):
            return getattr(_native, name)
        raise pickle.UnpicklingError(f"{module}.{name}")


def test_mutated_and_random_pickles_raise_or_load():
    rng = random.Random(16)
    sources = [pickle.dumps(OBJECTS[n], p) for n in sorted(OBJECTS) for p in (2, 5)]
    values = [None, True, 0, 1, 6, 255, 2**32, -1, 2**70, 1.5, "", "é", b"x", (), [], {}, [[]],
              RESULT.errors[0], RESULT.document, pyql.Profile.Md]
    for _ in range(3000):
        data = bytearray(rng.choice(sources))
        for _ in range(rng.randint(1, 4)):
            k = rng.randrange(len(data))
            action = rng.randrange(3)
            if action == 0:
                data[k] = rng.randrange(256)
            elif action == 1:
                del data[k:k + rng.randint(1, 8)]
            else:
                data[k:k] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 4)))
        if rng.random() < 0.2:
            data = data[:rng.randrange(len(data))]   # truncated
        try:
            loaded = OnlyRebuild(io.BytesIO(bytes(data))).load()
            repr(loaded)
            if isinstance(loaded, (pyql.Document, pyql.ParseResult)):
                quillet.to_json(loaded)
        except Exception:
            pass
    for _ in range(3000):
        # texts as bytes: taken exactly when Python's strict decoder takes them
        data = bytes(rng.choice(b"a\x80\xbf\xc2\xdf\xe0\xed\xef\xf0\xf4\xf5\xff") for _ in range(rng.randrange(6)))
        try:
            expected = data.decode()
        except UnicodeDecodeError:
            expected = None
        try:
            assert _native.rebuild(26, 0, 1, data).content == expected
        except ValueError:
            assert expected is None
    for _ in range(3000):
        args = [rng.randrange(37)] + [rng.choice(values) for _ in range(rng.randrange(8))]
        try:
            obj = _native.rebuild(*args)
            repr(obj)
        except (TypeError, ValueError, UnicodeEncodeError):
            pass


# ------------------------------------------------------------------ images

# A whole tree pickles as rebuild_image(source), the source as rebuild_image(image): one bytes object
# for the tree (pyql/pickled.hpp describes it).
NODE_TAG = {name: 0x10 + i for i, (name, *_) in enumerate(_native.NODE_CLASSES)}
T_NONE, T_FALSE, T_TRUE, T_INT, T_BIGINT, T_FLOAT, T_STR, T_REF, T_LIST, T_DICT, T_DOC, T_RESULT = range(12)
T_MEMO = 0x80


def image_of(obj, protocol=pickle.HIGHEST_PROTOCOL):
    """The image obj pickles as, or None when it keeps the old form."""
    func, args = obj.__reduce_ex__(protocol)
    if func is not _native.rebuild_image:
        return None
    func, args = args[0].__reduce_ex__(protocol)
    return args[0] if func is _native.rebuild_image else None


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


def image(*parts, slots=0, flags=1, head=b"QLI\x01"):
    """An image: `flags` 1 (it may hold references) leaves every object tracked by the collector."""
    body = b"".join(bytes([p]) if isinstance(p, int) else p for p in parts)
    return head + bytes([flags]) + slots.to_bytes(4, "little") + body


SPAN = b"\x00\x00"  # start 0 (no change), length 0


def doc(metadata=bytes([T_NONE]), blocks=bytes([T_LIST, 0]), profile=0, modules=b""):
    return bytes([T_DOC]) + SPAN + bytes([profile]) + varint(len(modules)) + modules + metadata + blocks


def text(content=b"x"):
    return bytes([NODE_TAG["Text"]]) + SPAN + varint(len(content)) + content


def para(children):
    return bytes([NODE_TAG["Paragraph"]]) + SPAN + children


EMPTY = bytes([T_LIST, 0])
ERROR = bytes([0, 0]) + varint(1) + b"m"  # no span, not recoverable, kind 0, message "m"
# Each image breaks one rule; the text of rebuild's own check where the same value is checked.
BAD_IMAGES = [
    (b"", ValueError, "ends inside a value"),
    (image(doc(), head=b"QLX\x01"), ValueError, "not an image of pyql objects"),
    (image(doc(), head=b"QLI\x02"), ValueError, "an image of another version"),
    (image(doc(), slots=1000), ValueError, "a count exceeds the bytes left"),
    (image(doc(), flags=2), ValueError, "the image's flags are unknown"),
    (image(doc(blocks=bytes([T_LIST | T_MEMO, 1, T_REF, 0])), slots=1, flags=0), ValueError,
     "a reference in an image that declares none"),
    (image(doc()[:-1]), ValueError, "ends inside a value"),
    (image(doc(), T_NONE), ValueError, "bytes follow the end of the image"),
    (image(T_INT, 2), TypeError, "the image holds no Document or node"),
    (image(doc(blocks=bytes([T_LIST, 1, 0x0C]))), ValueError, "an unknown tag"),
    (image(doc(blocks=bytes([T_LIST, 1, 0x10 + len(NODE_TAG)]))), ValueError, "an unknown tag"),
    (image(doc(blocks=bytes([T_LIST, 1, T_NONE | T_MEMO])), slots=1), ValueError, "an unknown tag"),
    (image(doc(blocks=bytes([T_LIST, 1, T_REF, 0])), slots=1), ValueError, "a reference to an object not read yet"),
    (image(doc(blocks=bytes([T_LIST | T_MEMO, 0]))), ValueError, "more objects take a slot than it has"),
    (image(doc(blocks=bytes([T_LIST]) + varint(2**62))), ValueError, "a count exceeds the bytes left"),
    (image(doc(blocks=bytes([T_DICT]) + varint(1) + bytes([T_NONE]))), ValueError, "a count exceeds the bytes left"),
    (image(doc(blocks=bytes([T_LIST]) + b"\xff" * 10 + b"\x01")), ValueError, "a number exceeds 64 bits"),
    (image(doc(blocks=bytes([T_LIST]) + b"\x80" * 9 + b"\x02")), ValueError, "a number exceeds 64 bits"),
    (image(bytes([NODE_TAG["Heading"]]), SPAN, 0, EMPTY), ValueError, "a heading's level must be an int in 1..6"),
    (image(bytes([NODE_TAG["Heading"]]), SPAN, 7, EMPTY), ValueError, "a heading's level must be an int in 1..6"),
    (image(bytes([NODE_TAG["List"]]), SPAN, 2, 0, EMPTY), ValueError, "a list's kind must be a ListKind value"),
    (image(bytes([NODE_TAG["List"]]), SPAN, 0, 2, EMPTY), ValueError, "a list's start must be None or"),
    (image(bytes([NODE_TAG["TableRow"]]), SPAN, 2, EMPTY), TypeError, "a row's header must be a bool"),
    (image(bytes([NODE_TAG["MathBlock"]]), SPAN, 2, 0), TypeError, "a math block's display must be a bool"),
    (image(text(b"\xff")), ValueError, "a text is not UTF-8"),
    (image(text(b"\xed\xa0\x80")), ValueError, "a text is not UTF-8"),
    (image(bytes([NODE_TAG["Text"]]), varint(1), 0, 0), ValueError, "a span's start must be an int in 0..2**32-1"),
    (image(bytes([NODE_TAG["Text"]]), varint(2**33), 0, 0), ValueError, "a span's start must be an int"),
    (image(bytes([NODE_TAG["Text"]]), 0, varint(2**32), 0), ValueError, "a span's end must be an int in 0..2**32-1"),
    (image(bytes([NODE_TAG["Text"]]), SPAN, varint(5), b"ab"), ValueError, "a count exceeds the bytes left"),
    (image(para(bytes([T_INT, 0]))), TypeError, "children must be a list or None"),
    (image(para(bytes([T_LIST | T_MEMO, 1, T_REF, 0])), slots=1), None, None),  # a list inside itself: sound
    (image(doc(blocks=bytes([T_DICT, 0]))), TypeError, "children must be a list or None"),
    (image(doc(metadata=EMPTY)), TypeError, "metadata must be a dict or None"),
    (image(doc(profile=3)), ValueError, "a document's profile must be a Profile value"),
    (image(doc(modules=b"\x07")), ValueError, "a document's modules must be ModuleKind values"),
    (image(bytes([T_DOC]) + SPAN + b"\x00" + varint(2**40)), ValueError, "a count exceeds the bytes left"),
    (image(T_RESULT, text(), 0), TypeError, "a result's document must be a Document"),
    (image(T_RESULT, doc(blocks=bytes([T_LIST, 1, T_RESULT])), 0), ValueError, "stands only at the root of an image"),
    (image(T_RESULT, doc(), 1, ERROR[:1] + b"\x06" + ERROR[2:]), ValueError, "an error's kind must be a ParseErrorKind"),
    (image(T_RESULT, doc(), 1, b"\x04" + ERROR[1:]), ValueError, "an error's flags are unknown"),
    (image(T_RESULT, doc(), 1, b"\x01" + ERROR[1:], varint(2**32), 0), ValueError, "a span's start must be an int"),
    (image(T_RESULT, doc(), 1, b"\x01" + ERROR[1:], 1, varint(2**32 - 1)), ValueError, "a span's end must be an int"),
    (image(T_RESULT, doc(), varint(2**40)), ValueError, "a count exceeds the bytes left"),
    (image(doc(metadata=bytes([T_DICT, 1, T_STR, 1]) + b"k" + bytes([T_BIGINT, 2]) + b"1g")), ValueError, "not hexadecimal"),
    (image(doc(metadata=bytes([T_DICT, 1, T_STR, 1]) + b"k" + bytes([T_BIGINT, 1]) + b"-")), ValueError, "not hexadecimal"),
    (image(doc(metadata=bytes([T_DICT, 1, T_LIST, 0, T_NONE]))), TypeError, "unhashable"),
    (image(doc(metadata=bytes([T_DICT, 1, T_STR, 1]) + b"\xc0" + bytes([T_NONE]))), ValueError, "a text is not UTF-8"),
    (image(doc(blocks=bytes([T_FLOAT]) + b"\x00" * 7)), ValueError, "ends inside a value"),
]


@pytest.mark.parametrize("data, error, message", BAD_IMAGES, ids=range(len(BAD_IMAGES)))
def test_broken_images_raise_the_checks_texts(data, error, message):
    if error is None:
        node = _native.rebuild_image(data)
        assert node.content[0] is node.content
        return
    with pytest.raises(error, match=re.escape(message)):
        _native.rebuild_image(data)


@pytest.mark.parametrize("args, message", [
    ((), "expected 1 value, got 0"), ((b"", b""), "expected 1 value, got 2"),
    (("QLI",), "the image must be bytes"), ((None,), "the image must be bytes"), (([],), "the image must be bytes"),
])
def test_rebuild_image_takes_one_image(args, message):
    with pytest.raises(TypeError, match=message):
        _native.rebuild_image(*args)


class Tuple(tuple):
    pass


class Str(str):
    pass


class List(list):
    pass


# What a caller may put in a tree, each kept as it was. The scalars and lists go into the image; anything
# else keeps the whole tree in the old form, where pickle's own forms keep it.
META_VALUES = [
    0, 1, -1, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 10**5000, -(16**999), True, False, None,
    1.5, -0.0, float("inf"), "", "ascii", "é日本🙂", [], [[[]]], {}, {1: 2, 2.5: None, None: "x", "k": [1]},
]
OLD_FORM_ONLY = [(1, 2), Tuple((1,)), Str("s"), List([1]), "\ud800", {1, 2}, b"bytes", pyql.Profile.Md]


def test_metadata_values_round_trip_in_the_image():
    d = pyql.parse("--- meta ---\nk: 1\n---\n# a *b* c\n")
    d.metadata.clear()
    d.metadata.update({i: v for i, v in enumerate(META_VALUES)})
    assert image_of(d) is not None
    for how in [h for h in COPIES if h != "copy"]:
        values = list(COPIES[how](d).metadata.values())
        assert values == META_VALUES and [type(v) for v in values] == [type(v) for v in META_VALUES]
        assert [math.copysign(1, v) for v in values if type(v) is float] == [1, -1, 1]


@pytest.mark.parametrize("value", OLD_FORM_ONLY, ids=repr)
@pytest.mark.parametrize("where", ["metadata", "blocks", "content"])
def test_what_no_image_holds_keeps_the_old_form(value, where):
    d = pyql.parse("--- meta ---\nk: 1\n---\n# a *b* c d\n\npara *x* y z\n")
    if where == "metadata":
        d.metadata["v"] = value
    else:
        (d.blocks if where == "blocks" else d.blocks[1].content).append(value)
    assert image_of(d) is None and image_of(d.blocks[0]) is not None
    for how in [h for h in COPIES if h != "copy"]:
        c = COPIES[how](d)
        got = {"metadata": lambda: c.metadata["v"], "blocks": lambda: c.blocks[-1],
               "content": lambda: c.blocks[1].content[-1]}[where]()
        assert got == value and type(got) is type(value)


def test_whole_trees_and_nodes_of_four_parts_or_more_pickle_as_images():
    for node in walk(RESULT.document):
        parts = len(list(walk(node)))  # the node and the items of the lists below it, all nodes here
        assert (image_of(node) is not None) == (parts >= 4), node
        assert node.__reduce_ex__(2)[0] is _native.rebuild
    for obj in (RESULT, RESULT.document, _native.rebuild(5, None, ())):
        assert image_of(obj) is not None and obj.__reduce_ex__(2)[0] is _native.rebuild
        assert repr(pickle.loads(pickle.dumps(obj))) == repr(obj)


def shared_tree():
    d = pyql.parse("--- meta ---\nk: [1, [2]]\n---\n# a *b* c\n\npara *x* y z\n\n::quote\nq *r* s\n::\n")
    heading, para, quote = d.blocks
    d.blocks.append(heading)                  # one node in two places of one list
    quote.blocks.append(para)                 # and in two lists
    para.content.append(para.content)         # a list inside itself
    para.content.append(para)                 # a node inside its own list
    d.blocks.append(d)                        # the root inside itself
    d.metadata["again"] = d.metadata["k"]     # a metadata list twice
    d.metadata["k"][1].append(d.metadata["k"])
    return d


@pytest.mark.parametrize("how", [h for h in COPIES if h not in ("copy", "pickle2")])
def test_shared_nodes_and_self_containing_lists_keep_their_identity(how):
    d = shared_tree()
    assert image_of(d) is not None
    c = COPIES[how](d)
    heading, para, quote, heading2, root = c.blocks
    assert heading2 is heading and root is c and quote.blocks[-1] is para
    assert para.content[-2] is para.content and para.content[-1] is para
    assert c.metadata["again"] is c.metadata["k"] and c.metadata["k"][1][-1] is c.metadata["k"]
    assert c.blocks is not d.blocks and para is not d.blocks[1]


def test_copy_copy_shares_what_the_object_holds():
    d = pyql.parse("# a *b* c\n\n::quote\nq *r* s\n::\n")
    big = d.blocks[1]
    assert image_of(big) is not None and image_of(d.blocks[0].content[1]) is None
    assert copy.copy(big).blocks is big.blocks
    assert copy.copy(RESULT).document is RESULT.document
    assert copy.copy(d).metadata is d.metadata and copy.copy(d).blocks is d.blocks


def test_rebuild_image_passes_a_tree_through():
    # a pickle calls rebuild_image(rebuild_image(image)): the outer call gets the tree
    for obj in (RESULT, RESULT.document, RESULT.document.blocks[0]):
        assert _native.rebuild_image(obj) is obj


def test_deep_and_widely_shared_trees():
    # 100,000 nested quotes: the image is written and read with stacks of its own (pickle's own forms
    # recurse once per level and stop at the recursion limit)
    quote = pyql.parse("::quote\nx\n::\n").blocks[0].__reduce_ex__(2)[1][0]
    top = node = _native.rebuild(quote, 0, 1, [])
    for _ in range(100_000):
        node.blocks.append(_native.rebuild(quote, 0, 1, []))
        node = node.blocks[0]
    copied, depth = pickle.loads(pickle.dumps(top)), 0
    while copied.blocks:
        copied, depth = copied.blocks[0], depth + 1
    assert depth == 100_000
    # a node twice in each of forty lists stands for 2**40 nodes: the image holds each once
    d = pyql.parse("*a*\n")
    node = d.blocks[0].content[0]
    for _ in range(40):
        child = pyql.parse("*b*\n").blocks[0].content[0]
        node.content[:] = [child, child]
        node = child
    data = pickle.dumps(d)
    assert len(data) < 2000
    node = pickle.loads(data).blocks[0].content[0]
    for _ in range(40):
        assert node.content[0] is node.content[1]
        node = node.content[0]


def test_old_pickles_still_load():
    # the form every object pickled as before images: rebuild(id, values...), texts as bytes
    class OldForm(pickle.Pickler):
        def reducer_override(self, obj):
            if type(obj) not in {type(o) for o in OBJECTS.values()}:
                return NotImplemented
            func, values = obj.__reduce_ex__(2)
            return func, tuple(v.encode() if isinstance(v, str) else v for v in values)

    for obj in (RESULT, RESULT.document, shared_tree()):
        stream = io.BytesIO()
        OldForm(stream, pickle.HIGHEST_PROTOCOL).dump(obj)
        assert b"rebuild_image" not in stream.getvalue()
        loaded = pickle.loads(stream.getvalue())
        assert type(loaded) is type(obj) and repr(loaded) == repr(obj)


def small_images():
    """Small images that hold every tag, field and check between them."""
    d = pyql.parse("@modules html, math\n--- meta ---\nk: 1\n---\n# H *e*\n\n::list ordered start=3\n- i\n::\n"
                   "::table\n| a |\n|---|\n| b |\n::\n::math display\nx\n::\n::callout\nc\n::\n"
                   "[[l|http://u \"t\"]] [[http://v]]\n")
    d.metadata.update({"b": 2**70, "n": -(2**70), "f": 0.5, "s": "é", "l": [True, False, None], "d": {1: []}})
    d.blocks.append(d.blocks[0])
    d.blocks[1].items.append(d.blocks[1].items)
    result = pyql.parse_with_recovery("::nope\nx\n")
    result.document.blocks.append(result.document.blocks[0])
    return [image_of(d), image_of(result)]


MUTATIONS = [*range(12), *range(0x10, 0x10 + len(NODE_TAG)), *[t | T_MEMO for t in (T_LIST, T_DICT, T_DOC, 0x10, 0x2A)],
             0x7F, 0xFF]
HUGE = [varint(2**64 - 1), varint(2**63), varint(2**40), varint(2**32 - 1), b"\xff" * 10]


def test_every_truncation_flipped_byte_huge_length_and_wrong_kind_raises_or_loads():
    tracemalloc.start()
    try:
        for data in small_images():
            assert len(data) < 400
            for end in range(len(data)):
                with pytest.raises(ValueError):
                    _native.rebuild_image(data[:end])
            for k in range(len(data)):
                for mutated in ([data[:k] + bytes([v]) + data[k + 1:] for v in
                                 {*MUTATIONS, data[k] ^ 1, data[k] ^ 0x80, (data[k] + 1) % 256}]
                                + [data[:k] + h + data[k + 1:] for h in HUGE]
                                + [data[:k] + h + data[k:] for h in HUGE]):
                    if mutated == data:
                        continue
                    tracemalloc.reset_peak()
                    before = tracemalloc.get_traced_memory()[0]
                    try:
                        obj = _native.rebuild_image(mutated)
                    except (TypeError, ValueError):
                        obj = None
                    # nothing is allocated for a count the bytes left cannot hold
                    assert tracemalloc.get_traced_memory()[1] - before < 64 * len(mutated) + 20_000, (k, mutated)
                    if obj is not None:
                        repr(obj)
                        try:
                            quillet.to_json(obj)
                        except (TypeError, ValueError):
                            pass  # the writers check what they read (a key of another type, a tree too shared)
    finally:
        tracemalloc.stop()
