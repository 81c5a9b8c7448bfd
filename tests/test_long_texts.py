"""Texts of tens of thousands of inline nodes are handed from the parser to
the conversion in batches as they are read (so that their C++ tree never sits
whole beside their objects). Wherever such a text stands, its nodes must be
exactly those of the plain model in inline_reference.py, across every batch
boundary: a text run left pending over a boundary, constructs on both sides."""

import random

import pytest

import pyql
import quillet
from quillet import export

from conftest import render, result
from inline_reference import reference

# No bar: in a table cell it would split the cell.
SEGMENTS = ["`c` ", "*em* ", "**st** ", "x ", "[[u://v]] ", "~~s~~ ", "[^n] ", "<a://b> ", "é日 "]


def long_text(seed, count=12000):
    """About 30,000 top-level nodes (for the default count), with one opener
    that never closes in the middle: the text run after it is pending while
    batches go."""
    rng = random.Random(seed)
    parts = [rng.choice(SEGMENTS) for _ in range(count)]
    parts[count // 2] = "unclosed * and [[ here "
    return "".join(parts).rstrip()


# Each source holds the text where a construct keeps its inline content; the
# function picks that node out of the parse.
CONTEXTS = {
    "paragraph": ("lead\n\n{}\n", lambda d: d.blocks[1]),
    "heading": ("## {}\n", lambda d: d.blocks[0]),
    "table cell": ("::table\n| a | {} |\n::\n", lambda d: d.blocks[0].rows[0].cells[1]),
    "list item": ("::list\n- one\n- {}\n::\n", lambda d: d.blocks[0].items[1].blocks[0]),
    "quote": ("::quote\nfirst\n\n{}\n::\n", lambda d: d.blocks[0].blocks[1]),
    "callout": ('::callout type=tip title="T"\n{}\n::\n', lambda d: d.blocks[0].blocks[0]),
    "footnote": ("::footnotes\n[^a]: one\n[^b]: {}\n::\n", lambda d: d.blocks[0].defs[1].blocks[0]),
}


@pytest.mark.parametrize("context", list(CONTEXTS))
def test_a_text_of_many_nodes_is_parsed_whole(context):
    template, pick = CONTEXTS[context]
    text = long_text(context)
    src = template.format(text)
    res = result(src)
    assert res.errors == []
    base = len(src[:src.index(text)].encode())
    got = [render(n) for n in pick(res.document).content]
    assert len(got) > 3 * 4096
    assert got == reference(text.encode(), base)


@pytest.mark.parametrize("context, count", [(context, 12000) for context in CONTEXTS] + [("paragraph", 60000)])
def test_a_text_of_many_nodes_is_the_same_to_the_cpp_tools(context, count):
    """The C++ tools parse such a text whole, its nodes' working array handed
    to the tree as it stands: the tree is the one the batches give. At
    150,000 nodes the array has grown out of malloc's heap into a mapping of
    its own, moved as it grows."""
    src = CONTEXTS[context][0].format(long_text(context, count))
    assert quillet.to_dict(src) == export.to_dict(pyql.parse_with_recovery(src))
