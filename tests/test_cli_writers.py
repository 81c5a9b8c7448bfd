"""The command's --to formats, -o DIR, and the C++ path from a file's bytes
to the output."""

from __future__ import annotations

import codecs
import json
import os
import re
import signal
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pyql
import quillet
from quillet import _native, cli, export
from quillet.cli import NATIVE_MODES, output_name
from conftest import ROOT
from test_cli import ERRORS, TOUR, cli_command, cli_env, err_lines, run_cli



@pytest.mark.parametrize(
    "rel, mode, expected",
    [
        ("a.qlt", "tree", "a.tree"),
        ("sub/a.qlt", "json", "sub/a.json"),
        ("a.qlt", "text", "a.txt"),
        ("notes.md", "markdown", "notes.md.md"),  # never the input's own name
        (".qlt", "markdown", ".qlt.md"),
        ("a.qlt", "html", "a.html"),
    ],
)
def test_output_name(rel, mode, expected):
    assert output_name(rel, mode) == expected


# Bytes that are not UTF-8, and the offset of the byte Python's decoder blames.
_UTF8ISH = st.lists(
    st.one_of(
        st.text(max_size=3).map(lambda s: s.encode("utf-8", "surrogatepass")),
        st.binary(max_size=3),
        st.sampled_from([b"\xef\xbb\xbf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe0\x80\xaf", b"\xc0\xaf", b"\xf0\x9f\x98"]),
    ),
    max_size=8,
).map(b"".join)


@settings(max_examples=300, deadline=None)
@given(_UTF8ISH)
def test_utf8_check_blames_the_byte_the_decoder_does(data):
    # As the command does: a byte-order mark is dropped, offsets count after it.
    body = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
    try:
        body.decode("utf-8")
        expected = None
    except UnicodeDecodeError as exc:
        expected = f"not valid UTF-8 (byte 0x{body[exc.start]:02x} at offset {exc.start})"
    try:
        _native.write_fd(data, -1, "json", None, b"")
        found = None
    except ValueError as exc:
        found = str(exc)
    assert found == expected


@pytest.fixture
def docs(tmp_path):
    files = {
        "docs/a.qlt": "# A \u2028 caf\u00e9\n",
        "docs/sub/b.qlt": "B\n::bogus\n::\n",
        "docs/sub/skip.txt": "not a document\n",
        "one.qlt": "\ufeff# One\n",
        "bad.qlt": b"ok\n\xfe\n",
    }
    for name, data in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return tmp_path


def written(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())


@pytest.mark.parametrize("mode", ["tree", "json", "text", "markdown", "html"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_output_dir_holds_what_standard_output_gets(docs, mode, jobs):
    ext = output_name(".x", mode)[2:]
    proc = run_cli("--to", mode, "-j", jobs, "-o", "out", "docs", "one.qlt", "bad.qlt", cwd=docs)
    # bad.qlt gets no file; the parse error of b.qlt is reported and its file written.
    assert proc.returncode == 2 and proc.stdout == b""
    assert err_lines(proc) == [
        "docs/sub/b.qlt:2:1: unknown directive: bogus",
        "quillet: bad.qlt: not valid UTF-8 (byte 0xfe at offset 3)",
    ]
    assert written(docs / "out") == [f"a{ext}", f"one{ext}", f"sub/b{ext}"]
    for source, target in [("docs/a.qlt", f"a{ext}"), ("one.qlt", f"one{ext}"), ("docs/sub/b.qlt", f"sub/b{ext}")]:
        alone = run_cli("--to", mode, source, cwd=docs)
        assert (docs / "out" / target).read_bytes() == alone.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["-o", "out", "-"], "standard input (-) has no name"),
        (["-o", "out", "--errors-only", "one.qlt"], "does not go with --errors-only"),
        (["-o", "out", "one.qlt", "docs/../one.qlt"], "would both be written to out/one.tree"),
        (["-o", "docs", "docs/sub/b.qlt", "docs/b.tree"], "docs/b.tree is an input"),
        (["--to", "xml", "one.qlt"], "invalid choice: 'xml'"),
        (["--to", "text", "--json", "one.qlt"], "not allowed with argument"),
        (["--standalone", "one.qlt"], "goes with --to html only"),
    ],
)
def test_usage_errors_write_nothing(docs, args, message):
    (docs / "docs" / "b.tree").write_bytes(b"# an input that looks like an output\n")
    proc = run_cli(*args, cwd=docs)
    assert proc.returncode == 2 and message in proc.stderr.decode(), proc.stderr
    assert not (docs / "out").exists()
    assert (docs / "docs" / "b.tree").read_bytes() == b"# an input that looks like an output\n"


