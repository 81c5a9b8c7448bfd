"""The tools agree with each other and with the parser: one form of every
argument, one title per heading, and the parser's own names and readings."""

import re

import pytest

import pyql
import quillet

# Every tool that takes a str source and a profile, called the same way.
TOOLS = {
    "to_dict": lambda s, p: quillet.to_dict(s, profile=p),
    "to_json": lambda s, p: quillet.to_json(s, profile=p),
    "to_text": lambda s, p: quillet.to_text(s, profile=p),
    "to_markdown": lambda s, p: quillet.to_markdown(s, profile=p),
    "to_html": lambda s, p: quillet.to_html(s, profile=p),
    "sections": lambda s, p: [x.as_dict() for x in quillet.sections(s, profile=p)],
    "chunks": lambda s, p: [x.as_dict() for x in quillet.chunks(s, profile=p)],
    "check": lambda s, p: [x.as_dict() for x in quillet.check(s, profile=p)],
    "records": lambda s, p: quillet.records(s, profile=p),
}
PROFILES = [(None, None), ("quillet", pyql.Profile.Quillet), ("md", pyql.Profile.Md),
            ("md-strict", pyql.Profile.MdStrict), (pyql.Profile.Md, pyql.Profile.Md)]
BAD_PROFILES = [
    ("gfm", ValueError, "profile must be one of quillet, md, md-strict, not 'gfm'"),
    ("Md", ValueError, "profile must be one of quillet, md, md-strict, not 'Md'"),
    (1, TypeError, "profile must be None, a pyql.Profile or its name, not int"),
    (b"md", TypeError, "profile must be None, a pyql.Profile or its name, not bytes"),
]
SOURCE = "# Title\n\n::list\n- a *b*\n::\n"


@pytest.mark.parametrize("tool", TOOLS)
def test_every_tool_takes_every_profile_form(tool):
    call = TOOLS[tool]
    for given, member in PROFILES:
        assert call(SOURCE, given) == call(SOURCE, member), given
    assert quillet.to_dict(SOURCE, profile="md-strict")["document"]["profile"] == "MdStrict"
    for given, error, text in BAD_PROFILES:
        with pytest.raises(error, match=f"^{re.escape(text)}$"):
            call(SOURCE, given)


def test_profile_names_are_the_parsers():
    assert quillet._native.PROFILE_NAMES == ("quillet", "md", "md-strict")
    for name in quillet._native.PROFILE_NAMES:
        document = pyql.parse(f"@profile {name}\n")
        assert quillet.records(f"@profile quillet\n# a\n", profile=name)[0]["heading_path"] == ["a"]
        assert quillet.to_dict(SOURCE, profile=name)["document"]["profile"] == repr(document.profile).split(".")[-1]


def test_records_take_the_sources_the_other_tools_take():
    result = pyql.parse_with_recovery(SOURCE)
    rows = quillet.records(SOURCE)
    for source in (result, result.document, list(result.document.blocks), tuple(result.document.blocks)):
        assert [r["text"] for r in quillet.records(source)] == [r["text"] for r in rows]
    with pytest.raises(TypeError, match="^source must be a str, a pyql.Document, a pyql.ParseResult or a list"):
        quillet.records(3)


# A heading, and the title every tool gives it: the text a reader sees, a
# code span's text kept, footnote references left out, links by their label.
HEADINGS = [
    ("# A `code` [^1] https://x.org", "A code  https://x.org"),
    ("# *a* **b** ~~c~~", "a b c"),
    ("# see [[the label|https://x.org]] now", "see the label now"),
    ("#   wide   ", "wide"),
    ("# [^1]", ""),
    ("# `[^1]`", "[^1]"),
]


@pytest.mark.parametrize(("heading", "title"), HEADINGS)
def test_every_tool_gives_a_heading_one_title(heading, title):
    src = f"@modules footnotes, autolink, strikethrough\n{heading}\n\ntext\n\n::footnotes\n[^1]: note\n::\n"
    sections = list(quillet.iter_sections(quillet.sections(src)))
    assert [(s.title, s.path) for s in sections] == [(title, (title,))]
    assert {c.path for c in quillet.chunks(src)} == {(title,)}
    assert {tuple(r["heading_path"]) for r in quillet.records(src)} == {(title,)}
    if title:  # the HTML page's title is the first heading's text too
        page = quillet.to_html(src, standalone=True)
        assert re.search("<title>(.*)</title>", page).group(1).strip() == title


def test_the_directives_are_the_parsers():
    from quillet import _native

    for name, keys, words in _native.DIRECTIVES:
        src = f"@modules html\n::{name}\n::\n"
        assert pyql.parse_with_recovery(src).errors == [], name
        assert type(pyql.parse(src).blocks[0]).__name__ != "RawBlock", name
        for key in keys:  # a known key draws no warning, an unknown one does
            codes = [d.code for d in quillet.check(f"::{name} {key}=1\n::\n")]
            assert "unknown-attribute" not in codes, (name, key)
        for word in words:
            assert quillet.check(f"::{name} {word}\n::\n") == [], (name, word)
    assert [e.kind for e in pyql.parse_with_recovery("::nosuch\n::\n").errors] == [pyql.ParseErrorKind.UnknownDirective]


