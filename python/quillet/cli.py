"""The ``quillet`` command: print the trees of Quillet documents, or their JSON,
plain text or Markdown, and report their errors with line and column numbers."""

from __future__ import annotations

import argparse
import functools
import json
import os
import signal
import stat
import sys
import time
from dataclasses import dataclass, field
from pathlib import PurePath
from typing import Any, Callable, Generator, Iterable, Iterator, NoReturn, TextIO

import pyql
from quillet import _files, _native, _output, html
from quillet._output import FatalError, Output, Stopped, UsageError, write_all, write_stderr
from quillet._output import printable as printable
from quillet._source import profile_value
from quillet._tree import format_value as format_value
from quillet._tree import render_tree as render_tree
from quillet.batch import END_SIGNALS as _END_SIGNALS
from quillet.batch import broken_pool, ordered_map
from quillet.export import dumps, error_dict
from quillet.lines import LineIndex

EXIT_OK = 0
EXIT_PARSE_ERRORS = 1
EXIT_USAGE = 2

PROG = "quillet"
STDIN_NAME = "<stdin>"
SUFFIX = ".qlt"
# The documents a directory stands for with --from markdown.
MARKDOWN_SUFFIXES = (".md", ".markdown")

# The progress bar appears from this many files on (and only on a terminal):
# for fewer, the run is over before a bar would tell anything.
PROGRESS_MIN_FILES = 20

DESCRIPTION = """\
Parse Quillet documents and print their trees, one node per line, indented by
depth: the class name, the span as START..END (UTF-8 byte offsets) and the
node's fields. Errors follow on standard error as FILE:LINE:COLUMN: message,
with line and column counted from 1 (the column in characters).

A directory stands for every regular *.qlt file below it (symbolic links to
directories are not followed; FIFOs, devices and sockets are left out), in
sorted order. A FIFO named as FILE is read as a stream, like - for standard
input; a device or socket named as FILE is an input error and is not opened.
An input may hold at most 4294967295 bytes (the parser's limit); reading
stops with an input error beyond. A UTF-8 byte-order mark at the start of an
input is dropped: spans are then offsets into the text after it. With more
than one input file, each tree is headed by a line ==> FILE <==. Control
characters in texts and file names shown on the terminal (error lines,
headers, field values) are escaped, as \\x1b, \\n, \\u2028."""

EPILOG = """\
subcommands:
  quillet check PATH...  errors, and warnings with hints, as a linter reports
                         them (quillet check --help for more)
  quillet lsp            the language server, over standard input and output
                         (quillet lsp --help for more)

examples:
  quillet examples/tour.qlt              print the tree of one document
  printf '# Hi\\n' | quillet -            read standard input
  quillet docs/ notes.qlt                every *.qlt below docs/, then notes.qlt
  quillet --errors-only -j 4 docs/       check many files on 4 processes
  quillet --json docs/ > docs.jsonl      one JSON object per file
  quillet --to text notes.qlt            the words of a document, no markup
  quillet --to markdown -o out/ docs/    docs/a/b.qlt -> out/a/b.md
  quillet --from markdown -o out/ docs/  docs/a/b.md -> out/a/b.qlt, Markdown converted
  quillet --to html --standalone --lang en --css site.css a.qlt
                                         a whole HTML page
  quillet --profile md README.qlt        profile to record when the document names none

output with --json (JSON Lines, UTF-8): one line per file, in input order:
  {"path": FILE, "document": {...} or null, "errors": [...], "input_error": null or TEXT}
where "document" and the error objects are those of quillet.to_dict (each
error also has "line" and "column", null without a span). A path that gives
no document (unreadable, not UTF-8, a directory without *.qlt files) has
"document": null and the reason in "input_error". U+0085, U+2028 and U+2029
are written as \\u escapes, so that every reader sees one record per line.

--to text, markdown and html write UTF-8, each document headed by
==> FILE <== when there are several.

output with -o DIR: one file per input, at the path the input has below the
directory argument it came from (the base name of a file argument), its .qlt
suffix replaced by the format's ({suffixes}; any other name
gains the suffix), a .json file holding the input's JSON Lines record.
Directories are made as needed; each file is renamed into place once
complete. A file with parse errors still gets its output; an input error
gives no file. Refused before anything is written: - (standard input),
--errors-only, a DIR that is not a directory, two inputs writing one file, an
output file where another output needs a directory, an output that is an
input or an existing directory, a file in the way of a directory, and a
symbolic link below DIR (outputs are never written through one).

exit status:
  0  every document parsed without errors
  1  some document has parse errors (its tree or JSON is still printed)
  2  a usage or input problem: bad arguments, a missing or unreadable path, a
     directory without *.qlt files, a device or socket, an input over the
     size limit, a file that is not valid UTF-8. The other files are still
     processed and reported; 2 wins over 1. Also when the output cannot be
     written (a full disk, a closed standard output): one line on standard
     error says why.
A run ended by SIGINT, SIGTERM or SIGHUP stops its worker processes and ends
by that signal; when the reader of the output goes away (quillet ... | head)
it ends quietly, as by SIGPIPE."""