def tree_of(root):
    """Every path below root, links not followed: what a run wrote there."""
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


# What is below the working folder before the run (folders end in /, a
# symbolic link is name->target), the arguments, the one line on standard error.
REFUSED_OUTPUTS = [
    (  # an output file where another output needs its folder, either way round
        ["docs/a.qlt", "docs/a.md/b.qlt"], ["--to", "markdown", "-o", "out", "docs"],
        "out/a.md would be both the output of docs/a.qlt and a directory for the output of docs/a.md/b.qlt",
    ),
    (
        ["a.qlt", "d/a.md/b.qlt"], ["--to", "markdown", "-o", "out", "-j", "2", "a.qlt", "d"],
        "out/a.md would be both the output of a.qlt and a directory for the output of d/a.md/b.qlt",
    ),
    (  # in the way: a file where a folder goes, a folder where a file goes
        ["docs/a.qlt", "docs/sub/b.qlt", "out/sub"], ["-o", "out", "docs"],
        "out/sub is not a directory: the output of docs/sub/b.qlt goes below it",
    ),
    (
        ["docs/a.qlt", "out/a.tree/"], ["-o", "out", "docs"],
        "out/a.tree is a directory: the output of docs/a.qlt cannot replace it",
    ),
    (["a.qlt", "docs/a.qlt"], ["-o", "out", "a.qlt", "docs"], "a.qlt and docs/a.qlt would both be written to out/a.tree"),
    (["a.qlt", "notes.txt"], ["-o", "notes.txt", "a.qlt"], "-o notes.txt: not a directory"),
    (["a.qlt", "out"], ["-o", "out/new", "a.qlt"], "-o out/new: out is not a directory"),
    (  # a link below DIR, which would put outputs outside it
        ["docs/a.qlt", "docs/sub/b.qlt", "out/", "elsewhere/", "out/sub->../elsewhere"],
        ["-o", "out", "docs"],
        "out/sub is a symbolic link: writing through it could put outputs outside out",
    ),
]


@pytest.mark.parametrize("paths, args, message", REFUSED_OUTPUTS)
def test_outputs_that_cannot_all_be_written_are_refused_before_any_is(tmp_path, paths, args, message):
    for path in paths:
        name, _, link = path.partition("->")
        place = tmp_path / name
        place.parent.mkdir(parents=True, exist_ok=True)
        if link:
            place.symlink_to(link)
        elif name.endswith("/"):
            place.mkdir(exist_ok=True)
        else:
            place.write_bytes(b"# x\n")
    before = tree_of(tmp_path)
    proc = run_cli(*args, cwd=tmp_path)
    assert (proc.returncode, err_lines(proc)) == (2, [f"quillet: {message}"])
    assert tree_of(tmp_path) == before


def test_readme_quotes_the_refusals_as_the_command_words_them():
    readme = " ".join((ROOT / "docs" / "command.md").read_text(encoding="utf-8").split())
    section = readme.split("`-o DIR` writes each document's output", 1)[1].split("A directory stands for", 1)[0]
    quoted = re.findall(r"`quillet: (.*?)`", section)
    assert len(quoted) == 6 and set(quoted) <= {message for _, _, message in REFUSED_OUTPUTS}


