"""Companion tools for pyql, the Quillet document parser.

The ``quillet`` command prints the trees or the JSON of Quillet documents and
reports their errors with line and column numbers (see ``quillet --help``).
``to_dict``, ``to_json``, ``to_text``, ``to_markdown`` and ``to_html`` write a Quillet
text or a parsed document as plain data, JSON, plain text, Markdown or safe HTML (see
``quillet.writers``; the data's schema is described in ``quillet.export``).
``line_col`` turns the UTF-8 byte offsets of spans into (line, column) pairs.
"""

from importlib.metadata import PackageNotFoundError, version

from quillet.html import to_html
from quillet.lines import LineIndex, line_col
from quillet.writers import to_dict, to_json, to_markdown, to_text

try:
    # The version is set once, in pyproject.toml, and read back from the installed distribution.
    __version__ = version("pyql")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "unknown"

__all__ = ["LineIndex", "__version__", "line_col", "to_dict", "to_html", "to_json", "to_markdown", "to_text"]
