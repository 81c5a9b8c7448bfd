"""quillet.chunks as an embedding pipeline relies on it: the budget holds (with
the context when asked), chunks are exact slices that tile the text, no chunk
is only white space or only headings, and each carries its document's
identity. Properties on generated documents, then a fixed case per promise."""

import pickle
import re
import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

import pyql
import quillet
from quillet import chunks

# ---------------------------------------------------------------------------
# Generated documents: long lines, sections without blocks, blocks cut in
# parts, text that is not ASCII (CJK, emoji sequences, combining marks).

WORDS = ["word", "the", "parser", "\u65e5\u672c\u8a9e\u306e\u6587", "\U0001f642", "e\u0301te\u0301",
         "\U0001f469\u200d\U0001f4bb", "\U0001f1eb\U0001f1f7", "\u2764\ufe0f", "\ud55c\uad6d\uc5b4",
         "[[a link label|https://example.org/x]]", "`code span here`", "end.", "stop!\u3002"]
SENTENCE = st.lists(st.sampled_from(WORDS), min_size=1, max_size=12).map(" ".join)
LINE = st.one_of(SENTENCE, st.lists(SENTENCE, min_size=5, max_size=40).map(" ".join))  # some lines long
HEADING = st.tuples(st.integers(1, 3), st.sampled_from(["A", "Incidents", "\u65e5\u672c", "\U0001f642 B"])).map(
    lambda t: "#" * t[0] + " " + t[1])
BLOCK = st.one_of(
    HEADING,
    st.lists(LINE, min_size=1, max_size=4).map("\n".join),
    st.lists(LINE, min_size=1, max_size=15).map(lambda ls: "```py\n" + "\n".join(ls) + "\n```"),
    st.lists(st.sampled_from(WORDS), min_size=1, max_size=20).map(
        lambda ws: "::table\n| a | b |\n" + "".join(f"| {w} | {i} |\n" for i, w in enumerate(ws)) + "::"),
    st.lists(SENTENCE, min_size=1, max_size=10).map(lambda ls: "::list\n" + "".join(f"- {s}\n" for s in ls) + "::"),
)
HEADER = st.sampled_from(["", "@profile quillet\n", "--- meta ---\ntitle: T\ntags: [a, b]\n---\n"])
DOCS = st.tuples(HEADER, st.lists(st.tuples(BLOCK, st.sampled_from(["\n", "\n\n", "\n\n\n", "\r\n"])),
                                  max_size=12)).map(lambda t: t[0] + "".join(b + sep for b, sep in t[1]))


def words(s):
    return len(s.split())


def first_block(text):
    starts = quillet._native.outline(text, top_only=True).column("char_start", top=True)
    return starts[0] if starts else None


def assert_trustworthy(text, parts, options):
    limit = options.get("max_chars", 2000)
    if not text.strip():
        assert parts == []
        return
    # Exact slices that tile the text.
    assert parts[0].start == 0 and parts[-1].end == len(text) and parts[0].span[0] == 0
    data = text.encode()
    for a, b in zip(parts, parts[1:]):
        assert (a.end, a.span[1]) == (b.start, b.span[0])
    for c in parts:
        assert text[c.start:c.end] == c.text and data[c.span[0]:c.span[1]].decode() == c.text
        # Within the budget, with the context when asked; nothing here is too small to cut.
        measured = c.with_context() if options.get("context_in_budget") else c.text
        if "count_tokens" in options:
            assert words(measured) <= options["max_tokens"], c
            assert not c.oversized
        elif len(measured) > limit:
            # Only the white space that ends a chunk (never a chunk alone) may pass the budget.
            assert c.oversized and len(measured.rstrip()) <= limit, c
        else:
            assert not c.oversized
        assert c.text.strip(), c  # never only white space
        if c.index + 1 < len(parts) and c.kinds == ("Heading",):
            # A heading goes with what follows it: it is left alone only when what follows does not fit
            # beside it, not a character of text, nor a whole heading line (headings are not cut).
            following = parts[c.index + 1].text
            start = len(following) - len(following.lstrip())
            piece = following[:start + 1] if following[start] != "#" else following.split("\n", 1)[0] + "\n"
            grown = measured + piece
            assert (words(grown) > options["max_tokens"]) if "count_tokens" in options else len(grown) > limit
        # A cut never splits a grapheme cluster (a mark, a joiner, a selector, a CRLF from its base).
        if c.end < len(text) and c.end:
            before, after = text[c.end - 1], text[c.end]
            assert not (before == "\r" and after == "\n")
            assert "\u200d" not in (before, after) and unicodedata.category(after) not in ("Mn", "Me", "Mc")
            assert not 0xFE00 <= ord(after) <= 0xFE0F
    head = first_block(text)
    if head:  # the header is never a chunk's only content, unless it does not fit beside the first line
        first_line = text[:text.find("\n", head) + 1 or len(text)]
        if options.get("context_in_budget") and parts[0].context:
            first_line = parts[0].context + "\n\n" + first_line
        fits = words(first_line) <= options["max_tokens"] if "count_tokens" in options else len(first_line) <= limit
        assert parts[0].end > head or not fits


