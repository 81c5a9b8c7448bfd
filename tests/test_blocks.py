"""Block structure: paragraphs, headings, thematic breaks, code fences,
verbatim directives, raw blocks and the errors they record."""

import pytest

import pyql
from conftest import P, blocks, errors, result


CLEAN = [
    # paragraphs and what stops them
    ("", []),
    ("\n\n \t\n", []),
    ("\t\n  \nx", [P(5, 6, "x")]),
    ("a\nb", [P(0, 3, "a\nb")]),
    ("a\n\nb", [P(0, 1, "a"), P(3, 4, "b")]),
    ("a\n \t\nb", [P(0, 1, "a"), P(5, 6, "b")]),
    ("a\n\tb", [P(0, 4, "a\n\tb")]),
    ("a\n# h", [P(0, 1, "a"), '(Heading 2..5 level=1 (Text 4..5 "h"))']),
    ("a\n#b", [P(0, 1, "a"), P(2, 4, "#b")]),
    ("a\n  # h", [P(0, 1, "a"), P(2, 7, "  # h")]),
    ("a\n---", [P(0, 1, "a"), "(ThematicBreak 2..5)"]),
    ("a\n ---  ", [P(0, 1, "a"), "(ThematicBreak 2..8)"]),
    ("a\n---x", [P(0, 6, "a\n---x")]),
    ("a\n- b", [P(0, 5, "a\n- b")]),
    ("a\n> b\n| c\n1. d", [P(0, 14, "a\n> b\n| c\n1. d")]),
    ("a\n```\nx\n```", [P(0, 1, "a"), '(CodeBlock 2..11 lang="" "x")']),
    ("a\n````", [P(0, 1, "a"), '(CodeBlock 2..6 lang="`" "")']),
    ("a\n::math\nx\n::", [P(0, 1, "a"), '(MathBlock 2..13 display=False "x")']),
    ("a\n@profile md\n--- meta ---", [P(0, 26, "a\n@profile md\n--- meta ---")]),
    # a first line beginning with one ":" starts an ordinary paragraph
    (":x\ny", [P(0, 4, ":x\ny")]),
    (": x", [P(0, 3, ": x")]),
    ("  :x\ny", [P(0, 6, "  :x\ny")]),
    ("a\n:x", [P(0, 1, "a"), P(2, 4, ":x")]),
    (":x\n:y", [P(0, 2, ":x"), P(3, 5, ":y")]),
    (":x\n# h", [P(0, 2, ":x"), '(Heading 3..6 level=1 (Text 5..6 "h"))']),
    # lines of other white space are not blank
    ("\u00a0", [P(0, 2, "\u00a0")]),
    ("a\n\u00a0\nb", [P(0, 6, "a\n\u00a0\nb")]),
    ("a\n\u3000", [P(0, 5, "a\n\u3000")]),
    ("a\n\x0c", [P(0, 3, "a\n\x0c")]),
    ("\u00a0\n# h", [P(0, 2, "\u00a0"), '(Heading 3..6 level=1 (Text 5..6 "h"))']),
    # headings
    ("# a", ['(Heading 0..3 level=1 (Text 2..3 "a"))']),
    ("#", ["(Heading 0..1 level=1)"]),
    ("# ", ["(Heading 0..2 level=1)"]),
    ("######", ["(Heading 0..6 level=6)"]),
    ("###### x", ['(Heading 0..8 level=6 (Text 7..8 "x"))']),
    ("## *a*", ['(Heading 0..6 level=2 (Emphasis 3..6 (Text 4..5 "a")))']),
    ("#  a  ", ['(Heading 0..6 level=1 (Text 3..6 "a  "))']),
    ("# \u3000x", ['(Heading 0..6 level=1 (Text 5..6 "x"))']),
    ("# voilà", ['(Heading 0..8 level=1 (Text 2..8 "voilà"))']),
    ("####### x", [P(0, 9, "####### x")]),
    ("#" * 257 + " x", [P(0, 259, "#" * 257 + " x")]),
    ("#" * 262, [P(0, 262, "#" * 262)]),
    ("#a", [P(0, 2, "#a")]),
    ("#\ta", [P(0, 3, "#\ta")]),
    ("#\u00a0a", [P(0, 4, "#\u00a0a")]),
    ("  # a", [P(0, 5, "  # a")]),
    ("# a\nb", ['(Heading 0..3 level=1 (Text 2..3 "a"))', P(4, 5, "b")]),
    ("#a\nb", [P(0, 2, "#a"), P(3, 4, "b")]),
    ("# a \r\nb", ['(Heading 0..4 level=1 (Text 2..4 "a "))', P(6, 7, "b")]),
    # thematic breaks
    ("---", ["(ThematicBreak 0..3)"]),
    ("  ---  ", ["(ThematicBreak 0..7)"]),
    ("\u00a0---\u3000", ["(ThematicBreak 0..8)"]),
    ("---\n---", ["(ThematicBreak 0..3)", "(ThematicBreak 4..7)"]),
    ("----", [P(0, 4, "----")]),
    ("--", [P(0, 2, "--")]),
    ("- - -", [P(0, 5, "- - -")]),
    # line ends
    ("a\r\nb", [P(0, 4, "a\r\nb")]),
    ("a\r\n\r\nb", [P(0, 1, "a"), P(5, 6, "b")]),
    ("a\r\r\nb", [P(0, 5, "a\r\r\nb")]),
    ("abc\r", [P(0, 3, "abc")]),
    ("a\rb", [P(0, 3, "a\rb")]),
    ("# h\r\n\r\n---\r\n", ['(Heading 0..3 level=1 (Text 2..3 "h"))', "(ThematicBreak 7..10)"]),
    # code fences
    ("```c\nx\ny\n```", [r'(CodeBlock 0..12 lang="c" "x\ny")']),
    ("```\nx\n```", ['(CodeBlock 0..9 lang="" "x")']),
    ("```\n```", ['(CodeBlock 0..7 lang="" "")']),
    ("```", ['(CodeBlock 0..3 lang="" "")']),
    ("```c", ['(CodeBlock 0..4 lang="c" "")']),
    ("``` a b \nx\n```", ['(CodeBlock 0..14 lang="a b" "x")']),
    ("```py\nx\n::\n::list\n# h", [r'(CodeBlock 0..21 lang="py" "x\n::\n::list\n# h")']),
    ("```\n````\n``` x\n```", [r'(CodeBlock 0..18 lang="" "````\n``` x")']),
    ("  ```c  \nx\n  ```  \ny", ['(CodeBlock 0..18 lang="c" "x")', P(19, 20, "y")]),
    ("```\n\nx\n\n```", [r'(CodeBlock 0..11 lang="" "\nx\n")']),
    ("```\nx\n\n", [r'(CodeBlock 0..6 lang="" "x\n")']),
    ("\u3000```c\nx\n```\u3000", ['(CodeBlock 0..16 lang="c" "x")']),
    # trimming is by characters: no byte of a multi-byte character is cut
    ("```voilà\n```", ['(CodeBlock 0..13 lang="voilà" "")']),
    ("```Å", ['(CodeBlock 0..5 lang="Å" "")']),
    ("```耀", ['(CodeBlock 0..6 lang="耀" "")']),
    ("```\u00a0c\u00a0", ['(CodeBlock 0..8 lang="c" "")']),
    ("```c\u3000\u0085\u2028", ['(CodeBlock 0..12 lang="c" "")']),
    # math
    ("::math\nx^2\n::", ['(MathBlock 0..13 display=False "x^2")']),
    ("::math block\nx\n::", ['(MathBlock 0..17 display=True "x")']),
    ("::math display\n::", ['(MathBlock 0..17 display=True "")']),
    ("::math blockish\n::", ['(MathBlock 0..18 display=True "")']),
    ("::math Block\n::", ['(MathBlock 0..15 display=False "")']),
    ("::math\nx", ['(MathBlock 0..8 display=False "x")']),
    ("::math\n  ::  \ny", ['(MathBlock 0..13 display=False "")', P(14, 15, "y")]),
    # html without the module, and "::" where a block begins
    ("::html\n<b>\n::", ['(RawBlock 0..13 "<b>")']),
    ("::html", ['(RawBlock 0..6 "")']),
    ("@modules math, tables\n::html\nx\n::", ['(RawBlock 22..33 "x")']),
    ("@modules html\n::html\n<b>\n::", ['(HtmlBlock 14..27 "<b>")']),
    ("::\nx\n::", ['(RawBlock 0..7 "x")']),
    ("::", ['(RawBlock 0..2 "")']),
    ("  ::  ", ['(RawBlock 0..6 "")']),
    ("::\nx\n::\u00a0\ny", ['(RawBlock 0..9 "x")', P(10, 11, "y")]),
    # with CRLF line ends a verbatim body begins with the opener's line feed
    ("```\r\nx\r\ny\r\n```\r\n", [r'(CodeBlock 0..14 lang="" "\nx\r\ny")']),
    ("```\r\n```", ['(CodeBlock 0..8 lang="" "")']),
    ("::math\r\nx\r\n::", [r'(MathBlock 0..13 display=False "\nx")']),
    ("@modules html\r\n::html\r\n<b>\r\n::\r\n", [r'(HtmlBlock 15..30 "\n<b>")']),
]


