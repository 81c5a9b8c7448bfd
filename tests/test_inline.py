"""Inline text: emphasis, strong, strikethrough, code spans, links, footnote
references and autolinks, with exact byte spans."""

import pytest
from hypothesis import given, settings, strategies as st

import pyql
from conftest import blocks, inlines, q, result

PLAIN = [
    "plain words",
    "* a*", "*a *", "2 * 3 * 4", "*", "**", "***", "****", "** a**", "*a**",
    "~a~", "~~ a~~", "~~", "~~~~", "~~a ~~", "~",
    "`a", "a ` b",
    "[[a]", "[[a", "[a]", "[", "a [ b", "[text](target)", "[^note", "]]",
    "<x>", "<MAILTO:x>", "<a://b c>", "<mailto:a b>", "a < b > c", "<a:/b>",
    "<xmailto:a>", "<x>a://b>", "<a://b",
]


@pytest.mark.parametrize("src", PLAIN)
def test_unmatched_openers_are_text(src):
    assert inlines(src) == f"(Text 0..{len(src.encode())} {q(src)})"


CASES = [
    # emphasis and strong
    ("*a*", '(Emphasis 0..3 (Text 1..2 "a"))'),
    ("**a**", '(Strong 0..5 (Text 2..3 "a"))'),
    ("**a*", '(Text 0..1 "*") (Emphasis 1..4 (Text 2..3 "a"))'),
    ("***a***", '(Strong 0..6 (Text 2..4 "*a")) (Text 6..7 "*")'),
    ("a*b*c", '(Text 0..1 "a") (Emphasis 1..4 (Text 2..3 "b")) (Text 4..5 "c")'),
    ("*a*b*", '(Emphasis 0..3 (Text 1..2 "a")) (Text 3..5 "b*")'),
    ("**a*b**", '(Strong 0..7 (Text 2..5 "a*b"))'),
    ("**a**b**", '(Strong 0..5 (Text 2..3 "a")) (Text 5..8 "b**")'),
    ("**a** **b**",
     '(Strong 0..5 (Text 2..3 "a")) (Text 5..6 " ") (Strong 6..11 (Text 8..9 "b"))'),
    ("*\ta*", r'(Emphasis 0..4 (Text 1..3 "\ta"))'),
    ("**\ta**", r'(Strong 0..6 (Text 2..4 "\ta"))'),
    # a closer after a space is skipped; the first suitable closer wins
    ("*a *b*", '(Emphasis 0..6 (Text 1..5 "a *b"))'),
    ("*a *b* c*", '(Emphasis 0..6 (Text 1..5 "a *b")) (Text 6..9 " c*")'),
    ("**a **b**", '(Strong 0..9 (Text 2..7 "a **b"))'),
    ("*a **b** c*",
     '(Emphasis 0..11 (Text 1..3 "a ") (Strong 3..8 (Text 5..6 "b")) (Text 8..10 " c"))'),
    ("*a**b**c*",
     '(Emphasis 0..9 (Text 1..2 "a") (Strong 2..7 (Text 4..5 "b")) (Text 7..8 "c"))'),
    ("**a*b*c**",
     '(Strong 0..9 (Text 2..3 "a") (Emphasis 3..6 (Text 4..5 "b")) (Text 6..7 "c"))'),
    # strikethrough
    ("~~a~~", '(Strikethrough 0..5 (Text 2..3 "a"))'),
    ("~~~a~~", '(Strikethrough 0..6 (Text 2..4 "~a"))'),
    ("~~a~~~", '(Strikethrough 0..5 (Text 2..3 "a")) (Text 5..6 "~")'),
    ("a~~b~~c",
     '(Text 0..1 "a") (Strikethrough 1..6 (Text 3..4 "b")) (Text 6..7 "c")'),
    # nesting across kinds
    ("*a ~~b~~*",
     '(Emphasis 0..9 (Text 1..3 "a ") (Strikethrough 3..8 (Text 5..6 "b")))'),
    ("~~**a**~~", '(Strikethrough 0..9 (Strong 2..7 (Text 4..5 "a")))'),
    ("**~~*a*~~**",
     '(Strong 0..11 (Strikethrough 2..9 (Emphasis 4..7 (Text 5..6 "a"))))'),
    ("*[^a]*", '(Emphasis 0..6 (FootnoteRef 1..5 "a"))'),
    ("**`x` [[y]] <a://b>**",
     '(Strong 0..21 (CodeSpan 2..5 "x") (Text 5..6 " ") '
     '(Link 6..11 url="y" (Text 8..9 "y")) (Text 11..12 " ") (AutoLink 12..19 "a://b"))'),
    # closers are plain byte searches: code spans, links, autolinks hide nothing
    ("*a `b*` c*", '(Emphasis 0..6 (Text 1..5 "a `b")) (Text 6..10 "` c*")'),
    ("*a`*`", '(Emphasis 0..4 (Text 1..3 "a`")) (Text 4..5 "`")'),
    ("*[[a*b]]*", '(Emphasis 0..5 (Text 1..4 "[[a")) (Text 5..9 "b]]*")'),
    ("*<a://b*>", '(Emphasis 0..8 (Text 1..7 "<a://b")) (Text 8..9 ">")'),
    # code spans
    ("`a*b*`", '(CodeSpan 0..6 "a*b*")'),
    ("``", '(CodeSpan 0..2 "")'),
    ("x```", '(Text 0..1 "x") (CodeSpan 1..3 "") (Text 3..4 "`")'),
    ("x````", '(Text 0..1 "x") (CodeSpan 1..3 "") (CodeSpan 3..5 "")'),
    ("`*a*` *b*", '(CodeSpan 0..5 "*a*") (Text 5..6 " ") (Emphasis 6..9 (Text 7..8 "b"))'),
    ("`[[a]]`", '(CodeSpan 0..7 "[[a]]")'),
    # links
    ("[[Page]]", '(Link 0..8 url="Page" (Text 2..6 "Page"))'),
    ("[[shown|target]]", '(Link 0..16 url="target" (Text 2..7 "shown"))'),
    ("[[a|b|c]]", '(Link 0..9 url="b|c" (Text 2..3 "a"))'),
    ("[[|t]]", '(Link 0..6 url="t" (Text 2..2 ""))'),
    ("[[a|]]", '(Link 0..6 url="" (Text 2..3 "a"))'),
    ("[[]]", '(Link 0..4 url="" (Text 2..2 ""))'),
    ("[[a]b]]", '(Link 0..7 url="a]b" (Text 2..5 "a]b"))'),
    ("[[a]]]", '(Link 0..5 url="a" (Text 2..3 "a")) (Text 5..6 "]")'),
    ("[[[a]]]", '(Link 0..6 url="[a" (Text 2..4 "[a")) (Text 6..7 "]")'),
    ("[[*a*]]", '(Link 0..7 url="*a*" (Text 2..5 "*a*"))'),
    ("[[^x]]", '(Link 0..6 url="^x" (Text 2..4 "^x"))'),
    ("[[a]] [[b]]",
     '(Link 0..5 url="a" (Text 2..3 "a")) (Text 5..6 " ") (Link 6..11 url="b" (Text 8..9 "b"))'),
    # footnote references
    ("[^1]", '(FootnoteRef 0..4 "1")'),
    ("[^]", '(FootnoteRef 0..3 "")'),
    ("[^a]]", '(FootnoteRef 0..4 "a") (Text 4..5 "]")'),
    ("x[^a b]", '(Text 0..1 "x") (FootnoteRef 1..7 "a b")'),
    ("[^[^a]", '(FootnoteRef 0..6 "[^a")'),
    ("[^*a*]", '(FootnoteRef 0..6 "*a*")'),
    ("[[^a]", '(Text 0..1 "[") (FootnoteRef 1..5 "a")'),
    # autolinks
    ("<a://b>", '(AutoLink 0..7 "a://b")'),
    ("<://>", '(AutoLink 0..5 "://")'),
    ("<mailto:x>", '(AutoLink 0..10 "mailto:x")'),
    ("<mailto:>", '(AutoLink 0..9 "mailto:")'),
    ("<x <a://b>", '(Text 0..3 "<x ") (AutoLink 3..10 "a://b")'),
    ("<<a://b>", '(AutoLink 0..8 "<a://b")'),
    ("<a://b>>", '(AutoLink 0..7 "a://b") (Text 7..8 ">")'),
    ("<a://b\tc>", r'(AutoLink 0..9 "a://b\tc")'),
    ("x<a://b>y", '(Text 0..1 "x") (AutoLink 1..8 "a://b") (Text 8..9 "y")'),
    # a backslash is ordinary text and escapes nothing
    ("\\*a*", r'(Text 0..1 "\\") (Emphasis 1..4 (Text 2..3 "a"))'),
    ("\\`a`", r'(Text 0..1 "\\") (CodeSpan 1..4 "a")'),
    ("a\\", r'(Text 0..2 "a\\")'),
    # multi-byte text: spans count UTF-8 bytes
    ("é *ü*", '(Text 0..3 "é ") (Emphasis 3..7 (Text 4..6 "ü"))'),
    ("日本*語*", '(Text 0..6 "日本") (Emphasis 6..11 (Text 7..10 "語"))'),
    ("😀**x**", '(Text 0..4 "😀") (Strong 4..9 (Text 6..7 "x"))'),
    ("`é`", '(CodeSpan 0..4 "é")'),
    ("[[é|ü]]", '(Link 0..9 url="ü" (Text 2..4 "é"))'),
    ("[^é]", '(FootnoteRef 0..5 "é")'),
    ("<http://é.fr>", '(AutoLink 0..14 "http://é.fr")'),
    # line feeds are ordinary text, never spaces, inside every construct
    ("*\na*", r'(Emphasis 0..4 (Text 1..3 "\na"))'),
    ("*a\n*", r'(Emphasis 0..4 (Text 1..3 "a\n"))'),
    ("**a\n**", r'(Strong 0..6 (Text 2..4 "a\n"))'),
    ("~~a\nb~~", r'(Strikethrough 0..7 (Text 2..5 "a\nb"))'),
    ("`a\nb`", r'(CodeSpan 0..5 "a\nb")'),
    ("[[a\nb|c]]", r'(Link 0..9 url="c" (Text 2..5 "a\nb"))'),
    ("[^a\nb]", r'(FootnoteRef 0..6 "a\nb")'),
    ("<a://b\nc>", r'(Text 0..9 "<a://b\nc>")'),
    ("a *b\r\nc*", r'(Text 0..2 "a ") (Emphasis 2..8 (Text 3..7 "b\r\nc"))'),
    ("first\n*y* z",
     r'(Text 0..6 "first\n") (Emphasis 6..9 (Text 7..8 "y")) (Text 9..11 " z")'),
    ("  x *a*\n  more",
     r'(Text 0..4 "  x ") (Emphasis 4..7 (Text 5..6 "a")) (Text 7..14 "\n  more")'),
]


