"""The plain-text writer: the words a reader sees, in order, without markup."""

import re

import pytest
from hypothesis import given

import pyql
from conftest import ROOT, bench_script, walk
from test_properties import EXAMPLES, TEXTS

from quillet import to_text


def text(src, **options):
    return to_text(src, **options)


CASES = [
    # Blocks, and exactly one blank line between them.
    ("", ""),
    ("\n\n  \n", ""),
    ("# Title\n\nOne\ntwo\n\n\n\nThree\n", "Title\n\nOne\ntwo\n\nThree\n"),
    ("###### Deep\n", "Deep\n"),
    # Source lines lose their indentation, their trailing blanks and the CR of CRLF.
    ("a  \r\n   b\t\r\n", "a\nb\n"),
    ("---\n\nafter a break\n\n---\n", "after a break\n"),
    # Inline markup goes, its words stay.
    ("*em* **st** ~~del~~ `a  *b*`\n", "em st del a  *b*\n"),
    ("x *a **b** c* `` y\n", "x a b c  y\n"),
    ("[[label|https://x.org]] and [[https://x.org]]\n", "label and https://x.org\n"),
    ("<https://x.org/a?b> <mailto:m@x.org>\n", "https://x.org/a?b mailto:m@x.org\n"),
    ("word[^1] and [^a b]\n", "word[1] and [a b]\n"),
    ("*no closer and [[ nor <this\n", "*no closer and [[ nor <this\n"),
    # Lists: markers, numbers from start, continuation lines indented, their "| " dropped.
    ("::list\n- a\n- *b*\n::\n", "- a\n- b\n"),
    ("::list ordered\n- a\n\n- b\n::\n", "1. a\n2. b\n"),
    ("::list ordered start=9\n- a\n- b\n::\n", "9. a\n10. b\n"),
    ("::list start=3\n- a\n::\n", "- a\n"),
    ("::list\n-   a\n  | b *c\n  | d*\n\n    | `| e`\n- f\n::\n", "- a\n  b c\n  d\n  | e\n- f\n"),
    ("::list\n- a | b\n- | c\n::\n", "- a | b\n- | c\n"),
    # List numbers do not wrap around at 2^64.
    ("::list ordered start=18446744073709551615\n- a\n- b\n::\n",
     "18446744073709551615. a\n18446744073709551616. b\n"),
    # Tables: a line per row, cells joined; rows without cells give nothing.
    ("::table\n| a | *b* |\n|---|---|\n|\n| 1 |  | 2 |\n::\n", "a | b\n1 | 2\n"),
    # Verbatim blocks keep their lines and indentation, not their blank lines around.
    ("```py\n\n  def f():  \n\n\n      return 1\n\n```\n", "  def f():\n\n\n      return 1\n"),
    ("```\r\nx\r\ny\r\n```\r\n", "x\ny\n"),
    ("::math\nx^2\n::\n", "x^2\n"),
    ("@modules html\n::html\n<b>bold</b>\n::\n", "<b>bold</b>\n"),
    ("::html\n<i>no module</i>\n::\n", "<i>no module</i>\n"),
    ("::note\nkept *as* written\n::\n", "kept *as* written\n"),
    # Containers: their paragraphs; a callout's title first, its type never.
    ("::quote\none\n\ntwo\n::\n", "one\n\ntwo\n"),
    ('::callout type=warning title="Mind *this*"\nbody\n::\n', "Mind *this*\n\nbody\n"),
    ("::callout type=tip\nbody\n::\n", "body\n"),
    # Figures: the caption, else the alt text, never the source.
    ('::figure src=a.png alt="An alt" caption="A caption"\n', "A caption\n"),
    ('::figure src=a.png alt="An alt"\n::\n', "An alt\n"),
    ('::figure src=a.png alt="An alt" caption=""\n', "An alt\n"),
    # Footnote definitions come last, wherever their block is, in document order.
    ("::footnotes\n[^1]: *one*\n[^x]:\n::\n\nbody[^1]\n\n::footnotes\n[^2]: two\n::\n",
     "body[1]\n\n[1] one\n[x]\n[2] two\n"),
    # The header is not text, nor are errors.
    ("@profile md\n@modules math\n--- meta ---\ntitle: T\n---\n\nbody\n", "body\n"),
    ("::list\n- a\nplain\n", "- a\n\nplain\n"),
]


@pytest.mark.parametrize("src, expected", CASES)
def test_text(src, expected):
    assert text(src) == expected


LINK_URL_CASES = [
    ("[[label|https://x.org]]\n", "label (https://x.org)\n"),
    ("[[https://x.org]]\n", "https://x.org\n"),  # the label is the URL: once
    ("[[|https://x.org]] [[a|]]\n", "(https://x.org) a\n"),
    ("<https://x.org>\n", "https://x.org\n"),
]


@pytest.mark.parametrize("src, expected", LINK_URL_CASES)
def test_link_urls(src, expected):
    assert text(src, link_urls=True) == expected


def test_markup_alone_gives_nothing():
    src = ("@modules html\n--- meta ---\nk: v\n---\n# \n::list\n::\n::list ordered\n::\n::table\n|\n| |\n|---|\n::\n"
           "::quote\n::\n::callout type=x\n::\n::figure src=a.png\n::footnotes\n::\n```py\n```\n::math\n\n::\n"
           "::html\n::\n---\n")
    assert text(src) == ""


def words_in_order(src):
    """The words of every Text and CodeSpan, in document order, footnote definitions last."""
    doc = pyql.parse_with_recovery(src).document
    body, notes = [], []
    for block in doc.blocks:
        for node in walk(block):
            kind = type(node).__name__
            if kind in ("Text", "CodeSpan"):
                (notes if type(block).__name__ == "Footnotes" else body).extend(node.content.split())
    # A "|" alone may be the mark of a continued list item, which is no word.
    return [w for w in body + notes if w != "|"]


@EXAMPLES
@given(TEXTS)
def test_words_survive_in_order(src):
    out = text(src)
    at = 0
    for word in words_in_order(src):
        found = out.find(word, at)
        assert found >= 0, (word, out)
        at = found + len(word)
    assert out == "" or (out.endswith("\n") and not out.endswith("\n\n"))
    assert not re.search(r"[ \t\r]\n", out)


families = bench_script("families.py")


@pytest.mark.parametrize("name", sorted(families.FAMILIES))
def test_hostile_families(name):
    src = families.FAMILIES[name](20_000).text
    out = text(src, link_urls=True)
    assert out == "" or out.endswith("\n")
    assert len(out.encode()) <= 2 * len(src.encode())


def test_readme_example():
    readme = (ROOT / "docs" / "writers.md").read_text(encoding="utf-8")
    section = readme.split("## Plain text", 1)[1].split("\n## ", 1)[0]
    src, expected = re.search(r"```qlt\n(.*?)```\n\n```text\n(.*?)```", section, re.S).groups()
    assert text(src) == expected
