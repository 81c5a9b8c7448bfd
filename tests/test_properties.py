"""Properties that hold for every input text: no exception escapes recovery,
parse and parse_with_recovery agree, parses are repeatable (also from several
threads at once), and every span is sound and matches the text it covers."""

import random
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings, strategies as st

import pyql
from conftest import SINK, render, scalar, walk

# Opener lines of Quillet constructs, each with lines of the body it expects;
# every body also draws from COMMON, and every line may end in inline pieces.
ITEMS = ["- a", "| more", "-  b", "1. b"]
PROSE = ["text", "# h", "- a", "*a*"]
VERBATIM = ["x^2", "<b>", "```"]
CONSTRUCTS = {
    "::list": ITEMS, "::list ordered start=2": ITEMS,
    "::table": ["|a|b|", "| b", "|---|", "|"],
    "::quote": PROSE, "::callout type=x": PROSE, '::callout title="t"': PROSE,
    "::footnotes": ["[^1]: x", "[^]: *y*", "[^2]:"],
    "::figure src=a": [], "::math": VERBATIM, "::html": VERBATIM, "::nope": VERBATIM,
    "```": VERBATIM, "```py": VERBATIM,
    "--- meta ---": ["k: [1, [2]]", "t: 'q'", "---", "bad"],
    "@profile md": [], "@modules html": [], "@modules html, math": [],
    "::": [], " ::": [], "# h": [], "#x": [], "---": [], "text": [],
}
COMMON = ["", " ", "\t", "\u00a0", "text", "é 日本", "::"]
INLINE = ["*", "**", "~~", "`", "[[a|b]]", "[[", "[^n]", "<a://b>", "<", "]]", "|", " ", "\\", "\r"]
ENDS = ["\n", "\n", "\r\n"]


def line(choices, tail=True):
    inline = st.lists(st.sampled_from(INLINE) | st.text(max_size=2), max_size=3 if tail else 0)
    parts = st.tuples(st.sampled_from(choices), inline.map("".join), st.sampled_from(ENDS))
    return parts.map("".join)


def construct(opener):
    body = st.lists(line(CONSTRUCTS[opener] * 3 + COMMON), max_size=4).map("".join)
    return st.tuples(line([opener], tail=False), body).map("".join)


HEADERS = ["", "@modules html\n", "@profile md\n@modules html, math\n--- meta ---\nk: [1]\n---\n"]
TEXTS = st.one_of(st.text(), st.tuples(
    st.sampled_from(HEADERS),
    st.lists(st.one_of([construct(k) for k in CONSTRUCTS]), max_size=5).map("".join),
).map("".join))
PROFILES = st.sampled_from([None, pyql.Profile.Quillet, pyql.Profile.Md, pyql.Profile.MdStrict])
EXAMPLES = settings(max_examples=150, deadline=None)


def doc_shape(doc):
    """Everything a Document holds, comparable by ==."""
    return (repr(doc), [scalar(m) for m in doc.modules], repr(doc.metadata),
            [render(b) for b in doc.blocks])


def shape(src, profile=None):
    res = pyql.parse_with_recovery(src, profile)
    errors = [(str(e), e.message, scalar(e.kind), e.recoverable) for e in res.errors]
    return doc_shape(res.document), errors


@EXAMPLES
@given(TEXTS, PROFILES)
def test_recovery_never_raises(src, profile):
    res = pyql.parse_with_recovery(src, profile)
    assert res.ok == (res.errors == [])


@EXAMPLES
@given(TEXTS)
def test_parse_raises_exactly_when_errors_are_recorded(src):
    res = pyql.parse_with_recovery(src)
    if res.errors:
        with pytest.raises(ValueError) as err:
            pyql.parse(src)
        assert err.value.args == (str(res.errors[0]),)
    else:
        assert doc_shape(pyql.parse(src)) == doc_shape(res.document)


@EXAMPLES
@given(TEXTS, PROFILES)
def test_parsing_is_deterministic(src, profile):
    assert shape(src, profile) == shape(src, profile)


WIDTH = {"Emphasis": 1, "Strong": 2, "Strikethrough": 2}


def inline_region(node, trimmed):
    """The (start, end) the inline children of node cover; None for a bound
    that only has to lie inside the node's span."""
    name, s, e = type(node).__name__, node.span.start, node.span.end
    if name in WIDTH:
        return s + WIDTH[name], e - WIDTH[name]
    if name == "Link":
        return s + 2, None
    if name == "Heading":
        return None, e  # the text starts after the hashes and spaces
    if name == "Paragraph" and id(node) not in trimmed:
        return s, e
    return None, None  # table cells and footnote texts are trimmed