class InputError(Exception):
    """A path that gives no text (unreadable, not UTF-8, ...); exit status 2."""


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block.
        self.exit(
            EXIT_USAGE, f"{self.prog}: error: {printable(message)} (see '{self.prog} --help')\n"
        )


# ---------------------------------------------------------------------------
# One file: read, parse, render. Runs in worker processes with -j, so its
# arguments and result are plain picklable values.


@dataclass(frozen=True)
class Job:
    """One document to process: a file, or bytes already read (stdin)."""

    name: str
    path: str | None = None
    data: bytes | None = None
    fifo_ok: bool = False  # a FIFO at path is read as a stream (it was named)
    # Where its output goes below -o DIR: the path relative to the directory
    # argument it was found in, or the file argument's base name.
    rel: str | None = None


@dataclass(frozen=True)
class Options:
    mode: str  # "tree", "json", "text", "markdown", "html", "quillet" (with --from markdown) or "errors"
    profile: str | None
    out_dir: str | None = None  # -o DIR: one output file per input
    standalone: bool = False  # --standalone: HTML as a whole page
    # --heading-ids, --lang, --css, ...: the HTML writer's options as quillet.to_html passes them
    html: dict[str, Any] | None = None
    source: str = "quillet"  # --from: "quillet", or "markdown" (converted by quillet.from_markdown first)


# The formats written in C++ straight from the input's bytes, and the
# extension of each format's files below -o DIR.
NATIVE_MODES = ("json", "text", "markdown", "html")
EXTENSIONS = {
    "tree": ".tree", "json": ".json", "text": ".txt", "markdown": ".md", "html": ".html", "quillet": ".qlt",
}


def output_name(rel: str, mode: str, suffixes: tuple[str, ...] = (SUFFIX,)) -> str:
    """The output path, relative to -o DIR, of the input at rel: its suffix
    (.qlt, or .md and .markdown with --from markdown) replaced by the
    format's, or the format's appended to any other name (notes.md gives
    notes.md.md, never the input's own name)."""
    for suffix in suffixes:
        if rel.endswith(suffix) and len(rel) > len(suffix):
            return rel[: -len(suffix)] + EXTENSIONS[mode]
    return rel + EXTENSIONS[mode]


@dataclass
class Report:
    """What processing one document gives, in output order."""

    name: str
    # For standard output: the tree or the JSON line (str), or what a writer
    # in C++ wrote (UTF-8 bytes); empty when it was written already.
    output: str | bytes = ""
    problems: list[str] = field(default_factory=list)  # FILE:LINE:COLUMN: message
    # FILE:LINE:COLUMN: warning: message, what --from markdown could not carry over (the exit status stays)
    warnings: list[str] = field(default_factory=list)
    input_error: str | None = None  # why the file gave no document


def _read(path: str, fifo_ok: bool) -> bytes:
    """The bytes of a regular file, or of a FIFO when fifo_ok (one named on
    the command line); any other kind of file is an input error and is
    never opened."""
    try:
        return _files.read_path(path, fifo_ok=fifo_ok)
    except OSError as exc:
        raise InputError(exc.strerror or str(exc)) from None


