"""The document header (profile line, modules line, metadata block) and the
typing of metadata values."""

import math
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import pyql
from conftest import P, blocks, render, result, scalar

Md, MdStrict = pyql.Profile.Md, pyql.Profile.MdStrict
INT_MAX = 2**63 - 1
INT_MIN = -(2**63)
DBL_MAX = 1.7976931348623157e308
inf = math.inf


def document(src, profile=None):
    res = result(src, profile)
    assert res.errors == []
    return res.document


PROFILES = [
    ("", None, "Quillet", []),
    ("", Md, "Md", []),
    ("@profile md", None, "Md", []),
    ("@profile md\r\n", None, "Md", []),
    ("   @profile   md-strict   ", None, "MdStrict", []),
    ("@profile quillet", Md, "Quillet", []),
    ("@profilemd", None, "Md", []),
    ("@profile\u00a0md\u3000", None, "Md", []),
    ("\n\n@profile md\n\nx", None, "Md", [P(15, 16, "x")]),
    ("@profile MD", MdStrict, "MdStrict", [P(0, 11, "@profile MD")]),
    ("@profile gfm", None, "Quillet", [P(0, 12, "@profile gfm")]),
    ("@profile", None, "Quillet", [P(0, 8, "@profile")]),
    ("\ufeff@profile md", None, "Quillet", [P(0, 14, "\ufeff@profile md")]),
    ("x\n@profile md", None, "Quillet", [P(0, 13, "x\n@profile md")]),
    ("@profile md\n@profile md-strict", None, "Md", [P(12, 30, "@profile md-strict")]),
    ("@modules math\n@profile md", None, "Quillet", [P(14, 25, "@profile md")]),
]


@pytest.mark.parametrize("src, configured, profile, expected", PROFILES)
def test_profile_line(src, configured, profile, expected):
    doc = document(src, configured)
    assert scalar(doc.profile) == profile
    assert [render(b) for b in doc.blocks] == expected


MODULES = [
    ("@modules math, tables ,math,, bogus", ["Math", "Tables", "Math"], []),
    ("@modules", [], []),
    ("@modules tables,footnotes,math,tasks,strikethrough,autolink,html",
     ["Tables", "Footnotes", "Math", "Tasks", "Strikethrough", "Autolink", "Html"], []),
    ("@modules Math, HTML", [], []),
    ("@modulesmath", ["Math"], []),
    ("@modules math\r\n", ["Math"], []),
    ("\u00a0@modules\u00a0math\u00a0,\u3000html", ["Math", "Html"], []),
    ("@profile md\n\n@modules html", ["Html"], []),
    ("@modules math\n@modules html", ["Math"], [P(14, 27, "@modules html")]),
    ("x\n@modules math", [], [P(0, 15, "x\n@modules math")]),
]


@pytest.mark.parametrize("src, modules, expected", MODULES)
def test_modules_line(src, modules, expected):
    doc = document(src)
    assert [scalar(m) for m in doc.modules] == modules
    assert blocks(src) == expected


METADATA = [
    ("--- meta ---\ntitle: A: B\npublic: true\n---",
     {"title": "A: B", "public": True}, []),
    ("---meta\na: 1\n---", {"a": 1}, []),
    ("----- metadata -----\na: 1\n---", {"a": 1}, []),
    ("--- meta ---\n---", {}, []),
    ("--- meta ---", {}, []),
    ("--- meta ---\na:b\n---", {"a": "b"}, []),
    ("--- meta ---\nk:\n---", {"k": ""}, []),
    ("--- meta ---\n: x\n---", {"": "x"}, []),
    ("--- meta ---\nno colon here\n\n---", {}, []),
    ("--- meta ---\n  key  :   value  \n---", {"key": "value"}, []),
    ("--- meta ---\nk:\u00a0v\u00a0\n\u3000k2\u3000:x\n---", {"k": "v", "k2": "x"}, []),
    ("--- meta ---\nvoilà: voilà\nÅ: Å\n---", {"voilà": "voilà", "Å": "Å"}, []),
    ("--- meta ---\n@profile md: x\n---", {"@profile md": "x"}, []),
    ("--- meta ---\na: 1\n----\nb: 2\n---", {"a": 1, "b": 2}, []),
    ("--- meta ---\n  ---  \nx", {}, [P(21, 22, "x")]),
    ("--- meta ---\r\na: 1\r\n---\r\nx", {"a": 1}, [P(25, 26, "x")]),
    # a block never closed swallows the rest, directive lines included
    ("--- meta ---\na: 1\n\n# h\nb: 2\n::note\n", {"a": 1, "b": 2, "": ":note"}, []),
    ("--- metadata\na: b: c", {"a": "b: c"}, []),
    # only at the top of the document, after the profile and modules lines
    ("@profile md\n@modules math\n\n--- meta ---\na: b\n---\n\nx", {"a": "b"}, [P(50, 51, "x")]),
    ("--- Meta ---\na: 1\n---", None, [P(0, 17, "--- Meta ---\na: 1"), "(ThematicBreak 18..21)"]),
    ("x\n--- meta ---\na: 1\n---", None, [P(0, 19, "x\n--- meta ---\na: 1"), "(ThematicBreak 20..23)"]),
    ("--- meta ---\na: 1\n---\n--- meta ---\nb: 2\n---",
     {"a": 1}, [P(22, 39, "--- meta ---\nb: 2"), "(ThematicBreak 40..43)"]),
]