@EXAMPLES
@given(TEXTS)
def test_inlines_tile_the_text_of_their_block(src):
    nodes = list(walk(pyql.parse_with_recovery(src).document))
    trimmed = {id(p) for d in nodes if type(d) is pyql.FootnoteDef for p in d.blocks}
    for node in nodes:
        children = node.label if type(node) is pyql.Link else getattr(node, "content", "")
        if isinstance(children, str):
            continue
        lo, hi = inline_region(node, trimmed)
        spans = [(c.span.start, c.span.end) for c in children]
        assert [s for s, _ in spans[1:]] == [e for _, e in spans[:-1]], render(node)
        if spans:
            first, last = spans[0][0], spans[-1][1]
            assert node.span.start <= first and last <= node.span.end, render(node)
            assert lo in (None, first) and hi in (None, last), render(node)
        elif lo is not None and hi is not None:
            assert lo == hi, render(node)


@EXAMPLES
@given(TEXTS)
def test_spans_lie_inside_the_input_and_their_parent(src):
    size = len(src.encode())
    res = pyql.parse_with_recovery(src)
    nodes = list(walk(res.document))
    assert (res.document.span.start, res.document.span.end) == (0, size)
    for e in res.errors:
        assert 0 <= e.span.start <= e.span.end <= size, str(e)
    # depth first in source order: the starts never go back
    starts = [n.span.start for n in nodes]
    assert starts == sorted(starts)
    for node in nodes:
        for inner in walk(node):
            assert node.span.start <= inner.span.start <= inner.span.end <= node.span.end


# Nodes whose text is their source with the delimiters taken off.
SOURCE = {
    "Text": ("", "content", ""), "CodeSpan": ("`", "content", "`"),
    "AutoLink": ("<", "url", ">"), "FootnoteRef": ("[^", "label", "]"),
}


@EXAMPLES
@given(TEXTS)
def test_inline_texts_are_their_source(src):
    raw = src.encode()
    for node in walk(pyql.parse_with_recovery(src).document):
        if type(node).__name__ in SOURCE:
            before, attr, after = SOURCE[type(node).__name__]
            at = raw[node.span.start:node.span.end].decode()
            assert at == before + getattr(node, attr) + after


def seeded_text(rng):
    """A text of five constructs drawn like TEXTS, from a seeded generator."""
    lines = []
    for opener, body in rng.choices(list(CONSTRUCTS.items()), k=5):
        lines.append(opener + "\n")
        for _ in range(rng.randrange(4)):
            lines.append(rng.choice(body * 3 + COMMON) + rng.choice(INLINE) + rng.choice(ENDS))
    return "".join(lines)


def test_parses_from_several_threads_match_a_single_thread():
    rng = random.Random(7)
    texts = [SINK, "", "*a* **b**"] + [seeded_text(rng) for _ in range(60)]
    expected = [shape(t) for t in texts]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as possible
    try:
        with ThreadPoolExecutor(4) as pool:
            got = list(pool.map(shape, texts * 20))
    finally:
        sys.setswitchinterval(interval)
    assert got == expected * 20


def test_blocks_of_every_size_keep_their_texts():
    # Blocks are parsed one at a time into memory that is reused for the next one: tiny blocks, blocks
    # larger than any piece of that memory, and small ones after large ones must all keep their own texts.
    rng = random.Random(11)
    parts = []
    for size in [10, 300_000, 5, 1_200_000, 40, 70_000, 2_000_000, 8]:
        words, length = [], 0
        while length < size:
            words.append(rng.choice(["*em*", "**st**", "`c`", "word", "[[l|u]]", "<https://x>", "é", "~~s~~"]))
            length += len(words[-1]) + 1
        parts.append(" ".join(words))
    # The metadata is read before the blocks and converted after them: its memory must survive them all.
    meta = "--- meta ---\ntitle: kept\ntags: [" + ", ".join(f"t{i}" for i in range(5000)) + "]\n---\n"
    src = meta + "::quote\n" + parts[0] + "\n::\n\n" + "\n\n".join(parts[1:]) + "\n"
    doc = pyql.parse(src)
    assert doc.metadata == {"title": "kept", "tags": [f"t{i}" for i in range(5000)]}
    assert len(doc.blocks) == len(parts)
    raw = src.encode()
    count = 0
    for node in walk(doc):
        if type(node).__name__ in SOURCE:
            before, attr, after = SOURCE[type(node).__name__]
            assert raw[node.span.start:node.span.end].decode() == before + getattr(node, attr) + after
            count += 1
    assert count > 400_000
