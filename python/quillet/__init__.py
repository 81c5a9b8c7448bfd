"""Companion tools for pyql, the Quillet document parser.

The ``quillet`` command prints the trees or the JSON of Quillet documents and
reports their errors with line and column numbers (see ``quillet --help``).
``to_dict`` and ``to_json`` export a parsed document as plain data or JSON
(the schema is described in ``quillet.export``). ``line_col`` turns the UTF-8
byte offsets of spans into (line, column) pairs.
"""

from __future__ import annotations

from pkgutil import extend_path

# Run from the source tree (the tests do), the package also looks in the
# installed copy further along sys.path, where the build put the compiled
# module quillet._native.
__path__ = extend_path(__path__, __name__)

from quillet.export import to_dict, to_json
from quillet.lines import LineIndex, line_col

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


__all__ = ["LineIndex", "__version__", "line_col", "to_dict", "to_json"]