@pytest.mark.parametrize("src, metadata, expected", METADATA)
def test_metadata_block(src, metadata, expected):
    doc = document(src)
    assert doc.metadata == metadata
    assert blocks(src) == expected


def test_duplicate_keys_keep_first_position_and_last_value():
    doc = document("--- meta ---\na: 1\nb: 2\na: 3\n---")
    assert list(doc.metadata.items()) == [("a", 3), ("b", 2)]


@pytest.mark.parametrize("src", ["", "\n\n", " \t\n", "é\n", "# a\r\n"])
def test_document_span_covers_the_input(src):
    span = document(src).span
    assert (span.start, span.end) == (0, len(src.encode()))


# Metadata value typing.

def value(text):
    return document(f"--- meta ---\nk: {text}\n---").metadata["k"]


def typed(v):
    """A value with its exact type; floats by their bits."""
    if isinstance(v, list):
        return ("list", [typed(x) for x in v])
    if isinstance(v, float):
        return ("float", v.hex())
    return (type(v).__name__, v)


VALUES = [
    # booleans
    ("true", True), ("false", False), ("True", "True"), ("TRUE", "TRUE"), ("yes", "yes"),
    # integers
    ("0", 0), ("1", 1), ("007", 7), ("-0", 0), ("+5", 5),
    ("9223372036854775807", INT_MAX), ("9223372036854775806", INT_MAX - 1),
    ("+9223372036854775807", INT_MAX), ("-9223372036854775808", INT_MIN),
    ("-9223372036854775807", INT_MIN + 1),
    ("0000000000000000000009223372036854775807", INT_MAX),
    ("-000000000000000000009223372036854775808", INT_MIN),
    ("9223372036854775808", "9223372036854775808"),
    ("+9223372036854775808", "+9223372036854775808"),
    ("-9223372036854775809", "-9223372036854775809"),
    ("18446744073709551616", "18446744073709551616"),
    ("18446744073709551617", "18446744073709551617"),
    ("-18446744073709551617", "-18446744073709551617"),
    ("99999999999999999999", "99999999999999999999"),
    ("+", "+"), ("-", "-"), ("+-1", "+-1"), ("--1", "--1"), ("1_000", "1_000"),
    ("0x10", "0x10"), ("1e3", "1e3"), ("١٢", "١٢"), ("1 2", "1 2"), ("5-", "5-"),
    # floats
    ("3.0", 3.0), ("1.5", 1.5), ("-.5", -0.5), ("+.5", 0.5), ("+2.", 2.0), ("0.", 0.0),
    ("1.e3", 1000.0), ("6.02E23", 6.02e23), (".5e-3", 0.0005), ("1.5E+2", 150.0),
    ("0.1", 0.1), ("-0.0", -0.0),
    ("1.0e999", inf), ("-1.0e999", -inf), ("1.0e-999", 0.0), ("-1.0e-999", -0.0),
    ("1.0e+99999999999999999999", inf), ("1.0e-99999999999999999999", 0.0),
    ("0.0e99999999999999999999", 0.0), ("-0.0e99999999999999999999", -0.0),
    ("4.9e-324", 5e-324), ("2.4703282292062328e-324", 5e-324),
    ("2.4703282292062327e-324", 0.0), ("-2.4703282292062327e-324", -0.0),
    ("1.7976931348623157e308", DBL_MAX), ("1.7976931348623158e308", DBL_MAX),
    ("1.7976931348623159e308", inf),
    ("2.2250738585072011e-308", 2.225073858507201e-308),
    ("2.2250738585072012e-308", 2.2250738585072014e-308),
    ("9007199254740993.0", 9007199254740992.0),
    ("0." + "0" * 400 + "1e400", 0.1),
    ("1" + "0" * 400 + ".0e-400", 1.0),
    ("1" + "0" * 400 + ".5", inf),
    # not floats
    (".", "."), ("-.", "-."), (".e1", ".e1"), ("1.5e", "1.5e"), ("1.5e+", "1.5e+"),
    ("1e5", "1e5"), ("-1e-999", "-1e-999"), ("inf", "inf"), ("-inf", "-inf"),
    ("nan", "nan"), ("Infinity", "Infinity"), ("0x1p3", "0x1p3"), ("0x1.8p3", "0x1.8p3"),
    ("1_0.5", "1_0.5"), ("1.2.3", "1.2.3"), ("1..5", "1..5"), ("1.5f", "1.5f"),
    ("1,5", "1,5"), ("1.5e1.5", "1.5e1.5"), ("1.5 e3", "1.5 e3"), ("++1.5", "++1.5"),
    ("١.٥", "١.٥"), ("\u22121.5", "\u22121.5"),
    # quoted strings
    ('"true"', "true"), ("'42'", "42"), ('"1.5"', "1.5"), ("'[1]'", "[1]"),
    ('"a b"', "a b"), ('" padded "', " padded "), ("''", ""), ('""', ""),
    ("'it's'", "it's"), ('"a\\nb"', "a\\nb"), ('"\'"', "'"),
    ('"', '"'), ("'", "'"), ("'x\"", "'x\""),
    # lists
    ("[]", []), ("[ , ,]", []), ("[1,]", [1]),
    ("[1, two, 3.5, true]", [1, "two", 3.5, True]),
    ("[-0, 007, +5, 9223372036854775808]", [0, 7, 5, "9223372036854775808"]),
    ("[1.0e999, -0.0]", [inf, -0.0]),
    ("[ 'true' ]", ["true"]),
    ("['a, b', c]", ["a, b", "c"]),
    ("['a','b']", ["a", "b"]),
    ('["[1, 2]", 3]', ["[1, 2]", 3]),
    ("[don't, stop]", ["don't, stop"]),
    ("['x\", y]", ["'x\"", "y"]),
    ("['a\", \"b']", ["'a\"", "\"b'"]),
    ('["a, b]', ['"a, b']),
    ("[\u00a0x\u00a0]", ["x"]), ("[a,\u00a0,b]", ["a", "b"]),
    ("[[1], [2]]", [[1], [2]]), ("[[1, 2], 3]", ["[1", "2]", 3]),
    ("[[]]", [[]]), ("[[[1]]]", [[[1]]]),
    ("[a] [b]", ["a] [b"]), ("[]]", ["]"]),
    ("[", "["), ("[a", "[a"), ("]", "]"), ("a]", "a]"),
]