@pytest.mark.parametrize("src, expected", CASES)
def test_inline(src, expected):
    assert inlines(src) == expected


BASE_OFFSETS = [
    ("# x *y*",
     ['(Heading 0..7 level=1 (Text 2..4 "x ") (Emphasis 4..7 (Text 5..6 "y")))']),
    ("#   *a*  ",
     ['(Heading 0..9 level=1 (Emphasis 4..7 (Text 5..6 "a")) (Text 7..9 "  "))']),
    ("# é [^n]", ['(Heading 0..9 level=1 (Text 2..5 "é ") (FootnoteRef 5..9 "n"))']),
    ("# *a*\r\n", ['(Heading 0..5 level=1 (Emphasis 2..5 (Text 3..4 "a")))']),
    ("a" * 98 + "\n\nx *y*",
     [f'(Paragraph 0..98 (Text 0..98 "{"a" * 98}"))',
      '(Paragraph 100..105 (Text 100..102 "x ") (Emphasis 102..105 (Text 103..104 "y")))']),
    ("é\n\n*ü*",
     ['(Paragraph 0..2 (Text 0..2 "é"))',
      '(Paragraph 4..8 (Emphasis 4..8 (Text 5..7 "ü")))']),
    ("# h\n[[a|b]] <a://c>",
     ['(Heading 0..3 level=1 (Text 2..3 "h"))',
      '(Paragraph 4..19 (Link 4..11 url="b" (Text 6..7 "a")) (Text 11..12 " ") '
      '(AutoLink 12..19 "a://c"))']),
]


