"""The tools for agents and retrieval pipelines: TextIndex, sections, chunks
and check, table-driven, and their invariants on generated and hostile input."""

import copy
import dataclasses
import json
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import pyql
import quillet
from conftest import ROOT, bench_script
from quillet import TextIndex, check, chunks, iter_sections, sections
from quillet.check import CODES
from test_properties import TEXTS

# ---------------------------------------------------------------------------
# TextIndex


@pytest.mark.parametrize("text, offset, index, utf16, line_col", [
    ("abc", 2, 2, 2, (1, 3)),
    ("h\u00e9llo\nw\u00f6rld", 3, 2, 2, (1, 3)),
    ("h\u00e9llo\nw\u00f6rld", 7, 6, 6, (2, 1)),
    ("h\u00e9llo\nw\u00f6rld", 2, 1, 1, (1, 2)),        # inside \u00e9: that character
    ("\U0001f600x", 4, 1, 2, (1, 2)),                   # an emoji: two UTF-16 units
    ("\u65e5\u672c\n\n\u8a9e", 8, 4, 4, (3, 1)),
    ("a\r\nb", 2, 2, 2, (1, 3)),                        # the CR belongs to the first line
    ("", 0, 0, 0, (1, 1)),
])
def test_text_index_positions(text, offset, index, utf16, line_col):
    ix = TextIndex(text)
    assert (ix.char_index(offset), ix.utf16_index(offset), ix.line_col(offset)) == (index, utf16, line_col)
    assert TextIndex(text.encode()).line_col(offset) == line_col


# The index's bytes are the str's UTF-8 with lone surrogates kept (as "surrogatepass" keeps them), in a str of
# each width, short and long enough (2**16 characters) to be encoded with the GIL released; the ASCII runs
# end at every place of the encoder's sixteen-unit steps.
@pytest.mark.parametrize("wide", ["\x80", "\xff", "\u07ff", "\u0800", "\ud800", "\udfff", "\uffff", "\U00010000",
                                  "\U0010ffff"])
def test_text_index_bytes_are_the_utf8_of_any_str(wide):
    for text in ["a" * n + wide + "b" * (n % 7) for n in range(40)] + ["é" * 70000 + wide, ("ab" + wide) * 30000]:
        assert TextIndex(text).data == text.encode("utf-8", "surrogatepass")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from(["a", "\n", "\u00e9", "\u65e5", "\U0001f600", "\r", " "]), max_size=40),
       st.integers(0, 12))
def test_text_index_agrees_with_str_across_pages(pieces, repeat):
    # Long runs cross many pages of the tables; every character boundary is checked.
    text = "".join(pieces) * (repeat * 400 + 1)
    ix = TextIndex(text)
    step = max(1, len(text) // 300)
    for i in range(0, len(text) + 1, step):
        b = len(text[:i].encode())
        assert ix.char_index(b) == i and ix.byte_offset(i) == b
        assert ix.utf16_index(b) == len(text[:i].encode("utf-16-le")) // 2
        assert ix.line_col(b) == (text.count("\n", 0, i) + 1, i - (text.rfind("\n", 0, i) + 1) + 1)


@pytest.mark.parametrize("call", [
    lambda ix: ix.char_index(-1), lambda ix: ix.char_index(4), lambda ix: ix.byte_offset(4),
    lambda ix: ix.line_col(99),
])
def test_text_index_rejects_positions_outside_the_text(call):
    with pytest.raises(ValueError):
        call(TextIndex("a\u00e9"))


def test_line_index_is_the_text_index():
    assert quillet.LineIndex is TextIndex


# ---------------------------------------------------------------------------
# sections


def tree(text):
    """(level, path, the section's source, its own block classes) in document order."""
    return [(s.level, "/".join(s.path), text[s.start:s.end], [type(b).__name__ for b in s.blocks])
            for s in iter_sections(sections(text))]


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("just text\n", [(0, "", "just text\n", ["Paragraph"])]),
    ("intro\n\n# A\nx\n", [(0, "", "intro\n\n", ["Paragraph"]), (1, "A", "# A\nx\n", ["Paragraph"])]),
    # skipped levels: ### under # is its child; ## closes ###
    ("# A\n### B\nb\n## C\n# D\n", [
        (1, "A", "# A\n### B\nb\n## C\n", []), (3, "A/B", "### B\nb\n", ["Paragraph"]),
        (2, "A/C", "## C\n", []), (1, "D", "# D\n", [])]),
    # headings inside containers are paragraph text, not sections
    ("# A\n::quote\n# not\n::\n::callout\n## no\n::\n", [(1, "A", "# A\n::quote\n# not\n::\n::callout\n## no\n::\n",
                                                      ["Quote", "Callout"])]),
    # the title is the plain text of the heading
    ("## *Gr\u00fc\u00dfe* `x` [[home|/]]  \n", [(2, "Gr\u00fc\u00dfe x home", "## *Gr\u00fc\u00dfe* `x` [[home|/]]  \n", [])]),
    ("@profile md\n--- meta ---\nk: 1\n---\n# T\n", [(1, "T", "# T\n", [])]),
])
def test_sections(text, expected):
    assert tree(text) == expected