def read_stdin() -> bytes:
    """Standard input up to its end, within the parser's limit."""
    try:
        return _files.read_stdin()
    except OSError as exc:
        raise InputError(exc.strerror or str(exc)) from None


def _decode(data: bytes) -> str:
    try:
        return _files.decode(data)
    except UnicodeDecodeError as exc:
        raise InputError(_files.utf8_problem(exc)) from None


def _profile(name: str | None) -> pyql.Profile | None:
    return profile_value(name)


_JSON_LINE_BREAKS = {code: f"\\u{code:04x}" for code in (0x85, 0x2028, 0x2029)}


def _json_line(
    name: str, document: dict[str, Any] | None, errors: list[Any], problem: str | None
) -> str:
    record = {"path": name, "document": document, "errors": errors, "input_error": problem}
    text = dumps(record, document, ensure_ascii=False, separators=(",", ":"))
    # json leaves these in strings as they are, and str.splitlines() (among
    # other readers) takes them for line ends: one record must be one line.
    return text.translate(_JSON_LINE_BREAKS) + "\n"


def _json_record_start(name: str) -> bytes:
    """The JSON Lines record of a file up to its document, as _json_line
    writes it."""
    text = '{"path":' + json.dumps(name, ensure_ascii=False) + ',"document":'
    return text.translate(_JSON_LINE_BREAKS).encode("utf-8", "backslashreplace")


def _json_record_end(errors: list[dict[str, Any]]) -> bytes:
    """The rest of the record after its document."""
    text = ',"errors":' + json.dumps(errors, ensure_ascii=False, separators=(",", ":"))
    text += ',"input_error":null}\n'
    return text.translate(_JSON_LINE_BREAKS).encode("utf-8", "backslashreplace")


def process(job: Job, options: Options, out: Output | None = None) -> Report:
    """Read, parse and render one document. With out (the main process
    without workers), a format written in C++ goes straight to standard
    output as it is written instead of into the report."""
    report = Report(job.name)
    try:
        return _process(job, options, report, out)
    except InputError as exc:
        report.input_error = str(exc)
    except MemoryError:
        if out is not None and out.streamed:
            # Part of this document's output may be out already: what would
            # follow could not be told from it.
            raise FatalError(f"out of memory while writing {job.name}") from None
        report.input_error = "out of memory"
    report.output = ""
    report.problems.clear()
    report.warnings.clear()
    return report


def _error_problems(
    name: str, errors: list[dict[str, Any]], data: Callable[[], bytes]
) -> list[str]:
    """FILE:LINE:COLUMN: message for each error, whose dict gains its line
    and column (None without a span); data gives the bytes the spans count."""
    problems = []
    if errors:
        index = LineIndex(data())
        for error in errors:
            span = error["span"]
            if span is None:
                error["line"] = error["column"] = None
                where = name
            else:
                error["line"], error["column"] = index.line_col(span[0])
                where = f"{name}:{error['line']}:{error['column']}"
            problems.append(printable(f"{where}: {error['message']}"))
    return problems


def _converted(job: Job, data: bytes, report: Report) -> bytes:
    """The Quillet text of a Markdown input, as UTF-8; what could not be
    carried over goes to the report's warnings."""
    from quillet.from_markdown import from_markdown

    try:
        result = from_markdown(_decode(data))
    except ImportError as exc:
        raise InputError(str(exc)) from None
    report.warnings = [
        printable(f"{job.name}:{d.line}:{d.column}: warning: {d.message} [{d.code}]") for d in result.diagnostics
    ]
    return result.text.encode("utf-8")


