"""Documents read from paths and standard input: the one reader of the
``quillet`` command, ``quillet check`` and ``parse_files``.

Only regular files are read, and the command's FIFOs named on its command
line (read as streams, as standard input is). A device, socket, directory or
any other FIFO is refused by what ``os.stat`` says, before it is opened:
opening a device can block or act on it, and a FIFO nobody writes blocks
forever. Reads stop once an input is longer than the parser takes, so an
endless stream ends with an error instead of filling memory.

A UTF-8 byte-order mark at the start of an input is dropped: left in, it
would turn a first heading, profile line, metadata block or directive into a
paragraph. Every position then counts from the byte after it: spans, lines
and columns, and the offset of a byte that is not UTF-8.

A problem with an input is an ``OSError`` whose ``strerror`` is the line the
command prints (bytes that are not UTF-8: ``UnicodeDecodeError``, whose line
``utf8_problem`` gives).
"""

from __future__ import annotations

import errno
import os
import stat
import sys
from typing import Callable, Union

# The longest input the parser takes, in bytes of UTF-8: its spans are 32-bit.
# Reading stops with an error once an input is longer, instead of holding an
# endless stream (quillet - < /dev/zero) in memory.
MAX_INPUT_BYTES = 2**32 - 1
READ_CHUNK = 1 << 20

BOM = b"\xef\xbb\xbf"

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def too_large(name: Path | None = None) -> OSError:
    return OSError(errno.EFBIG, f"input too large: more than {MAX_INPUT_BYTES} bytes", name)


def text_start(data: bytes) -> int:
    """Where the text of an input's bytes starts: after a byte-order mark."""
    return len(BOM) if data[: len(BOM)] == BOM else 0


def read_limited(read: Callable[[int], bytes], first: int = READ_CHUNK, name: Path | None = None) -> bytes:
    """Everything read(n) gives up to its end, in bounded chunks; an OSError
    as soon as that is more than the parser takes (a byte-order mark aside),
    or when memory runs out on the way."""
    limit = MAX_INPUT_BYTES + len(BOM)  # the mark is dropped before parsing
    chunks: list[bytes] = []
    total, size = 0, max(1, first)
    try:
        while True:
            chunk = read(min(size, limit + 1 - total))
            if not chunk:
                # One chunk (a whole regular file) is returned without a copy.
                data = b"".join(chunks)
                if len(data) - text_start(data) > MAX_INPUT_BYTES:
                    raise too_large(name)
                return data
            chunks.append(chunk)
            total += len(chunk)
            if total > limit:
                raise too_large(name)
            size = READ_CHUNK
    except MemoryError:
        chunks.clear()
        raise OSError(errno.ENOMEM, f"out of memory after reading {total} bytes", name) from None


def _file_kind(mode: int) -> str:
    for test, kind in (
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISDIR, "a directory"),
    ):
        if test(mode):
            return kind
    return "a special file"


def _refused(mode: int, path: Path) -> OSError:
    # A directory gives IsADirectoryError, as opening it would.
    code = errno.EISDIR if stat.S_ISDIR(mode) else errno.EINVAL
    return OSError(code, f"{_file_kind(mode)}, not a regular file", path)


def read_path(path: Path, *, fifo_ok: bool = False) -> bytes:
    """The bytes of the regular file at path (or of a FIFO when fifo_ok, read
    as a stream until its writers close it). Any other kind of file is an
    OSError and is never opened."""
    mode = os.stat(path).st_mode
    fifo = fifo_ok and stat.S_ISFIFO(mode)
    if not (stat.S_ISREG(mode) or fifo):
        raise _refused(mode, path)
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    if not fifo:
        # Should the path have become a FIFO since the stat, opening it must
        # not wait for a writer; the check below then refuses it.
        flags |= getattr(os, "O_NONBLOCK", 0)
    with open(os.open(path, flags), "rb", buffering=0) as handle:
        info = os.fstat(handle.fileno())
        if not (stat.S_ISREG(info.st_mode) or (fifo and stat.S_ISFIFO(info.st_mode))):
            raise _refused(info.st_mode, path)
        # A regular file is read in one call (its size plus one byte, to see
        # its end), a stream in chunks.
        first = info.st_size + 1 if stat.S_ISREG(info.st_mode) else READ_CHUNK
        try:
            return read_limited(handle.read, first, path)
        except OSError as exc:
            if exc.filename is None:
                exc.filename = path
            raise


def read_stdin() -> bytes:
    """Standard input up to its end, within the parser's limit."""
    stream = sys.stdin
    if stream is None:
        raise OSError(errno.EBADF, "standard input is closed")
    buffer = getattr(stream, "buffer", None)
    if buffer is None:  # a stream of text put in its place
        raise OSError(errno.EINVAL, "standard input gives no bytes")
    return read_limited(buffer.read)


def decode(data: bytes) -> str:
    """The text of an input's bytes, a byte-order mark dropped; a
    UnicodeDecodeError (positions after the mark) for bytes that are not
    UTF-8."""
    start = text_start(data)
    # Decoded from a view: the bytes after the mark are not copied first.
    return str(memoryview(data)[start:], "utf-8") if start else data.decode("utf-8")


def utf8_problem(exc: UnicodeDecodeError) -> str:
    """The one line that says where an input is not UTF-8."""
    return f"not valid UTF-8 (byte 0x{exc.object[exc.start]:02x} at offset {exc.start})"
