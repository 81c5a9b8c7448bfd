"""from_markdown: the mapping as a table (Markdown, the Quillet it becomes, the codes of what was lost), the
diagnostics' positions, the command's --from markdown, and the proof on hand-written files, the READMEs that
installed packages ship and hypothesis texts: no text makes it raise, every result parses without errors,
and a Markdown reader finds in the result written back as Markdown (quillet.to_markdown) the headings,
emphasis, links, code, cells and items it found in the Markdown, unless a diagnostic says what was lost.
A word joiner (U+2060), the converter's escape, shows nothing: the comparison leaves it out."""

from __future__ import annotations

import importlib.metadata
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import pyql
from conftest import ROOT
from quillet import from_markdown, to_markdown
from test_cli import err_lines, run_cli
from test_markdown_readback import read_events

DATA = ROOT / "tests" / "data" / "markdown"
WJ = "\u2060"

# ----------------------------------------------------------------- the mapping

MAPPING = [
    # Markdown, the Quillet text, the codes of the diagnostics
    ("# H *a*\n\nSub\n---\n", "# H *a*\n\n## Sub\n", []),
    ("a *b* **c** ~~d~~ `e` [f](g) <http://h>\n", "a *b* **c** ~~d~~ `e` [[f|g]] <http://h>\n", []),
    ("x[^1]\n\n[^1]: one\n[^b]: two\n", "x[^1]\n\n::footnotes\n[^1]: one\n[^b]: two\n::\n", []),
    ("<me@x.org> <ab:c>\n", "[[me@x.org|mailto:me@x.org]] [[ab:c]]\n", []),
    ("3. a\n4. b\n\n- c\n", "::list ordered start=3\n- a\n- b\n::\n\n::list\n- c\n::\n", []),
    ("- \n- b\n", f"::list\n- {WJ}\n- b\n::\n", []),
    ("| a | |\n|-|-|\n| --- | `x` |\n", f"::table\n| a | {WJ} |\n|---|\n| --{WJ}- | `x` |\n::\n", []),
    ("```py\na\n\n```\n\n    b\n", "```py\na\n\n```\n\n```\nb\n```\n", []),
    ("> q\n>\n> r\n\n> [!CAUTION]\n> c\n", "::quote\nq\n\nr\n::\n\n::callout type=caution\nc\n::\n", []),
    ("![a b](p.png)\n\n$$\nE\n$$\n\n***\n", '::figure src="p.png" alt="a b"\n\n::math display\nE\n::\n\n---\n', []),
    ("<div>\n::\n</div>\n", f"@modules html\n\n::html\n<div>\n::{WJ}\n</div>\n::\n", ["html-closing-line"]),
    # text that would read as markup stays text
    ("\\# a\n\\::list\nb\n:c\n", f"{WJ}# a\n{WJ}::list\nb\n{WJ}:c\n", []),
    ("@profile md\n", f"{WJ}@profile md\n", []),
    ("\\[[x]] \\[^y] \\~~z~~ \\<http://w>\n", f"[{WJ}[x]] [{WJ}^y] ~{WJ}~z~{WJ}~ <http:{WJ}//w>\n", []),
    ("***x*** *a*__b__\n", f"*{WJ}**{WJ}x{WJ}**{WJ}*{WJ} {WJ}*{WJ}a{WJ}*{WJ}**{WJ}b{WJ}**\n", []),
    ("2 \\* 3 \\* 4\n\na\\*b\\*c\n", "2 * 3 * 4\n\na\u2217b\u2217c\n", ["literal-markup"]),
    ("`` a`b ``\n", "`a\u02cbb`\n", ["code-backtick"]),
    ("*a `b*` c*\n", f"a {WJ}`b*`{WJ} c\n", ["markup-lost"]),
    ("*a _b_ c*\n", "*a b c*\n", ["nested-markup"]),
    # what Quillet cannot hold, reported
    ("[l](u \"t\") [*e*](v) a ![i](p.png)\n", "[[l|u]] [[e|v]] a [[i|p.png]]\n",
     ["link-title", "link-markup", "inline-image"]),
    ("[a|b\\]](u)\n", "[[a\u2223b\uff3d|u]]\n", ["link-label"]),
    ("a  \nb <b>c</b> $x$\n", "a\nb <b>c</b> $x$\n", ["hard-break", "inline-html", "inline-html", "inline-math"]),
    ("- a\n  - b\n\n  c\n", "::list\n- a\n  | - b\n  | c\n::\n", ["list-content"]),
    ("> # h\n> - i\n", "::quote\nh\n\n- i\n::\n", ["quote-content"]),
    ("| a |\n|:-:|\n| [t](u) \\| |\n", "::table\n| a |\n|---|\n| [[u]] \u2223 |\n::\n",
     ["table-alignment", "table-link", "table-bar"]),
    ("````\n```\n````\n", f"```\n```{WJ}\n```\n", ["code-fence-inside"]),
    ("[^n]: a\n\n    b\n", "::footnotes\n[^n]: a b\n::\n", ["footnote-content"]),
    ("a\ud800*b*\n", "a\ufffd*b*\n", ["surrogate"]),
    ('![a "q" b](p.png "t")\n', '::figure src="p.png" alt="a \u201dq\u201d b"\n', ["image-title", "attribute-quote"]),
    # front matter: scalars and flat lists; the rest left out
    ("---\nt: T\nn: 007\nf: 1e3\nb: yes\nok: True\nl: [a, 'b c', 2]\nm:\n  - x\n  - 1\n---\nz\n",
     '--- meta ---\nt: "T"\nn: 7\nf: 1000.0\nb: "yes"\nok: true\nl: ["a", "b c", 2]\nm: ["x", 1]\n---\n\nz\n', []),
    ("---\nd:\n  e: 1\nn: ~\nq: \"a, 'b\"\nr: [\"a,b\"]\n---\n", '--- meta ---\nn: ""\nq: "a, \'b"\nr: []\n---\n',
     ["front-matter", "front-matter", "front-matter"]),
]