def _process(job: Job, options: Options, report: Report, out: Output | None) -> Report:
    data = job.data if job.data is not None else _read(job.path or "", job.fifo_ok)
    if options.source == "markdown":
        data = _converted(job, data, report)
        if options.mode == "quillet":
            if options.out_dir is not None and job.rel is not None:
                _write_output(options, job, lambda fd: write_all(fd, data))
            else:
                report.output = data.decode("utf-8")
            return report
    # A byte-order mark is dropped: spans then count from the byte after it.
    start = _files.text_start(data)
    if options.mode in NATIVE_MODES:
        return _process_native(job, options, report, data, start, out)
    text = _decode(data)
    try:
        result = pyql.parse_with_recovery(text, _profile(options.profile))
    except ValueError as exc:
        # Inputs the parser refuses outright.
        raise InputError(str(exc) or type(exc).__name__) from None

    errors = [error_dict(error) for error in result.errors]
    # The exact bytes the spans count.
    report.problems = _error_problems(job.name, errors, lambda: data[start:])

    report.output = "".join(line + "\n" for line in render_tree(result.document))
    if options.out_dir is not None and job.rel is not None:
        encoded = str(report.output).encode("utf-8", "backslashreplace")
        _write_output(options, job, lambda fd: write_all(fd, encoded))
        report.output = ""
    return report


def _process_native(
    job: Job, options: Options, report: Report, data: bytes, start: int, out: Output | None
) -> Report:
    """Parse and write one document in C++, from its bytes to a file
    descriptor: no str of the input, and no more than a chunk of the
    output at a time when it goes to a file or standard output."""
    json_mode = options.mode == "json"
    body = memoryview(data)[start:]
    direct = options.out_dir is None and out is not None and out.fileno() is not None
    # Written by the C++ side once the input is known to be UTF-8: the
    # header of a headed output, the record's start for JSON Lines.
    head = out.header(job.name) if direct and out is not None else b""
    if json_mode:
        head += _json_record_start(job.name)

    def write(fd: int) -> bytes:
        try:
            # A whole HTML page is the writer's "html-page" format.
            fmt = "html-page" if options.mode == "html" and options.standalone else options.mode
            if fd < 0:
                raw, output = _native.write_fd(body, -1, fmt, options.profile, head, options.html)
            else:
                raw, output = _native.write_fd(body, fd, fmt, options.profile, head, options.html), b""
        except ValueError as exc:
            # Not UTF-8: the same words as the decoder's error.
            raise InputError(str(exc)) from None
        errors = [
            {
                "message": message,
                "kind": kind,
                "span": None if begin is None else [begin, end],
                "recoverable": recoverable,
            }
            for message, kind, begin, end, recoverable in raw
        ]
        report.problems = _error_problems(job.name, errors, lambda: bytes(body) if start else data)
        tail = _json_record_end(errors) if json_mode else b""
        if fd < 0:
            return bytes(output) + tail
        write_all(fd, tail)
        return b""

    if options.out_dir is not None and job.rel is not None:
        _write_output(options, job, write)
    elif direct and out is not None:
        out.streamed = True
        try:
            write(out.begin_raw())
        except OSError as exc:
            out.failed(exc)
        out.printed = out.printed or out.headed
    else:
        report.output = write(-1)
    return report


def _output_parts(job: Job, options: Options) -> tuple[str, ...]:
    """The names, folder by folder, of job's output file below -o DIR."""
    suffixes = MARKDOWN_SUFFIXES if options.source == "markdown" else (SUFFIX,)
    return PurePath(output_name(job.rel or job.name, options.mode, suffixes)).parts


def _write_output(options: Options, job: Job, write: Callable[[int], Any]) -> None:
    """Write the output file of job below -o DIR with write(fd), renamed
    into place once complete."""
    _output.write_file(options.out_dir or ".", _output_parts(job, options), write)


def _check_targets(jobs: list[Job | Report], options: Options) -> None:
    """Refuse, before anything is written, a run whose outputs cannot all be
    written below -o DIR (see _output.check_targets)."""
    targets = [
        (job.name, job.path, _output_parts(job, options)) for job in jobs if isinstance(job, Job)
    ]
    _output.check_targets(options.out_dir or ".", targets)


# ---------------------------------------------------------------------------
# Many files