# Each error the parser records, and the construct it is about.
ERRORS = [
    ("::nosuch x\n::\n", "unknown-directive"),
    ("::list\n- a\n# b\n", "unclosed-list"),
    ("::list\n- a\nb\n::\n", "invalid-list-item"),
    ("::table\n| a |\n\n| b |\n::\n", "unclosed-table"),
    ("@modules html\n::html\n<b>\n", "unclosed-html"),
]


@pytest.mark.parametrize(("src", "code"), ERRORS)
def test_every_error_has_the_code_of_its_construct(src, code):
    from quillet import _native

    errors = pyql.parse_with_recovery(src).errors
    assert [_native.error_code(int(e.kind), e.message) for e in errors] == [code]
    assert [d.code for d in quillet.check(src) if d.severity == "error"] == [code]
    assert _native.error_code(int(errors[0].kind), "something else") == "parse-error"


# An attribute list, the pairs the parser reads from it, and where it stops.
ATTRIBUTE_LISTS = [
    ('type=tip title="Two words"', [("type", "tip"), ("title", "Two words")], None),
    ("  a=1\tb=2 c", [("a", "1\tb=2")], ("no-pair", None, "c")),
    ('kind=x title="never closed  ', [("kind", "x")], ("unclosed-quote", "title", '"never closed')),
    ("é=ü words here", [("é", "ü")], ("no-pair", None, "words here")),
    ("", [], None),
]


@pytest.mark.parametrize(("args", "pairs", "stop"), ATTRIBUTE_LISTS)
def test_attribute_lists_are_read_as_the_parser_reads_them(args, pairs, stop):
    from quillet import _native

    data = args.encode()
    got_pairs, got_stop = _native.read_attributes(args)
    assert [(k, v) for (k, _), (v, _) in got_pairs] == pairs
    for (key, (start, end)), (value, (vstart, vend)) in got_pairs:
        assert (data[start:end].decode(), data[vstart:vend].decode()) == (key, value)
    if stop is None:
        assert got_stop is None
    else:
        reason, key, (rest, (start, end)) = got_stop
        assert (reason, key and key[0], rest, data[start:end].decode()) == (*stop, rest)
    callout = pyql.parse(f"::callout {args}\n::\n").blocks[0]
    assert (callout.kind, callout.title) == (dict(pairs).get("type", "note"), dict(pairs).get("title"))


# A header, and the parts read from it: the profile line (line, name, profile), the modules line (line, what
# follows the prefix, names) and the metadata block (its lines, closed), each as the text its spans cover.
HEADERS = [
    ("@profile md\n@modules tables, , bogus,math\n--- meta ---\na: 1\n---\n# x\n",
     ("@profile md", "md", "md"), ("@modules tables, , bogus,math", " tables, , bogus,math",
                                   [("tables", "tables"), ("bogus", None), ("math", "math")]),
     ("--- meta ---\na: 1\n---", True)),
    ("\n \t\n  @profile  md-strict \r\n\n@modules\r\n\n---meta\r\nk: v\r\n",
     ("  @profile  md-strict ", "md-strict", "md-strict"), ("@modules", "", []), ("---meta\r\nk: v", False)),
    ("@profile gfm\n@modules math\n--- meta ---\n", ("@profile gfm", "gfm", None), None, None),
    ("@modulesé, ü\n--- meta ---", None, ("@modulesé, ü", "é, ü", [("é", None), ("ü", None)]),
     ("--- meta ---", False)),
    ("# Title\n@profile md\n", None, None, None),
    ("---\na: 1\n---\n", None, None, None),
    ("", None, None, None),
]


@pytest.mark.parametrize(("text", "profile", "modules", "metadata"), HEADERS)
def test_the_header_is_read_as_the_parser_reads_it(text, profile, modules, metadata):
    from quillet import _native

    data = text.encode()

    def at(span):
        return data[span[0] : span[1]].decode()

    def name(names, value):
        return None if value is None else names[value]

    got_profile, got_modules, got_metadata = _native.read_header(text)
    if profile is None:
        assert got_profile is None
    else:
        line, written, name_span, value = got_profile
        assert (at(line), written, at(name_span), name(_native.PROFILE_NAMES, value)) == (profile[0], profile[1], profile[1], profile[2])
    if modules is None:
        assert got_modules is None
    else:
        line, names, found = got_modules
        assert (at(line), at(names)) == modules[:2]
        assert [(n, name(_native.MODULE_NAMES, v)) for n, span, v in found] == modules[2]
        assert [at(span) for n, span, _ in found] == [n for n, _ in modules[2]]
    assert got_metadata == (None if metadata is None else (got_metadata[0], metadata[1]))
    if metadata is not None:
        assert at(got_metadata[0]) == metadata[0]
    # What the parse took from the same header.
    document = pyql.parse_with_recovery(text).document
    named = profile is not None and profile[2] is not None
    assert int(document.profile) == (got_profile[3] if named else int(pyql.Profile.Quillet))
    assert [int(m) for m in document.modules] == [v for _, _, v in (got_modules or (0, 0, ()))[2] if v is not None]
    assert (document.metadata is not None) == (metadata is not None)
    with pytest.raises(TypeError, match="^read_header"):
        _native.read_header(b"@profile md")