@pytest.mark.parametrize("text, expected", VALUES)
def test_value_typing(text, expected):
    assert typed(value(text)) == typed(expected)


def test_zero_keeps_its_sign():
    assert math.copysign(1.0, value("-1.0e-999")) == -1.0
    assert math.copysign(1.0, value("1.0e-999")) == 1.0
    assert math.copysign(1.0, value("-0.0")) == -1.0


DIGITS = "0123456789"


@st.composite
def decimal_texts(draw):
    """Texts of the float grammar: sign, digits with a point, exponent."""
    sign = draw(st.sampled_from(["", "+", "-"]))
    whole = draw(st.text(DIGITS, max_size=30))
    frac = draw(st.text(DIGITS, min_size=0 if whole else 1, max_size=30))
    text = f"{sign}{whole}.{frac}"
    if draw(st.booleans()):
        digits = draw(st.integers(0, 400).map(str) | st.text(DIGITS, min_size=1, max_size=25))
        text += draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "+", "-"])) + digits
    return text


@settings(max_examples=500, deadline=None)
@given(decimal_texts())
def test_floats_are_correctly_rounded(text):
    assert typed(value(text)) == ("float", float(text).hex())


@settings(max_examples=300, deadline=None)
@given(st.integers(-(2**64), 2**64), st.sampled_from(["", "+", "0", "000"]))
def test_integers_in_range_and_out(n, prefix):
    sign = "-" if n < 0 else "+" if prefix == "+" else ""
    zeros = "" if prefix == "+" else prefix
    text = sign + zeros + str(abs(n))
    expected = n if INT_MIN <= n <= INT_MAX else text
    assert typed(value(text)) == typed(expected)


DEEP_LIST = """
import pyql
depth = 100_000
doc = pyql.parse("--- meta ---\\nk: " + "[" * depth + "1" + "]" * depth + "\\n---")
v = doc.metadata["k"]
for _ in range(depth):
    assert type(v) is list and len(v) == 1, repr(v)[:80]
    v = v[0]
assert type(v) is int and v == 1, v
print("ok")
"""


def test_deeply_nested_list_value():
    # in a child process: a stack overflow must fail the test, not the run
    proc = subprocess.run([sys.executable, "-c", DEEP_LIST],
                          capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout.strip()) == (0, "ok"), proc.stderr[-2000:]