def _walk(top: str, problems: list[Report], suffixes: tuple[str, ...] = (SUFFIX,)) -> list[str]:
    """Paths of the regular ``*.qlt`` files (or other suffixes) below the directory top, found with
    an explicit stack (a tree may be deeper than Python's recursion limit).
    Links to directories are not followed; FIFOs, devices and sockets are
    left out, since reading them could block. A link that leads nowhere is
    kept: reading it reports why."""
    found: list[str] = []
    stack = [top]
    while stack:
        directory = stack.pop()
        try:
            with os.scandir(directory) as entries:
                for entry in entries:
                    if entry.is_dir(follow_symlinks=False):
                        stack.append(entry.path)
                    elif entry.name.endswith(suffixes):
                        try:
                            regular = stat.S_ISREG(entry.stat().st_mode)
                        except OSError:
                            regular = entry.is_symlink()
                        if regular:
                            found.append(entry.path)
        except OSError as exc:
            problems.append(Report(exc.filename or directory, input_error=exc.strerror or str(exc)))
    # Sorted by path components, so the order is the same on every machine
    # whatever order the file system lists entries in.
    found.sort(key=lambda p: p.split(os.sep))
    return found


def expand(
    paths: Iterable[str], stdin_data: Callable[[], bytes], suffixes: tuple[str, ...] = (SUFFIX,)
) -> Iterator[Job | Report]:
    """Jobs for the command-line paths, in order; a directory gives its ``*.qlt``
    files (or those of the suffixes given) in sorted order. A path that gives
    no job yields a Report that carries only an input error."""
    for path in paths:
        if path == "-":
            try:
                yield Job(STDIN_NAME, data=stdin_data())
            except InputError as exc:
                yield Report(STDIN_NAME, input_error=str(exc))
        elif os.path.isdir(path):
            problems: list[Report] = []
            found = _walk(path, problems, suffixes)
            yield from problems
            if not found and not problems:
                kinds = " or ".join(f"*{suffix}" for suffix in suffixes)
                yield Report(path, input_error=f"no {kinds} documents in this directory")
            for name in found:
                yield Job(name, path=name, rel=os.path.relpath(name, path))
        else:
            # A FIFO named on the command line is read as a stream.
            yield Job(path, path=path, fifo_ok=True, rel=os.path.basename(path))


def _reports(
    jobs: list[Job | Report], options: Options, workers: int, out: Output | None = None
) -> Generator[Report, None, None]:
    """Reports in job order; with more than one worker, jobs run in the
    worker processes of quillet.batch (as parse_files' do) while finished
    reports are handed out. Without workers, out (if given) takes what the
    C++ writers write as they go."""
    todo = [job for job in jobs if isinstance(job, Job)]
    if workers <= 1 or len(todo) < 2:
        for job in jobs:
            yield job if isinstance(job, Report) else process(job, options, out)
        return
    done = ordered_map(functools.partial(process, options=options), todo, workers)
    try:
        for job in jobs:
            yield job if isinstance(job, Report) else next(done)
    finally:
        done.close()


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
    from quillet import _DISTRIBUTION, __version__

    return f"{_DISTRIBUTION} {__version__} (import names pyql and quillet)"