def test_sections_of_a_parsed_document_have_byte_spans_only():
    result = pyql.parse_with_recovery("# A\n\u00e9\n# B\n")
    a, b = sections(result)
    assert (a.span, a.start, b.span, b.title) == ((0, 7), None, (7, 11), "B")
    assert sections(result.document)[0].span == (0, 7)
    assert a.as_dict()["heading"]["type"] == "Heading"
    with pytest.raises(TypeError, match="source"):
        sections(42)


def test_sections_take_their_nodes_from_one_parse_when_first_read(monkeypatch):
    text = "intro\n\n# A\n\u00e9\n## B\n- x\n# C\n"
    parses = []
    parse = pyql.parse_with_recovery
    monkeypatch.setattr(pyql, "parse_with_recovery", lambda *a: parses.append(a) or parse(*a))
    tree = list(iter_sections(sections(text, profile="md")))
    assert parses == []  # the tree is read from the outline
    nodes = [(s.heading, s.blocks) for s in tree]
    assert len(parses) == 1 and parses[0][1] == pyql.Profile.Md
    blocks = [b for heading, own in nodes for b in ((heading,) if heading else ()) + own]
    assert [(type(b).__name__, b.span.start) for b in blocks] == [
        (type(b).__name__, b.span.start) for b in parse(text).document.blocks]
    # A parsed source gives its own nodes, and start/end with text=.
    result = parse(text)
    a, b, c = sections(result, text=text)
    assert (b.heading, b.blocks, b.start, b.end) == (result.document.blocks[1], (result.document.blocks[2],), 7, 22)
    with pytest.raises(dataclasses.FrozenInstanceError):
        a.blocks = ()
    # What a caller puts in a Section it makes is given back as it is, whatever its shape.
    made = type(a)(1, "t", ("t",), (0, 1), 0, 1, (1, 2, 3, 4), (a, 0, 1, 2), ())
    assert (made.heading, made.blocks) == ((1, 2, 3, 4), (a, 0, 1, 2))


SOURCES = {  # each form of a parsed source, given with its text
    "ParseResult": lambda text: pyql.parse_with_recovery(text),
    "Document": lambda text: pyql.parse(text),
    "blocks": lambda text: list(pyql.parse(text).blocks),
    "outline": lambda text: quillet._native.outline(text),
    "top-level outline": lambda text: quillet._native.outline(text, top_only=True),  # a cut table's rows: parsed
    "rendered outline": lambda text: quillet._native.outline(text, render="markdown"),
}


@pytest.mark.parametrize("form", SOURCES)
def test_sections_and_chunks_of_a_parsed_source_with_its_text(form):
    text = "Gr\u00fc\u00dfe\n\n# A\n```\n" + "line\n" * 30 + "```\n## B\n" + TABLE
    source = SOURCES[form](text)
    assert [s.as_dict() for s in iter_sections(sections(source, text=text))] == [
        s.as_dict() for s in iter_sections(sections(text))]
    formats = {"rendered outline": ["markdown"], "outline": ["source"], "top-level outline": ["source"]}.get(
        form, ["source", "text"])
    for fmt in formats:
        for options in ({"max_chars": 60}, {"max_chars": 90, "overlap": 20}):
            assert chunks(source, text=text, format=fmt, **options) == chunks(text, format=fmt, **options)


def test_chunks_text_alone_still_works_with_a_warning():
    with pytest.warns(DeprecationWarning, match="first argument"):
        assert chunks(text="# A\nb\n") == chunks("# A\nb\n")


