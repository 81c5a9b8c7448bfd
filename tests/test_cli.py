"""The quillet command and the byte offset to line/column conversion."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pyql
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import ROOT, UNDER_ASAN, child_env
from quillet.cli import EXTENSIONS, Progress, format_value, printable
from quillet.export import to_dict
from quillet.lines import LineIndex, line_col

TOUR = ROOT / "examples" / "tour.qlt"
ERRORS = ROOT / "examples" / "errors.qlt"


def cli_command(*args: str, limit: int | None = None) -> list[str]:
    """The command line of quillet; with limit, its input limit set lower."""
    if limit is None:
        return [sys.executable, "-m", "quillet.cli", *args]
    code = f"import sys, quillet._files as f, quillet.cli as c; f.MAX_INPUT_BYTES = {limit}; sys.exit(c.main())"
    return [sys.executable, "-c", code, *args]


def cli_env() -> dict[str, str]:
    env = child_env()
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def run_cli(
    *args: str, stdin=None, cwd: Path = ROOT, limit: int | None = None, **kwargs
) -> subprocess.CompletedProcess:
    """Run quillet; stdin is the input's bytes, or a file to read it from."""
    if stdin is None or isinstance(stdin, bytes):
        kwargs["input"] = stdin or b""
    else:
        kwargs["stdin"] = stdin
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run(
        cli_command(*args, limit=limit),
        stderr=subprocess.PIPE,
        cwd=cwd,
        env=cli_env(),
        timeout=120,
        **kwargs,
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


# A caller's tree whose metadata list k = [1, [2]] was changed; what the tree
# view prints for it, or the error it raises. Run in a child process under a
# timeout and a memory limit: a walk that never ends must not take the suite down.
CHANGED_METADATA = """
import pyql
from quillet.cli import render_tree

for change in ["k.append(k)", "k[1].append(k)", "k.append(k[1]); k[1].append(k[1][:])"]:
    doc = pyql.parse("--- meta ---\\nk: [1, [2]]\\n---\\n")
    k = doc.metadata["k"]
    exec(change)
    try:
        print(render_tree(doc)[-1])
    except ValueError as exc:
        print(type(exc).__name__, exc)
"""


def test_tree_view_refuses_a_metadata_list_inside_itself():
    limit = None if UNDER_ASAN else limit_memory
    proc = subprocess.run(
        [sys.executable, "-c", CHANGED_METADATA], capture_output=True, env=cli_env(),
        timeout=120, preexec_fn=limit,
    )
    assert proc.stdout.decode().splitlines() == [
        "ValueError cannot write a metadata list that contains itself",
        "ValueError cannot write a metadata list that contains itself",
        "    k = [1, [2, [2]], [2, [2]]]",  # one list in two places is no loop
    ], proc.stderr.decode()


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
        (lambda tmp: ["--x\x1b[2J", "-"], "unrecognized arguments: --x\\x1b[2J"),
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
    # Every suffix -o DIR can write, and the subcommands with their own help.
    for suffix in EXTENSIONS.values():
        assert re.search(rf"{re.escape(suffix)}\b", text), suffix
    for command in ("check", "lsp"):
        assert f"quillet {command} --help" in text


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


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_check_walks_directories_as_the_command_does(corpus, jobs):
    proc = run_cli("check", "-j", jobs, "--format", "json", "docs", "bad.qlt", "empty", cwd=corpus)
    assert proc.returncode == 2
    records = [json.loads(line) for line in out_lines(proc)]
    assert [(r["path"], [d["code"] for d in r["diagnostics"] or []], r["input_error"]) for r in records] == [
        ("docs/a.qlt", ["unknown-directive"], None),
        ("docs/b.qlt", [], None),
        ("docs/sub/c.qlt", [], None),
        ("bad.qlt", [], "not valid UTF-8 (byte 0xfe at offset 3)"),
        ("empty", [], "no *.qlt documents in this directory"),
    ]
    assert err_lines(proc) == [
        "quillet check: bad.qlt: not valid UTF-8 (byte 0xfe at offset 3)",
        "quillet check: empty: no *.qlt documents in this directory",
    ]
    text = run_cli("check", "-j", jobs, "docs", cwd=corpus)
    assert text.returncode == 1 and out_lines(text)[0] == "docs/a.qlt:2:1: error[unknown-directive]: unknown directive: bogus"


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


def distribution_name():
    return re.search(r'(?m)^name = "([^"]+)"$', (ROOT / "pyproject.toml").read_text()).group(1)


def test_version_comes_from_the_installed_distribution():
    from importlib.metadata import version

    name = distribution_name()
    proc = run_cli("--version")
    assert (proc.returncode, proc.stdout.decode().strip()) == (
        0,
        f"quillet from {name} {version(name)} (import names pyql and quillet)",
    )
    import quillet

    assert quillet.__version__ == version(name)


def test_every_install_hint_names_the_distribution():
    # The import names are other projects' distributions on the package index: a hint that says
    # `pip install "pyql[lsp]"` installs one of those.
    def hints(path):
        return re.findall(r"pip install [\'\"]?([A-Za-z][\w.-]*)\[", path.read_text())

    ours = {path.name: hints(path) for path in sorted((ROOT / "python").rglob("*.py")) if hints(path)}
    assert {"lsp.py", "records.py"} <= set(ours)
    assert {name for names in ours.values() for name in names} == {distribution_name()}
    for page in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        assert {"pyql", "quillet"} & set(hints(page)) == set(), page.name


# ---------------------------------------------------------------------------
# What a document or a file name can do to a terminal or a reader


@pytest.mark.parametrize(
    "text, shown",
    [
        ("plain \u00e9\u3000text\\", "plain \u00e9\u3000text\\"),
        ("\x1b]0;PWNED\x07\x1b[2J", "\\x1b]0;PWNED\\x07\\x1b[2J"),
        ("a\nb\tc\rd\x00", "a\\nb\\tc\\rd\\x00"),
        ("\x7f\x85\x9b", "\\x7f\\x85\\x9b"),  # DEL and C1 controls (CSI)
        ("\u2028\u2029", "\\u2028\\u2029"),
    ],
)
def test_printable(text, shown):
    assert printable(text) == shown


def test_terminal_gets_no_control_characters(tmp_path):
    evil = "evil\x1b[2J\nname.qlt"
    (tmp_path / evil).write_bytes(b"::x\x1b]0;PWNED\x07\x1b[2J\n::\n")
    (tmp_path / "bad\x07.qlt").write_bytes(b"\xff")
    error = "evil\\x1b[2J\\nname.qlt:1:1: unknown directive: x\\x1b]0;PWNED\\x07\\x1b[2J"
    proc = run_cli(evil, "bad\x07.qlt", cwd=tmp_path)
    assert proc.returncode == 2
    assert headers(proc) == ["==> evil\\x1b[2J\\nname.qlt <=="]
    assert err_lines(proc) == [error, "quillet: bad\\x07.qlt: not valid UTF-8 (byte 0xff at offset 0)"]
    assert out_lines(run_cli("--errors-only", evil, cwd=tmp_path)) == [error]


def test_json_lines_escape_what_splitlines_takes_for_line_ends():
    text = "a\u2028b\u2029c\u0085d\n"
    proc = run_cli("--json", "-", stdin=text.encode())
    lines = proc.stdout.decode("utf-8").splitlines()
    assert len(lines) == 1
    assert all(escape in lines[0] for escape in ("\\u2028", "\\u2029", "\\u0085"))
    assert json.loads(lines[0])["document"] == to_dict(pyql.parse_with_recovery(text).document)


@pytest.mark.parametrize(
    "data, line, errors",
    [
        (b"\xef\xbb\xbf# Hi\n", "  Heading 0..4 level=1", []),
        (b"\xef\xbb\xbf@profile md\n", "Document 0..12 profile=Md modules=[]", []),
        (b"\xef\xbb\xbf--- meta ---\nk: 1\n---\n", "    k = 1", []),
        (b"\xef\xbb\xbf::bogus\n::\n", "  RawBlock 0..10 content=''", [":1:1: unknown directive: bogus"]),
    ],
)
@pytest.mark.parametrize("via", ["file", "stdin"])
def test_byte_order_mark_is_dropped(tmp_path, data, line, errors, via):
    if via == "file":
        proc, name = run_cli(write(tmp_path, data)), str(tmp_path / "doc.qlt")
    else:
        proc, name = run_cli("-", stdin=data), "<stdin>"
    assert line in out_lines(proc)
    assert err_lines(proc) == [name + error for error in errors]


# ---------------------------------------------------------------------------
# Special files, endless inputs, failing outputs, deep trees, signals


def test_special_files(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "a.qlt").write_bytes(b"# A\n")
    os.mkfifo(docs / "pipe.qlt")  # found in a directory: left out
    os.mkfifo(tmp_path / "named.qlt")  # named: read as a stream
    writer = threading.Thread(target=(tmp_path / "named.qlt").write_bytes, args=(b"# N\n",))
    writer.daemon = True
    writer.start()
    proc = run_cli("docs", "/dev/null", "named.qlt", cwd=tmp_path)
    assert proc.returncode == 2
    assert headers(proc) == ["==> docs/a.qlt <==", "==> named.qlt <=="]
    assert err_lines(proc) == ["quillet: /dev/null: a character device, not a regular file"]


TOO_LARGE = "input too large: more than 1000 bytes"


@pytest.mark.parametrize(
    "files, args, errors",
    [
        ({}, ["-"], [f"quillet: <stdin>: {TOO_LARGE}"]),  # stdin is /dev/zero
        ({"a.qlt": b"x" * 1000, "b.qlt": b"\xef\xbb\xbf" + b"x" * 1000}, ["a.qlt", "b.qlt"], []),
        ({"a.qlt": b"x" * 1001}, ["a.qlt"], [f"quillet: a.qlt: {TOO_LARGE}"]),
        (  # read in a worker process
            {"a.qlt": b"# A\n", "b.qlt": b"x" * 5000},
            ["-j", "2", "a.qlt", "b.qlt"],
            [f"quillet: b.qlt: {TOO_LARGE}"],
        ),
    ],
)
def test_input_limit(tmp_path, files, args, errors):
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    with open(os.devnull if files else "/dev/zero", "rb") as stdin:
        proc = run_cli(*args, stdin=stdin, cwd=tmp_path, limit=1000)
    assert (proc.returncode, err_lines(proc)) == (2 if errors else 0, errors)


def limit_memory() -> None:
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(stdout="/dev/full"), "cannot write the output: No space left on device"),
        (dict(preexec_fn=lambda: os.close(1)), "cannot write the output: standard output is closed"),
        pytest.param(dict(stdin="/dev/zero", preexec_fn=limit_memory), "<stdin>: out of memory after reading",
                     marks=pytest.mark.skipif(UNDER_ASAN, reason="address limits under ASan")),
    ],
)
def test_failures_give_one_line_and_status_2(tmp_path, kwargs, message):
    kwargs = dict(kwargs)
    with open(kwargs.pop("stdout", os.devnull), "wb") as stdout, open(
        kwargs.pop("stdin", os.devnull), "rb"
    ) as stdin:
        proc = run_cli("-", str(TOUR), stdout=stdout, stdin=stdin, **kwargs)
    lines = err_lines(proc)
    assert (proc.returncode, len(lines)) == (2, 1), lines
    assert lines[0].startswith("quillet: ") and message in lines[0]