class _VersionAction(argparse.Action):
    """--version, which looks the version up only when asked: reading it
    from the installed distribution takes longer than a whole run."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> None:
        Output().write(f"{parser.prog} from {_version()}\n")
        parser.exit()


def _build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        # The suffixes come from the one table the outputs are named by.
        epilog=EPILOG.replace("{suffixes}", ", ".join(EXTENSIONS.values())),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="FILE",
        help="a document, a directory of *.qlt documents, or - for standard input",
    )
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version and exit")
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
        "--to",
        dest="mode",
        choices=tuple(EXTENSIONS),
        help="what to write for each document: its tree (the default), JSON "
        "(as --json), plain text, Markdown, safe HTML, or (with --from markdown, its default) "
        "the Quillet text",
    )
    view.add_argument(
        "--errors-only",
        dest="mode",
        action="store_const",
        const="errors",
        help="print only the errors, on standard output",
    )
    parser.set_defaults(mode=None)
    parser.add_argument(
        "--from",
        dest="source",
        choices=("quillet", "markdown"),
        default="quillet",
        help="what the inputs are: Quillet (the default), or Markdown, converted by quillet.from_markdown "
        "(directories stand for their *.md and *.markdown files; what cannot be carried over is a warning)",
    )
    parser.add_argument(
        "--profile",
        choices=_native.PROFILE_NAMES,
        help="profile to record when the document names none (default: quillet)",
    )
    html_group = parser.add_argument_group("HTML (with --to html; as quillet.to_html's options)")
    html_group.add_argument(
        "--standalone",
        action="store_true",
        help="a whole page (doctype, charset, title, a small stylesheet)",
    )
    html_group.add_argument("--heading-ids", action="store_true", help="give headings ids (h- and their words)")
    html_group.add_argument("--id-prefix", metavar="PREFIX", help="put in front of every id (ASCII letters, digits, - and _)")
    html_group.add_argument("--link-rel", metavar="REL", help='the rel of every link, as "nofollow ugc"')
    html_group.add_argument("--link-target", metavar="TARGET", help="the target of every link, as _blank")
    html_group.add_argument("--lang", metavar="TAG", help="with --standalone: the page's language tag, as pt-BR")
    html_group.add_argument("--title", help="with --standalone: the page's title")
    html_group.add_argument(
        "--css",
        metavar="URL",
        action="append",
        help="with --standalone: link this stylesheet instead of the built-in one (repeatable)",
    )
    html_group.add_argument(
        "--math-script", metavar="URL", action="append", help="with --standalone: load this math renderer (repeatable)"
    )
    html_group.add_argument(
        "--highlight-script",
        metavar="URL",
        action="append",
        help="with --standalone: load this code highlighter (repeatable)",
    )
    parser.add_argument(
        "-o",
        "--output-dir",
        metavar="DIR",
        help="write each document's output to its own file below DIR instead of "
        "standard output (see below)",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=_positive_or_zero,
        default=1,
        metavar="N",
        help="parse in N worker processes, never more than there are input files "
        "(0: one per CPU; default 1); output keeps the input order",
    )
    return parser


def _handle_end_signals() -> dict[int, Any]:
    """Turn TERM and HUP into Stopped in this process, so that the run
    stops its workers before it ends; returns the handlers replaced."""
    main_pid = os.getpid()

    def handler(signum: int, frame: object) -> None:
        if os.getpid() != main_pid:
            os._exit(128 + signum)  # a worker that has not reset its handlers yet
        raise Stopped(signum)

    saved = {}
    for signum in _END_SIGNALS:
        try:
            if signal.getsignal(signum) == signal.SIG_DFL:  # an ignored one (nohup) stays so
                saved[signum] = signal.signal(signum, handler)
        except ValueError:  # not the main thread: leave signals alone
            break
    return saved


def _end_by(signum: int) -> int:
    """End the process by the signal's default action, so that the caller
    (a shell, make) sees what ended it; 128 + its number where that fails."""
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass
    if os.name == "posix":
        try:
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
        except (OSError, ValueError):
            pass
    return 128 + signum


def run(argv: list[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    if args.mode is None:
        args.mode = "quillet" if args.source == "markdown" else "tree"
    if args.mode == "quillet" and args.source != "markdown":
        raise UsageError("--to quillet writes converted documents: it goes with --from markdown")
    if args.paths.count("-") > 1:
        raise UsageError("standard input (-) can be read only once")
    if args.standalone and args.mode != "html":
        raise UsageError("--standalone makes a whole HTML page: it goes with --to html only")
    args.html = _html_options(args)
    if args.output_dir is not None:
        if args.mode == "errors":
            raise UsageError("-o DIR writes documents: it does not go with --errors-only")
        if "-" in args.paths:
            raise UsageError("-o DIR names its files after the inputs: standard input (-) has no name")
    saved = _handle_end_signals()
    try:
        return _run(args)
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


# The HTML options of the command: (option, to_html's keyword); the page's go with --standalone.
_HTML_OPTIONS = (
    ("--heading-ids", "heading_ids"), ("--id-prefix", "id_prefix"), ("--link-rel", "link_rel"),
    ("--link-target", "link_target"),
)
_PAGE_OPTIONS = (
    ("--lang", "lang"), ("--title", "title"), ("--css", "css"), ("--math-script", "math_script"),
    ("--highlight-script", "highlight_script"),
)


def _html_options(args: argparse.Namespace) -> dict[str, Any] | None:
    """The options --to html passes to the writer, checked as to_html checks
    them; None without any."""
    given = {
        (flag, name): getattr(args, name)
        for flag, name in _HTML_OPTIONS + _PAGE_OPTIONS
        if getattr(args, name) not in (None, False)
    }
    if not given:
        return None
    for flag, name in given:
        if args.mode != "html":
            raise UsageError(f"{flag} is an HTML option: it goes with --to html only")
        if (flag, name) in _PAGE_OPTIONS and not args.standalone:
            raise UsageError(f"{flag} is an option of the page: it goes with --standalone")
    kwargs = {name: value for (flag, name), value in given.items()}
    try:
        options = html._html_options(standalone=args.standalone, **kwargs)
        # The writer checks the language tag: a write of nothing asks it.
        _native.write("", "html", options)
    except (TypeError, ValueError) as exc:
        named = [f for f, name in given if str(exc).startswith(name)]
        raise UsageError(f"{named[0]}: {exc}" if named else str(exc)) from None
    # The command's format names the page (html-page); the writer takes the rest from here.
    del options["standalone"]
    return options


def _run(args: argparse.Namespace) -> int:
    suffixes = MARKDOWN_SUFFIXES if args.source == "markdown" else (SUFFIX,)
    jobs = list(expand(args.paths, read_stdin, suffixes))
    options = Options(args.mode, args.profile, args.output_dir, args.standalone, args.html, args.source)
    if args.output_dir is not None:
        _check_targets(jobs, options)
    workers = args.jobs or os.cpu_count() or 1
    headed = args.mode in ("tree", "text", "markdown", "html", "quillet") and len(jobs) > 1
    progress = Progress(len(jobs), sys.stderr, Progress.wanted(len(jobs), sys.stderr))
    out = Output(headed)

    input_errors = parse_errors = False
    reports = _reports(jobs, options, workers, out if args.output_dir is None else None)
    try:
        for done, report in enumerate(reports, 1):
            progress.clear()
            text = report.output
            name = printable(report.name)
            if report.input_error is not None:
                input_errors = True
                write_stderr(f"{PROG}: {name}: {printable(report.input_error)}\n")
                if args.mode == "json" and args.output_dir is None:
                    text = _json_line(report.name, None, [], report.input_error)
            if headed and text:
                head = out.header(report.name)
                text = head + text if isinstance(text, bytes) else head.decode("utf-8") + text
                out.printed = True
            if args.mode == "errors":
                text = "".join(line + "\n" for line in report.problems)
            if text:
                out.write(text, utf8=args.mode == "json")
            if report.warnings and args.mode != "errors":
                write_stderr("".join(line + "\n" for line in report.warnings))
            if report.problems:
                parse_errors = True
                if args.mode != "errors":
                    write_stderr("".join(line + "\n" for line in report.problems))
            progress.update(done)
    except broken_pool():
        progress.clear()
        write_stderr(
            f"{PROG}: a worker process stopped unexpectedly; "
            "the remaining files were not processed\n"
        )
        return EXIT_USAGE
    finally:
        # Stops the workers at once when the loop ended early.
        reports.close()
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
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["check"]:
        from quillet.check import main as check_main

        return check_main(args[1:])
    if args[:1] == ["lsp"]:
        from quillet.lsp import main as lsp_main

        return lsp_main(args[1:])
    try:
        return run(argv)
    except (UsageError, FatalError) as exc:
        write_stderr(f"{PROG}: {printable(str(exc))}\n")
    except MemoryError:
        write_stderr(f"{PROG}: out of memory\n")
    except RecursionError:
        write_stderr(f"{PROG}: input nested too deeply\n")
    except OSError as exc:
        write_stderr(f"{PROG}: {printable(str(exc.strerror or exc))}\n")
    except KeyboardInterrupt:
        return _end_by(signal.SIGINT)
    except Stopped as exc:
        return _end_by(exc.signum)
    return EXIT_USAGE


if __name__ == "__main__":
    # Run the copy imported under the package's name, so that worker
    # processes find the functions they are given as quillet.cli.*.
    from quillet.cli import main as _main

    sys.exit(_main())
