"""What the ``quillet`` command writes, and where: standard output (which may
be closed, full, or read by a reader that goes away), standard error, and
the files below ``-o DIR``; the exceptions that end a run.

Below DIR, folders are entered by descriptor, one at a time and never
through a symbolic link, and each file is written under a new unguessable
temporary name, then renamed into place once complete: a failed write never
leaves a truncated file that looks whole, and a link planted below DIR
cannot send an output elsewhere.
"""

from __future__ import annotations

import errno
import os
import secrets
import signal
import stat
import sys
from typing import Any, Callable, Iterable, NoReturn, Optional, TextIO, Tuple

__all__ = [
    "FatalError",
    "Output",
    "Stopped",
    "UsageError",
    "check_targets",
    "printable",
    "write_all",
    "write_file",
    "write_stderr",
]


class UsageError(Exception):
    """A problem with the command line; exit status 2 before any file is read."""


class FatalError(Exception):
    """The command cannot go on (its output cannot be written, ...): one
    line on standard error, exit status 2."""


class Stopped(BaseException):
    """A signal that ends the command (TERM, HUP; PIPE for a reader that went
    away). Like KeyboardInterrupt, no `except Exception` stops it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# Characters that would act on a terminal rather than show (C0 and C1
# controls, DEL) or that split lines (U+2028, U+2029), shown as escapes.
_ESCAPES = {code: f"\\x{code:02x}" for code in (*range(0x20), 0x7F, *range(0x80, 0xA0))}
_ESCAPES.update({0x09: "\\t", 0x0A: "\\n", 0x0D: "\\r", 0x2028: "\\u2028", 0x2029: "\\u2029"})


def printable(text: str) -> str:
    """text with every control character escaped (\\x1b, \\n, \\u2028, ...), safe
    to write to a terminal: document texts and file names reach it this way."""
    return text.translate(_ESCAPES)


# ---------------------------------------------------------------------------
# Standard output and standard error


class Output:
    """Standard output, which may be closed, full, or read by a reader that
    goes away early (quillet ... | head)."""

    def __init__(self, headed: bool = False) -> None:
        self.headed = headed  # each output is headed by ==> FILE <==
        self.printed = False  # some output was headed already
        self.streamed = False  # a C++ writer wrote to it directly

    def header(self, name: str) -> bytes:
        """The line that heads the output of the file name, if outputs are
        headed (after an empty line but for the first)."""
        if not self.headed:
            return b""
        gap = "\n" if self.printed else ""
        return f"{gap}==> {printable(name)} <==\n".encode("utf-8", "backslashreplace")

    def fileno(self) -> int | None:
        """The file descriptor of standard output, None when there is none
        (closed, or a stream put in its place)."""
        stdout = sys.stdout
        if stdout is None or getattr(stdout, "buffer", None) is None:
            return None
        try:
            return int(stdout.fileno())
        except (OSError, ValueError, AttributeError):
            return None

    def begin_raw(self) -> int:
        """The file descriptor to write to directly, once everything written
        through sys.stdout is out."""
        fd = self.fileno()
        if fd is None:
            raise FatalError("cannot write the output: standard output is closed")
        try:
            sys.stdout.flush()
        except OSError as exc:
            self.failed(exc)
        return fd

    def failed(self, exc: OSError) -> NoReturn:
        # What could not be written must not be tried again at exit.
        if sys.stdout is not None:
            _discard(sys.stdout)
        if isinstance(exc, BrokenPipeError):
            # The reader went away: stop quietly, as by SIGPIPE.
            raise Stopped(getattr(signal, "SIGPIPE", 13)) from None
        raise FatalError(f"cannot write the output: {exc.strerror or exc}") from None

    def write(self, text: str | bytes, utf8: bool = False) -> None:
        stdout = sys.stdout
        if stdout is None:
            raise FatalError("cannot write the output: standard output is closed")
        buffer = getattr(stdout, "buffer", None)
        try:
            if buffer is None:  # a stream put in its place, for text only
                stdout.write(text if isinstance(text, str) else text.decode("utf-8", "replace"))
                stdout.flush()
                return
            if isinstance(text, bytes):
                data = text  # written by a C++ writer, in UTF-8
            elif utf8:
                # JSON Lines are UTF-8 whatever the terminal's encoding. A file
                # name that is not UTF-8 holds lone surrogates, which become
                # \udcXX escapes: valid JSON for the same string.
                data = text.encode("utf-8", "backslashreplace")
            else:
                if os.linesep != "\n":
                    text = text.replace("\n", os.linesep)
                data = text.encode(stdout.encoding or "utf-8", stdout.errors or "strict")
            stdout.flush()
            view = memoryview(data)
            while view:
                # A write that a signal cuts short (SIGPIPE when the reader
                # goes away) returns a short count instead of failing: the
                # rest is written, or fails, on the next round.
                written = buffer.write(view)
                if not written:
                    raise FatalError("cannot write the output")
                view = view[written:]
            buffer.flush()
        except OSError as exc:
            self.failed(exc)


def _discard(stream: TextIO) -> None:
    """Point a standard stream at the null device, so that the text still
    buffered in it goes nowhere instead of failing again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError):
        pass