@pytest.mark.parametrize("call, error, message", [
    (lambda: chunks(), TypeError, "missing 1 required positional argument: 'source'"),
    (lambda: chunks(pyql.parse("x\n")), TypeError, "with text=, the str it was parsed from"),
    (lambda: chunks(42, text="x"), TypeError, "source must be a str"),
    (lambda: chunks("x", text="y"), ValueError, "the source itself"),
    (lambda: chunks(quillet._native.outline("x\n"), text="x\n", format="text"), ValueError, "render"),
    (lambda: chunks(quillet._native.outline("x\n"), text="xy\n"), ValueError, "not the text"),
    (lambda: sections(quillet._native.outline("# x\n"))[0].blocks, ValueError, "text="),
])
def test_chunks_and_sections_refuse_a_source_without_its_text(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


def test_sections_and_chunks_copy_and_pickle():
    text = "# A\nb\n## C\n"
    for item in (sections(text)[0], chunks(text)[0]):
        for twin in (copy.copy(item), copy.deepcopy(item), pickle.loads(pickle.dumps(item)),
                     dataclasses.replace(item)):
            assert twin.as_dict() == item.as_dict()


# ---------------------------------------------------------------------------
# chunks


def assert_tiles(text, parts):
    assert parts[0].start == 0 and parts[-1].end == len(text)
    for a, b in zip(parts, parts[1:]):
        assert a.end == b.start and a.span[1] == b.span[0]
    for c in parts:
        assert text[c.start:c.end] == c.text
        assert text.encode()[c.span[0]:c.span[1]].decode() == c.text


FENCE = "# Code\n\n```sh\n" + "".join(f"# step {i}\necho {i}\n" for i in range(20)) + "```\n\n# After\nend\n"
TABLE = "::table\n| name | value |\n|---|---|\n" + "".join(f"| n{i} | v{i} |\n" for i in range(30)) + "::\n"
WIDE = "\u65e5\u672c\u8a9e\u306e\u6587\u3002" * 10 + "\n"


@pytest.mark.parametrize("name, text, options, expected", [
    # (text of each chunk's first line, its path, its kinds)
    ("sections that fit stay whole", "# A\na\n## B\nb\n# C\nc\n", {"max_chars": 20},
     [("# A", "A", ["Heading", "Paragraph"]), ("# C", "C", ["Heading", "Paragraph"])]),
    ("a section that does not fit starts a chunk", "# A\na\n## B\n" + "b" * 20 + "\n", {"max_chars": 30},
     [("# A", "A", ["Heading", "Paragraph"]), ("## B", "A > B", ["Heading", "Paragraph"])]),
    ("a fence with # lines is cut between lines", FENCE, {"max_chars": 100},
     [("# Code", "Code", ["Heading", "CodeBlock"]), ("# step 5", "Code\n```sh", ["CodeBlock"]),
      ("# step 11", "Code\n```sh", ["CodeBlock"]), ("echo 16", "Code\n```sh", ["CodeBlock"]),
      ("# After", "After", ["Heading", "Paragraph"])]),
    ("a table is cut between rows, its header row in the context", TABLE, {"max_chars": 200},
     [("::table", "", ["Table"]), ("| n13 | v13 |", "::table\n| name | value |", ["Table"]),
      ("| n27 | v27 |", "::table\n| name | value |", ["Table"])]),
    ("without heading context", "# A\na\n", {"heading_context": False}, [("# A", "", ["Heading", "Paragraph"])]),
])
def test_chunk_boundaries(name, text, options, expected):
    parts = chunks(text, **options)
    assert_tiles(text, parts)
    # The context (the heading path) and, on a line after it, the lead of a cut block's later part: the
    # older context, which lead_in_context=True still gives.
    assert [(c.text.split("\n", 1)[0], "\n".join(filter(None, (c.context, c.lead))), list(c.kinds))
            for c in parts] == expected
    assert [(c.context, c.lead) for c in chunks(text, lead_in_context=True, **options)] == [
        ("\n".join(filter(None, (c.context, c.lead))) if options.get("heading_context", True) else "", "")
        for c in parts]
    assert [c.index for c in parts] == list(range(len(parts)))
    assert all(c.size == len(c.text) <= options.get("max_chars", 2000) and not c.oversized for c in parts)


def test_chunks_count_characters_not_bytes_and_cut_a_line_alone_over_budget():
    text = "# \u00dcber\n\n" + WIDE * 4 + "\n" + "x" * 150 + "\n"
    parts = chunks(text, max_chars=130)
    assert_tiles(text, parts)
    assert [(c.size, c.oversized) for c in parts] == [(130, False), (123, False), (130, False), (21, False)]
    assert parts[0].path == ("\u00dcber",)


@pytest.mark.parametrize("overlap, expected", [
    (0, [("000000000000000", (0, 15)), ("0\n", (15, 17)), (":000000000000\u00e9\u00e9\u00e9", (17, 36)),
         ("\u00e9", (36, 38))]),
    (4, [("000000000000000", (0, 15)), ("0\n:00000000000", (15, 29)), ("0\u00e9\u00e9\u00e9\u00e9", (29, 38))]),
])
def test_a_block_cut_when_the_open_chunk_is_already_over_budget(overlap, expected):
    # Each line alone exceeds the budget: both are cut within, the line feed kept with text before it.
    text = "0000000000000000\n:000000000000\u00e9\u00e9\u00e9\u00e9"
    parts = chunks(text, max_chars=16, overlap=overlap)
    assert [(c.text, c.span) for c in parts] == expected
    assert_tiles(text, parts)
    assert not any(c.oversized for c in parts)


def test_chunks_with_a_token_counter():
    words = lambda s: len(s.split())  # noqa: E731
    text = "# T\n\n" + "".join(f"word{i} and more words here\n\n" for i in range(12))
    parts = chunks(text, max_tokens=16, count_tokens=words)
    assert_tiles(text, parts)
    assert [c.size for c in parts] == [words(c.text) for c in parts]
    assert max(c.size for c in parts) <= 16 and len(parts) == 5


@pytest.mark.parametrize("fmt", ["text", "markdown"])
def test_rendered_chunks_hold_the_writer_text_and_repeat_the_header_row(fmt):
    write = getattr(quillet, f"to_{fmt}")
    doc = "# Title *x*\n\nSome **bold** text.\n\n" + TABLE
    whole = write(doc)
    (one,) = chunks(doc, format=fmt)
    assert (one.text, one.span) == (whole, (0, len(doc)))
    table = write(TABLE).split("\n")
    head = table[:2] if fmt == "markdown" else table[:1]
    parts = chunks(TABLE, max_chars=120, format=fmt)
    assert len(parts) > 2 and all(p.text.split("\n")[: len(head)] == head for p in parts)
    assert all(len(p.text) <= 120 for p in parts) and parts[-1].span[1] == len(TABLE)
    assert all(a.span[1] == b.span[0] for a, b in zip(parts, parts[1:]))


def test_chunk_overlap_repeats_the_last_lines_within_the_budget():
    text = "".join(f"line {i}\n" for i in range(40))
    parts = chunks(text, max_chars=100, overlap=20)
    assert all(len(c.text) <= 100 for c in parts)
    for a, b in zip(parts, parts[1:]):
        assert b.start < a.end and text[b.start:a.end].endswith("\n") and a.end - b.start <= 20
    assert "".join(text[c.start:(parts[i + 1].start if i + 1 < len(parts) else c.end)]
                   for i, c in enumerate(parts)) == text


def test_chunk_as_dict_has_the_fields_and_the_framework_keys():
    (c,) = chunks("# A\n## B\ntext\n")
    data = c.as_dict()
    assert {k: data[k] for k in ("header_path", "start_index", "end_index", "text", "path", "span")} == {
        "header_path": "/A/", "start_index": 0, "end_index": 14, "text": "# A\n## B\ntext\n",
        "path": ["A"], "span": [0, 14]}
    assert "text" not in c.metadata() and json.dumps(data)


@pytest.mark.parametrize("options, error", [
    ({"max_chars": 0}, ValueError), ({"max_chars": "10"}, TypeError), ({"max_tokens": 5}, ValueError),
    ({"count_tokens": 3}, TypeError), ({"overlap": 2000}, ValueError), ({"overlap": -1}, ValueError),
    ({"format": "html"}, ValueError),
])
def test_chunk_arguments_are_checked(options, error):
    with pytest.raises(error):
        chunks("text", **options)


# ---------------------------------------------------------------------------
# check


@pytest.mark.parametrize("text, expected", [
    # (code, line, column, a piece of the hint)
    ("# Fine\n\n::callout type=tip title=\"A b\"\nok\n::\n", []),
    ("\ufeff# Title\n", [("byte-order-mark", 1, 1, "remove it")]),
    ("@profile gfm\n# T\n", [("unknown-profile", 1, 1, "@profile md")]),
    ("@modules tables, Math, bogus\n", [("unknown-module", 1, 18, "did you mean 'math'"),
                                        ("unknown-module", 1, 24, "known modules")]),
    ("--- meta ---\ntitle: x\n# Lost\n", [("unclosed-metadata", 1, 1, "'---'")]),
    ("# T\n::quote\nsaid\n", [("unclosed-block", 2, 1, "'::'")]),
    ("```py\n# comment\n", [("unclosed-block", 1, 1, "'```'")]),
    ("::list\n- a\n", [("unclosed-block", 1, 1, "'::'")]),
    ("::list\n- a\n1. b\n::\n# Lost\n\ntext\n", [
        ("invalid-list-item", 3, 1, "'- '"), ("markdown-list-item", 3, 1, "write '- b' and open the list"),
        ("stray-closing-line", 4, 1, "the ::list on line 1 ended early")]),
    ("::table\n| a |\n\n| b |\n::\n", [("unclosed-table", 1, 1, "at line 3"),
                                     ("stray-closing-line", 5, 1, "the ::table on line 1")]),
    ("::quote\n::list\n- a\n::\n::\n", [("stray-closing-line", 5, 1, "already closed")]),
    ("::callout kind=tip\nx\n::\n", [("unknown-attribute", 1, 11, "did you mean type=?")]),
    ("::figure url=a.png\n", [("unknown-attribute", 1, 10, "did you mean src=?")]),
    ("::callout warning type=tip\nx\n::\n", [("unknown-attribute", 1, 11, "joined its key")]),
    ("::callout title=\"Open\nx\n::\n", [("unclosed-attribute-quote", 1, 17, 'closing "')]),
    ("::callout title=Two words\nx\n::\n", [("ignored-attribute-text", 1, 21, "quote a value")]),
    ("::list numbered start=x\n- a\n::\n", [("unknown-attribute", 1, 8, "'ordered'"),
                                          ("invalid-list-start", 1, 17, "start=3")]),
    (":: callout type=tip\nx\n::\n", [("ignored-arguments", 1, 1, "write '::callout type=tip'")]),
    ("::html\n<b>\n::\n", [("html-without-module", 1, 1, "@modules")]),
    ("::qoute\nx\n::\n", [("unknown-directive", 1, 1, "did you mean 'quote'")]),
    ("> quoted\n> more\n", [("markdown-quote", 1, 1, "::quote")]),
    ("1. one\n2. two\n", [("markdown-list", 1, 1, "::list ordered")]),
    ("See [the docs](https://x.org/d) and `[a](b)`.\n", [("markdown-link", 1, 5, "[[the docs|https://x.org/d]]")]),
    ("![a cat](cat.png)\n", [("markdown-image", 1, 1, "::figure src=cat.png")]),
    ("```\n[a](b)\n```\n", []),
    ("Title\n---\n", [("markdown-setext-heading", 2, 1, "'## Title'")]),
    ("Title\n===\n", [("markdown-setext-heading", 2, 1, "'# Title'")]),
    ("Title\n\n---\n", []),
    ("Gr\u00fc\u00dfe [x](y)\n", [("markdown-link", 1, 7, "[[x|y]]")]),
])
def test_check(text, expected):
    found = check(text)
    assert [(d.code, d.line, d.column) for d in found] == [e[:3] for e in expected]
    for d, e in zip(found, expected):
        assert e[3] in d.hint and d.message
        assert text.encode()[d.span[0]:d.span[1]].decode() == text[d.start:d.end]
        assert d.severity == ("error" if d.code in ("invalid-list-item", "unclosed-table", "unknown-directive",
                                                   "unclosed-metadata") else "warning")


def test_check_leaves_the_parse_alone_and_documents_its_codes():
    text = "::list\n- a\n1. b\n::\n"
    before = repr(pyql.parse_with_recovery(text).errors)
    assert {d.code for d in check(text)} <= set(CODES)
    assert repr(pyql.parse_with_recovery(text).errors) == before
    assert check("\ufeff")[0].as_dict()["span"] == [0, 3]


def run_check(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "quillet.cli", "check", *args], input=stdin,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("args, text, status, output", [
    ([], "# Fine\n", 0, ""),
    ([], "See [a](b) x\n", 0,
     "<stdin>:1:5: warning[markdown-link]: a Markdown link stays plain text here\n"
     "    See [a](b) x\n        ^~~~~~\n    hint: write [[a|b]]\n"),
    (["--strict"], "See [a](b) x\n", 1, None),
    ([], "::nope\nx\n::\n", 1, None),
    # A byte-order mark is dropped, as the quillet command drops it: columns
    # count from the character after it.
    ([], "\ufeff# Fine\n", 0, ""),
    ([], "\ufeffSee [a](b) x\n", 0,
     "<stdin>:1:5: warning[markdown-link]: a Markdown link stays plain text here\n"
     "    See [a](b) x\n        ^~~~~~\n    hint: write [[a|b]]\n"),
])
def test_check_command(args, text, status, output):
    run = run_check(*args, "-", stdin=text)
    assert run.returncode == status, run.stderr
    if output is not None:
        assert run.stdout == output


def test_check_command_json_and_unreadable_files(tmp_path):
    path = tmp_path / "a.qlt"
    path.write_text("::callout kind=x\ny\n::\n", encoding="utf-8")
    missing = str(tmp_path / "missing\x1b[2J.qlt")
    run = run_check("--format", "json", str(path), missing)
    first, second = (json.loads(line) for line in run.stdout.splitlines())
    assert run.returncode == 2
    assert run.stderr == f"quillet check: {missing}: No such file or directory\n".replace("\x1b", "\\x1b")
    assert [d["code"] for d in first["diagnostics"]] == ["unknown-attribute"]
    assert second["diagnostics"] is None and second["input_error"]


# ---------------------------------------------------------------------------
# Invariants on any input


def assert_sound(text):
    n = len(text.encode())
    for s in iter_sections(sections(text)):
        assert 0 <= s.span[0] <= s.span[1] <= n
        assert text[s.start:s.end].encode() == text.encode()[s.span[0]:s.span[1]]
        for child in s.children:
            assert s.span[0] <= child.span[0] <= child.span[1] <= s.span[1]
    for options in ({"max_chars": 64}, {"max_chars": 500, "overlap": 50},
                    {"max_tokens": 20, "count_tokens": lambda s: len(s.split())}):
        parts = chunks(text, **options)
        if not text.strip():  # no chunk is only white space
            assert parts == []
            continue
        if not options.get("overlap"):
            assert_tiles(text, parts)
        for c in parts:
            assert text[c.start:c.end] == c.text
            limit = options.get("max_chars") or options["max_tokens"]
            if c.size > limit:
                # Nothing can be cut: one line, or a chunk within the budget
                # but for the white space that ends it (never a chunk alone).
                body = c.text.rstrip()
                fits = len(body) <= limit if "max_chars" in options else options["count_tokens"](body) <= limit
                assert c.oversized and ("\n" not in body or fits)
    for d in check(text):
        assert 0 <= d.span[0] <= d.span[1] <= n
        assert text[d.start:d.end].encode() == text.encode()[d.span[0]:d.span[1]]
        assert d.line >= 1 and d.column >= 1 and d.severity in ("error", "warning")


@settings(max_examples=150, deadline=None)
@given(TEXTS)
def test_agent_tools_on_generated_documents(text):
    assert_sound(text)


families = bench_script("families.py")


@pytest.mark.parametrize("name", sorted(families.FAMILIES))
def test_agent_tools_on_hostile_input(name):
    assert_sound(families.FAMILIES[name](20_000).text)


def test_readme_examples_print_what_the_readme_shows():
    readme = (ROOT / "docs" / "agents.md").read_text(encoding="utf-8")
    section = readme.split("# Using pyql in agent and retrieval pipelines", 1)[1]
    blocks = re.findall(r"^(`{3,4})python\n(.*?)^\1\n(?:\n```text\n(.*?)^```\n)?", section, re.S | re.M)
    assert [output != "" for _, _, output in blocks] == [True, True, False, True]
    for _, code, output in blocks:
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert run.returncode == 0 and run.stdout == output, run.stderr
