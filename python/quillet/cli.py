"""The ``quillet`` command: print the tree of a Quillet document and its errors."""

from __future__ import annotations

import argparse
import os
import sys
from typing import NoReturn

from quillet.lines import LineIndex

EXIT_OK = 0
EXIT_PARSE_ERRORS = 1
EXIT_USAGE = 2

PROG = "quillet"
STDIN_NAME = "<stdin>"

DESCRIPTION = """\
Parse a Quillet document and print its tree, one node per line, indented by
depth: the class name, the span as START..END (UTF-8 byte offsets) and the
node's fields. Errors follow on standard error as FILE:LINE:COLUMN: message,
with line and column counted from 1 (the column in characters)."""

EPILOG = """\
example:
  quillet examples/tour.qlt
  printf '# Hi\\n' | quillet -

exit status: 0 when the document has no errors, 1 when it has some,
2 on a usage or input problem (missing or unreadable file, not UTF-8)."""

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
    """A problem with the command line or the input file; exit status 2."""


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _member_name(member: object) -> str:
    """The bare name of an enumeration member: ``Md`` for ``Profile.Md``."""
    return repr(member).rpartition(".")[2]


def _span(node: object) -> str:
    span = node.span  # type: ignore[attr-defined]
    return f"{span.start}..{span.end}"


def _scalar(value: object) -> str:
    if isinstance(value, (str, bool, int, float)) or value is None:
        return repr(value)
    return _member_name(value)


_SEP, _CLOSE = object(), object()


def format_value(value: object) -> str:
    """repr-like text of a metadata value; nested lists of any depth are
    written with an explicit stack, never by recursion."""
    parts: list[str] = []
    todo: list[object] = [value]
    while todo:
        item = todo.pop()
        if item is _SEP:
            parts.append(", ")
        elif item is _CLOSE:
            parts.append("]")
        elif isinstance(item, list):
            parts.append("[")
            todo.append(_CLOSE)
            for i in range(len(item) - 1, -1, -1):
                todo.append(item[i])
                if i:
                    todo.append(_SEP)
        else:
            parts.append(repr(item))
    return "".join(parts)


def _format_key(key: str) -> str:
    if key and key.isprintable() and "=" not in key:
        return key
    return repr(key)


def render_tree(doc: object) -> list[str]:
    """The printed tree of a document, one line per node."""
    modules = ", ".join(_member_name(m) for m in doc.modules)  # type: ignore[attr-defined]
    lines = [
        f"Document {_span(doc)} profile={_member_name(doc.profile)} "  # type: ignore[attr-defined]
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
        for field in scalars:
            value = getattr(node, field)
            if value is not None:
                words.append(f"{field}={_scalar(value)}")
        lines.append(_INDENT * depth + " ".join(words))
        if children is not None:
            stack.extend((child, depth + 1) for child in reversed(getattr(node, children)))
    return lines


def _read_input(path: str) -> tuple[str, bytes]:
    """(display name, bytes) of the input; raises UsageError with a one-line reason."""
    if path == "-":
        try:
            return STDIN_NAME, sys.stdin.buffer.read()
        except OSError as exc:
            raise UsageError(f"{STDIN_NAME}: {exc.strerror or exc}") from None
    try:
        with open(path, "rb") as handle:
            return path, handle.read()
    except OSError as exc:
        raise UsageError(f"{path}: {exc.strerror or exc}") from None


def _decode(name: str, data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        bad = data[exc.start]
        raise UsageError(
            f"{name}: not valid UTF-8 (byte 0x{bad:02x} at offset {exc.start})"
        ) from None


def _build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("file", metavar="FILE", help="the document to read, or - for standard input")
    parser.add_argument(
        "--profile",
        choices=("quillet", "md", "md-strict"),
        help="profile to record when the document names none (default: quillet)",
    )
    return parser


def _profile(name: str | None) -> object:
    import pyql

    return {
        None: None,
        "quillet": pyql.Profile.Quillet,
        "md": pyql.Profile.Md,
        "md-strict": pyql.Profile.MdStrict,
    }[name]


def _write_stdout(text: str) -> None:
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (quillet FILE | head): stop writing quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def run(argv: list[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    name, data = _read_input(args.file)
    text = _decode(name, data)
    try:
        import pyql
    except ImportError as exc:
        raise UsageError(f"cannot load the parser module pyql: {exc}") from None

    try:
        result = pyql.parse_with_recovery(text, _profile(args.profile))
    except (ValueError, MemoryError) as exc:
        # Inputs the parser refuses outright (for instance 4 GiB or more).
        raise UsageError(f"{name}: {str(exc) or type(exc).__name__}") from None

    _write_stdout("".join(line + "\n" for line in render_tree(result.document)))

    errors = result.errors
    if errors:
        index = LineIndex(data)  # the exact bytes the spans count
        report = []
        for error in errors:
            if error.span is None:
                report.append(f"{name}: {error.message}\n")
            else:
                line, col = index.line_col(error.span.start)
                report.append(f"{name}:{line}:{col}: {error.message}\n")
        sys.stderr.write("".join(report))
        sys.stderr.flush()
        return EXIT_PARSE_ERRORS
    return EXIT_OK


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
    sys.exit(main())
