"""Companion tools for pyql, the Quillet document parser.

The ``quillet`` command prints the trees or the JSON of Quillet documents and
reports their errors with line and column numbers (see ``quillet --help``).
``to_dict``, ``to_json``, ``to_text``, ``to_markdown`` and ``to_html`` write a Quillet
text or a parsed document as plain data, JSON, plain text, Markdown or safe HTML (see
``quillet.writers``; the data's schema is described in ``quillet.export``).
``line_col`` turns the UTF-8 byte offsets of spans into (line, column) pairs.
``records`` and ``to_arrow`` give one flat row per block, for data frames;
``parse_files`` parses many files in worker processes.
"""

from __future__ import annotations

from quillet.batch import parse_files
from quillet.html import to_html
from quillet.lines import LineIndex, line_col
from quillet.records import records, to_arrow
from quillet.writers import to_dict, to_json, to_markdown, to_text

__version__: str  # set by __getattr__ on first use


def __getattr__(name: str) -> str:
    # __version__ is read on first use: importlib.metadata takes longer to
    # import than the rest of the package, and the command needs it only
    # for --version.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    global __version__
    try:
        # The version is set once, in pyproject.toml, and read back from the installed distribution.
        __version__ = version("pyql")
    except PackageNotFoundError:  # running from a source tree that was never installed
        __version__ = "unknown"
    return __version__


__all__ = [
    "LineIndex", "__version__", "line_col", "parse_files", "records", "to_arrow", "to_dict", "to_html", "to_json",
    "to_markdown", "to_text",
]
