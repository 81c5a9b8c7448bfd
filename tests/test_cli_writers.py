"""The command's --to formats, -o DIR, and the C++ path from a file's bytes
to the output."""

from __future__ import annotations

import codecs
import json
import os
import signal
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pyql
import quillet
from quillet import _native, cli, export
from quillet.cli import NATIVE_MODES, output_name
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
