"""The quillet command and the byte offset to line/column conversion."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pyql
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "python"
TOUR = ROOT / "examples" / "tour.qlt"
ERRORS = ROOT / "examples" / "errors.qlt"

# The companion package is tested from the source tree; pyql comes from the
# installed build.
if str(SOURCE) not in sys.path:
    sys.path.insert(0, str(SOURCE))

from quillet.cli import Progress, format_value  # noqa: E402
from quillet.export import to_dict  # noqa: E402
from quillet.lines import LineIndex, line_col  # noqa: E402


def run_cli(
    *args: str, stdin: bytes | None = None, cwd: Path = ROOT
) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SOURCE), env.get("PYTHONPATH")]))
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run(
        [sys.executable, "-m", "quillet.cli", *args],
        input=stdin if stdin is not None else b"",
        capture_output=True,
        cwd=cwd,
        env=env,
        timeout=120,
    )


def out_lines(proc: subprocess.CompletedProcess) -> list[str]:
    return proc.stdout.decode("utf-8").splitlines()


def err_lines(proc: subprocess.CompletedProcess) -> list[str]:
    return proc.stderr.decode("utf-8").splitlines()


def line_no(path: Path, line_text: str) -> int:
    return path.read_text(encoding="utf-8").splitlines().index(line_text) + 1


# ---------------------------------------------------------------------------
# line_col

LINE_COL_CASES = [
    # text, byte offset, (line, column)
    ("", 0, (1, 1)),
    ("h\u00e9llo\nw\u00f6rld\n", 0, (1, 1)),
    ("h\u00e9llo\nw\u00f6rld\n", 1, (1, 2)),  # start of the two-byte e-acute
    ("h\u00e9llo\nw\u00f6rld\n", 2, (1, 2)),  # inside it: the column of that character
    ("h\u00e9llo\nw\u00f6rld\n", 3, (1, 3)),
    ("h\u00e9llo\nw\u00f6rld\n", 6, (1, 6)),  # the line feed itself
    ("h\u00e9llo\nw\u00f6rld\n", 7, (2, 1)),  # a line start
    ("h\u00e9llo\nw\u00f6rld\n", 10, (2, 3)),
    ("h\u00e9llo\nw\u00f6rld\n", 14, (3, 1)),  # end of a text ending in a line feed
    ("h\u00e9llo\nw\u00f6rld", 13, (2, 6)),  # end of a text without one
    ("\u3000::note", 3, (1, 2)),  # ideographic space: 3 bytes, 1 character
    ("\U0001f600x\n\U0001f600y", 4, (1, 2)),  # 4-byte character
    ("\U0001f600x\n\U0001f600y", 10, (2, 2)),
    ("ab\r\ncd\r\n", 2, (1, 3)),  # the carriage return belongs to its line
    ("ab\r\ncd\r\n", 4, (2, 1)),
    ("ab\r\ncd\r\n", 6, (2, 3)),
    ("ab\r\ncd\r\n", 8, (3, 1)),
    ("a\rb", 2, (1, 3)),  # a lone carriage return ends no line
    ("\n\n\n", 2, (3, 1)),
]


@pytest.mark.parametrize("text, offset, expected", LINE_COL_CASES)
def test_line_col(text, offset, expected):
    assert line_col(text, offset) == expected
    assert line_col(text.encode("utf-8"), offset) == expected


@pytest.mark.parametrize("text, offset", [("abc", -1), ("abc", 4), ("", 1), ("\u00e9", 3)])
def test_line_col_rejects_offsets_outside_the_text(text, offset):
    with pytest.raises(ValueError):
        line_col(text, offset)


def reference_line_col(data: bytes, offset: int) -> tuple[int, int]:
    before = data[:offset].decode("utf-8", "ignore")  # drops a cut character
    return before.count("\n") + 1, len(before) - (before.rfind("\n") + 1) + 1


@settings(max_examples=200, deadline=None)
@given(
    text=st.text(alphabet=st.sampled_from("a \u00e9\u3000\U0001f600\n\r"), max_size=40),
    picks=st.lists(st.integers(min_value=0), max_size=20),
)
def test_line_index_answers_any_query_order_like_a_fresh_count(text, picks):
    # One index serves many queries, in any order and repeated, without the
    # remembered previous answer leaking into the next one.
    data = text.encode("utf-8")
    index = LineIndex(text)
    for pick in picks:
        offset = pick % (len(data) + 1)
        assert index.line_col(offset) == reference_line_col(data, offset)


# ---------------------------------------------------------------------------
# Rendering of metadata values


def nested(depth: int) -> list:
    value: list = [1]
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize(
    "value, expected",
    [
        ("it's", '"it\'s"'),
        ("a\nb", "'a\\nb'"),
        (True, "True"),
        (-12, "-12"),
        (6.02e23, "6.02e+23"),
        (float("inf"), "inf"),
        ([], "[]"),
        (["a", 1, [2.5, [False]], []], "['a', 1, [2.5, [False]], []]"),
        (nested(3), "[[[1]]]"),
    ],
)
def test_format_value(value, expected):
    assert format_value(value) == expected


def test_format_value_has_no_depth_limit():
    depth = 100_000
    assert format_value(nested(depth)) == "[" * depth + "1" + "]" * depth


# ---------------------------------------------------------------------------
# The command on the examples


@pytest.fixture(scope="module")
def tour():
    return run_cli("examples/tour.qlt")


def test_tour_parses_without_errors(tour):
    assert (tour.returncode, tour.stderr) == (0, b"")
    size = len(TOUR.read_bytes())
    assert out_lines(tour)[0] == (
        f"Document 0..{size} profile=Quillet modules=[Tables, Footnotes, Math, Html]"
    )


def tour_line_start(line_text: str) -> int:
    """Byte offset of the last line of tour.qlt that reads exactly line_text."""
    return TOUR.read_bytes().rindex(b"\n" + line_text.encode("utf-8") + b"\n") + 1


def tour_span(line_text: str) -> str:
    start = tour_line_start(line_text)
    return f"{start}..{start + len(line_text.encode('utf-8'))}"


@pytest.mark.parametrize(
    "expected",
    [
        "  metadata:",
        "    title = 'A tour of Quillet'",
        "    subtitle = 'Every construct, once: quoted'",
        "    motto = 'true'",
        "    draft = False",
        "    published = True",
        "    version = 3",
        "    offset = -12",
        "    ratio = 0.75",
        "    avogadro = 6.02e+23",
        "    tags = ['parser', 'markup', 'plain text', 42]",
        "    grid = [[1], ['two'], [2.5], []]",
        "    deep = [[[1]]]",
        f"  ThematicBreak {tour_span('---')}",
        f"  Heading {tour_span('#### Code fences')} level=4",
    ],
)
def test_tour_prints_line(tour, expected):
    assert expected in out_lines(tour)


def test_tour_prints_children_one_level_deeper(tour):
    title = "# A tour of Quillet"
    s = tour_line_start(title)
    e = s + len(title)
    lines = out_lines(tour)
    at = lines.index(f"  Heading {s}..{e} level=1")
    assert lines[at + 1] == f"    Text {s + 2}..{e} content='A tour of Quillet'"


def test_tour_prints_nested_inlines_in_order(tour):
    line = "nest: **bold with *emphasis* inside** and *emphasis with ~~a strike~~*."
    base = tour_line_start(line)
    strong = base + line.index("**bold")
    emph = base + line.index("*emphasis*")
    expected = [
        f"    Strong {strong}..{strong + 31}",
        f"      Text {strong + 2}..{emph} content='bold with '",
        f"      Emphasis {emph}..{emph + 10}",
        f"        Text {emph + 1}..{emph + 9} content='emphasis'",
        f"      Text {emph + 10}..{strong + 29} content=' inside'",
    ]
    lines = out_lines(tour)
    at = lines.index(expected[0])
    assert lines[at : at + len(expected)] == expected


@pytest.mark.parametrize(
    "pattern",
    [
        r"^    Link \d+\.\.\d+ url='https://example\.org'$",
        r"^      Text \d+\.\.\d+ content='the example site'$",
        r"^    FootnoteRef \d+\.\.\d+ label='1'$",
        r"^    AutoLink \d+\.\.\d+ url='https://example\.org/docs'$",
        r"^    AutoLink \d+\.\.\d+ url='mailto:editor@example\.org'$",
        r"^    Strikethrough \d+\.\.\d+$",
        r"^    CodeSpan \d+\.\.\d+ content='\*markup\*'$",
        # a paragraph's line feed stays on one printed line, escaped
        r"^    Text \d+\.\.\d+ content='Quillet is a line-oriented .*\\nnon-blank lines; this one has two\.'$",
        r"""^  CodeBlock \d+\.\.\d+ lang='python' content='def greet\(name\):\\n    return f"Hello, \{name\}!"'$""",
        r"^  CodeBlock \d+\.\.\d+ lang='' content='A fence without a language\.'$",
        r"^  MathBlock \d+\.\.\d+ display=False content='e\^\{i\\\\pi\} \+ 1 = 0'$",
        r"^  MathBlock \d+\.\.\d+ display=True content=",
        r"""^  HtmlBlock \d+\.\.\d+ content='<p class="note">Raw <em>HTML</em>, kept as written\.</p>'$""",
        r"^  List \d+\.\.\d+ kind=Ordered start=3$",
        r"^        Text \d+\.\.\d+ content='An item that runs on\\n  \| across a continuation line\.'$",
        r"^    TableRow \d+\.\.\d+ header=True$",
        r"^        CodeSpan \d+\.\.\d+ content='::callout'$",
        r"^  Callout \d+\.\.\d+ kind='warning' title='Mind the closing line'$",
        r"^  Figure \d+\.\.\d+ src='diagram\.png' alt='A diagram' caption='The parts of a document'$",
        r"^    FootnoteDef \d+\.\.\d+ label='1'$",
    ],
)
def test_tour_shows_construct(tour, pattern):
    assert any(re.match(pattern, line) for line in out_lines(tour)), pattern


def test_errors_example_reports_line_and_column():
    proc = run_cli("examples/errors.qlt")
    assert proc.returncode == 1
    assert err_lines(proc) == [
        f"examples/errors.qlt:{line_no(ERRORS, '::note')}:1: unknown directive: note",
        f"examples/errors.qlt:{line_no(ERRORS, 'plain text where an item was expected')}:1: "
        "invalid syntax in list item",
        f"examples/errors.qlt:{line_no(ERRORS, '::table')}:1: unclosed ::table",
        f"examples/errors.qlt:{line_no(ERRORS, '::html')}:1: unclosed HTML block",
    ]
    # The document is still printed, with the recovered blocks.
    assert "  RawBlock" in proc.stdout.decode()
    assert "  HtmlBlock" in proc.stdout.decode()


# ---------------------------------------------------------------------------
# Standard input, profiles, positions of errors


@pytest.mark.parametrize(
    "data, status, first, errors",
    [
        (b"# Hi\n", 0, "Document 0..5 profile=Quillet modules=[]", []),
        (b"", 0, "Document 0..0 profile=Quillet modules=[]", []),
        (
            b"# Hi\n::bogus\nx\n::\n",
            1,
            "Document 0..18 profile=Quillet modules=[]",
            ["<stdin>:2:1: unknown directive: bogus"],
        ),
        (  # the line count sees multi-byte text and CRLF line ends alike
            "Gr\u00fc\u00dfe aus K\u00f6ln\r\n\r\n::bogus\r\n::\r\n".encode(),
            1,
            None,
            ["<stdin>:3:1: unknown directive: bogus"],
        ),
        (  # an opener indented by U+3000: the span starts at the line start
            "\u00e9t\u00e9\n\n\u3000\u3000::note\nx\n::\n::Other\n".encode(),
            1,
            None,
            ["<stdin>:3:1: unknown directive: note", "<stdin>:6:1: unknown directive: Other"],
        ),
    ],
)
def test_stdin(data, status, first, errors):
    proc = run_cli("-", stdin=data)
    assert proc.returncode == status
    if first is not None:
        assert out_lines(proc)[0] == first
    assert err_lines(proc) == errors


@pytest.mark.parametrize(
    "args, data, profile",
    [
        ([], b"text\n", "Quillet"),
        (["--profile", "md"], b"text\n", "Md"),
        (["--profile", "md-strict"], b"text\n", "MdStrict"),
        (["--profile", "quillet"], b"@profile md\n", "Md"),  # the document's own line wins
    ],
)
def test_profile_option(args, data, profile):
    proc = run_cli(*args, "-", stdin=data)
    assert proc.returncode == 0
    assert out_lines(proc)[0].startswith(f"Document 0..{len(data)} profile={profile} ")


def test_deeply_nested_metadata_list_is_printed():
    depth = 5000
    data = b"--- meta ---\ndeep: " + b"[" * depth + b"1" + b"]" * depth + b"\n---\n"
    proc = run_cli("-", stdin=data)
    assert proc.returncode == 0, err_lines(proc)
    assert "    deep = " + "[" * depth + "1" + "]" * depth in out_lines(proc)


# ---------------------------------------------------------------------------
# Usage and input problems: status 2, one line on stderr, no traceback


def write(tmp_path: Path, data: bytes) -> str:
    path = tmp_path / "doc.qlt"
    path.write_bytes(data)
    return str(path)


def loop(tmp_path: Path) -> str:
    """A path that cannot be opened, even by root: a link to itself."""
    path = tmp_path / "loop.qlt"
    path.symlink_to(path.name)
    return str(path)


@pytest.mark.parametrize(
    "make_args, message",
    [
        (lambda tmp: [str(tmp / "missing.qlt")], "No such file or directory"),
        (lambda tmp: [str(tmp)], "no *.qlt documents in this directory"),
        (lambda tmp: [loop(tmp)], "Too many levels of symbolic links"),
        (lambda tmp: [write(tmp, b"# ok\n\xff\n")], "not valid UTF-8 (byte 0xff at offset 5)"),
        (lambda tmp: [write(tmp, b"ab\xc3")], "not valid UTF-8 (byte 0xc3 at offset 2)"),
        (lambda tmp: [write(tmp, b"\xed\xa0\x80")], "not valid UTF-8 (byte 0xed at offset 0)"),
        (lambda tmp: [], "the following arguments are required: FILE"),
        (lambda tmp: ["--profile", "gfm", "-"], "invalid choice: 'gfm'"),
        (lambda tmp: ["-", "-"], "standard input (-) can be read only once"),
        (lambda tmp: ["-j", "-1", "-"], "expected a number of processes, got '-1'"),
        (lambda tmp: ["--json", "--errors-only", "-"], "not allowed with argument --json"),
        (lambda tmp: ["--bogus", "-"], "unrecognized arguments: --bogus"),
    ],
)
def test_usage_and_input_errors(tmp_path, make_args, message):
    proc = run_cli(*make_args(tmp_path))
    assert proc.returncode == 2
    assert proc.stdout == b""
    lines = err_lines(proc)
    assert len(lines) == 1, lines
    assert message in lines[0]
    assert lines[0].startswith("quillet: ")


@pytest.mark.skipif(
    not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root reads every file"
)
def test_unreadable_file(tmp_path):
    path = Path(write(tmp_path, b"# x\n"))
    path.chmod(0)
    proc = run_cli(str(path))
    assert proc.returncode == 2
    assert len(err_lines(proc)) == 1
    assert "Permission denied" in err_lines(proc)[0]


def test_help_shows_examples_and_exit_statuses():
    proc = run_cli("--help")
    assert proc.returncode == 0
    text = proc.stdout.decode()
    for example in ("quillet examples/tour.qlt", "quillet --json docs/", "-j 4", "2 wins over 1"):
        assert example in text


# ---------------------------------------------------------------------------
# Several files and directories

BOGUS = "docs/a.qlt:2:1: unknown directive: bogus"


@pytest.fixture
def corpus(tmp_path: Path) -> Path:
    """docs/ holds three documents, one with an error, and a file to skip."""
    files = {
        "docs/b.qlt": b"# B\n",
        "docs/a.qlt": b"A\n::bogus\n::\n",
        "docs/sub/c.qlt": b"--- meta ---\nk: 1.0e999\n---\n",
        "docs/notes.txt": b"not a document\n",
        "bad.qlt": b"ok\n\xfe\n",
    }
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)
    (tmp_path / "empty").mkdir()
    loop(tmp_path)
    return tmp_path


def headers(proc: subprocess.CompletedProcess) -> list[str]:
    return [line for line in out_lines(proc) if line.startswith("==> ")]


@pytest.mark.parametrize(
    "args, status, heads, errors",
    [
        (  # a directory: its *.qlt files in sorted order, each tree headed
            ["docs"], 1, ["docs/a.qlt", "docs/b.qlt", "docs/sub/c.qlt"], [BOGUS],
        ),
        (["docs/b.qlt"], 0, [], []),  # one file: no header, as ever
        (  # input problems are reported in order, the other files still run
            ["docs/b.qlt", "missing.qlt", "bad.qlt", "empty", "loop.qlt", "docs/a.qlt"],
            2,
            ["docs/b.qlt", "docs/a.qlt"],
            [
                "quillet: missing.qlt: No such file or directory",
                "quillet: bad.qlt: not valid UTF-8 (byte 0xfe at offset 3)",
                "quillet: empty: no *.qlt documents in this directory",
                "quillet: loop.qlt: Too many levels of symbolic links",
                BOGUS,
            ],
        ),
        (
            ["missing.qlt", "docs/b.qlt"],
            2,
            ["docs/b.qlt"],
            ["quillet: missing.qlt: No such file or directory"],
        ),
        (["docs/b.qlt", "-", "docs/b.qlt"], 0, ["docs/b.qlt", "<stdin>", "docs/b.qlt"], []),
    ],
)
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_several_inputs(corpus, args, status, heads, errors, jobs):
    proc = run_cli("-j", jobs, *args, stdin=b"# In\n", cwd=corpus)
    assert proc.returncode == status
    assert headers(proc) == [f"==> {name} <==" for name in heads]
    assert err_lines(proc) == errors
    if len(heads) > 1:  # trees are set apart by a blank line
        assert out_lines(proc).count("") == len(heads) - 1


@pytest.mark.parametrize(
    "args, status, out",
    [
        (["docs"], 1, [BOGUS]),
        (["docs/b.qlt", "docs/sub"], 0, []),
        (["docs", "bad.qlt"], 2, [BOGUS]),
    ],
)
def test_errors_only(corpus, args, status, out):
    proc = run_cli("--errors-only", *args, cwd=corpus)
    assert proc.returncode == status
    assert out_lines(proc) == out
    assert all(line.startswith("quillet: ") for line in err_lines(proc))


def test_json_lines(corpus):
    proc = run_cli("--json", "docs", "bad.qlt", "empty", cwd=corpus)
    assert proc.returncode == 2
    records = [json.loads(line) for line in out_lines(proc)]
    assert [r["path"] for r in records] == [
        "docs/a.qlt", "docs/b.qlt", "docs/sub/c.qlt", "bad.qlt", "empty",
    ]
    for record in records[:3]:
        text = (corpus / record["path"]).read_text(encoding="utf-8")
        assert record["document"] == to_dict(pyql.parse_with_recovery(text).document)
        assert record["input_error"] is None
    assert records[0]["errors"] == [{
        "message": "unknown directive: bogus", "kind": "UnknownDirective", "span": [2, 9],
        "recoverable": True, "line": 2, "column": 1,
    }]
    assert records[2]["document"]["metadata"] == {"k": None}  # infinity
    assert records[3:] == [
        {"path": "bad.qlt", "document": None, "errors": [],
         "input_error": "not valid UTF-8 (byte 0xfe at offset 3)"},
        {"path": "empty", "document": None, "errors": [],
         "input_error": "no *.qlt documents in this directory"},
    ]
    # The same problems are still on standard error.
    assert err_lines(proc) == [
        BOGUS,
        "quillet: bad.qlt: not valid UTF-8 (byte 0xfe at offset 3)",
        "quillet: empty: no *.qlt documents in this directory",
    ]


def test_json_is_utf8_with_deep_metadata():
    depth = 5000  # beyond what json.dumps writes by recursion
    data = ("--- meta ---\nk: " + "[" * depth + "1" + "]" * depth + "\n---\n\u00e9\n").encode()
    proc = run_cli("--json", "-", stdin=data)
    assert proc.returncode == 0, err_lines(proc)
    line = proc.stdout.decode("utf-8")
    assert '"k":' + "[" * depth + "1" + "]" * depth + "}" in line
    assert '"content":"\u00e9"' in line


def test_parallel_output_keeps_input_order(tmp_path):
    for i in range(40):
        (tmp_path / f"d{i:02}.qlt").write_text(f"# Doc {i}\n" + "::x\n::\n" * (i % 3))
    serial = run_cli("--json", str(tmp_path))
    parallel = run_cli("--json", "-j", "3", str(tmp_path))
    assert (parallel.returncode, parallel.stdout, parallel.stderr) == (
        serial.returncode, serial.stdout, serial.stderr,
    )
    assert serial.returncode == 1
    # Many files, standard error piped: no progress bar.
    assert b"\r" not in parallel.stderr and b"files" not in parallel.stderr


# ---------------------------------------------------------------------------
# The progress bar, with a fake terminal


class FakeTerminal:
    def __init__(self, tty: bool) -> None:
        self.tty, self.text = tty, ""

    def isatty(self) -> bool:
        return self.tty

    def write(self, text: str) -> None:
        self.text += text

    def flush(self) -> None:
        pass


@pytest.mark.parametrize(
    "total, tty, wanted",
    [(100, True, True), (20, True, True), (19, True, False), (100, False, False), (0, True, False)],
)
def test_progress_is_wanted_for_many_files_on_a_terminal(total, tty, wanted):
    assert Progress.wanted(total, FakeTerminal(tty)) is wanted


def test_progress_draws_throttles_and_erases():
    term, now = FakeTerminal(True), [0.0]
    bar = Progress(40, term, enabled=True, interval=1.0, clock=lambda: now[0])
    bar.update(1)
    first = bar.text(1)
    assert first == "quillet: [------------------------------] 1/40 files"
    assert term.text == "\r" + first
    now[0] = 0.5
    bar.update(20)  # too soon: not redrawn
    assert term.text == "\r" + first
    bar.update(40)  # the last one always is, over the erased old bar
    assert term.text.endswith("\r" + " " * len(first) + "\r\r" + bar.text(40))
    assert bar.text(40).count("#") == 30 and bar.text(20).count("#") == 15
    bar.clear()
    assert term.text.endswith("\r" + " " * len(bar.text(40)) + "\r")
    bar.clear()  # nothing shown: nothing written
    assert term.text.endswith("files\r" + " " * len(bar.text(40)) + "\r")


def test_disabled_progress_writes_nothing():
    term = FakeTerminal(True)
    bar = Progress(40, term, enabled=False)
    bar.update(40)
    bar.clear()
    assert term.text == ""


def test_version_comes_from_the_installed_distribution():
    from importlib.metadata import version

    proc = run_cli("--version")
    assert (proc.returncode, proc.stdout.decode().strip()) == (0, f"quillet (pyql) {version('pyql')}")
    import quillet

    assert quillet.__version__ == version("pyql")
