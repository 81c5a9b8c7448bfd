"""check() on every kind of source: a str, a parsed source with its text, an
outline already built (read as it is, nothing parsed again), and the
arguments it refuses."""

import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pyql
import quillet
from quillet import _native, check
from quillet.check import CODES

check_module = __import__("quillet.check", fromlist=["check"])

# Texts that reach every phase: the parser's errors, the header, the block
# checks (a raw block parsed again), the end of the input, links and code spans.
TEXTS = [
    "# Fine\n\n::callout type=tip title=\"A b\"\nok\n::\n",
    "@profile gfm\n@modules tables, Math\n--- meta ---\ntitle: x\n",
    "::list\n- a\n1. b\n::\n# Lost\n\n> q\n\n1. x\n2. y\n",
    "::qoute\nx\n::\n::table\n| a |\n\n| b |\n::\n",
    "::callout kind=tip title=\"Open\nx\n::\n::figure url=a.png caf\u00e9\n::html\n<b>\n::\n",
    "See [the docs](https://x.org/d) and `[a](b)`, *![i](j)*\n\n::quote\n|a `[b](c)` [d](e)\n",
    "Title\n==x\n===\n\nT\n---\n::list numbered start=x\n- a\n",
    "\ufeff# Gr\u00fc\u00dfe [x](y)\n",
]


@pytest.mark.parametrize("text", TEXTS)
def test_every_source_gives_the_diagnostics_of_the_str(text):
    expected = check(text)
    result = pyql.parse_with_recovery(text)
    assert check(result, text=text) == expected
    assert check(_native.outline(text), text=text) == expected
    assert check(_native.outline(text, top_only=True), text=text) == expected
    assert check(text, text=text) == expected
    # A Document keeps no errors (and warnings that follow from them differ).
    from_document = check(result.document, text=text)
    assert from_document == expected if not result.errors else all(d.severity == "warning" for d in from_document)
    with pytest.warns(DeprecationWarning, match="source"):
        assert check(text=text) == expected


@pytest.mark.parametrize("text, codes", [
    # A paragraph with two lines that begin with '==' is one warning, on its last line.
    ("Title\n==x\n===\n", [("markdown-setext-heading", 3)]),
    ("a\n==\nb\n==\n\nc\n==\n", [("markdown-setext-heading", 4), ("markdown-setext-heading", 7)]),
    # Opener lines with values beyond ASCII are read as the parser reads them.
    ("::callout title=caf\u00e9\nx\n::\n::figure src=\u00e9 alt=\"\u00a0\"\n", []),
    ("::callout title=caf\u00e9 kind=x\nx\n::\n", [("unknown-attribute", 1)]),
    ("::callout title=\u00e9 b\nx\n::\n::figure src=a\u00a0b\n", [("ignored-attribute-text", 1)]),
    ("::list ordered\r\n- a\r\n::\r\n::callout type=x \r\ny\r\n::", []),
    # An unknown profile line ends the header; the lines after it are content.
    ("@profile gfm \r\n@modules bogus\r\n# T\n", [("unknown-profile", 1)]),
    ("@profile md\n@modules bogus\n--- meta ---\nk: 1\n", [("unknown-module", 2), ("unclosed-metadata", 3)]),
])
def test_check_reports_each_problem_once(text, codes):
    assert [(d.code, d.line) for d in check(text)] == codes


def test_an_outline_is_checked_without_parsing_again(monkeypatch):
    # What the language server does: one outline per version of a document.
    # Only a stray '::' has its raw block's content parsed, alone.
    text = TEXTS[2] + TEXTS[4] + TEXTS[5]
    outline = _native.outline(text)
    expected = check(text)
    assert "stray-closing-line" in {d.code for d in expected}
    parsed = []
    build = _native.outline

    def refuse(*args, **kwargs):
        raise AssertionError("parsed again")

    def record(source, **kwargs):
        parsed.append(source)
        return build(source, **kwargs)

    monkeypatch.setattr(pyql, "parse_with_recovery", refuse)
    monkeypatch.setattr(_native, "outline", record)
    assert check(outline, text=text) == expected
    assert parsed and all(len(source) < len(text) / 2 for source in parsed)