@pytest.mark.parametrize("src, expected", BASE_OFFSETS)
def test_inline_spans_are_absolute(src, expected):
    assert blocks(src) == expected


def test_inline_markup_ignores_profile_and_modules():
    src = "@modules html\n~~a~~ <a://b> [^c]"
    for profile in (pyql.Profile.Quillet, pyql.Profile.Md, pyql.Profile.MdStrict):
        [para] = result(src, profile).document.blocks
        assert [type(n).__name__ for n in para.content] == [
            "Strikethrough", "Text", "AutoLink", "Text", "FootnoteRef"]


# Properties over texts dense in delimiters.

ALPHABET = list("*~`[]^<>|:/ \na") + ["é"]
INNER = {"Emphasis": 1, "Strong": 2, "Strikethrough": 2}


def check_tiling(nodes, start, end, raw, in_label=False):
    """nodes cover raw[start:end) without gap or overlap, each one's text
    matches the bytes at its span, and Text nodes are neither empty nor
    adjacent."""
    pos = start
    previous = None
    for node in nodes:
        name = type(node).__name__
        s, e = node.span.start, node.span.end
        assert s == pos and s <= e
        at = raw[s:e].decode()
        if name == "Text":
            assert node.content == at
            assert in_label or at, "empty Text"
            assert previous != "Text", "adjacent Text nodes"
        elif name == "CodeSpan":
            assert at == "`" + node.content + "`"
        elif name == "AutoLink":
            assert at == "<" + node.url + ">"
        elif name == "FootnoteRef":
            assert at == "[^" + node.label + "]"
        elif name == "Link":
            assert at.startswith("[[") and at.endswith("]]")
            inner = at[2:-2]
            [label] = node.label
            assert label.content == inner.split("|", 1)[0]
            assert node.url == inner.split("|", 1)[-1] and node.title is None
            check_tiling([label], s + 2, label.span.end, raw, in_label=True)
        else:
            w = INNER[name]
            assert at[:w] == at[-w:] == ("*" * w if name != "Strikethrough" else "~~")
            check_tiling(node.content, s + w, e - w, raw)
        previous = name
        pos = e
    assert pos == end


@settings(max_examples=400, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=40))
def test_inline_nodes_tile_the_paragraph(body):
    src = "x" + body  # a first line that opens no other block
    raw = src.encode()
    paragraphs = [b for b in result(src).document.blocks if type(b) is pyql.Paragraph]
    assert paragraphs
    for para in paragraphs:
        check_tiling(para.content, para.span.start, para.span.end, raw)