@pytest.mark.parametrize("src, expected", CLEAN)
def test_blocks(src, expected):
    assert blocks(src) == expected
    assert errors(src) == []


def UD(name, start, end):
    return (f"unknown directive: {name}", "UnknownDirective", start, end)


WITH_ERRORS = [
    ("::note\nbody\n::", ['(RawBlock 0..14 "body")'], [UD("note", 0, 6)]),
    ("::List\nx\n::", ['(RawBlock 0..11 "x")'], [UD("List", 0, 6)]),
    ("::listing\n::", ['(RawBlock 0..12 "")'], [UD("listing", 0, 9)]),
    ("::mathblock\n::", ['(RawBlock 0..14 "")'], [UD("mathblock", 0, 11)]),
    ("  ::note  \nx\n::", ['(RawBlock 0..15 "x")'], [UD("note", 0, 10)]),
    (":: note\nx\n::", ['(RawBlock 0..12 "x")'], [UD("note", 0, 7)]),
    ("::note arg=1\nx\n::", ['(RawBlock 0..17 "x")'], [UD("note", 0, 12)]),
    ("::note\u00a0\n::", ['(RawBlock 0..11 "")'], [UD("note", 0, 8)]),
    ("::note\u3000x\n::", ['(RawBlock 0..13 "")'], [UD("note", 0, 10)]),
    ("::é\n::", ['(RawBlock 0..7 "")'], [UD("é", 0, 4)]),
    ("::voilà\n::", ['(RawBlock 0..11 "")'], [UD("voilà", 0, 8)]),
    ("::note\na\n\nb", [r'(RawBlock 0..11 "a\n\nb")'], [UD("note", 0, 6)]),
    ("::note\r\nx\r\n::\r\n", [r'(RawBlock 0..13 "\nx")'], [UD("note", 0, 6)]),
    ("a\n::note\n::", [P(0, 1, "a"), '(RawBlock 2..11 "")'], [UD("note", 2, 8)]),
    ("::a\n::\n::b\nx\n::\ny",
     ['(RawBlock 0..6 "")', '(RawBlock 7..15 "x")', P(16, 17, "y")],
     [UD("a", 0, 3), UD("b", 7, 10)]),
    ("@modules html\n::html",
     ['(HtmlBlock 14..20 "")'],
     [("unclosed HTML block", "UnclosedDelimiter", 14, 20)]),
    ("@modules html\n::html\nx\n\ny",
     [r'(HtmlBlock 14..25 "x\n\ny")'],
     [("unclosed HTML block", "UnclosedDelimiter", 14, 20)]),
    ("@modules html\n::x\n::\n::html",
     ['(RawBlock 14..20 "")', '(HtmlBlock 21..27 "")'],
     [UD("x", 14, 17), ("unclosed HTML block", "UnclosedDelimiter", 21, 27)]),
]


@pytest.mark.parametrize("src, expected, errs", WITH_ERRORS)
def test_blocks_with_errors(src, expected, errs):
    assert blocks(src) == expected
    assert errors(src) == errs
    assert all(e.recoverable for e in result(src).errors)


def test_parse_raises_the_first_error():
    with pytest.raises(ValueError) as info:
        pyql.parse("::note\n::\n::other\n::")
    assert info.value.args == ("unknown directive: note at bytes 0..6",)
