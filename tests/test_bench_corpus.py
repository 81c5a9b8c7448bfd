"""The benchmark corpus: the same document in Quillet and in Markdown.

bench/compare.py's figures only mean something if the Quillet form parses
cleanly into every kind of node and the Markdown form says the same things.
"""

import re
from collections import Counter

import pytest

import pyql
from conftest import bench_script, walk

corpus = bench_script("corpus.py")

SIZE = 60_000


@pytest.fixture(scope="module")
def forms():
    return corpus.generate(SIZE)


def node_counts(document):
    return Counter(type(node).__name__ for block in document.blocks for node in walk(block))


def test_same_seed_same_text_other_seed_other_text(forms):
    assert corpus.generate(SIZE) == forms
    assert corpus.generate(SIZE, seed=1) != forms


@pytest.mark.parametrize("size", [10_000, 200_000])
def test_size_is_close_to_the_target(size):
    qlt, _ = corpus.generate(size)
    assert 0.95 * size <= len(qlt.encode()) <= 1.15 * size


def test_quillet_form_parses_cleanly_into_every_kind_of_node(forms):
    qlt, _ = forms
    result = pyql.parse_with_recovery(qlt)
    assert result.errors == []
    doc = result.document
    assert doc.metadata["title"] == "A generated document for benchmarks"
    assert doc.metadata["authors"] == ["Ada Lovelace", "Alan Turing"]
    assert doc.metadata["grid"] == [[1], [2.5], ["three"]]
    counts = node_counts(doc)
    every_kind = {
        "Heading", "Paragraph", "List", "ListItem", "CodeBlock", "Callout", "Quote", "Figure", "Table", "TableRow",
        "TableCell", "Footnotes", "FootnoteDef", "MathBlock", "Text", "Emphasis", "Strong", "CodeSpan", "Link",
        "AutoLink", "Strikethrough", "FootnoteRef",
    }
    assert every_kind <= set(counts), every_kind - set(counts)
    assert counts["FootnoteRef"] == counts["FootnoteDef"]
    assert not qlt.isascii()


def test_markdown_form_has_the_same_structures(forms):
    qlt, md = forms
    counts = node_counts(pyql.parse(qlt))
    md_lines = md.splitlines()
    table_rows = sum(1 for line in md_lines if line.startswith("| "))
    assert table_rows == counts["TableRow"]
    assert sum(1 for line in md_lines if re.match(r"(- |\d+\. )", line)) == counts["ListItem"]
    assert md.count("\n```") == qlt.count("\n```") + 2 * counts["MathBlock"]
    assert len(re.findall(r"^> \[!", md, re.M)) == counts["Callout"]
    assert len(re.findall(r"^!\[", md, re.M)) == counts["Figure"]
    assert len(re.findall(r"^\[\^\d+\]: ", md, re.M)) == counts["FootnoteDef"]
    assert len(re.findall(r"^#+ ", md, re.M)) == counts["Heading"]
    # Every labelled link of the Quillet form is in the Markdown form (quote prefixes and line breaks aside).
    flat_md = " ".join(md.replace("\n> ", "\n").split())
    for label, url in re.findall(r"\[\[([^|\]]+)\|([^\]]+)\]\]", qlt):
        assert f"[{' '.join(label.split())}]({url})" in flat_md


@pytest.mark.parametrize("args, names", [
    # Every row by default; a chunker that is not installed gives a note instead of its row.
    ([], ["parse", "sections", "chunks", "check", "records", "to_arrow", "to_text", "to_json", "to_html",
          "chonkie", "langchain"]),
    # A chunker without the chunks row asked for still has quillet.chunks timed beside it.
    (["--tools", "check,chonkie"], ["parse", "check", "chunks", "chonkie"]),
])
def test_tools_bench_prints_a_row_per_tool_and_exits_0(args, names, capsys):
    tools = bench_script("tools.py")
    assert tools.main(["--size", "10k", "--repeat", "1", *args]) == 0
    out = capsys.readouterr().out
    rows = {line.split()[1] for line in out.splitlines() if line.startswith("10k ")}
    missing = [name for name in names if name not in rows and f"{name}: not installed" not in out]
    assert not missing, out
    assert all(name in names for name in rows), out
