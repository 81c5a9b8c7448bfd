"""The one reader of the command, quillet check and parse_files: every kind
of path through each of them, in child processes under a timeout, so that a
reader that blocks on a FIFO or reads a device fails instead of hanging."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import threading

import pytest

from conftest import UNDER_ASAN, child_env

LIMIT = 1000

# Runs one reader over the paths with the input limit lowered; parse_files
# reports each path's problem on standard error as the commands do.
RUNNER = f"""
import sys, quillet, quillet.cli, quillet._files as files
files.MAX_INPUT_BYTES = {LIMIT}
reader, *paths = sys.argv[1:]
if reader in ("command", "check"):
    sys.exit(quillet.cli.main(paths if reader == "command" else ["check", *paths]))
for path, result in quillet.parse_files(paths, jobs=int(reader[-1])):
    if isinstance(result, OSError):
        print(f"{{path}}: {{result.strerror}}", file=sys.stderr)
    elif isinstance(result, UnicodeDecodeError):
        print(f"{{path}}: {{files.utf8_problem(result)}}", file=sys.stderr)
    else:
        print(path, [(type(b).__name__, b.span.start, b.span.end) for b in result.document.blocks])
"""
READERS = ["command", "check", "parse_files/1", "parse_files/2"]
PREFIX = {"command": "quillet: ", "check": "quillet check: "}


def limit_memory() -> None:
    # A reader that takes /dev/zero for a file fails fast instead of filling memory.
    if not UNDER_ASAN:
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def run_reader(reader: str, paths: list[str], cwd, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", RUNNER, reader, *paths], cwd=cwd, env=child_env(),
                          capture_output=True, timeout=120, preexec_fn=limit_memory, **kwargs)


def make_socket(path: str) -> None:
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(path)


# name, how it is made (bytes: a file's content), what every reader says of it
# (None: read as a document); the readers that name a directory or a FIFO
# differently are listed apart.
PATHS = [
    ("zero", "/dev/zero", "a character device, not a regular file"),
    ("sock", make_socket, "a socket, not a regular file"),
    ("fifo", os.mkfifo, "a FIFO, not a regular file"),  # nobody writes it
    ("dir", os.mkdir, "a directory, not a regular file"),
    ("missing", None, "No such file or directory"),
    ("big.qlt", b"x" * (LIMIT + 1), f"input too large: more than {LIMIT} bytes"),
    ("marked.qlt", b"\xef\xbb\xbf" + b"x" * LIMIT, None),  # the mark is not counted
    ("bad.qlt", b"\xef\xbb\xbfok \xff\n", "not valid UTF-8 (byte 0xff at offset 3)"),  # after the mark
    ("ok.qlt", b"\xef\xbb\xbf# T\n", None),
]
# A FIFO named on its command line is a stream to the command and to quillet
# check; a directory stands for its *.qlt files to both.
SKIPPED = {"command": {"fifo", "dir"}, "check": {"fifo", "dir"}}


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs and sockets")
@pytest.mark.parametrize("reader", READERS)
def test_every_reader_refuses_the_same_paths(tmp_path, reader):
    paths, expected = [], []
    for name, make, message in PATHS:
        path = make if isinstance(make, str) else name
        if isinstance(make, bytes):
            (tmp_path / name).write_bytes(make)
        elif make is not None and not isinstance(make, str):
            make(str(tmp_path / name))
        if name not in SKIPPED.get(reader, ()):
            paths.append(path)
            if message is not None:
                expected.append(f"{PREFIX.get(reader, '')}{path}: {message}")
    proc = run_reader(reader, paths, tmp_path)
    assert (proc.returncode, proc.stderr.decode().splitlines()) == (0 if "/" in reader else 2, expected)
    if reader == "check":  # the mark dropped: no warning about it
        assert proc.stdout == b""
    elif reader != "command":  # every other file's result is there, spans after the mark
        assert proc.stdout.decode().splitlines() == [
            "marked.qlt [('Paragraph', 0, 1000)]", "ok.qlt [('Heading', 0, 3)]"
        ]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
@pytest.mark.parametrize("reader", ["command", "check"])
def test_a_fifo_named_on_the_command_line_is_read_as_a_stream(tmp_path, reader):
    os.mkfifo(tmp_path / "named.qlt")
    writer = threading.Thread(target=(tmp_path / "named.qlt").write_bytes, args=(b"\xef\xbb\xbf::x\n::\n",))
    writer.daemon = True
    writer.start()
    proc = run_reader(reader, ["named.qlt"], tmp_path)
    assert proc.returncode == 1
    assert b"named.qlt:1:1: " in proc.stdout + proc.stderr  # the mark dropped from the column too


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_a_path_that_becomes_a_fifo_after_its_stat_is_refused_without_waiting(tmp_path):
    # os.stat still sees the regular file the path was; opening must not wait
    # for a writer of the FIFO now there.
    os.mkfifo(tmp_path / "swapped")
    code = (
        "import os, stat, quillet._files as files\n"
        "real = os.stat\n"
        "os.stat = lambda path: os.stat_result((stat.S_IFREG | 0o644,) + tuple(real(path))[1:])\n"
        "try:\n"
        "    files.read_path('swapped')\n"
        "except OSError as exc:\n"
        "    print(exc.strerror)\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env(),
                          capture_output=True, timeout=120)
    assert proc.stdout.decode() == "a FIFO, not a regular file\n", proc.stderr
