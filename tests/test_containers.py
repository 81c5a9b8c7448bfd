"""Container directives: quotes, callouts, lists, tables, figures and
footnotes, their spans, the lines they refuse and the errors they record."""

import pytest

import pyql
from conftest import P, blocks, errors, result

NBSP = "\u00a0"


def T(start, end, text):
    return f'(Text {start}..{end} "{text}")'


def item(start, end, text):
    return f"(ListItem {start}..{end} {P(start, end, text)})"


def cell(start, end, c_start, text):
    return f"(TableCell {start}..{end} {T(c_start, c_start + len(text.encode()), text)})"


CASES = [
    # quotes and callouts: paragraphs cut at blank lines, the first "::" line closes
    ("::quote\na\nb\n\nc\n::\n", ['(Quote 0..17 (Paragraph 8..11 (Text 8..11 "a\\nb")) ' + P(13, 14, "c") + ")"]),
    ("::quote some words\nx\n::", [f"(Quote 0..23 {P(19, 20, 'x')})"]),
    ("::quote\n\nx\n \t\n::\n", [f"(Quote 0..16 {P(9, 10, 'x')})"]),
    ("::quote\n::list\n- a\n::\n::\n",
     ['(Quote 0..21 (Paragraph 8..18 (Text 8..18 "::list\\n- a")))', '(RawBlock 22..24 "")']),
    ("::quote\n# h\n- x\n", ['(Quote 0..15 (Paragraph 8..15 (Text 8..15 "# h\\n- x")))']),
    ("::quote", ["(Quote 0..7)"]),
    ("::quote\n", ["(Quote 0..7)"]),
    ("::quote\na\n\nb", [f"(Quote 0..12 {P(8, 9, 'a')} {P(11, 12, 'b')})"]),
    (f"::quote\n{NBSP}\n::", ['(Quote 0..13 (Paragraph 8..10 (Text 8..10 "\\u00a0")))']),
    ("::quote\r\na\r\n\r\nb\r\n::\r\nx", [f"(Quote 0..19 {P(9, 10, 'a')} {P(14, 15, 'b')})", P(21, 22, "x")]),
    ("  ::quote  \n  *a*\n  ::  \n", ['(Quote 0..24 (Paragraph 12..17 (Text 12..14 "  ") '
                                     '(Emphasis 14..17 (Text 15..16 "a"))))']),
    ("::callout\nx\n::\n", [f'(Callout 0..14 kind="note" {P(10, 11, "x")})']),
    ('::callout type=warning title="Two words"\nx\n::\n',
     [f'(Callout 0..45 kind="warning" title="Two words" {P(41, 42, "x")})']),
    ("::callout type=tip", ['(Callout 0..18 kind="tip")']),
    # lists
    ("::list\n- a\n- b\n::\n", [f"(List 0..17 kind=Unordered {item(9, 10, 'a')} {item(13, 14, 'b')})"]),
    ("::list\n  - a\n::", [f"(List 0..15 kind=Unordered {item(11, 12, 'a')})"]),
    ("::list\n-   a\n::", [f"(List 0..15 kind=Unordered {item(9, 12, '  a')})"]),
    ("::list\n- a\n| b\n::", ["(List 0..17 kind=Unordered " + item(9, 14, "a\n| b") + ")"]),
    ("::list\n- a\n\n  | b\n- c\n", ["(List 0..21 kind=Unordered " + item(9, 17, "a\n\n  | b") + " " + item(20, 21, "c") + ")"]),
    ("::list\n| x\n- a\n::", [f"(List 0..17 kind=Unordered {item(13, 14, 'a')})"]),
    ("::list", ["(List 0..6 kind=Unordered)"]),
    ("::list\n- a\n\n", [f"(List 0..11 kind=Unordered {item(9, 10, 'a')})"]),
    ("::list\r\n- a\r\n::\r\n", [f"(List 0..15 kind=Unordered {item(10, 11, 'a')})"]),
    # tables
    ("::table\n| a | b |\n|---|---|\n| 1 | 2 |\n::\n",
     [f"(Table 0..40 (TableRow 8..17 header=True {cell(9, 12, 10, 'a')} {cell(13, 16, 14, 'b')}) "
      f"(TableRow 28..37 header=False {cell(29, 32, 30, '1')} {cell(33, 36, 34, '2')}))"]),
    ("::table\n| a |\n| b |\n::", [f"(Table 0..22 (TableRow 8..13 header=True {cell(9, 12, 10, 'a')}) "
                                  f"(TableRow 14..19 header=False {cell(15, 18, 16, 'b')}))"]),
    ("::table\n|-|---|\n| a |\n::", [f"(Table 0..24 (TableRow 16..21 header=False {cell(17, 20, 18, 'a')}))"]),
    ("::table\n| a --- b |\n::", ["(Table 0..22)"]),
    ("::table\n| a || b |\n::", [f"(Table 0..21 (TableRow 8..18 header=True {cell(9, 12, 10, 'a')} "
                                 f"{cell(14, 17, 15, 'b')}))"]),
    ("::table\n|\n::", ["(Table 0..12 (TableRow 8..9 header=True))"]),
    ("::table\n|a|b", [f"(Table 0..12 (TableRow 8..12 header=True {cell(9, 10, 9, 'a')} {cell(11, 12, 11, 'b')}))"]),
    ("::table extra words\n  | a |  \n::", [f"(Table 0..32 (TableRow 20..29 header=True {cell(23, 26, 24, 'a')}))"]),
    (f"::table\n|{NBSP}a{NBSP}|{NBSP}|", [f"(Table 0..18 (TableRow 8..18 header=True {cell(9, 14, 11, 'a')}))"]),
    ("::table\r\n| a |\r\n::\r\n", [f"(Table 0..18 (TableRow 9..14 header=True {cell(10, 13, 11, 'a')}))"]),
    # figures: one line, and a closing line right after it belongs to the figure
    ('::figure src=a.png alt="An image" caption="Cap tion"\nx',
     ['(Figure 0..52 src="a.png" alt="An image" caption="Cap tion")', P(53, 54, "x")]),
    ("::figure src=a\n::\nx", ['(Figure 0..17 src="a" alt="")', P(18, 19, "x")]),
    ("::figure\n\n::", ['(Figure 0..8 src="" alt="")', '(RawBlock 10..12 "")']),
    # footnotes: one definition per line; every other line is dropped
    ("::footnotes\n[^1]: one\n[^note]: two\n::\n",
     [f'(Footnotes 0..37 (FootnoteDef 12..21 label="1" (Paragraph 12..21 {T(18, 21, "one")})) '
      f'(FootnoteDef 22..34 label="note" (Paragraph 22..34 {T(31, 34, "two")})))']),
    ("::footnotes\ntext\n\n[^x] no colon\n::list\n[^]:\n::",
     ['(Footnotes 0..46 (FootnoteDef 39..43 label="" (Paragraph 39..43)))']),
    ("::footnotes\n  [^a]:  b]: c  \n",
     [f'(Footnotes 0..28 (FootnoteDef 12..28 label="a" (Paragraph 12..28 {T(21, 26, "b]: c")})))']),
    ("::footnotes", ["(Footnotes 0..11)"]),
    ("::footnotes\n[^a]: x", [f'(Footnotes 0..19 (FootnoteDef 12..19 label="a" (Paragraph 12..19 {T(18, 19, "x")})))']),
]


