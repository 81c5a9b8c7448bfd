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
from typing import TYPE_CHECKING, Any, Callable, Iterable, Optional

import pyql
from quillet import _native
from quillet._source import profile_value
from quillet.writers import _source

if TYPE_CHECKING:
    from quillet.writers import Source

RAW_HTML_MODES = ("escape", "omit", "allow")
# The schemes a URL may have unless the caller says otherwise: the C++ writer's own list.
DEFAULT_SCHEMES: tuple[str, ...] = _native.HTML_SCHEMES

_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*\Z")
_ID_PREFIX = re.compile(r"[A-Za-z0-9_-]*\Z")
# A rel keyword, and a target: a keyword ("_blank") or a name, in the characters the writer keeps.
_REL_WORD = re.compile(r"[A-Za-z0-9_.:-]+\Z")
_TARGET = re.compile(r"[A-Za-z0-9_.:-]+\Z")

# The options of the page, which go with standalone=True only.
_PAGE_OPTIONS = ("lang", "title", "css", "style", "head_html", "math_script", "highlight_script")

CodeHook = Callable[[str, str], Optional[str]]


def _text(name: str, value: object, optional: bool = True) -> str | None:
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str{' or None' if optional else ''}, not {type(value).__name__}")
    return value


def _urls(name: str, value: object) -> list[str]:
    """A URL or an iterable of URLs, as a list."""
    if isinstance(value, str):
        value = [value]
    if isinstance(value, bytes) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a URL (str) or an iterable of them, not {type(value).__name__}")
    urls = list(value)
    for url in urls:
        if not isinstance(url, str) or not url.strip():
            raise ValueError(f"{name}: {url!r} is not a URL")
    return urls


def _html_options(
    *,
    raw_html: str = "escape",
    allowed_schemes: Iterable[str] = DEFAULT_SCHEMES,
    heading_ids: bool = False,
    id_prefix: str = "",
    link_rel: str | None = None,
    link_target: str | None = None,
    code_hook: CodeHook | None = None,
    standalone: bool = False,
    **page: Any,
) -> dict[str, Any]:
    """The options dict of the native writer, every option checked but the
    language tag and the style's content, which the writer checks."""
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
    rel = _text("link_rel", link_rel) or ""
    for word in rel.split():
        if not _REL_WORD.match(word):
            raise ValueError(f"link_rel: {word!r} is not a link type (ASCII letters, digits, '-', '_', '.', ':')")
    target = _text("link_target", link_target) or ""
    if link_target is not None and not _TARGET.match(target):
        raise ValueError(f"link_target must be '_blank', '_self', '_parent', '_top' or a name of ASCII letters, "
                         f"digits, '-', '_', '.' and ':', not {target!r}")
    if code_hook is not None and not callable(code_hook):
        raise TypeError(f"code_hook must be callable or None, not {type(code_hook).__name__}")
    options: dict[str, Any] = {
        "raw_html": raw_html,
        "allowed_schemes": schemes,
        "heading_ids": bool(heading_ids),
        "id_prefix": id_prefix,
        "link_rel": " ".join(rel.split()),
        "link_target": target,
        "code_hook": code_hook,
        "standalone": bool(standalone),
    }
    for name, value in page.items():
        if name not in _PAGE_OPTIONS:
            raise TypeError(f"to_html() got an unexpected keyword argument {name!r}")
        checked: str | list[str] | None
        if name in ("css", "math_script", "highlight_script"):
            checked = _urls(name, value)
            given = bool(checked)
        elif name == "head_html":
            checked = _text(name, value, optional=False)
            given = bool(checked)
        else:
            checked = _text(name, value)
            given = checked is not None
        if not given:
            continue
        if not standalone:
            raise ValueError(f"{name} is an option of the page: it goes with standalone=True")
        options[name] = checked
    return options


def to_html(
    source: Source,
    *,
    profile: pyql.Profile | str | None = None,
    raw_html: str = "escape",
    allowed_schemes: Iterable[str] = DEFAULT_SCHEMES,
    heading_ids: bool = False,
    id_prefix: str = "",
    link_rel: str | None = None,
    link_target: str | None = None,
    code_hook: CodeHook | None = None,
    standalone: bool = False,
    lang: str | None = None,
    title: str | None = None,
    css: str | Iterable[str] = (),
    style: str | None = None,
    head_html: str = "",
    math_script: str | Iterable[str] = (),
    highlight_script: str | Iterable[str] = (),
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
    ``heading_ids``: give headings ids (``h-`` and the heading's words, in
    any script, lower-cased). ``id_prefix``: put in front of every id
    (headings and footnotes), ASCII letters, digits, ``-`` and ``_`` only.
    ``link_rel`` and ``link_target``: the ``rel`` (``"nofollow ugc"``; with
    ``link_target="_blank"``, ``noopener`` is added) and ``target`` of every
    link of the document.
    ``code_hook``: called as ``code_hook(code, lang)`` for each code block,
    ``lang`` the first word of its language or ``""``; the ``str`` it returns
    is written in place of the block **as it is (trusted)**, ``None`` leaves
    the block to the writer. A ``str`` source's write takes the GIL back for
    each call; what the hook raises comes out of ``to_html``.
    ``standalone``: a whole page, with the metadata ``title`` (or the first
    heading) as its title and a small stylesheet. With it only: ``lang`` (a
    language tag such as ``"pt-BR"``; else the metadata ``lang`` when it is
    one), ``title``, ``css`` (stylesheet URLs) and ``style`` (CSS), either
    of which replaces the built-in stylesheet, ``math_script`` and
    ``highlight_script`` (script URLs: a math renderer, a highlighter) and
    ``head_html`` (written at the end of the head **as it is: trusted**).
    ``profile`` is the dialect a ``str`` is parsed in: a ``pyql.Profile``
    or its name (``"md"``).
    """
    profile = profile_value(profile)
    options = _html_options(
        raw_html=raw_html, allowed_schemes=allowed_schemes, heading_ids=heading_ids, id_prefix=id_prefix,
        link_rel=link_rel, link_target=link_target, code_hook=code_hook, standalone=standalone, lang=lang,
        title=title, css=css, style=style, head_html=head_html, math_script=math_script,
        highlight_script=highlight_script,
    )
    return str(_native.write(_source(source), "html", options, profile))