def write_stderr(text: str) -> None:
    stream = sys.stderr
    if stream is None:  # closed (2>&-): the exit status still tells
        return
    try:
        stream.write(text)
        stream.flush()
    except OSError:
        _discard(stream)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


# ---------------------------------------------------------------------------
# Files below -o DIR


def _link_below(path: str, out_dir: str) -> str:
    return f"{path} is a symbolic link: writing through it could put outputs outside {out_dir}"


def _check_out_dir(out_dir: str) -> None:
    """Refuse -o naming a file, or a path below one."""
    given = out_dir.rstrip(os.sep) or out_dir
    path = given
    while True:
        try:
            info = os.stat(path)
        except (FileNotFoundError, NotADirectoryError):
            parent = os.path.dirname(path)
            if not parent or parent == path:
                return
            path = parent
            continue
        except OSError:
            return  # said when writing, if it matters then
        if not stat.S_ISDIR(info.st_mode):
            what = "not a directory" if path == given else f"{path} is not a directory"
            raise UsageError(f"-o {out_dir}: {what}")
        return


# An output to check: the name of its input, the input's path (None for
# one that is no file) and the names, folder by folder, of the output's
# file below DIR.
Target = Tuple[str, Optional[str], Tuple[str, ...]]


def check_targets(out_dir: str, targets: Iterable[Target]) -> None:
    """Refuse, before anything is written, a run whose outputs cannot all be
    written where they belong: -o naming what is not a directory, two inputs
    writing one file, an output file where another output needs a folder, an
    output that would replace an input or an existing directory, a file or a
    symbolic link where a folder goes below DIR. What appears while the run
    goes on is still caught when writing."""
    targets = list(targets)
    _check_out_dir(out_dir)
    inputs = set()
    for _, input_path, _ in targets:
        if input_path is not None:
            try:
                info = os.stat(input_path)
                inputs.add((info.st_dev, info.st_ino))
            except OSError:
                pass
    # The outputs and the folders made for them, by their normalised names
    # below DIR, with the input that needs them first.
    files: dict[tuple[str, ...], str] = {}
    folders: dict[tuple[str, ...], str] = {}
    for name, _, parts in targets:
        key = tuple(os.path.normcase(part) for part in parts)
        target = os.path.join(out_dir, *parts)
        if key in files:
            raise UsageError(f"{files[key]} and {name} would both be written to {target}")
        if key in folders:
            raise UsageError(
                f"{target} would be both the output of {name} "
                f"and a directory for the output of {folders[key]}"
            )
        for depth in range(1, len(parts)):
            above = key[:depth]
            folder = os.path.join(out_dir, *parts[:depth])
            if above in files:
                raise UsageError(
                    f"{folder} would be both the output of {files[above]} "
                    f"and a directory for the output of {name}"
                )
            if above not in folders:
                folders[above] = name
                _check_folder(folder, out_dir, name)
        files[key] = name
        try:
            info = os.lstat(target)
        except OSError:
            continue
        if stat.S_ISDIR(info.st_mode):
            raise UsageError(f"{target} is a directory: the output of {name} cannot replace it")
        try:
            info = os.stat(target)
        except OSError:
            continue
        if (info.st_dev, info.st_ino) in inputs:
            raise UsageError(f"{target} is an input: writing it would replace it")