@settings(max_examples=120, deadline=None)
@given(DOCS, st.integers(60, 400), st.booleans())
def test_chunks_keep_their_promises_on_generated_documents(text, max_chars, in_budget):
    options = {"max_chars": max_chars, "context_in_budget": in_budget}
    assert_trustworthy(text, chunks(text, **options), options)


# Headings alone before a block that is cut, a subsection that fits whole
# in its parent's chunk, a unit over the budget, a heading ending a run.
RUNS = [
    "# A\n## B\n" + "word " * 40 + "\n",
    "# A\nintro\n## B\nb\n## C\nc\n# D\n" + "x" * 80 + "\n\nend\n",
    "p\n\n" * 30 + "# H\n" + "q\n\n" * 30,
    "# A\n## B\n" + "word " * 11 + "\n\nnext\n",  # at 60 the block fits alone, not beside the headings
    "# A\na\n# B\nb\n## C\nc\n",  # sections of one level never share a chunk
]


def assert_placed_as_the_packer_places(text, max_chars, doc_id=None, **options):
    # The common case is placed by quillet._native.chunk_run; without it the
    # Python packer places every unit: the chunks are the same.
    fast = chunks(text, max_chars=max_chars, doc_id=doc_id, **options)
    real = quillet._native.chunk_runs
    quillet._native.chunk_runs = lambda *args: None
    try:
        slow = chunks(text, max_chars=max_chars, doc_id=doc_id, **options)
    finally:
        quillet._native.chunk_runs = real
    assert fast == slow
    assert [(c.path, c.kinds, c.context) for c in fast] == [(c.path, c.kinds, c.context) for c in slow]


@pytest.mark.parametrize("text", RUNS)
@pytest.mark.parametrize("max_chars", [20, 40, 60, 100, 2**63, 10**30])
def test_whole_runs_placed_in_c_are_the_packers(text, max_chars):
    assert_placed_as_the_packer_places(text, max_chars)


# Sections whose widest character differs (ASCII, Latin-1, BMP, astral), in a
# text long enough that the C side slices it with the GIL released: each chunk
# is a str of its own narrowest width, equal to the slice Python makes.
WIDTHS = ["plain words", "caf\u00e9 cr\u00e8me", "\u65e5\u672c\u8a9e\u306e\u6587", "smile \U0001f642"]


@pytest.mark.parametrize("widest", range(len(WIDTHS)))
@pytest.mark.parametrize("heading_context", [True, False])
def test_runs_placed_in_c_slice_texts_of_every_width(widest, heading_context):
    section = "".join(f"## {w}\n\n" + (w + " ") * 60 + "\n\n" for w in WIDTHS[: widest + 1])
    text = "# Doc\n\n" + section * 120
    assert len(text) > 1 << 16
    assert_placed_as_the_packer_places(text, 1000, heading_context=heading_context)
    for c in chunks(text, max_chars=1000):
        piece = text[c.start:c.end]  # equal strs of one width; an ASCII one marked so
        assert (c.text, c.text.isascii(), c.context) == (piece, piece.isascii(), " > ".join(c.path))


@pytest.mark.parametrize("pc", [[0, 5, 99], [0, 6, 3], [-1, 2, 4]])
def test_units_that_do_not_rise_within_the_text_are_refused_before_any_slice(pc):
    layout = type("Layout", (), dict(pc=pc, bstarts=[0, 1, 2], levels=[0, 0], heads=[], ends={},
                                     kinds=["Paragraph"] * 2, head_paths=[], text="short"))
    with pytest.raises(ValueError, match="do not rise within the text"):
        quillet._native.chunk_runs(layout, 10, None, None, None, ())


@settings(max_examples=120, deadline=None)
@given(DOCS, st.integers(20, 400), st.sampled_from([None, "doc"]))
def test_whole_runs_placed_in_c_are_the_packers_on_generated_documents(text, max_chars, doc_id):
    assert_placed_as_the_packer_places(text, max_chars, doc_id)


@settings(max_examples=40, deadline=None)
@given(DOCS, st.integers(12, 60))
def test_a_token_budget_holds_too(text, max_tokens):
    options = {"max_tokens": max_tokens, "count_tokens": words, "context_in_budget": True}
    assert_trustworthy(text, chunks(text, **options), options)