@pytest.mark.parametrize("src, expected", CASES)
def test_container_tree(src, expected):
    res = result(src)
    assert res.errors == []
    assert blocks(src) == expected


LIST_HEAD = "(List 0..10 kind=Unordered " + item(9, 10, "a") + ")"

# A list meets a line that does not belong to it: an error, and the line starts the next block.
LIST_ENDS = [
    ("plain", "invalid syntax in list item", "InvalidSyntax", P(11, 16, "plain")),
    ("-", "invalid syntax in list item", "InvalidSyntax", P(11, 12, "-")),
    ("-  ", "invalid syntax in list item", "InvalidSyntax", P(11, 14, "-  ")),
    ("-\tb", "invalid syntax in list item", "InvalidSyntax", P(11, 14, "-\tb")),
    ("---x", "invalid syntax in list item", "InvalidSyntax", P(11, 15, "---x")),
    ("|x", "invalid syntax in list item", "InvalidSyntax", P(11, 13, "|x")),
    (NBSP, "invalid syntax in list item", "InvalidSyntax", P(11, 13, NBSP)),
    ("# h", "unclosed ::list", "UnclosedDelimiter", '(Heading 11..14 level=1 (Text 13..14 "h"))'),
    ("#x", "unclosed ::list", "UnclosedDelimiter", P(11, 13, "#x")),
    ("---", "unclosed ::list", "UnclosedDelimiter", "(ThematicBreak 11..14)"),
    ("```", "unclosed ::list", "UnclosedDelimiter", '(CodeBlock 11..14 lang="" "")'),
    ("::table", "unclosed ::list", "UnclosedDelimiter", "(Table 11..18)"),
    ("@profile md", "unclosed ::list", "UnclosedDelimiter", P(11, 22, "@profile md")),
    ("@modules html", "unclosed ::list", "UnclosedDelimiter", P(11, 24, "@modules html")),
    ("--- meta ---", "unclosed ::list", "UnclosedDelimiter", P(11, 23, "--- meta ---")),
]


@pytest.mark.parametrize("line, message, kind, next_block", LIST_ENDS)
def test_list_refuses_a_line(line, message, kind, next_block):
    src = f"::list\n- a\n{line}"
    span = (0, 6) if kind == "UnclosedDelimiter" else (11, len(src.encode()))
    assert errors(src) == [(message, kind, *span)]
    assert blocks(src) == [LIST_HEAD, next_block]


