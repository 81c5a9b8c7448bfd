"""The ``quillet`` command: print the trees of Quillet documents, or their JSON,
and report their errors with line and column numbers."""

from __future__ import annotations

import argparse
import functools
import os
import signal
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, NoReturn, TextIO

from quillet.export import dumps, error_dict, flat_list_text, member_name, to_dict
from quillet.lines import LineIndex

if TYPE_CHECKING:
    import pyql

EXIT_OK = 0
EXIT_PARSE_ERRORS = 1
EXIT_USAGE = 2

PROG = "quillet"
STDIN_NAME = "<stdin>"
SUFFIX = ".qlt"

# The progress bar appears from this many files on (and only on a terminal):
# for fewer, the run is over before a bar would tell anything.
PROGRESS_MIN_FILES = 20

DESCRIPTION = """\
Parse Quillet documents and print their trees, one node per line, indented by
depth: the class name, the span as START..END (UTF-8 byte offsets) and the
node's fields. Errors follow on standard error as FILE:LINE:COLUMN: message,
with line and column counted from 1 (the column in characters).

A directory stands for every *.qlt file below it (symbolic links to
directories are not followed), in sorted order. With more than one input
file, each tree is headed by a line ==> FILE <==."""

EPILOG = """\
examples:
  quillet examples/tour.qlt              print the tree of one document
  printf '# Hi\\n' | quillet -            read standard input
  quillet docs/ notes.qlt                every *.qlt below docs/, then notes.qlt
  quillet --errors-only -j 4 docs/       check many files on 4 processes
  quillet --json docs/ > docs.jsonl      one JSON object per file
  quillet --profile md README.qlt        profile to record when the document names none

output with --json (JSON Lines, UTF-8): one line per file, in input order:
  {"path": FILE, "document": {...} or null, "errors": [...], "input_error": null or TEXT}
where "document" and the error objects are those of quillet.to_dict (each
error also has "line" and "column", null without a span). A path that gives
no document (unreadable, not UTF-8, a directory without *.qlt files) has
"document": null and the reason in "input_error".

exit status:
  0  every document parsed without errors
  1  some document has parse errors (its tree or JSON is still printed)
  2  a usage or input problem: bad arguments, a missing or unreadable path, a
     directory without *.qlt files, a file that is not valid UTF-8. The other
     files are still processed and reported; 2 wins over 1."""

# Fields printed for each node class, in declaration order: (scalar fields,
# field holding the child nodes). A class missing here prints its span only.
_FIELDS: dict[str, tuple[tuple[str, ...], str | None]] = {
    "Heading": (("level",), "content"),
    "Paragraph": ((), "content"),
    "List": (("kind", "start"), "items"),
    "ListItem": ((), "blocks"),
    "CodeBlock": (("lang", "content"), None),
    "Callout": (("kind", "title"), "blocks"),
    "Quote": ((), "blocks"),
    "Figure": (("src", "alt", "caption"), None),
    "Table": ((), "rows"),
    "TableRow": (("header",), "cells"),
    "TableCell": ((), "content"),
    "Footnotes": ((), "defs"),
    "FootnoteDef": (("label",), "blocks"),
    "MathBlock": (("display", "content"), None),
    "ThematicBreak": ((), None),
    "HtmlBlock": (("content",), None),
    "RawBlock": (("content",), None),
    "Text": (("content",), None),
    "Emphasis": ((), "content"),
    "Strong": ((), "content"),
    "Strikethrough": ((), "content"),
    "CodeSpan": (("content",), None),
    "Link": (("url", "title"), "label"),
    "AutoLink": (("url",), None),
    "FootnoteRef": (("label",), None),
    "HardBreak": ((), None),
    "SoftBreak": ((), None),
}

_INDENT = "  "


class UsageError(Exception):
    """A problem with the command line; exit status 2 before any file is read."""


class InputError(Exception):
    """A path that gives no text (unreadable, not UTF-8, ...); exit status 2."""


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------------------
# The tree view


def _span(node: object) -> str:
    span = node.span  # type: ignore[attr-defined]
    return f"{span.start}..{span.end}"