def test_output_dir_given_as_a_link_is_followed(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "out").symlink_to("real")
    (tmp_path / "a.qlt").write_bytes(b"# A\n")
    proc = run_cli("--to", "text", "-o", "out", "a.qlt", cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert (tmp_path / "real" / "a.txt").read_bytes() == b"A\n"


def plant_temporary_link(out, victim):
    # Where the command once put its temporary file: a name anyone could guess.
    (out / f".a.txt.{os.getpid()}.tmp").symlink_to(victim)


def plant_folder_link(out, victim):
    # Made between the check before the run and the write.
    (out / "sub").symlink_to(victim.parent)


@pytest.mark.parametrize(
    "rel, plant, error",
    [
        ("a.qlt", plant_temporary_link, None),
        ("sub/a.qlt", plant_folder_link, "out/sub is a symbolic link"),
    ],
)
def test_writing_an_output_never_follows_a_link_below_dir(tmp_path, monkeypatch, rel, plant, error):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    (tmp_path / "elsewhere").mkdir()
    victim = tmp_path / "elsewhere" / "a.txt"
    victim.write_bytes(b"precious\n")
    plant(tmp_path / "out", victim)
    options = cli.Options("text", None, "out")
    job = cli.Job("a.qlt", rel=rel)
    try:
        cli._write_output(options, job, lambda fd: os.write(fd, b"output\n"))
    except cli.FatalError as exc:
        assert error is not None and str(exc).startswith(error)
    else:
        assert error is None
        written = tmp_path / "out" / "a.txt"
        assert written.read_bytes() == b"output\n"
        umask = os.umask(0)
        os.umask(umask)
        assert written.stat().st_mode & 0o777 == 0o666 & ~umask
    assert victim.read_bytes() == b"precious\n"
    assert sorted(os.listdir(tmp_path / "elsewhere")) == ["a.txt"]


@pytest.mark.parametrize(
    "args, write",
    [
        (["--to", "text"], quillet.to_text),
        (["--to", "markdown"], quillet.to_markdown),
        (["--to", "html"], quillet.to_html),
        (["--to", "html", "--standalone"], lambda text: quillet.to_html(text, standalone=True)),
    ],
)
def test_the_command_writes_what_the_function_returns(args, write):
    proc = run_cli(*args, str(TOUR))
    assert proc.returncode == 0
    assert proc.stdout.decode() == write(TOUR.read_text(encoding="utf-8"))


def test_json_lines_from_the_native_writer_match_the_python_export(tmp_path):
    # Line separators on both sides of the 1 MiB chunk boundary, where an
    # escape could be cut in two; a byte-order mark; errors with columns.
    para = "w\u00e9 \u2028x\u0085 \u2029\n\n"
    text = "\ufeff# T\n\n" + para * 100_000 + "*open\n"
    (tmp_path / "big.qlt").write_text(text, encoding="utf-8")
    (tmp_path / "err.qlt").write_bytes(ERRORS.read_bytes())
    native = run_cli("--json", "big.qlt", "err.qlt", cwd=tmp_path)
    # The same records from to_dict (held to the Python export by its own tests), the errors placed as the
    # command places them, the line separators escaped as the command escapes them.
    records, problems = b"", []
    for name in ("big.qlt", "err.qlt"):
        data = (tmp_path / name).read_bytes().removeprefix(codecs.BOM_UTF8)
        result = pyql.parse_with_recovery(data.decode())
        errors = [export.error_dict(e) for e in result.errors]
        problems += cli._error_problems(name, errors, lambda: data)
        record = {"path": name, "document": quillet.to_dict(result.document), "errors": errors, "input_error": None}
        line = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
        for char in "\x85\u2028\u2029":
            line = line.replace(char, f"\\u{ord(char):04x}")
        records += line.encode() + b"\n"
    assert native.returncode == 1
    assert native.stderr.decode().splitlines() == problems
    assert native.stdout == records
    assert len(native.stdout.splitlines()) == 2 and "\u2028".encode() not in native.stdout
    json.loads(native.stdout.splitlines()[0])


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_native_output_failure_is_one_line_and_status_2():
    with open("/dev/full", "wb") as full:
        proc = run_cli("--to", "text", str(TOUR), stdout=full)
    assert proc.returncode == 2
    assert err_lines(proc) == ["quillet: cannot write the output: No space left on device"]


@pytest.mark.skipif(not hasattr(signal, "SIGPIPE"), reason="needs SIGPIPE")
def test_native_output_to_a_reader_that_goes_away(tmp_path):
    (tmp_path / "a.qlt").write_bytes(b"word *x*\n\n" * 300_000)
    proc = subprocess.Popen(
        cli_command("--to", "text", "a.qlt"), cwd=tmp_path, env=cli_env(),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    proc.stdout.read(10)
    proc.stdout.close()
    assert (proc.stderr.read(), proc.wait(120)) == (b"", -signal.SIGPIPE)
