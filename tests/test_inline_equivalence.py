"""The inline scanner against the plain model in inline_reference.py, over
texts dense in delimiters: the trees must be identical, spans included."""

import random

from hypothesis import given, settings, strategies as st

import pyql
from conftest import render, result
from inline_reference import reference

TOKENS = [
    "*", "**", "***", "~", "~~", "`", "``", "[", "]", "[[", "]]", "[^", "|",
    "<", ">", "://", "<a://", "mailto:", "<mailto:",
    "a", "b", "xy", " ", " ", "\n", "\r\n", "\t", "é", "\u00a0", "\\", "日",
]
# What may come before the paragraph, so that its base offset is not always 0.
LEADS = ["", "é\n\n", "# h\n"]


def one_paragraph(body):
    """body with every line that would end a paragraph (or open another
    block) given a leading letter; never empty."""
    lines = [
        "x" + line if line.strip()[:1] in "#:-`" else line  # "" (blank) included
        for line in body.split("\n")
    ]
    return "\n".join(lines)


def check(lead, body):
    src = lead + one_paragraph(body)
    raw, base = src.encode(), len(lead.encode())
    res = result(src)
    assert res.errors == []
    para = res.document.blocks[-1]
    assert type(para) is pyql.Paragraph
    assert (para.span.start, para.span.end) == (base, len(raw)), src
    got = [render(n) for n in para.content]
    assert got == reference(raw[base:], base), src


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(LEADS), st.lists(st.sampled_from(TOKENS), max_size=40).map("".join))
def test_scanner_matches_the_model(lead, body):
    check(lead, body)


def test_scanner_matches_the_model_on_seeded_texts():
    rng = random.Random(20240604)
    # A few tokens weigh more, so that texts are dense in openers and closers.
    weights = [4 if t in ("*", "~", "`", "[", "]", "<", ">") else 1 for t in TOKENS]
    for _ in range(3000):
        body = "".join(rng.choices(TOKENS, weights, k=rng.randrange(1, 60)))
        check(rng.choice(LEADS), body)