def _check_folder(folder: str, out_dir: str, name: str) -> None:
    """Refuse what is in the way of a folder below DIR that the output of the
    input name goes in."""
    try:
        info = os.lstat(folder)
    except OSError:
        return  # made when writing (or the reason said then)
    if stat.S_ISLNK(info.st_mode):
        raise UsageError(_link_below(folder, out_dir))
    if not stat.S_ISDIR(info.st_mode):
        raise UsageError(f"{folder} is not a directory: the output of {name} goes below it")


# Folders below -o DIR are entered one at a time, relative to the folder
# above and never through a symbolic link, so that a link planted below DIR
# (before the run or during it) cannot send an output elsewhere.
_FOLDER_FLAGS = (
    os.O_RDONLY
    | getattr(os, "O_DIRECTORY", 0)
    | getattr(os, "O_NOFOLLOW", 0)
    | getattr(os, "O_CLOEXEC", 0)
)
# A temporary file is always a new file (never one that exists, nor the
# target of a link at its name) under a name no one can guess; its mode is
# that of any file the command makes, 0o666 less the umask.
_TEMPORARY_FLAGS = (
    os.O_WRONLY
    | os.O_CREAT
    | os.O_EXCL
    | getattr(os, "O_NOFOLLOW", 0)
    | getattr(os, "O_CLOEXEC", 0)
    | getattr(os, "O_BINARY", 0)
)
_TEMPORARY_TRIES = 100


def _is_link(name: str, folder: int) -> bool:
    try:
        return stat.S_ISLNK(os.stat(name, dir_fd=folder, follow_symlinks=False).st_mode)
    except OSError:
        return False


def _open_folder(out_dir: str, names: tuple[str, ...]) -> int:
    """A descriptor of the folder out_dir/names..., each name made as needed
    and entered without following a link. DIR itself may be a link: the
    user named it."""
    os.makedirs(out_dir, exist_ok=True)
    fd = os.open(out_dir, _FOLDER_FLAGS & ~getattr(os, "O_NOFOLLOW", 0))
    try:
        for depth, name in enumerate(names, 1):
            try:
                os.mkdir(name, dir_fd=fd)
            except FileExistsError:
                pass
            try:
                inner = os.open(name, _FOLDER_FLAGS, dir_fd=fd)
            except OSError:
                if _is_link(name, fd):
                    path = os.path.join(out_dir, *names[:depth])
                    raise FatalError(_link_below(path, out_dir)) from None
                raise
            os.close(fd)
            fd = inner
    except BaseException:
        os.close(fd)
        raise
    return fd


def _create_temporary(base: str, folder: int) -> tuple[str, int]:
    """A new file beside base in the folder, its name and descriptor."""
    for _ in range(_TEMPORARY_TRIES):
        # The base name is cut so that a long one still leaves room.
        name = f".{base[:64]}.{secrets.token_hex(8)}.tmp"
        try:
            return name, os.open(name, _TEMPORARY_FLAGS, 0o666, dir_fd=folder)
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name")


def write_file(out_dir: str, parts: tuple[str, ...], write: Callable[[int], Any]) -> None:
    """Write the file out_dir/parts... with write(fd): into a temporary file
    beside it, renamed into place once complete, so that a failed write
    never leaves a truncated file that looks whole."""
    *names, base = parts
    target = os.path.join(out_dir, *names, base)
    try:
        folder = _open_folder(out_dir, tuple(names))
        try:
            temporary, fd = _create_temporary(base, folder)
            try:
                try:
                    write(fd)
                finally:
                    os.close(fd)
                os.replace(temporary, base, src_dir_fd=folder, dst_dir_fd=folder)
            except BaseException:
                try:
                    os.unlink(temporary, dir_fd=folder)
                except OSError:
                    pass
                raise
        finally:
            os.close(folder)
    except OSError as exc:
        raise FatalError(f"cannot write {target}: {exc.strerror or exc}") from None
