"""The pyql module from Python: registration, classes, argument checking,
entry points, node attributes, Document behaviour, cycles and memory."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

import pyql
from conftest import SINK, walk
from pyql import Profile

NAMES = [
    "Span", "Profile", "ModuleKind", "Parser", "Document", "ParseResult",
    "ParseErrorKind", "ParseError", "Heading", "Paragraph", "List", "ListItem",
    "ListKind", "CodeBlock", "Callout", "Quote", "Figure", "Table", "TableRow",
    "TableCell", "Footnotes", "FootnoteDef", "MathBlock", "ThematicBreak",
    "HtmlBlock", "RawBlock", "Text", "Emphasis", "Strong", "Strikethrough",
    "CodeSpan", "Link", "AutoLink", "FootnoteRef", "HardBreak", "SoftBreak",
    "parse", "parse_with_recovery",
]
CLASSES = NAMES[:36]

# Every attribute of every node class, in declaration order: "s" stored (the
# same object on every read), "c" computed (a new object on every read).
ATTRS = {
    "Document": "profile:c modules:c metadata:s blocks:s span:c",
    "Heading": "level:c content:s span:c",
    "Paragraph": "content:s span:c",
    "List": "kind:c start:c items:s span:c",
    "ListItem": "blocks:s span:c",
    "CodeBlock": "lang:c content:c span:c",
    "Callout": "kind:c title:c blocks:s span:c",
    "Quote": "blocks:s span:c",
    "Figure": "src:c alt:c caption:c span:c",
    "Table": "rows:s span:c",
    "TableRow": "cells:s header:c span:c",
    "TableCell": "content:s span:c",
    "Footnotes": "defs:s span:c",
    "FootnoteDef": "label:c blocks:s span:c",
    "MathBlock": "display:c content:c span:c",
    "ThematicBreak": "span:c",
    "HtmlBlock": "content:c span:c",
    "RawBlock": "content:c span:c",
    "Text": "content:c span:c",
    "Emphasis": "content:s span:c",
    "Strong": "content:s span:c",
    "Strikethrough": "content:s span:c",
    "CodeSpan": "content:c span:c",
    "Link": "label:s url:c title:c span:c",
    "AutoLink": "url:c span:c",
    "FootnoteRef": "label:c span:c",
    "HardBreak": "span:c",
    "SoftBreak": "span:c",
}
ATTRS = {k: [tuple(a.split(":")) for a in v.split()] for k, v in ATTRS.items()}

DOCS = {
    "Document": "A parsed Quillet document.",
    "Heading": "Section heading.", "Paragraph": "Text paragraph.",
    "List": "Ordered or unordered list.", "ListItem": "List item.",
    "CodeBlock": "Fenced code block.", "Callout": "Callout/admonition.",
    "Quote": "Block quote.", "Figure": "Figure with image.",
    "Table": "Data table.", "TableRow": "Table row.", "TableCell": "Table cell.",
    "Footnotes": "Footnotes container.", "FootnoteDef": "Footnote definition.",
    "MathBlock": "Math block.", "ThematicBreak": "Thematic break (horizontal rule).",
    "HtmlBlock": "Raw HTML block.", "RawBlock": "Unparsed block (error recovery).",
    "Text": "Plain text.", "Emphasis": "Emphasis (italic).",
    "Strong": "Strong (bold).", "Strikethrough": "Strikethrough.",
    "CodeSpan": "Inline code.", "Link": "Hyperlink.",
    "AutoLink": "Auto-detected URL.", "FootnoteRef": "Footnote reference.",
    "HardBreak": "Hard line break.", "SoftBreak": "Soft line break.",
    "Span": "Source location in the input text (byte offsets).",
    "ParseError": "A parse error.",
    "ParseResult": "Result of parsing with error recovery.",
    "Profile": "Parsing profile.", "ListKind": "List kind.",
    "ModuleKind": "Parser module.", "ParseErrorKind": "Parse error category.",
    "Parser": "Quillet parser.\n\nArgs:\n    profile: Profile.Quillet (default), "
              "Profile.Md, or Profile.MdStrict",
}


def plain(value):
    """A value comparable by ==: spans compare by identity, so use their offsets."""
    return (value.start, value.end) if isinstance(value, pyql.Span) else value


def sink_nodes():
    return list(walk(pyql.parse_with_recovery(SINK).document))


def by_class():
    found = {}
    for node in sink_nodes():
        found.setdefault(type(node).__name__, node)
    return found


# ------------------------------------------------------------------ the module


def test_registration_order():
    assert [k for k in vars(pyql) if not k.startswith("__")] == NAMES


def test_module_docstring():
    assert pyql.__doc__ == "Quillet - Deterministic document parser for AI agents."


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(pyql, name)
    assert isinstance(cls, type)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", sorted(DOCS))
def test_class_docstrings(name):
    assert getattr(pyql, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("name", [n for n in CLASSES if n != "Parser"])
def test_classes_cannot_be_constructed(name):
    cls = getattr(pyql, name)
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as err:
            cls(*args, **kwargs)
        assert str(err.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls.__new__(cls)


SIGNATURES = [
    (pyql.parse, "(input, profile=None)",
     "Parse a Quillet string.\n\nArgs:\n    input: Document string to parse\n"
     "    profile: Parsing profile (default: Profile.Quillet)\n\n"
     "Returns:\n    Document: Parsed document\n\nRaises:\n    ValueError: On parse error"),
    (pyql.parse_with_recovery, "(input, profile=None)",
     "Parse with error recovery. Always returns a result.\n\nArgs:\n    input: Document string\n"
     "    profile: Parsing profile (default: Profile.Quillet)\n\n"
     "Returns:\n    ParseResult: Result with document and errors"),
    (pyql.Parser, "(profile=None)", DOCS["Parser"]),
    (pyql.Parser.parse, "(self, input)",
     "Parse a Quillet string. Raises ValueError on error."),
    (pyql.Parser.parse_with_recovery, "(self, input)",
     "Parse with error recovery. Always returns a result."),
]


@pytest.mark.parametrize("obj, signature, doc", SIGNATURES)
def test_text_signatures_and_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


# From 3.10 on the classes are immutable, as CPython's own are.
IMMUTABLE = sys.version_info >= (3, 10)


@pytest.mark.skipif(not IMMUTABLE, reason="classes are mutable before Python 3.10")
@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_immutable(name):
    cls = getattr(pyql, name)
    before = dict(vars(cls))
    # Its own attributes (enumeration members, node attributes, methods),
    # inherited ones, and new ones.
    attrs = [k for k in before if not k.startswith("_")] + ["__new__", "__init__", "__eq__", "__doc__", "extra"]
    for attr in attrs:
        for change in (lambda: setattr(cls, attr, 5), lambda: delattr(cls, attr)):
            with pytest.raises(TypeError, match=f"^cannot set '{attr}' attribute of immutable type"):
                change()
    assert dict(vars(cls)) == before
    with pytest.raises(TypeError):
        setattr(pyql.Profile.Md, "__class__", pyql.ListKind)
    doc = pyql.parse("::list\n- a\n::\n", Profile.Md)
    assert doc.profile == Profile.Md != 0 and doc.blocks[0].kind == pyql.ListKind.Unordered


@pytest.mark.skipif(IMMUTABLE, reason="__new__ cannot be replaced from Python 3.10 on")
def test_objects_made_around_the_constructor_are_safe():
    # Python code may replace a class's __new__ and get an object that no
    # conversion filled in: every attribute, repr and str must still work.
    code = textwrap.dedent("""
        import pyql
        for name in %r:
            cls = getattr(pyql, name)
            cls.__new__ = lambda c: object.__new__(c)
            obj = cls()
            for attr in dir(obj):
                if not attr.startswith("__"):
                    getattr(obj, attr)
            repr(obj), str(obj)
            if name == "Document":
                assert len(obj) == 0 and obj.blocks is None
        print("ok")
    """ % CLASSES)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout == "ok\n", out.stderr[-2000:]


def test_reimport_keeps_the_classes():
    code = textwrap.dedent("""
        import importlib, sys
        import pyql
        first = pyql
        del sys.modules["pyql"]
        import pyql
        assert pyql.Span is first.Span and pyql.Profile is first.Profile
        assert importlib.reload(pyql).Document is first.Document
        doc = pyql.parse("a", pyql.Profile.Md)
        assert type(doc) is first.Document and doc.profile == first.Profile.Md
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout == "ok\n", out.stderr