def test_directory_deeper_than_the_recursion_limit(tmp_path):
    deep = tmp_path
    for _ in range(1500):
        deep /= "d"
        deep.mkdir()
    (deep / "x.qlt").write_bytes(b"# X\n")
    try:
        proc = run_cli("d", cwd=tmp_path)
        assert (proc.returncode, out_lines(proc)[0], proc.stderr) == (
            0, "Document 0..4 profile=Quillet modules=[]", b"",
        )
    finally:
        (deep / "x.qlt").unlink()
        while deep != tmp_path:  # shutil.rmtree recurses
            deep.rmdir()
            deep = deep.parent


@pytest.mark.skipif(not hasattr(signal, "SIGPIPE"), reason="needs SIGPIPE")
@pytest.mark.parametrize("args", [["--tree"], ["--json", "-j", "2"]])
def test_reader_going_away_ends_the_command_quietly(tmp_path, args):
    for name in ("a.qlt", "b.qlt"):
        (tmp_path / name).write_bytes(b"word\n\n" * 50_000)
    proc = subprocess.Popen(
        cli_command(*args, "a.qlt", "b.qlt"), cwd=tmp_path, env=cli_env(),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    proc.stdout.readline()
    proc.stdout.close()
    assert (proc.stderr.read(), proc.wait(120)) == (b"", -signal.SIGPIPE)


def children(pid: int) -> set[int]:
    found = set()
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                if int(handle.read().rsplit(b")", 1)[1].split()[1]) == pid:
                    found.add(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def running(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            return handle.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def wait_for(condition, seconds: float = 60) -> bool:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGKILL])
def test_workers_end_with_the_command(tmp_path, signum):
    # Two workers wait for FIFOs nobody writes, the third for its next job.
    os.mkfifo(tmp_path / "a")
    os.mkfifo(tmp_path / "b")
    (tmp_path / "c.qlt").write_bytes(b"# C\n")
    with open(tmp_path / "stderr", "wb") as stderr:  # a pipe would stay open in stray workers
        proc = subprocess.Popen(
            cli_command("-j", "100", "a", "b", "c.qlt"), cwd=tmp_path, env=cli_env(),
            stdout=subprocess.DEVNULL, stderr=stderr,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
    workers: set[int] = set()
    try:
        assert wait_for(lambda: len(children(proc.pid)) >= 3)
        workers = children(proc.pid)
        assert len(workers) == 3  # never more workers than inputs
        proc.send_signal(signum)
        assert proc.wait(120) == -signum
        assert wait_for(lambda: not any(map(running, workers))), "workers left behind"
        assert (tmp_path / "stderr").read_bytes() == b""
    finally:
        proc.kill()
        for pid in workers:
            if running(pid):
                os.kill(pid, signal.SIGKILL)
