"""The documentation site: ``sphinx-build -W -c docs . build/docs``.

The source folder is the repository, of which the site reads docs/ and HACKING.md: a relative link between
pages (``../HACKING.md``, ``writers.md#json-export``) leads to the same page on the site as on GitHub, and
one to another file of the repository (``../examples/tour.qlt``) becomes a download.

The pages are Markdown read by MyST-Parser, which parses with markdown-it-py, the CommonMark parser the
tests read the same pages with (and GitHub shows them alike). The API reference is written by
sphinx-autoapi from the stubs of the compiled modules and the sources of the package, read as text: the
build imports nothing of pyql and needs no compiled module. Nothing is fetched while building.
"""

from __future__ import annotations

import inspect
import re
from pathlib import Path
from typing import Any

from pygments.lexer import RegexLexer, bygroups  # type: ignore[import-untyped,unused-ignore]
from pygments.token import (  # type: ignore[import-untyped,unused-ignore]
    Comment, Generic, Keyword, Name, Operator, Punctuation, String, Text)

ROOT = Path(__file__).resolve().parent.parent

project = "pyql"
copyright = "the pyql authors"
# The version is set once, in pyproject.toml.
found = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M)
assert found, "pyproject.toml names no version"
release = found[1]
version = release

extensions = ["myst_parser", "autoapi.extension"]
# .rst first: sphinx-autoapi writes its pages in the first suffix's format, and writes reST.
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "docs/index"
include_patterns = ["docs/**", "HACKING.md"]
# docs/api/index.rst: the reference page lists the two packages itself. The others are folders not to walk
# (.venv, .git, build: thousands of files).
exclude_patterns = ["docs/api/index.rst", ".*", "build"]
myst_heading_anchors = 3

# pyql from its stubs, quillet from its sources. Private modules (quillet._native, quillet._source, ...)
# are read, so that the imports of the others resolve, but get no page.
autoapi_dirs = [str(ROOT / "binding"), str(ROOT / "python")]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "docs/api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_options = ["members", "undoc-members", "show-module-summary"]
autoapi_member_order = "groupwise"
autodoc_typehints = "signature"

html_theme = "furo"
html_title = f"pyql {release}"
html_extra_path = ["_extra"]  # index.html at the top of the site, which leads to docs/index.html


class QuilletLexer(RegexLexer):  # type: ignore[misc,unused-ignore]
    """Quillet's line marks and inline markup, for the ``qlt`` code blocks of the pages."""

    name = "Quillet"
    aliases = ["qlt", "quillet"]
    filenames = ["*.qlt"]
    tokens = {
        "root": [
            (r"^@(profile|modules)\b.*\n", Keyword.Namespace),
            (r"^--- meta ---\n", Comment.Preproc, "meta"),
            (r"^#{1,6} .*\n", Generic.Heading),
            (r"^(::)(\w*)(.*\n)", bygroups(Punctuation, Name.Tag, Name.Attribute)),
            (r"^```.*\n", String.Delimiter, "fence"),
            (r"^---\s*\n", Punctuation),
            (r"^[-|] ", Punctuation),
            (r"\*\*[^*\n]+\*\*", Generic.Strong),
            (r"\*[^*\n]+\*", Generic.Emph),
            (r"~~[^~\n]+~~", Generic.Deleted),
            (r"`[^`\n]+`", String.Backtick),
            (r"\[\[[^\]\n]*\]\]|\[\^[^\]\n]+\]:?|<(?:[a-z]+://|mailto:)[^>\s]+>", Name.Label),
            (r"[^*~`\[<\n]+|.|\n", Text),
        ],
        "meta": [
            (r"^---\n", Comment.Preproc, "#pop"),
            (r"^([^:\n]*)(:)(.*\n)", bygroups(Name.Attribute, Operator, String)),
            (r".*\n", Text),
        ],
        "fence": [
            (r"^```\s*\n", String.Delimiter, "#pop"),
            (r".*\n", String),
        ],
    }


def docstring_of_the_module(app: Any, what: str, name: str, obj: Any, skip: bool, options: Any) -> bool:
    """pyql's docstrings are in the compiled module, its signatures in the stubs: when the module is
    installed (as where CI builds the site), a class or function without a docstring in the stubs gets
    the module's."""
    if (name == "pyql" or name.startswith("pyql.")) and what in ("module", "class", "function", "method"):
        try:
            import pyql
        except ImportError:
            return skip
        value: Any = pyql
        for part in name.split(".")[1:]:
            value = getattr(value, part, None)
        doc = inspect.getdoc(value) if value is not None else None
        if doc and not obj.docstring:
            obj.docstring = doc
    return skip


def setup(app: Any) -> None:
    app.add_lexer("qlt", QuilletLexer)
    app.connect("autoapi-skip-member", docstring_of_the_module)