@pytest.mark.parametrize("src, expected, error", [
    # the list's span ends at the last line it consumed, a blank line included
    ("::list\n- a\n\nx\n::\n", ["(List 0..11 kind=Unordered " + item(9, 10, "a") + ")", P(12, 13, "x"),
                              '(RawBlock 14..16 "")'], ("invalid syntax in list item", "InvalidSyntax", 12, 13)),
    ("::list\nx", ["(List 0..6 kind=Unordered)", P(7, 8, "x")], ("invalid syntax in list item", "InvalidSyntax", 7, 8)),
    ("  ::list  \n::quote\n::", ["(List 0..10 kind=Unordered)", "(Quote 11..21)"],
     ("unclosed ::list", "UnclosedDelimiter", 0, 10)),
    # a table ends at the first other line, a blank line included; rows after it are paragraphs
    ("::table\n| a |\n\n| b |\n::", [f"(Table 0..13 (TableRow 8..13 header=True {cell(9, 12, 10, 'a')}))",
                                    P(15, 20, "| b |"), '(RawBlock 21..23 "")'],
     ("unclosed ::table", "UnclosedDelimiter", 0, 7)),
    ("::table x\ntext", ["(Table 0..9)", P(10, 14, "text")], ("unclosed ::table", "UnclosedDelimiter", 0, 9)),
    (f"::table\n{NBSP}", ["(Table 0..7)", P(8, 10, NBSP)], ("unclosed ::table", "UnclosedDelimiter", 0, 7)),
])
def test_refused_line_starts_the_next_block(src, expected, error):
    assert blocks(src) == expected
    assert errors(src) == [error]


@pytest.mark.parametrize("opener, kind, start", [
    ("::list ordered start=3", "Ordered", 3),
    ("::list ordered unordered", "Unordered", None),
    ("::list unordered ordered", "Ordered", None),
    ("::list start=5", "Unordered", 5),
    ("::list start=+7 Ordered", "Unordered", 7),
    ("::list start=007", "Unordered", 7),
    ("::list start=18446744073709551615", "Unordered", 2**64 - 1),
    ("::list start=18446744073709551616", "Unordered", None),
    ("::list start=99999999999999999999999", "Unordered", None),
    ("::list start=1 start=x", "Unordered", None),
    ("::list start=x start=2", "Unordered", 2),
    *[(f"::list ordered start={v}", "Ordered", None) for v in ["", "+", "-1", "1x", "++1", " 1", "１"]],
    (f"::list{NBSP}ordered\tstart=2", "Ordered", 2),
    (":: list ordered start=2", "Unordered", None),
    ("::list orderedstart=2", "Unordered", None),
])
def test_list_arguments(opener, kind, start):
    lst = pyql.parse(opener + "\n::").blocks[0]
    assert (lst.kind, lst.start) == (getattr(pyql.ListKind, kind), start)


@pytest.mark.parametrize("args, kind, title", [
    ("", "note", None),
    ('title="a = b c" type=x', "x", "a = b c"),
    ('title="unterminated type=tip', "note", None),
    ('type=tip title="unterminated', "tip", None),
    ("title=Two words", "note", "Two"),
    ("type=a type=b", "b", None),
    ("title=", "note", ""),
    ('type="" title=\'single\'', "", "'single'"),
    ("warning type=tip", "note", None),
    ("type  =  tip", "tip", None),
    ("type=a\tb", "a\tb", None),
    (f"type={NBSP}a{NBSP}b", f"a{NBSP}b", None),
    ('title="x"type=tip', "tip", "x"),
    ('title="a"b type=tip', "note", "a"),
    ("Type=tip kind=tip", "note", None),
    ("= type=tip", "note", None),
])
def test_callout_attributes(args, kind, title):
    callout = pyql.parse(f"::callout {args}\n::").blocks[0]
    assert (callout.kind, callout.title) == (kind, title)


@pytest.mark.parametrize("opener, src, alt, caption", [
    ('::figure src=a.png alt="An image" caption="Cap tion"', "a.png", "An image", "Cap tion"),
    ("::figure", "", "", None),
    ("::figure src=a src=b other=c", "b", "", None),
    ("::figure caption=", "", "", ""),
    (":: figure src=a", "", "", None),
    ('::figure alt="ü é" src="x y.png"', "x y.png", "ü é", None),
])
def test_figure_attributes(opener, src, alt, caption):
    figure = pyql.parse(opener).blocks[0]
    assert (figure.src, figure.alt, figure.caption) == (src, alt, caption)


def test_large_containers_are_read_without_recursion():
    n = 200_000
    lst = pyql.parse("::list\n" + "- a\n" * n + "::").blocks[0]
    assert len(lst.items) == n and lst.items[-1].span.start == 4 * n + 5
    [row] = pyql.parse("::table\n" + "|a" * n).blocks[0].rows
    assert len(row.cells) == n and row.cells[-1].span.end == 8 + 2 * n
    quote = pyql.parse("::quote\n" + "a\n\n" * n).blocks[0]
    assert len(quote.blocks) == n
