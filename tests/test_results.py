"""Span, ParseError and ParseResult: values, reprs, str and identity."""

import unicodedata

import pytest

import pyql
from pyql import ParseErrorKind


def first_error(src):
    [error] = pyql.parse_with_recovery(src).errors
    return error


# ------------------------------------------------------------------- Span


def test_span_values_and_repr():
    para = pyql.parse("ab\n\nxyz\n").blocks[1]
    span = para.span
    assert (span.start, span.end, span.len, repr(span)) == (4, 7, 3, "Span(4, 7)")
    empty = pyql.parse("").span
    assert (empty.start, empty.end, empty.len, repr(empty)) == (0, 0, 0, "Span(0, 0)")
    [link] = pyql.parse("x [[|t]]").blocks[0].content[1:]
    assert (link.label[0].span.start, link.label[0].span.len) == (4, 0)


def test_span_is_a_new_identity_object_on_every_read():
    para = pyql.parse("abc").blocks[0]
    a, b = para.span, para.span
    assert a is not b and a != b and a == a
    assert len({a, b, a}) == 2  # hashed by identity
    for attr in ("start", "end", "len"):
        with pytest.raises(AttributeError):
            setattr(a, attr, 1)


# ------------------------------------------------------------- ParseError

ERRORS = [
    ("::nope\n::\n", "unknown directive: nope", "UnknownDirective", (0, 6)),
    ("  ::Nope  arg\n::\n", "unknown directive: Nope", "UnknownDirective", (0, 13)),
    ("::list\n- a\nplain\n::\n", "invalid syntax in list item", "InvalidSyntax", (11, 16)),
    ("::list\n- a\n# h\n", "unclosed ::list", "UnclosedDelimiter", (0, 6)),
    ("@modules html\n::html\n<b>\n", "unclosed HTML block", "UnclosedDelimiter", (14, 20)),
    ("::table\n| a |\n\n", "unclosed ::table", "UnclosedDelimiter", (0, 7)),
]


@pytest.mark.parametrize("src, message, kind, span", ERRORS)
def test_parse_error(src, message, kind, span):
    error = first_error(src)
    assert (error.message, error.kind, error.recoverable) == (message, getattr(ParseErrorKind, kind), True)
    assert type(error.span) is pyql.Span and (error.span.start, error.span.end) == span
    assert str(error) == f"{message} at bytes {span[0]}..{span[1]}"
    assert repr(error) == f'ParseError("{message}", {kind})'
    with pytest.raises(ValueError) as raised:
        pyql.parse(src)
    assert raised.value.args == (str(error),)


def test_parse_error_attributes_are_read_only_and_computed():
    error = first_error("::nope\n::\n")
    assert error.span is not error.span and error.message == error.message
    assert error.message is not error.message
    for attr in ("message", "span", "kind", "recoverable"):
        with pytest.raises(AttributeError):
            setattr(error, attr, None)
    assert not isinstance(error, BaseException)
    assert error == error and error != first_error("::nope\n::\n")
    assert hash(error) == hash(error)


ESCAPES = [
    ('a"b', 'a\\"b'),
    ("a\\b", "a\\\\b"),
    ("a'b", "a'b"),
    ("a\0b", "a\\0b"),
    ("a\x01\x02\x7f", "a\\u{1}\\u{2}\\u{7f}"),
    ("e\u0301", "e\\u{301}"),           # combining acute: a grapheme extender
    ("a\u20dd", "a\\u{20dd}"),          # enclosing circle (Me)
    ("a\u200b", "a\\u{200b}"),          # zero width space: not printable (Cf)
    ("a\u200c", "a\\u{200c}"),          # ZWNJ: both
    ("a\u00ad", "a\\u{ad}"),            # soft hyphen (Cf)
    ("a\ue000", "a\\u{e000}"),          # private use
    ("a\u0378", "a\\u{378}"),           # unassigned
    ("a\U000e0020", "a\\u{e0020}"),     # tag space
    ("a\uff9e", "a\\u{ff9e}"),          # halfwidth voiced mark: extender, though a letter modifier
    ("a\u09be", "a\\u{9be}"),           # spacing mark that extends graphemes
    ("a\u0903", "a\u0903"),             # spacing mark that does not
    ("é日本😀", "é日本😀"),
]


@pytest.mark.parametrize("name, escaped", ESCAPES)
def test_parse_error_repr_escapes(name, escaped):
    error = first_error(f"::{name} arg\n::\n")
    assert error.message == f"unknown directive: {name}"
    assert repr(error) == f'ParseError("unknown directive: {escaped}", UnknownDirective)'
    assert str(error) == f"unknown directive: {name} at bytes 0..{len(name.encode()) + 6}"


@pytest.mark.skipif(unicodedata.unidata_version != "14.0.0", reason="the table follows Unicode 14.0")
def test_every_combining_mark_is_escaped():
    marks = [chr(c) for c in range(0x110000) if unicodedata.category(chr(c)) in ("Mn", "Me")]
    error = first_error("::x" + "".join(marks) + "\n::\n")
    escaped = "".join(f"\\u{{{ord(c):x}}}" for c in marks)
    assert repr(error) == f'ParseError("unknown directive: x{escaped}", UnknownDirective)'


# ------------------------------------------------------------ ParseResult


def test_clean_result():
    res = pyql.parse_with_recovery("# a\n\nb\n")
    assert res.ok is True and res.errors == []
    assert repr(res) == "ParseResult(ok=true, blocks=2, errors=0)"
    empty = pyql.parse_with_recovery("")
    assert empty.ok and repr(empty) == "ParseResult(ok=true, blocks=0, errors=0)"


def test_result_with_errors():
    res = pyql.parse_with_recovery("::a\n::\npara\n\n::b\n::\n")
    assert res.ok is False
    assert repr(res) == "ParseResult(ok=false, blocks=3, errors=2)"
    assert res.document is res.document
    res.document.blocks.pop()
    assert repr(res) == "ParseResult(ok=false, blocks=2, errors=2)"


def test_errors_are_rebuilt_on_every_read():
    res = pyql.parse_with_recovery("::a\n::\n::b\n::\n")
    first = res.errors
    assert first is not res.errors and first[0] is not res.errors[0]
    first.clear()
    assert [e.message for e in res.errors] == ["unknown directive: a", "unknown directive: b"]
    for attr in ("document", "errors", "ok"):
        with pytest.raises(AttributeError):
            setattr(res, attr, None)