@pytest.mark.parametrize("call, error, match", [
    (lambda: check(pyql.parse_with_recovery("x")), ValueError, "text="),
    (lambda: check(pyql.parse("x")), ValueError, "text="),
    (lambda: check(_native.outline("x")), ValueError, "text="),
    (lambda: check(_native.outline("x"), text="xy"), ValueError, "not what the source was parsed from"),
    (lambda: check(_native.outline(pyql.parse("x")), text="x"), ValueError, "its text"),
    (lambda: check("x", text="y"), ValueError, "parsed source"),
    (lambda: check(b"x"), TypeError, "source must be"),
    (lambda: check(pyql.parse("x"), text=b"x"), TypeError, "text must be"),
    (lambda: check(), TypeError, "source"),
    (lambda: check("x", profile="gfm"), ValueError, "profile"),
])
def test_check_refuses_what_it_cannot_read(call, error, match):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(error, match=match):
            call()


def test_check_is_the_package_function():
    assert quillet.check is check


# What breaks a document: text -> (code, severity, line, column, end line, end column) of each
# diagnostic, the end exclusive.
BREAKS = [
    # footnotes: a reference without a definition, a label defined twice, a definition nothing cites
    ("See [^a] and [^b].\n\n::footnotes\n[^a]: one\n[^a]: two\n[^c]: three\n::\n", [
        ("undefined-footnote", "warning", 1, 14, 1, 18), ("duplicate-footnote", "warning", 5, 1, 5, 10),
        ("unused-footnote", "warning", 6, 1, 6, 12)]),
    ("Cited[^n] in a note[^m]\n\n::footnotes\n[^n]: see[^m]\n[^m]: x\n::\n", []),
    # links without a part, and a '[[' that opens none (code spans and code blocks aside)
    ("A [[label|]] and [[|https://x.org]], [[]] and [[open\n\nnext ]] para\n", [
        ("empty-link-url", "warning", 1, 3, 1, 13), ("empty-link-label", "warning", 1, 18, 1, 36),
        ("empty-link-url", "warning", 1, 38, 1, 42), ("unclosed-link", "warning", 1, 47, 1, 49)]),
    ("`[[a` and [[b]] [[[c]]\n\n```\n[[d\n```\n", []),
    ("| é [[a | b ]] |\n", []),
    ("::table\n| é [[a | b]] |\n::\n", [("unclosed-link", "warning", 2, 5, 2, 7)]),
    # schemes: mistyped, or refused by the HTML writer; wiki names and relative paths are fine
    ("[[x|htps//x.org]] [[x|http:/x.org]]\n[[x|HTP://x.org]] <htps://x.org> [[x|mailto//a@b]]\n", [
        ("mistyped-scheme", "warning", 1, 1, 1, 18), ("mistyped-scheme", "warning", 1, 19, 1, 36),
        ("mistyped-scheme", "warning", 2, 1, 2, 18), ("mistyped-scheme", "warning", 2, 19, 2, 33),
        ("mistyped-scheme", "warning", 2, 34, 2, 51)]),
    ("[[x|javascript:alert(1)]] [[x|ftp://x]]\n::figure src=data:text/html,x\n", [
        ("refused-scheme", "warning", 1, 1, 1, 26), ("refused-scheme", "warning", 1, 27, 1, 40),
        ("refused-scheme", "warning", 2, 1, 2, 30)]),
    ("[[Page]] [[x|docs//a]] [[x|mailto:a@b]] [[x|/a/b]] [[x|#top]] <https://x.org>\n"
     "::figure src=data:image/png;base64,AA\n", []),
    # what loses or hides content is an error
    ("--- meta ---\ntitle: x\n# Lost\n", [("unclosed-metadata", "error", 1, 1, 1, 13)]),
    ("::callout\nHi\n\n## Section\ntext\n", [("swallowed-heading", "error", 1, 1, 1, 10)]),
    ("::footnotes\n[^a]: x\n# Next\n", [("unused-footnote", "warning", 2, 1, 2, 8),
                                       ("swallowed-heading", "error", 1, 1, 1, 12)][::-1]),
    ("::quote\nHi\n", [("unclosed-block", "warning", 1, 1, 1, 8)]),
    ("```\n# comment\n", [("unclosed-block", "warning", 1, 1, 1, 4)]),
    # an unknown profile line breaks the header: one diagnostic, none for the lines it turned to text
    ("@profile mdd\n@modules math\n--- meta ---\ntitle: Draft\n---\n\n# Hi\n",
     [("unknown-profile", "warning", 1, 1, 1, 13)]),
    ("@profile Md\n# Hi\nTitle\n---\n", [("unknown-profile", "warning", 1, 1, 1, 12),
                                      ("markdown-setext-heading", "warning", 4, 1, 4, 4)]),
]