@pytest.mark.parametrize("markdown, quillet, codes", MAPPING)
def test_mapping(markdown, quillet, codes):
    result = from_markdown(markdown)
    assert (result.text, [d.code for d in result.diagnostics]) == (quillet, codes)
    assert pyql.parse_with_recovery(result.text).errors == []


def test_front_matter_off_reads_a_thematic_break():
    assert from_markdown("---\na: 1\n---\n", front_matter=False).text == "---\n\n## a: 1\n"


def test_diagnostics_point_into_the_markdown():
    source = "é\r\n\r\n> x\r\n> - [é](u 't')\r\n"
    (quote, title) = from_markdown(source).diagnostics
    line = "> - [é](u 't')"
    start = source.index(line)
    assert (title.line, title.column, title.start, title.end) == (4, 1, start, start + len(line))
    assert title.span == (len(source[:start].encode()), len(source[:start + len(line)].encode()))
    assert (quote.code, quote.severity) == ("quote-content", "warning")


@pytest.mark.parametrize("source, error", [(b"# x", TypeError), (None, TypeError)])
def test_arguments(source, error):
    with pytest.raises(error):
        from_markdown(source)
    with pytest.raises(TypeError):
        from_markdown("x", front_matter=1)


def test_missing_extra_names_it():
    code = ("import sys; sys.modules['markdown_it'] = None\nimport quillet\n"
            "try:\n    quillet.from_markdown('x')\nexcept ImportError as exc:\n    print(exc)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert "pip install 'quillet-parser[markdown]'" in run.stdout, run.stderr


# ----------------------------------------------------------------- what a reader finds

def unjoined(events):
    """Events without word joiners: texts lose them, texts left empty go, neighbours join."""
    if isinstance(events, str):
        return events.replace(WJ, "")
    if not isinstance(events, (list, tuple)):
        return events
    out = []
    for ev in events:
        ev = unjoined(ev)
        if isinstance(ev, tuple) and ev[:1] == ("t",):
            if not ev[1]:
                continue
            if out and isinstance(out[-1], tuple) and out[-1][:1] == ("t",):
                out[-1] = ("t", out[-1][1] + ev[1])
                continue
        if ev == " " and (not out or out[-1] == " ") or ev == ("p", []):
            continue
        out.append(ev)
    while out and out[-1] == " ":
        out.pop()
    return type(events)(out)


def events(markdown):
    out = []
    for ev in read_events(markdown):
        # Math blocks and indented code are written back as fences.
        if ev[0] == "math_block":
            ev = ("code", "math", ev[1].strip("\n") + "\n")
        elif ev[0] == "code_block":
            ev = ("code", "", ev[1])
        elif out[-2:-1] == [("quote",)] and ev[0] == "p" and out[-1][1][:1] and re.fullmatch(
                r"\[!\w+\]", str(out[-1][1][0][1])):
            # An alert's line and the paragraph after it, apart in the Markdown, are one when written back.
            out[-1] = ("p", [*out[-1][1], " ", *ev[1]])
            continue
        out.append(ev)
    return unjoined(out)


def converted(markdown):
    """The result, after checking that it parses without errors; and whether a reader finds the same."""
    result = from_markdown(markdown)
    assert pyql.parse_with_recovery(result.text).errors == [], result.text
    return result, events(markdown) == events(to_markdown(result.text))


@pytest.mark.parametrize("name", ["guide.md", "literal.md", "lossy.md"])
def test_hand_written_files(name):
    result, same = converted((DATA / name).read_text(encoding="utf-8"))
    # What Quillet can express comes back whole; what it cannot is reported.
    assert (same, not result.diagnostics) == (name != "lossy.md",) * 2, result.diagnostics


def package_readmes(limit=40, size=300_000):
    """The Markdown long descriptions of installed distributions, a bounded sample in a fixed order."""
    found = {}
    for dist in importlib.metadata.distributions():
        meta = dist.metadata
        body = meta.get_payload() or meta.get("Description") or ""
        if "markdown" in (meta.get("Description-Content-Type") or "") and 0 < len(body) <= size:
            found.setdefault(meta["Name"], body)
    return [found[name] for name in sorted(found)[:limit]] + [(ROOT / "README.md").read_text(encoding="utf-8")]


def test_package_readmes():
    readmes = package_readmes()
    assert len(readmes) > 5
    for text in readmes:
        result, same = converted(text)
        assert same or result.diagnostics


PIECES = ["a", "b c", " ", "*", "**", "_", "~~", "`", "\\*", "\\`", "\\[", "[a](http://u)", "<http://x.y>",
          "[^1]", "[[", "]]", "::", "<b>", "$x$", "|", "#", "![i](p.png)", "&amp;", "<", ">", ":", "-", "é"]
STARTS = ["", "# ", "## ", "- ", "1. ", "> ", "> [!NOTE]\n> ", "    ", "```\n", "---\n", "| a | b |\n|---|---|\n| ",
          ":", "::", "@profile ", "Title\n===\n", "  - ", "\\# ", "$$\n"]
LINE = st.tuples(st.sampled_from(STARTS), st.lists(st.sampled_from(PIECES), max_size=8).map("".join)).map("".join)
MARKDOWN = st.lists(st.tuples(LINE, st.sampled_from(["\n", "\n\n"])).map("".join), min_size=1, max_size=6).map(
    lambda lines: "".join(lines) + "\n[^1]: note\n")
PROOF = settings(max_examples=300, deadline=None, derandomize=True, database=None)


@PROOF
@given(MARKDOWN)
def test_markdown_reads_back_or_says_why(markdown):
    result, same = converted(markdown)
    assert same or result.diagnostics


@PROOF
@given(st.text())
def test_any_text_converts(text):
    converted(text)


# Converts every hostile family at 128 kB in a child, under a timeout far above what a linear conversion takes.
CHILD = """
import runpy, sys
import pyql
from quillet import from_markdown
for name, family in runpy.run_path(sys.argv[1])["FAMILIES"].items():
    assert pyql.parse_with_recovery(from_markdown(family(1 << 17).text).text).errors == [], name
"""


def test_hostile_inputs_convert_in_linear_time():
    subprocess.run([sys.executable, "-c", CHILD, str(ROOT / "bench" / "families.py")], check=True, timeout=600,
                   cwd=ROOT)


# ----------------------------------------------------------------- the command

def test_command_from_markdown(tmp_path):
    (tmp_path / "docs" / "sub").mkdir(parents=True)
    (tmp_path / "docs" / "a.md").write_text("# A\n\nx  \ny\n", encoding="utf-8")
    (tmp_path / "docs" / "sub" / "b.markdown").write_text("- b\n", encoding="utf-8")
    (tmp_path / "docs" / "c.qlt").write_text("# not Markdown\n", encoding="utf-8")
    proc = run_cli("--from", "markdown", "-o", "out", "docs", cwd=tmp_path)
    assert (proc.returncode, err_lines(proc)) == (
        0, ["docs/a.md:3:1: warning: a hard line break is written as a line break [hard-break]"])
    written = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.qlt"))
    assert written == ["a.qlt", "sub/b.qlt"]
    assert (tmp_path / "out" / "a.qlt").read_text(encoding="utf-8") == "# A\n\nx\ny\n"
    proc = run_cli("--from", "markdown", "--to", "html", "-", stdin=b"*a* [b](c)\n")
    assert (proc.returncode, proc.stdout) == (0, b'<p><em>a</em> <a href="c">b</a></p>\n')
    proc = run_cli("--to", "quillet", "-", stdin=b"x\n")
    assert (proc.returncode, err_lines(proc)) == (
        2, ["quillet: --to quillet writes converted documents: it goes with --from markdown"])


def test_readme_example(capsys):
    page = (ROOT / "docs" / "from-markdown.md").read_text(encoding="utf-8")
    code = re.search(r"```python\n(.*?)```", page, re.S).group(1)
    exec(compile(code, "docs/from-markdown.md", "exec"), {})
    shown = [line[2:] for line in code.splitlines() if line.startswith("# ")]
    assert capsys.readouterr().out.replace("\n\n", "\n").splitlines() == shown
