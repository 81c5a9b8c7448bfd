"""Pickling and copying pyql's objects: every class, every protocol, shared
and cyclic trees, and pickles that are malformed or malicious."""

import copy
import io
import pickle
import random
import subprocess
import sys

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
    """Loads nothing but quillet._native.rebuild: a mutated pickle may name any global."""

    def find_class(self, module, name):
        if (module, name) == ("quillet._native", "rebuild"):
            return _native.rebuild
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
