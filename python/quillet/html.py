"""HTML that is safe to put in a page.

``to_html(source)`` writes a document as an HTML fragment (or, with
``standalone=True``, a whole page). By default nothing in the document can
run a script or load anything but an image: every text is escaped, every
attribute quoted, link and image URLs are checked against an allowlist of
schemes after the clean-up a browser applies to them, and HTML blocks are shown
as text. The README lists the elements each node becomes.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Iterable

import pyql
from quillet import _native
from quillet._source import profile_value
from quillet.writers import _source

if TYPE_CHECKING:
    from quillet.writers import Source

RAW_HTML_MODES = ("escape", "omit", "allow")
DEFAULT_SCHEMES = ("http", "https", "mailto")

_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*\Z")
_ID_PREFIX = re.compile(r"[A-Za-z0-9_-]*\Z")


def to_html(
    source: Source,
    *,
    profile: pyql.Profile | str | None = None,
    raw_html: str = "escape",
    allowed_schemes: Iterable[str] = DEFAULT_SCHEMES,
    heading_ids: bool = False,
    id_prefix: str = "",
    standalone: bool = False,
) -> str:
    """The HTML of ``source``: a ``str`` (parsed and written in C++, without
    the GIL), or a ``Document``, ``ParseResult``, node or list of nodes, as
    ``quillet.to_text`` takes them.

    ``raw_html``: ``"escape"`` shows HTML and raw blocks as text, ``"omit"``
    leaves them out, ``"allow"`` writes HTML blocks as they are, which is unsafe
    for untrusted input (pass the output through a sanitizer such as nh3).
    ``allowed_schemes``: the URL schemes a link or image may have (without
    case); a URL without a scheme passes, except one that begins with two
    slashes, either of which may be a backslash (``//host``, ``\\\\host``,
    ``/\\host``): a browser reads it as another host with the page's scheme,
    so it passes only when both ``http`` and ``https`` are allowed. An image
    may also be a ``data:`` URL of a PNG, GIF, JPEG or WebP image. A link
    whose URL is refused is written as its label; a figure whose image is
    refused keeps its caption.
    ``heading_ids``: give headings ids (``h-`` and the heading's words).
    ``id_prefix``: put in front of every id (headings and footnotes), ASCII
    letters, digits, ``-`` and ``_`` only. ``standalone``: a whole page, with
    the metadata ``title`` (or the first heading) as its title and a small
    stylesheet. ``profile`` is the dialect a ``str`` is parsed in: a
    ``pyql.Profile`` or its name (``"md"``).
    """
    profile = profile_value(profile)
    if raw_html not in RAW_HTML_MODES:
        raise ValueError(f"raw_html must be 'escape', 'omit' or 'allow', not {raw_html!r}")
    if isinstance(allowed_schemes, (str, bytes)):
        raise TypeError("allowed_schemes must be an iterable of scheme names, not a single string")
    schemes = list(allowed_schemes)
    for scheme in schemes:
        if not isinstance(scheme, str) or not _SCHEME.match(scheme):
            raise ValueError(f"allowed_schemes: {scheme!r} is not a URL scheme name")
    if not isinstance(id_prefix, str) or not _ID_PREFIX.match(id_prefix):
        raise ValueError(f"id_prefix may hold only ASCII letters, digits, '-' and '_', not {id_prefix!r}")
    options = {
        "raw_html": raw_html,
        "allowed_schemes": schemes,
        "heading_ids": bool(heading_ids),
        "id_prefix": id_prefix,
        "standalone": bool(standalone),
    }
    return str(_native.write(_source(source), "html", options, profile))
