"""The native JSON writer: byte for byte what the Python export writes for the
ParseResult of the same text, with every json.dumps option it takes."""

import json
import math
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import pyql
from quillet import to_json
import test_blocks
import test_containers
import test_export
import test_header
import test_inline
from conftest import ROOT, bench_script
from quillet.export import PRETTY_DEPTH, to_json as reference_json
from test_properties import TEXTS


corpus = bench_script("corpus.py")
families = bench_script("families.py")


def native_json(text, **kwargs):
    return to_json(text, **kwargs)


def check(text, **kwargs):
    assert native_json(text, **kwargs) == reference_json(pyql.parse_with_recovery(text), **kwargs)


KWARGS = [
    {},
    {"indent": 2},
    {"indent": 0},
    {"indent": -1},
    {"indent": "\t"},
    {"separators": (",", ":")},
    {"sort_keys": True},
    {"ensure_ascii": False},
    {"indent": 2, "sort_keys": True},
    {"indent": 1, "separators": (" ,", " = "), "ensure_ascii": False},
    {"separators": (" ;\n  next: ", "=>"), "sort_keys": True, "ensure_ascii": False},
]
KWARG_IDS = [repr(kw) for kw in KWARGS]
# The default and the option that changes the most at once, for the larger tables.
SOME_KWARGS = [{}, {"indent": 2, "sort_keys": True, "ensure_ascii": False}]


def table_sources():
    """The source texts of the parser's test tables."""
    tables = [test_blocks.CLEAN, test_blocks.WITH_ERRORS, test_containers.CASES, test_header.PROFILES,
              test_header.MODULES, test_header.METADATA, test_inline.CASES, test_export.BLOCKS]
    sources = {row[0] for table in tables for row in table if isinstance(row[0], str)}
    sources.update(test_inline.PLAIN)
    sources.update(f"--- meta ---\nk: {value}\n---\n" for value, _ in test_header.VALUES)
    return sorted(sources)


EXAMPLES = sorted((ROOT / "examples").glob("*.qlt"))


@pytest.mark.parametrize("kwargs", KWARGS, ids=KWARG_IDS)
@pytest.mark.parametrize("path", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_examples(path: Path, kwargs):
    check(path.read_text(encoding="utf-8"), **kwargs)


@pytest.mark.parametrize("kwargs", SOME_KWARGS, ids=repr)
def test_sources_of_the_test_tables(kwargs):
    sources = table_sources()
    assert len(sources) > 300
    for text in sources:
        check(text, **kwargs)


@pytest.mark.parametrize("kwargs", KWARGS, ids=KWARG_IDS)
def test_bench_corpus(kwargs):
    text, _ = corpus.generate(10_000)
    check(text, **kwargs)


@settings(max_examples=150, deadline=None)
@given(TEXTS, st.sampled_from(KWARGS))
def test_generated_documents(text, kwargs):
    check(text, **kwargs)


def meta(*lines):
    return "--- meta ---\n" + "".join(line + "\n" for line in lines) + "---\n"


EVERY_ESCAPE = "".join(map(chr, range(0x21))) + '"\\/\x7f\x80\xa0\xffé\u2028\ufeff\uffff日\U0001f642\U0010ffff'

# Documents whose header or content the other tables reach only by chance.
SHAPED = [
    pytest.param("", id="empty"),
    pytest.param("::nope\n", id="errors only"),
    pytest.param("@modules html, math, tables\n", id="modules, no blocks"),
    pytest.param(meta(), id="empty metadata"),
    pytest.param(meta("b: 1", "a: 2", "b: [3]", "é: x", "Z: y", "a: 4", "\u00e9\u0301: z"), id="repeated keys"),
    pytest.param(meta("k: []", "l: [[], [[]], 1, [[[]]]]"), id="empty lists"),
    # d levels deep, with more elements at the top
    pytest.param(meta(*(f"d{d}: [" + "[" * (d - 1) + "1" + "]" * (d - 1) + ", 'x', []]"
                        for d in (2, PRETTY_DEPTH, PRETTY_DEPTH + 1, 3 * PRETTY_DEPTH))),
                 id="lists about as deep as are indented"),
    pytest.param(meta("d: [" + "[" * PRETTY_DEPTH + "]" * PRETTY_DEPTH + ", [1]]"), id="deep, then shallow"),
    pytest.param(meta(f"k: '{EVERY_ESCAPE}'", f"{EVERY_ESCAPE}: 1"), id="escapes in metadata"),
    pytest.param(f"# {EVERY_ESCAPE}\n\n```{EVERY_ESCAPE}\n{EVERY_ESCAPE}\n```\n", id="escapes in nodes"),
    pytest.param("::list ordered start=18446744073709551615\n- a\n::\n", id="largest list start"),
    pytest.param("```\n" + ("x" * 40_000 + '\t"é\n') * 3 + "```\n", id="long runs without escapes"),
]


@pytest.mark.parametrize("kwargs", KWARGS, ids=KWARG_IDS)
@pytest.mark.parametrize("text", SHAPED)
def test_shaped_documents(text, kwargs):
    check(text, **kwargs)


FLOATS = [0.0, -0.0, 1.0, -1.5, 0.1, 1 / 3, 1e-4, 1e-5, 1.5e-05, 123456789.125, 1e15, 1e16, 9999999999999998.0,
          1.2345678901234567e16, 1e22, 1e100, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
          math.inf, -math.inf]


def float_text(value):
    """A metadata text that reads as exactly `value`."""
    return "1.0e999" if value == math.inf else "-1.0e999" if value == -math.inf else f"{value:.17e}"


def check_floats(values):
    text = meta("f: [" + ", ".join(float_text(v) for v in values) + "]")
    assert pyql.parse(text).metadata["f"] == [v for v in values]
    for kwargs in SOME_KWARGS:
        check(text, **kwargs)


def test_floats():
    check_floats(FLOATS)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(allow_nan=False) | st.floats(-1e6, 1e6).map(lambda f: round(f, 3)), max_size=20))
def test_generated_floats(values):
    check_floats(values)


def test_metadata_a_million_lists_deep():
    depth = 1_000_000
    text = meta("deep: " + "[" * depth + "1" + "]" * depth, "after: 2")
    for kwargs in ({}, {"indent": 2}):
        out = native_json(text, **kwargs)
        assert "[" * depth + "1" + "]" * depth + "," in out


@pytest.mark.parametrize("name", sorted(families.FAMILIES))
def test_hostile_families_write_valid_json(name):
    text = families.FAMILIES[name](1_000).text
    out = native_json(text)
    assert json.loads(out)["document"]["span"] == [0, len(text.encode())]
    assert out == reference_json(pyql.parse_with_recovery(text))