@settings(max_examples=40, deadline=None)
@given(DOCS, st.integers(80, 400), st.sampled_from(["text", "markdown"]))
def test_rendered_chunks_fit_and_tile_the_source(text, max_chars, fmt):
    parts = chunks(text, max_chars=max_chars, format=fmt)
    assert all(len(c.text) <= max_chars and c.text.strip() for c in parts)
    if parts:
        assert parts[0].span[0] == 0 and parts[-1].span[1] == len(text.encode())
        assert all(a.span[1] == b.span[0] for a, b in zip(parts, parts[1:]))


# ---------------------------------------------------------------------------
# Fixed cases


LONG = "Sentences run on here. " * 174 + "Tail"  # one line of 4,006 characters


@pytest.mark.parametrize("name, text, max_chars, count, first, second", [
    ("one long line: cut at sentence ends", "# R\n\n" + LONG + "\n", 1000, 5,
     "# R\n\n" + "Sentences run on here. " * 43, "Sentences run on here. " * 43),
    ("no sentence end: after white space", "w " * 60 + "\n", 50, 3, "w " * 25, "w " * 25),
    ("no white space: between characters", "x" * 4009 + "\n", 1000, 5, "x" * 1000, "x" * 1000),
    ("combining marks stay with their base", "e\u0301" * 30 + "\n", 7, 10, "e\u0301" * 3, "e\u0301" * 3),
    ("joined emoji stay whole", "\U0001f469\u200d\U0001f4bb" * 10 + "\n", 4, 10,
     "\U0001f469\u200d\U0001f4bb", "\U0001f469\u200d\U0001f4bb"),
    ("flags stay whole", "\U0001f1eb\U0001f1f7" * 9 + "\n", 3, 9, "\U0001f1eb\U0001f1f7", "\U0001f1eb\U0001f1f7"),
    ("not inside a link's markup", "see " * 5 + "[[the label|https://example.org/a]] tail\n", 40, 3,
     "see " * 5, "[[the label|https://example.org/a]] "),
    ("not inside a code span", "run " * 5 + "`a b c d e f g h i j k` now\n", 30, 2,
     "run " * 5, "`a b c d e f g h i j k` now\n"),
])
def test_a_line_over_the_budget_is_cut_where_it_reads_best(name, text, max_chars, count, first, second):
    parts = chunks(text, max_chars=max_chars)
    assert_trustworthy(text, parts, {"max_chars": max_chars})
    assert (len(parts), parts[0].text, parts[1].text) == (count, first, second)


def test_the_reported_line_gives_full_chunks_and_no_line_feed_alone():
    text = "a" * 4009 + "\n"
    parts = chunks(text, max_chars=1000)
    assert [(len(c.text), c.oversized) for c in parts] == [(1000, False)] * 4 + [(10, False)]


@pytest.mark.parametrize("text, max_chars, first", [
    # A section whose first block is a subsection; headings in a row; the header and the title.
    ("## Incidents\n### First\n" + "Some words here.\n\n" * 20 + "### Second\nmore\n", 120,
     "## Incidents\n### First\nSome words here."),
    ("# A\n## B\n### C\n" + "x " * 200 + "\n", 100, "# A\n## B\n### C\nx x"),
    ("--- meta ---\ntitle: T\n---\n# Title\n\n" + "Long words. " * 100 + "\n", 200,
     "--- meta ---\ntitle: T\n---\n# Title\n\nLong words."),
])
def test_headings_and_the_header_travel_with_what_follows(text, max_chars, first):
    parts = chunks(text, max_chars=max_chars)
    assert_trustworthy(text, parts, {"max_chars": max_chars})
    assert parts[0].text.startswith(first)


FENCE = "# Code\n\n```sh\n" + "".join(f"# step {i}\necho {i}\n" for i in range(20)) + "```\n\n# After\nend\n"


@pytest.mark.parametrize("options", [
    {"max_chars": 100}, {"max_chars": 60, "overlap": 10}, {"max_tokens": 12, "count_tokens": words},
])
def test_the_context_and_lead_fit_the_budget_when_asked(options):
    parts = chunks(FENCE, context_in_budget=True, **options)
    assert_trustworthy(FENCE, parts, {**options, "context_in_budget": True}) if not options.get("overlap") else None
    measure = words if "count_tokens" in options else len
    limit = options.get("max_tokens") or options["max_chars"]
    assert all(measure(c.with_context()) <= limit for c in parts)
    # The heading path alone is the context; the fence's opener is the later parts' lead.
    assert {c.context for c in parts} == {"Code", "After"}
    assert [c.lead for c in parts if c.kinds == ("CodeBlock",)] and all(
        c.lead == "```sh" for c in parts if c.kinds == ("CodeBlock",))
    assert parts[1].with_context() == f"Code\n\n```sh\n{parts[1].text}"