# --------------------------------------------------------------- arguments

P = pyql.Parser()

CALLABLES = {
    "parse()": pyql.parse,
    "parse_with_recovery()": pyql.parse_with_recovery,
    "Parser.__new__()": pyql.Parser,
    "Parser.parse()": P.parse,
    "Parser.parse_with_recovery()": P.parse_with_recovery,
}
FUNCTIONS = ["parse()", "parse_with_recovery()"]
METHODS = ["Parser.parse()", "Parser.parse_with_recovery()"]


class Outer:
    class Inner:
        pass


def conv(param, type_name, target):
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


ARG_ERRORS = [
    *[(fn, (), {}, "FN missing 1 required positional argument: 'input'") for fn in FUNCTIONS + METHODS],
    *[(fn, (), {"profile": None}, "FN missing 1 required positional argument: 'input'") for fn in FUNCTIONS],
    *[(fn, ("a", None, None), {}, "FN takes from 1 to 2 positional arguments but 3 were given")
      for fn in FUNCTIONS],
    ("Parser.__new__()", (None, None), {}, "FN takes from 0 to 1 positional arguments but 2 were given"),
    *[(fn, ("a", "b"), {}, "FN takes 1 positional arguments but 2 were given") for fn in METHODS],
    *[(fn, ("a",), {"bogus": 1}, "FN got an unexpected keyword argument 'bogus'") for fn in FUNCTIONS + METHODS],
    *[(fn, ("a",), {"profile": None}, "FN got an unexpected keyword argument 'profile'") for fn in METHODS],
    ("Parser.__new__()", (), {"input": "a"}, "FN got an unexpected keyword argument 'input'"),
    ("Parser.__new__()", (), {"Profile": None}, "FN got an unexpected keyword argument 'Profile'"),
    *[(fn, ("a",), {"input": "b"}, "FN got multiple values for argument 'input'") for fn in FUNCTIONS + METHODS],
    *[(fn, ("a", None), {"profile": None}, "FN got multiple values for argument 'profile'") for fn in FUNCTIONS],
    ("Parser.__new__()", (None,), {"profile": None}, "FN got multiple values for argument 'profile'"),
    *[(fn, (1,), {}, conv("input", "int", "PyString")) for fn in FUNCTIONS + METHODS],
    *[(fn, (), {"input": b"a"}, conv("input", "bytes", "PyString")) for fn in FUNCTIONS + METHODS],
    *[(fn, (None,), {}, conv("input", "NoneType", "PyString")) for fn in FUNCTIONS + METHODS],
    *[(fn, (Outer.Inner(),), {}, conv("input", "Outer.Inner", "PyString")) for fn in FUNCTIONS + METHODS],
    *[(fn, ("a", "md"), {}, conv("profile", "str", "Profile")) for fn in FUNCTIONS],
    *[(fn, ("a",), {"profile": 1}, conv("profile", "int", "Profile")) for fn in FUNCTIONS],
    *[(fn, ("a", pyql.ListKind.Ordered), {}, conv("profile", "ListKind", "Profile")) for fn in FUNCTIONS],
    *[(fn, ("a", Profile), {}, conv("profile", "type", "Profile")) for fn in FUNCTIONS],
    ("Parser.__new__()", ("md",), {}, conv("profile", "str", "Profile")),
    ("Parser.__new__()", (pyql.ModuleKind.Html,), {}, conv("profile", "ModuleKind", "Profile")),
    # the order of the checks: count, then keywords in order, then a missing input, then types
    ("parse()", (1, 2, 3), {"bogus": 1}, "FN takes from 1 to 2 positional arguments but 3 were given"),
    ("parse()", (1,), {"bogus": 1, "input": 2}, "FN got an unexpected keyword argument 'bogus'"),
    ("parse()", (1,), {"input": 2, "bogus": 1}, "FN got multiple values for argument 'input'"),
    ("parse()", (), {"profile": "md", "bogus": 1}, "FN got an unexpected keyword argument 'bogus'"),
    ("parse()", (), {"profile": "md"}, "FN missing 1 required positional argument: 'input'"),
    ("parse()", (1, "md"), {}, conv("input", "int", "PyString")),
    ("Parser.parse()", (1, 2), {"x": 1}, "FN takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", ARG_ERRORS)
def test_argument_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        CALLABLES[fn](*args, **kwargs)
    assert str(err.value) == message.replace("FN", fn)


def test_unbound_method_counts_positional_arguments_without_self():
    with pytest.raises(TypeError, match=r"^Parser\.parse\(\) takes 1 positional arguments but 2 were given$"):
        pyql.Parser.parse(P, "a", "b")


class Text(str):
    pass


@pytest.mark.parametrize("call", [
    lambda s: pyql.parse(s),
    lambda s: pyql.parse(input=s),
    lambda s: pyql.parse(s, None),
    lambda s: pyql.parse(profile=None, input=s),
    lambda s: pyql.parse(**{"".join(["in", "put"]): s}),  # a keyword built at run time
    lambda s: pyql.parse_with_recovery(s).document,
    lambda s: pyql.Parser().parse(s),
    lambda s: pyql.Parser(None).parse(input=s),
    lambda s: pyql.Parser(profile=None).parse_with_recovery(input=s).document,
])
@pytest.mark.parametrize("text", ["*a* b", Text("*a* b")])
def test_accepted_calls(call, text):
    doc = call(text)
    assert doc.profile == Profile.Quillet
    assert [type(n).__name__ for n in doc.blocks[0].content] == ["Emphasis", "Text"]


@pytest.mark.parametrize("profile", ["Quillet", "Md", "MdStrict"])
def test_profile_is_recorded(profile):
    member = getattr(Profile, profile)
    docs = [pyql.parse("a", member), pyql.parse("a", profile=member),
            pyql.parse_with_recovery("a", member).document,
            pyql.Parser(member).parse("a"), pyql.Parser(profile=member).parse_with_recovery("a").document]
    assert all(d.profile == member for d in docs)
    assert repr(pyql.Parser(member)) == f"Parser(profile={profile})"
    # the document's own profile line wins over the argument
    assert pyql.parse("@profile md-strict\n", member).profile == Profile.MdStrict


def test_parser_has_no_attributes():
    p = pyql.Parser(Profile.Md)
    assert repr(pyql.Parser()) == "Parser(profile=Quillet)"
    assert not hasattr(p, "profile") and not hasattr(p, "__dict__")
    with pytest.raises(AttributeError):
        p.profile = Profile.Quillet


@pytest.mark.parametrize("call", [
    pyql.parse, pyql.parse_with_recovery, P.parse, P.parse_with_recovery,
])
@pytest.mark.parametrize("text", ["ok \ud800 ok", "\udfff", "é" * 40 + "\ud800", "😀" * 40 + "\udc00 x"])
def test_lone_surrogate_raises_unicode_encode_error(call, text):
    with pytest.raises(UnicodeEncodeError) as info:
        call(text)
    assert info.value.start == text.index(next(c for c in text if "\ud800" <= c <= "\udfff"))


# Strings of every storage width (Latin-1, two bytes, four bytes), with ASCII runs long enough for
# the encoder's sixteen-at-a-time copy to start and stop anywhere.
@pytest.mark.parametrize("alphabet", ["ab *`é\xff", "ab *`\u07ff\u0800ア\uffff", "ab *`é😀\U0010ffff", "ab *`\x7f\x80"])
def test_text_of_every_str_width_keeps_its_bytes(alphabet):
    import random
    rng = random.Random(alphabet)
    for _ in range(300):
        text = "".join(rng.choice(alphabet) * rng.choice([1, 1, 3, 17]) for _ in range(rng.randint(0, 30)))
        data = text.encode()
        doc = pyql.parse_with_recovery(text).document
        assert doc.span.end == len(data)
        for block in doc.blocks:
            for node in block.content:
                if type(node).__name__ == "Text":
                    assert node.content == data[node.span.start:node.span.end].decode()


# A character that is not ASCII (of each UTF-8 length, in a str of each width) after and before ASCII runs of
# every length around the encoder's sixteen-unit steps, and a lone surrogate at every place of such a run.
@pytest.mark.parametrize("wide, widest", [
    ("\x80", ""), ("\xff", ""), ("é", "\u0100"), ("\u07ff", ""), ("\u0800", ""), ("ア", "😀"), ("\uffff", ""),
    ("\U00010000", ""), ("😀", ""), ("\U0010ffff", "é"),
])
def test_ascii_runs_at_every_alignment_around_a_wide_character(wide, widest):
    for before in range(35):
        for after in (0, 1, 2, 14, 15, 16, 17, 31, 32, 33):
            for line in ("a" * before + wide + "b" * after + widest, "a" * before + wide * 3 + "b" * after + widest):
                [para] = pyql.parse(line).blocks
                [text] = para.content
                assert (text.content, text.span.end) == (line, len(line.encode()))
        bad = "a" * before + widest + "\ud800" + "b" * 20
        with pytest.raises(UnicodeEncodeError) as caught:
            pyql.parse(bad)
        assert caught.value.start == before + len(widest)


def test_parsing_caches_nothing_in_the_str():
    text = "é *a* " * 1000
    size = sys.getsizeof(text)
    pyql.parse(text)
    assert sys.getsizeof(text) == size


def test_nul_is_ordinary_text():
    [para] = pyql.parse("a\0b").blocks
    [text] = para.content
    assert (text.content, text.span.start, text.span.end) == ("a\0b", 0, 3)


def test_spans_count_utf8_bytes():
    [para] = pyql.parse("é *a*").blocks
    text, emphasis = para.content
    assert (text.content, text.span.start, text.span.end) == ("é ", 0, 3)
    assert (type(emphasis).__name__, emphasis.span.start, emphasis.span.end) == ("Emphasis", 3, 6)
    assert pyql.parse("日本\n").span.end == 7


TWO_PROBLEMS = "::nope\nbody\n::\n\npara\n\n::Other x\n::\n"


@pytest.mark.parametrize("call", [pyql.parse, P.parse, pyql.Parser(Profile.Md).parse])
def test_parse_raises_with_the_first_error_only(call):
    with pytest.raises(ValueError) as err:
        call(TWO_PROBLEMS)
    assert err.value.args == ("unknown directive: nope at bytes 0..6",)


@pytest.mark.parametrize("call", [pyql.parse_with_recovery, P.parse_with_recovery])
def test_parse_with_recovery_keeps_every_error_and_block(call):
    res = call(TWO_PROBLEMS)
    assert [str(e) for e in res.errors] == [
        "unknown directive: nope at bytes 0..6",
        "unknown directive: Other at bytes 22..31",
    ]
    assert [type(b).__name__ for b in res.document.blocks] == ["RawBlock", "Paragraph", "RawBlock"]


@pytest.mark.skipif(os.environ.get("PYQL_BIG_INPUT_TESTS") != "1",
                    reason="needs about 4.5 GiB of memory; set PYQL_BIG_INPUT_TESTS=1 to run")
def test_input_of_4_gib_is_refused():
    big = "a" * (1 << 32)  # ASCII: the UTF-8 form shares the str's own buffer
    for call in (pyql.parse, pyql.parse_with_recovery, P.parse, P.parse_with_recovery):
        with pytest.raises(ValueError, match="^input too large"):
            call(big)


# ------------------------------------------------------------------- nodes


def test_sink_covers_every_node_class():
    produced = set(by_class())
    assert produced == set(ATTRS) - {"HardBreak", "SoftBreak"}


@pytest.mark.parametrize("name", sorted(set(ATTRS) - {"HardBreak", "SoftBreak"}))
def test_attributes_stored_or_computed_and_read_only(name):
    node = by_class()[name]
    declared = [a for a in type(node).__dict__ if not a.startswith("_")]
    assert declared == [a for a, _ in ATTRS[name]]
    for attr, form in ATTRS[name]:
        first, second = getattr(node, attr), getattr(node, attr)
        assert plain(first) == plain(second)
        if form == "s":
            assert first is second
        elif isinstance(first, (list, pyql.Span, pyql.Profile, pyql.ListKind)) or (
                isinstance(first, str) and len(first) > 1):
            assert first is not second
        with pytest.raises(AttributeError):
            setattr(node, attr, first)
        with pytest.raises(AttributeError):
            delattr(node, attr)
    with pytest.raises(AttributeError):
        node.extra = 1
    assert not hasattr(node, "__dict__")
    assert repr(node).startswith(f"<builtins.{name} object at 0x") or name == "Document"


def test_attribute_values_of_the_sink():
    nodes = by_class()
    code, math = nodes["CodeBlock"], nodes["MathBlock"]
    assert (code.lang, code.content, math.display, math.content) == ("py", "code", False, "x^2")
    assert nodes["Heading"].level == 1
    assert nodes["Link"].url == "http://u" and nodes["Link"].title is None
    assert [t.content for t in nodes["Link"].label] == ["label"]
    assert nodes["FootnoteRef"].label == "nn"
    assert (nodes["AutoLink"].url, nodes["HtmlBlock"].content) == ("http://auto", "<b>")
    assert nodes["RawBlock"].content == "raw text"
    assert nodes["Document"].modules == [pyql.ModuleKind.Html, pyql.ModuleKind.Math]
    assert all(type(m) is pyql.ModuleKind for m in nodes["Document"].modules)


def test_attribute_values_of_the_containers():
    nodes = by_class()
    lst, fig = nodes["List"], nodes["Figure"]
    assert (type(lst.kind), lst.kind, lst.start) == (pyql.ListKind, pyql.ListKind.Ordered, 3)
    assert lst.kind is not pyql.ListKind.Ordered
    assert (fig.src, fig.alt, fig.caption) == ("a.png", "xy", "cap")
    assert (nodes["Callout"].kind, nodes["Callout"].title) == ("tip", "A title")
    assert nodes["TableRow"].header is True
    assert nodes["FootnoteDef"].label == "nn"


@pytest.mark.parametrize("src, start", [
    ("::list start=18446744073709551615\n- a\n::\n", 2**64 - 1),
    ("::list start=9223372036854775808\n- a\n::\n", 2**63),
    ("::list start=0\n- a\n::\n", 0),
    ("::list\n- a\n::\n", None),
])
def test_list_start_is_unsigned_64_bit(src, start):
    assert pyql.parse(src).blocks[0].start == start


def test_absent_optional_texts_are_none():
    callout, figure = pyql.parse("::callout\nx\n::\n::figure src=a\n").blocks
    assert (callout.kind, callout.title) == ("note", None)
    assert (figure.alt, figure.caption) == ("", None)


# ---------------------------------------------------------------- Document

METADATA = [
    ("--- meta ---\na: 1\nb: x\na: 2\n---\n", {"a": 2, "b": "x"}),
    ("--- meta ---\n---\n", {}),
    ("--- meta ---\nv: [1, two, 3.5, true, [x]]\n---\n", {"v": [1, "two", 3.5, True, ["x"]]}),
    ("--- meta ---\nn: -9223372036854775808\nm: 9223372036854775807\nf: 1.0e999\n---\n",
     {"n": -2**63, "m": 2**63 - 1, "f": float("inf")}),
    ("--- meta ---\nk: [[1], [2]]\ne: \n: empty key\n---\n", {"k": [[1], [2]], "e": "", "": "empty key"}),
    ("--- meta ---\nü: 'ß'\n---\n", {"ü": "ß"}),
]


@pytest.mark.parametrize("src, expected", METADATA)
def test_metadata(src, expected):
    meta = pyql.parse(src).metadata
    assert meta == expected
    assert list(meta) == list(expected)
    assert all(type(v) is type(expected[k]) for k, v in meta.items())


def test_metadata_nested_a_million_deep():
    code = textwrap.dedent("""
        import pyql
        n = 1_000_000
        doc = pyql.parse("--- meta ---\\nk: " + "[" * n + "1" + "]" * n + "\\n---\\n")
        value = doc.metadata["k"]
        for _ in range(n):
            assert type(value) is list and len(value) == 1
            value = value[0]
        assert value == 1
        del doc, value
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.stdout == "ok\n", out.stderr[-2000:]


def test_document_len_bool_repr_follow_the_block_list():
    doc = pyql.parse("")
    assert (len(doc), bool(doc), repr(doc)) == (0, False, "Document(profile=Quillet, blocks=0, metadata=false)")
    assert (doc.metadata, doc.modules, doc.span.start, doc.span.end) == (None, [], 0, 0)
    doc.blocks.append("anything")
    doc.blocks.append(None)
    assert (len(doc), bool(doc)) == (2, True)
    assert repr(doc) == "Document(profile=Quillet, blocks=2, metadata=false)"
    meta = pyql.parse("--- meta ---\n---\n# a\n", Profile.Md)
    assert repr(meta) == "Document(profile=Md, blocks=1, metadata=true)"
    meta.blocks.clear()
    assert repr(meta) == "Document(profile=Md, blocks=0, metadata=true)"


def test_document_is_not_a_sequence():
    doc = pyql.parse("a\n\nb\n")
    with pytest.raises(TypeError):
        iter(doc)
    with pytest.raises(TypeError):
        doc[0]
    assert hash(doc) == hash(doc) and doc != pyql.parse("a\n\nb\n")


# ------------------------------------------------------- cycles and memory


def live_instances():
    """How many instances of pyql's collectable classes exist."""
    kinds = tuple(getattr(pyql, n) for n in CLASSES)
    return sum(1 for o in gc.get_objects() if isinstance(o, kinds))


def self_reference_everywhere():
    res = pyql.parse_with_recovery(SINK)
    for node in list(walk(res.document)):
        for attr, form in ATTRS[type(node).__name__]:
            if form == "s" and isinstance(getattr(node, attr), list):
                getattr(node, attr).append(node)
    res.document.metadata["self"] = res.document
    res.document.blocks.append(res)


CYCLES = {
    "paragraph": lambda: (lambda p: p.content.append(p))(pyql.parse("a").blocks[0]),
    "link label": lambda: (lambda l: l.label.append(l))(pyql.parse("[[a|b]]").blocks[0].content[0]),
    "document": lambda: (lambda d: d.blocks.append(d))(pyql.parse("a")),
    "result": lambda: (lambda r: r.document.blocks.append(r))(pyql.parse_with_recovery("a")),
    "every node": self_reference_everywhere,
}


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_reference_cycles_are_collected(make):
    gc.collect()
    before = live_instances()
    for _ in range(3):
        make()
    assert live_instances() > before
    gc.collect()
    assert live_instances() == before


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_left_as_found(enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        pyql.parse("a *b*")
        pyql.parse_with_recovery("::x\n")
        with pytest.raises(ValueError):
            pyql.parse("::x\n")
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


def touch_everything(src):
    res = pyql.parse_with_recovery(src)
    for node in walk(res.document):
        for attr, _ in ATTRS[type(node).__name__]:
            value = getattr(node, attr)
            repr(value)
    for e in res.errors:
        str(e), repr(e), e.span, e.kind, e.message
    return repr(res)


def test_repeated_parses_do_not_leak():
    # A leak of a single small object per call shows up as 100 more blocks.
    for _ in range(3):
        touch_everything(SINK)
    gc.collect()
    base = sys.getallocatedblocks()
    for _ in range(100):
        touch_everything(SINK)
    gc.collect()
    assert sys.getallocatedblocks() - base < 30


# A document of every construct, and one whose list item holds a text long enough to be converted in batches.
@pytest.mark.parametrize("src", [SINK, "--- meta ---\nk: [1, [2]]\n---\n::list\n- " + "`a` *b* " * 3000 + "\n::\n"],
                         ids=["every construct", "batches"])
def test_allocation_failures_mid_conversion(src):
    pytest.importorskip("_testcapi")
    code = textwrap.dedent("""
        import gc, sys, _testcapi
        import pyql
        src = %r
        def attempt(n):
            _testcapi.set_nomemory(n, 0)
            try:
                return pyql.parse_with_recovery(src)
            except MemoryError:
                return None
            finally:
                _testcapi.remove_mem_hooks()
        for n in range(1, 40):
            attempt(n)
        gc.collect()
        base = sys.getallocatedblocks()
        failures = 0
        for n in range(1, 400):
            failures += attempt(n) is None
        gc.collect()
        print(failures, sys.getallocatedblocks() - base)
    """ % src)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    failures, grown = map(int, out.stdout.split())
    assert failures > 20  # the failing allocation moved through the whole conversion
    assert grown < 50


def test_the_model_quillet_reads_is_pyqls_classes():
    # The tools read the core's description of the model; it must be what pyql's classes are.
    from quillet import _native

    described = {name: (role, fields, children) for name, role, fields, children in _native.NODE_CLASSES}
    assert set(described) == set(ATTRS) - {"Document"}
    for name, (role, fields, children) in described.items():
        assert [(field, "s" if kind == "children" else "c") for field, kind in fields] + [("span", "c")] \
            == ATTRS[name], name
        assert children == next((field for field, kind in fields if kind == "children"), None)
        assert role == ("inline" if NAMES.index(name) >= NAMES.index("Text") else
                        "record" if name in ("ListItem", "TableRow", "TableCell", "FootnoteDef") else "block")