@pytest.mark.parametrize("text, expected", BREAKS)
def test_what_breaks_a_document(text, expected):
    found = check(text)
    assert [(d.code, d.severity, d.line, d.column, *check_end(text, d)) for d in found] == expected
    assert all(d.hint for d in found)
    assert {d.code for d in found} <= set(CODES)


def check_end(text, d):
    before = text[: d.end]
    return before.count("\n") + 1, d.end - (before.rfind("\n") + 1) + 1


@pytest.mark.parametrize("text, message, hint", [
    ("@profile mdd\n@modules math\n--- meta ---\nk: 1\n---\n",
     "this line, the @modules line and the metadata block after it are read", "did you mean '@profile md'?"),
    ("@profile Md-strict\n", "this line is read", "did you mean '@profile md-strict'?"),
    ("@profile gfm\n", "this line is read", "write '@profile quillet', '@profile md' or '@profile md-strict'"),
    ("[[x|htp://x.org/a]]\n", "looks mistyped", "did you mean 'http://x.org/a'?"),
    ("[[x|http:///x.org]]\n", "looks mistyped", "did you mean 'http://x.org'?"),
    ("::quote\nq\n\n## Two\n", "never closed", "before line 4 ('## Two')"),
])
def test_hints_name_the_fix(text, message, hint):
    (found,) = check(text)
    assert message in found.message and hint in found.hint


def test_the_outline_finds_each_link_opener_left_as_text():
    # Not inside a link's label, a code span or code block; in emphasis and table cells too.
    text = "`[[c` [[d [[e]] *[[f*\n\n::table\n| [[g | h]] |\n::\n\n```\n[[i\n```\n"
    assert [text.encode()[at:at + 3] for at in _native.outline(text).unopened_links()] == [b"[[f", b"[[g"]


# URLs near every edge of the link checks: schemes in any case, one slip
# away, with ';' ',' '.' or too many slashes, behind control characters,
# blank, and letters that match a-z only without regard to case.
_URL_PARTS = ["http", "HTTPS", "htp", "mailto", "ftp", "javascript", "x.y", "a+b-c", "\u0130", "\u212a", "\u017f",
              ":", ";", ",", ".", "/", "//", "///", "\t", " ", "\x0b", "\u00a0", "\u3000", "x", "#", "?q", "\n"]


@given(st.lists(st.sampled_from(_URL_PARTS), max_size=6), st.sampled_from(["x", " x", "|", ""]))
@settings(max_examples=400, deadline=None)
def test_the_links_left_unchecked_hold_nothing_to_report(parts, label):
    # links_to_check leaves out links in which the checks find nothing: every
    # link they would report on, it keeps.
    url = "".join(parts).replace("\n", "")
    text = f"a [[{label}|{url}]] b [[{url}]]\n"
    data = text.encode()
    outline = _native.outline(text)
    kept = _native.links_to_check(outline, data)
    assert set(kept) <= set(outline.links())
    refused = set(_native.refused_urls([u for u, *_ in outline.links()], False))
    for i, (u, start, end, row, autolink) in enumerate(outline.links()):
        report = (not u.strip() or (not autolink and data[start + 2] in b" \t\r\n|")
                  or check_module._SUSPECT_URL.match(u) is not None or i in refused)
        if report:
            assert (u, start, end, row, autolink) in kept
    assert check(text) == check(pyql.parse_with_recovery(text), text=text)


@pytest.mark.parametrize("data, needle, limit, found", [
    (b"", b"](", 9, []),
    (b"](", b"](", 9, [0]),
    (b"a](b]]((](", b"](", 9, [1, 5, 8]),
    (b"aaaa", b"aa", 9, [0, 2]),
    (b"x" * 40 + b"\n==" + b"y" * 13 + b"\n==", b"\n==", 9, [40, 56]),
    (b"\n=" * 20 + b"\n==", b"\n==", 9, [40]),
    (b"](" * 50, b"](", 3, [0, 2, 4]),
    (b"x" * 15 + b"]", b"](", 9, []),
    (b"x" * 15 + b"](", b"](", 9, [15]),
])
def test_find_all(data, needle, limit, found):
    assert _native.find_all(data, needle, limit) == found