META = "--- meta ---\ntitle: Field notes\ntags: [rivers, birds]\nyear: 2026\ndraft: true\nnested: [[1]]\n---\n"


@pytest.mark.parametrize("form", ["str", "ParseResult", "Document"])
def test_every_chunk_carries_the_document_identity(form):
    text = META + "# A\n" + "Words in a row. " * 30 + "\n"
    source = {"str": text, "ParseResult": pyql.parse_with_recovery(text), "Document": pyql.parse(text)}[form]
    parts = chunks(source, text=text, max_chars=200, doc_id="notes/a.qlt")
    assert len(parts) > 1
    for c in parts:
        meta = c.metadata()
        assert {k: meta[k] for k in ("doc_id", "title", "tags", "year", "draft")} == {
            "doc_id": "notes/a.qlt", "title": "Field notes", "tags": ["rivers", "birds"], "year": 2026, "draft": True}
        assert "nested" not in meta and meta["index"] == c.index and "text" not in meta
        assert dict(c.doc_metadata)["tags"] == ("rivers", "birds")
        assert pickle.loads(pickle.dumps(c)) == c and hash(c) == hash(pickle.loads(pickle.dumps(c)))
    assert chunks("no header\n")[0].metadata().keys().isdisjoint({"doc_id", "title"})
    with pytest.raises(TypeError, match="doc_id"):
        chunks(text, doc_id=3)


def test_parse_files_gives_each_chunk_its_file_as_doc_id(tmp_path):
    path = tmp_path / "a.qlt"
    path.write_text(META + "# A\nbody\n", encoding="utf-8")
    ((name, parts),) = quillet.parse_files([path], to="chunks", jobs=1, max_chars=500)
    assert [c.metadata()["doc_id"] for c in parts] == [str(path)] and parts[0].metadata()["title"] == "Field notes"


@pytest.mark.parametrize("fmt", ["markdown", "text"])
def test_each_part_of_a_cut_code_fence_renders_on_its_own(fmt):
    parts = [c for c in chunks(FENCE, max_chars=100, format=fmt) if "CodeBlock" in c.kinds]
    assert len(parts) > 2 and all(len(c.text) <= 100 for c in parts)
    if fmt == "markdown":  # each part is a whole fence: opener with its language, closer
        for c in parts:
            body = c.text[c.text.index("```sh"):]
            assert re.fullmatch(r"```sh\n(?:[^`]*\n)?```\n", body), c.text
            (block,) = pyql.parse(body).blocks
            assert type(block).__name__ == "CodeBlock" and block.lang == "sh"
    else:  # plain text writes code without fences: a part is its lines
        assert all("```" not in c.text for c in parts)


def test_footnotes_travel_with_the_chunks_that_cite_them():
    text = ("# A\nFirst [^a] and [^b].\n\n" + "Filler line here.\n" * 30 + "\nAgain [^a].\n\n"
            "::footnotes\n[^a]: Note a.\n[^b]: Note b.\n::\n")
    parts = chunks(text, max_chars=200)
    assert parts[0].footnotes == ("[^a]: Note a.", "[^b]: Note b.")
    assert [c.footnotes for c in chunks(text, max_chars=200, footnotes=False)] == [()] * len(parts)
    holder = next(c for c in parts if "Footnotes" in c.kinds)
    assert holder.footnotes == () and all(c.footnotes == () for c in parts[1:-1] if "[^" not in c.text)


@pytest.mark.parametrize("text, max_chars, expected", [
    # In the order first cited, cited twice: once; the first definition of a label; an undefined
    # label: nothing; a definition's final blank lines dropped; a note in the chunk that cites it:
    # not repeated.
    ("a [^x] b [^y] [^x] [^z]\n\n" + "f\n" * 20 + "\n::footnotes\n[^y]: two\n\n\n[^x]: één\n[^x]: dup\n::\n", 40,
     [("[^x]: één", "[^y]: two")]),
    ("é [^n]\n\n::footnotes\n[^n]: note\n::\n", 200, [()]),
    ("[^n] 😀\n\n" + "g\n" * 30 + "\n::footnotes\n[^n]: 😀 n\n::\n\nlater [^n]\n", 30,
     [("[^n]: 😀 n",)]),
])
def test_each_chunk_repeats_the_notes_it_cites(text, max_chars, expected):
    parts = chunks(text, max_chars=max_chars)
    assert [c.footnotes for c in parts if c.footnotes or c.index == 0][:len(expected)] == expected