def _scalar(value: object) -> str:
    if isinstance(value, (str, bool, int, float)) or value is None:
        return repr(value)
    return member_name(value)


def format_value(value: object) -> str:
    """repr-like text of a metadata value; nested lists of any depth are
    written without recursion."""
    return flat_list_text(value, ", ", repr)


def _format_key(key: str) -> str:
    if key and key.isprintable() and "=" not in key:
        return key
    return repr(key)


def render_tree(doc: object) -> list[str]:
    """The printed tree of a document, one line per node."""
    modules = ", ".join(member_name(m) for m in doc.modules)  # type: ignore[attr-defined]
    lines = [
        f"Document {_span(doc)} profile={member_name(doc.profile)} "  # type: ignore[attr-defined]
        f"modules=[{modules}]"
    ]
    metadata = doc.metadata  # type: ignore[attr-defined]
    if metadata is not None:
        lines.append(f"{_INDENT}metadata:")
        for key, value in metadata.items():
            lines.append(f"{_INDENT * 2}{_format_key(key)} = {format_value(value)}")

    # Depth-first with an explicit stack: the depth of a tree is the input's.
    stack = [(block, 1) for block in reversed(doc.blocks)]  # type: ignore[attr-defined]
    while stack:
        node, depth = stack.pop()
        name = type(node).__name__
        scalars, children = _FIELDS.get(name, ((), None))
        words = [name, _span(node)]
        for field_name in scalars:
            value = getattr(node, field_name)
            if value is not None:
                words.append(f"{field_name}={_scalar(value)}")
        lines.append(_INDENT * depth + " ".join(words))
        if children is not None:
            stack.extend((child, depth + 1) for child in reversed(getattr(node, children)))
    return lines


# ---------------------------------------------------------------------------
# One file: read, parse, render. Runs in worker processes with -j, so its
# arguments and result are plain picklable values.


@dataclass(frozen=True)
class Job:
    """One document to process: a file, or bytes already read (stdin)."""

    name: str
    path: str | None = None
    data: bytes | None = None


@dataclass(frozen=True)
class Options:
    mode: str  # "tree", "json" or "errors"
    profile: str | None


@dataclass
class Report:
    """What processing one document gives, in output order."""

    name: str
    output: str = ""  # for standard output: the tree or the JSON line
    problems: list[str] = field(default_factory=list)  # FILE:LINE:COLUMN: message
    input_error: str | None = None  # why the file gave no document


def _read(path: str) -> bytes:
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as exc:
        raise InputError(exc.strerror or str(exc)) from None


