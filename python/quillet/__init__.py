"""Companion tools for pyql, the Quillet document parser.

The ``quillet`` command prints the trees or the JSON of Quillet documents and
reports their errors with line and column numbers (see ``quillet --help``).
``to_dict``, ``to_json``, ``to_text``, ``to_markdown`` and ``to_html`` write a Quillet
text or a parsed document as plain data, JSON, plain text, Markdown or safe HTML (see
``quillet.writers``; the data's schema is described in ``quillet.export``).
``TextIndex`` turns the UTF-8 byte offsets of spans into ``str`` indexes,
UTF-16 offsets and (line, column) pairs (``line_col`` for a single offset).
For agents and retrieval pipelines: ``sections`` gives the heading tree,
``chunks`` splits a document into pieces that fit a budget, and ``check``
reports what a writer should fix. ``from_markdown`` converts Markdown to Quillet.
``records`` and ``to_arrow`` give one flat row per block, for data frames;
``parse_files`` parses many files in worker processes.
"""

from __future__ import annotations

from quillet.batch import parse_files
from quillet.check import Diagnostic, check
from quillet.chunks import Chunk, chunks
from quillet.from_markdown import ConversionResult, from_markdown
from quillet.html import to_html
from quillet.lines import LineIndex, line_col
from quillet.records import records, to_arrow
from quillet.sections import Section, iter_sections, sections
from quillet.textindex import TextIndex
from quillet.writers import to_dict, to_json, to_markdown, to_text

__version__: str  # set by __getattr__ on first use
# The name pip installs this package by: pyql and quillet are the names it is imported by, and both
# are taken on the package index by unrelated projects.
_DISTRIBUTION = "quillet-parser"


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
        __version__ = version(_DISTRIBUTION)
    except PackageNotFoundError:  # running from a source tree that was never installed
        __version__ = "unknown"
    return __version__


__all__ = [
    "Chunk",
    "ConversionResult",
    "Diagnostic",
    "LineIndex",
    "Section",
    "TextIndex",
    "__version__",
    "check",
    "chunks",
    "from_markdown",
    "iter_sections",
    "line_col",
    "parse_files",
    "records",
    "sections",
    "to_arrow",
    "to_dict",
    "to_html",
    "to_json",
    "to_markdown",
    "to_text",
]