def _decode(data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InputError(
            f"not valid UTF-8 (byte 0x{data[exc.start]:02x} at offset {exc.start})"
        ) from None


def _profile(name: str | None) -> pyql.Profile | None:
    import pyql

    return {
        None: None,
        "quillet": pyql.Profile.Quillet,
        "md": pyql.Profile.Md,
        "md-strict": pyql.Profile.MdStrict,
    }[name]


def _json_line(
    name: str, document: dict[str, Any] | None, errors: list[Any], problem: str | None
) -> str:
    record = {"path": name, "document": document, "errors": errors, "input_error": problem}
    return dumps(record, document, ensure_ascii=False, separators=(",", ":")) + "\n"


def process(job: Job, options: Options) -> Report:
    """Read, parse and render one document."""
    import pyql

    report = Report(job.name)
    try:
        data = job.data if job.data is not None else _read(job.path or "")
        text = _decode(data)
        try:
            result = pyql.parse_with_recovery(text, _profile(options.profile))
        except (ValueError, MemoryError) as exc:
            # Inputs the parser refuses outright (for instance 4 GiB or more).
            raise InputError(str(exc) or type(exc).__name__) from None
    except InputError as exc:
        report.input_error = str(exc)
        return report

    errors = [error_dict(error) for error in result.errors]
    if errors:
        index = LineIndex(data)  # the exact bytes the spans count
        for error in errors:
            span = error["span"]
            if span is None:
                error["line"] = error["column"] = None
                where = job.name
            else:
                error["line"], error["column"] = index.line_col(span[0])
                where = f"{job.name}:{error['line']}:{error['column']}"
            report.problems.append(f"{where}: {error['message']}")

    if options.mode == "tree":
        report.output = "".join(line + "\n" for line in render_tree(result.document))
    elif options.mode == "json":
        report.output = _json_line(job.name, to_dict(result.document), errors, None)
    return report


# ---------------------------------------------------------------------------
# Many files


def expand(paths: Iterable[str], stdin_data: Callable[[], bytes]) -> Iterator[Job | Report]:
    """Jobs for the command-line paths, in order; a directory gives its *.qlt
    files in sorted order. A path that gives no job yields a Report that
    carries only an input error."""
    for path in paths:
        if path == "-":
            try:
                yield Job(STDIN_NAME, data=stdin_data())
            except OSError as exc:
                yield Report(STDIN_NAME, input_error=exc.strerror or str(exc))
        elif os.path.isdir(path):
            found: list[str] = []
            problems: list[Report] = []

            def walk_error(exc: OSError) -> None:
                problems.append(
                    Report(exc.filename or path, input_error=exc.strerror or str(exc))
                )

            for root, _dirs, files in os.walk(path, onerror=walk_error):
                found.extend(os.path.join(root, name) for name in files if name.endswith(SUFFIX))
            # Sorted by path components, so the order is the same on every
            # machine whatever order the file system lists entries in.
            found.sort(key=lambda p: p.split(os.sep))
            yield from problems
            if not found and not problems:
                yield Report(path, input_error=f"no *{SUFFIX} documents in this directory")
            for name in found:
                yield Job(name, path=name)
        else:
            yield Job(path, path=path)


def _ignore_interrupts() -> None:
    # Ctrl-C reaches every process of the terminal's group: the main process
    # handles it, workers just stop with the pool.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _reports(jobs: list[Job | Report], options: Options, workers: int) -> Iterator[Report]:
    """Reports in job order; with more than one worker, jobs run in a
    process pool while finished reports are handed out."""
    todo = [job for job in jobs if isinstance(job, Job)]
    if workers <= 1 or len(todo) < 2:
        for job in jobs:
            yield job if isinstance(job, Report) else process(job, options)
        return
    try:
        pool = ProcessPoolExecutor(
            max_workers=min(workers, len(todo)), initializer=_ignore_interrupts
        )
    except (OSError, NotImplementedError, ImportError):
        # No working multiprocessing here (no semaphores, say): one process.
        yield from _reports(jobs, options, 1)
        return
    try:
        chunk = max(1, min(64, len(todo) // (workers * 8)))
        done = pool.map(functools.partial(process, options=options), todo, chunksize=chunk)
        for job in jobs:
            yield job if isinstance(job, Report) else next(done)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class Progress:
    """A one-line bar on standard error, redrawn as files finish and erased
    before anything else is written, so that it never mixes with output."""

    WIDTH = 30

    def __init__(
        self,
        total: int,
        stream: TextIO,
        enabled: bool,
        interval: float = 0.1,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled and total > 0
        self.interval = interval
        self.clock = clock
        self.shown = ""  # the text on the screen, "" when none
        self.last = float("-inf")

    @staticmethod
    def wanted(total: int, stream: TextIO) -> bool:
        """A bar is drawn for many files, and only on a terminal."""
        isatty = getattr(stream, "isatty", None)
        return total >= PROGRESS_MIN_FILES and isatty is not None and isatty()

    def text(self, done: int) -> str:
        filled = self.WIDTH * done // self.total
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        return f"{PROG}: [{bar}] {done}/{self.total} files"

    def update(self, done: int) -> None:
        """Draw the bar for done finished files, at most once per interval."""
        if not self.enabled:
            return
        now = self.clock()
        if done < self.total and now - self.last < self.interval:
            return
        self.last = now
        self.clear()
        self.shown = self.text(done)
        self.stream.write("\r" + self.shown)
        self.stream.flush()

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * len(self.shown) + "\r")
            self.stream.flush()
            self.shown = ""


# ---------------------------------------------------------------------------
# The command


def _positive_or_zero(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number of processes, got {text!r}")
    return value


def _version() -> str:
    from quillet import __version__

    return __version__


def _build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="FILE",
        help="a document, a directory of *.qlt documents, or - for standard input",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s (pyql) {_version()}")
    view = parser.add_mutually_exclusive_group()
    view.add_argument(
        "--tree",
        dest="mode",
        action="store_const",
        const="tree",
        help="print the tree of each document (the default)",
    )
    view.add_argument(
        "--json",
        dest="mode",
        action="store_const",
        const="json",
        help="print one JSON object per file (JSON Lines; see below)",
    )
    view.add_argument(
        "--errors-only",
        dest="mode",
        action="store_const",
        const="errors",
        help="print only the errors, on standard output",
    )
    parser.set_defaults(mode="tree")
    parser.add_argument(
        "--profile",
        choices=("quillet", "md", "md-strict"),
        help="profile to record when the document names none (default: quillet)",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=_positive_or_zero,
        default=1,
        metavar="N",
        help="parse in N processes (0: one per CPU; default 1); output keeps the input order",
    )
    return parser


class _Output:
    """Standard output, which a reader may close early (quillet ... | head)."""

    def __init__(self) -> None:
        self.closed = False

    def write(self, text: str, utf8: bool = False) -> bool:
        if self.closed:
            return False
        try:
            buffer = getattr(sys.stdout, "buffer", None)
            if utf8 and buffer is not None:
                # JSON Lines are UTF-8 whatever the terminal's encoding. A file
                # name that is not UTF-8 holds lone surrogates, which become
                # \udcXX escapes: valid JSON for the same string.
                sys.stdout.flush()
                buffer.write(text.encode("utf-8", "backslashreplace"))
                buffer.flush()
            else:
                sys.stdout.write(text)
                sys.stdout.flush()
        except BrokenPipeError:
            # The reader went away: stop writing quietly.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
            self.closed = True
        return not self.closed


def _write_stderr(text: str) -> None:
    sys.stderr.write(text)
    sys.stderr.flush()


def run(argv: list[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    if args.paths.count("-") > 1:
        raise UsageError("standard input (-) can be read only once")
    try:
        import pyql  # noqa: F401
    except ImportError as exc:
        raise UsageError(f"cannot load the parser module pyql: {exc}") from None

    jobs = list(expand(args.paths, lambda: sys.stdin.buffer.read()))
    options = Options(args.mode, args.profile)
    workers = args.jobs or os.cpu_count() or 1
    headed = args.mode == "tree" and len(jobs) > 1
    progress = Progress(len(jobs), sys.stderr, Progress.wanted(len(jobs), sys.stderr))
    out = _Output()

    input_errors = parse_errors = printed = False
    try:
        for done, report in enumerate(_reports(jobs, options, workers), 1):
            progress.clear()
            text = report.output
            if report.input_error is not None:
                input_errors = True
                _write_stderr(f"{PROG}: {report.name}: {report.input_error}\n")
                if args.mode == "json":
                    text = _json_line(report.name, None, [], report.input_error)
            if headed and text:
                gap = "\n" if printed else ""
                text = f"{gap}==> {report.name} <==\n{text}"
                printed = True
            if args.mode == "errors":
                text = "".join(line + "\n" for line in report.problems)
            if text and not out.write(text, utf8=args.mode == "json"):
                break
            if report.problems:
                parse_errors = True
                if args.mode != "errors":
                    _write_stderr("".join(line + "\n" for line in report.problems))
            progress.update(done)
    except BrokenProcessPool:
        progress.clear()
        _write_stderr(
            f"{PROG}: a worker process stopped unexpectedly; "
            "the remaining files were not processed\n"
        )
        return EXIT_USAGE
    finally:
        progress.clear()
    if input_errors:
        return EXIT_USAGE
    return EXIT_PARSE_ERRORS if parse_errors else EXIT_OK


def main(argv: list[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # Texts may hold characters the terminal's encoding lacks.
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    try:
        return run(argv)
    except UsageError as exc:
        sys.stderr.write(f"{PROG}: {exc}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    # Run the copy imported under the package's name, so that worker
    # processes find the functions they are given as quillet.cli.*.
    from quillet.cli import main as _main

    sys.exit(_main())
