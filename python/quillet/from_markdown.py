"""Markdown documents converted to Quillet.

``from_markdown(source)`` reads Markdown (CommonMark with GitHub's tables,
strikethrough, footnotes and alerts, dollar math and YAML front matter) with
markdown-it-py, and writes the Quillet text that means the same, with a
``Diagnostic`` (the class of ``quillet.check``) for everything that could not
be carried over exactly. Positions in the diagnostics are the Markdown's.

Quillet has no escape character. Where text would read as markup, the
converter parts it with U+2060 WORD JOINER, which shows nothing: before a line
that would open a construct (``#``, ``:``, ``---``, a fence, a header line),
inside ``[[``, ``[^``, ``~~``, ``://`` and ``<mailto:``, between delimiter runs
that meet, and as the text of an empty table cell. A ``*`` or a backtick that
would pair in spite of that is written as a look-alike (U+2217, U+02CB) and
reported. Every inline text is parsed back and compared with what it must
mean before it is written, so the result always parses without errors.

The reader is an optional dependency: ``pip install "quillet-parser[markdown]"``.
"""

from __future__ import annotations

import re
from bisect import bisect_right
from dataclasses import dataclass
from functools import lru_cache
from typing import Any, Iterator, List, Optional, Tuple, Union

import pyql
from quillet._result import Result
from quillet._source import gc_paused
from quillet.check import Diagnostic
from quillet.textindex import TextIndex

__all__ = ["ConversionResult", "from_markdown"]

WJ = "\u2060"  # WORD JOINER: parts markup without showing anything
_STAR, _TICK, _LT, _BAR = "\u2217", "\u02cb", "\uff1c", "\u2223"  # look-alikes of * ` < |

# An inline node as the converter holds it: ("t", text), ("em" | "strong" | "s", children),
# ("code", text), ("link", label, url), ("auto", url), ("fn", label).
Inline = Tuple[Any, ...]


@dataclass(frozen=True)
class ConversionResult(Result):
    """What ``from_markdown`` gives: ``text``, the Quillet document, and
    ``diagnostics``, one ``Diagnostic`` per thing that could not be carried
    over exactly (its position is in the Markdown)."""

    __slots__ = ("text", "diagnostics")

    text: str
    diagnostics: List[Diagnostic]

    def as_dict(self) -> dict[str, Any]:
        """The result as plain data, keyed by the field names."""
        return {"text": self.text, "diagnostics": [d.as_dict() for d in self.diagnostics]}


@lru_cache(maxsize=2)
def _reader(front_matter: bool) -> Any:
    try:
        from markdown_it import MarkdownIt
        from mdit_py_plugins.dollarmath import dollarmath_plugin
        from mdit_py_plugins.footnote import footnote_plugin
        from mdit_py_plugins.front_matter import front_matter_plugin
    except ImportError as exc:
        raise ImportError(
            "quillet.from_markdown needs markdown-it-py and mdit-py-plugins, which are not installed: "
            "pip install 'quillet-parser[markdown]'"
        ) from exc
    md = MarkdownIt("commonmark", {"alerts": True}).enable(["table", "strikethrough"])
    md.use(footnote_plugin).use(dollarmath_plugin)
    if front_matter:
        md.use(front_matter_plugin)
    md.disable("footnote_tail")  # definitions stay where they stand
    # Every destination is kept; the writers judge their safety.
    md.validateLink = lambda url: True  # type: ignore[method-assign]
    return md


def from_markdown(source: str, *, front_matter: bool = True) -> ConversionResult:
    """The Quillet text of a Markdown document, and what could not be carried
    over. ``front_matter``: read a leading ``---`` block as YAML metadata (its
    scalars and flat lists). Never raises for any text."""
    if not isinstance(source, str):
        raise TypeError(f"source must be str, not {type(source).__name__}")
    if not isinstance(front_matter, bool):
        raise TypeError(f"front_matter must be bool, not {type(front_matter).__name__}")
    md = _reader(front_matter)
    converter = _Converter(source)
    lone = _SURROGATE.search(source)
    if lone is not None:
        # No UTF-8 text holds a lone surrogate: a reader of the result could not take it.
        line = len(_LINE_END.findall(source, 0, lone.start()))
        converter.report("surrogate", "a lone surrogate is written as U+FFFD", "the text is not valid Unicode",
                         [line, line + 1])
        source = _SURROGATE.sub("\ufffd", source)
    # The reader's tokens are many objects that stay alive to the end, and the collector would walk all of
    # them again and again while the conversion allocates; they hold no reference cycle of their own.
    with gc_paused():
        return converter.run(md.parse(source))


# ----------------------------------------------------------------- the token tree

class _Node:
    """A block of markdown-it's token stream: an opening token and what it holds (a leaf: its one token)."""

    __slots__ = ("tok", "children")

    def __init__(self, tok: Any) -> None:
        self.tok = tok
        self.children: list[_Node] = []


def _tree(tokens: list[Any]) -> list[_Node]:
    root: list[_Node] = []
    stack: list[_Node] = []
    for tok in tokens:
        if tok.nesting == -1:
            if stack:
                stack.pop()
            continue
        node = _Node(tok)
        (stack[-1].children if stack else root).append(node)
        if tok.nesting == 1:
            stack.append(node)
    return root


# ----------------------------------------------------------------- text escapes

_SURROGATE = re.compile("[\ud800-\udfff]")
_LINE_END = re.compile("\r\n|\r|\n")  # as the reader counts lines
_PAIRS = re.compile(r"\[(?=[\[^])|~(?=~)|:(?=//)|<(?=mailto:)")
_RISKY = re.compile(r"[*~`\[<]")
_BLANK = re.compile(r"[ \t]*\Z")
# A list item's continuation line with nothing after its mark, which the list would not take.
_BLANK_ITEM_LINE = re.compile(r"\n  \| (?=[ \t]*(?:\n|\Z))")


def _part(text: str) -> str:
    """Text with a word joiner inside each pair of characters that opens a construct."""
    return _PAIRS.sub(lambda m: m.group() + WJ, text)


def _opens_construct(line: str, first: bool) -> bool:
    t = line.strip()
    if t.startswith(("#", ":", "```")) or t == "---":
        return True
    return first and (t.startswith(("@profile", "@modules")) or t.startswith("---") and "meta" in t)


def _fix_lines(text: str, first_block: bool) -> str:
    """A paragraph's text whose lines stay its own: a line that would open a construct (or end the
    paragraph) begins with a word joiner, and a line of white space joins the line before."""
    if "\n" not in text:
        return WJ + text if _opens_construct(text, first_block) else text
    lines = text.split("\n")
    out = [WJ + lines[0] if _opens_construct(lines[0], first_block) else lines[0]]
    for line in lines[1:]:
        if _BLANK.match(line):
            out[-1] += " " + line
        else:
            out.append(WJ + line if _opens_construct(line, False) else line)
    return "\n".join(out)


# ----------------------------------------------------------------- inline nodes

def _plain(nodes: list[Inline]) -> str:
    out: list[str] = []
    stack = [iter(nodes)]
    while stack:
        for node in stack[-1]:
            kind = node[0]
            if kind in ("t", "code", "auto"):
                out.append(node[1])
            elif kind == "link":
                out.append(node[1])
            elif kind == "fn":
                out.append(f"[^{node[1]}]")
            else:
                stack.append(iter(node[1]))
                break
        else:
            stack.pop()
    return "".join(out)


def _normal(nodes: list[Inline]) -> list[Inline]:
    """Nodes as they compare: word joiners gone, empty texts dropped, neighbouring texts joined."""
    out: list[Inline] = []
    texts: list[str] = []  # the run of text being joined
    for node in nodes:
        kind = node[0]
        if kind == "t":
            texts.append(node[1])
            continue
        if texts:
            text = "".join(texts).replace(WJ, "")
            out += [("t", text)] if text else []
            texts.clear()
        if kind in ("em", "strong", "s"):
            out.append((kind, _normal(node[1])))
        elif kind == "link":
            out.append(("link", node[1].replace(WJ, ""), node[2]))
        else:
            out.append(node)
    text = "".join(texts).replace(WJ, "")
    return out + [("t", text)] if text else out


_KINDS = {"Emphasis": "em", "Strong": "strong", "Strikethrough": "s"}


def _from_tree(nodes: Any, newline: str) -> list[Inline]:
    out: list[Inline] = []
    for node in nodes:
        name = type(node).__name__
        if name == "Text":
            out.append(("t", node.content.replace(newline, "\n")))
        elif name in _KINDS:
            out.append((_KINDS[name], _from_tree(node.content, newline)))
        elif name == "CodeSpan":
            out.append(("code", node.content))
        elif name == "Link":
            out.append(("link", "".join(t.content for t in node.label), node.url))
        elif name == "AutoLink":
            out.append(("auto", node.url))
        elif name == "FootnoteRef":
            out.append(("fn", node.label))
        else:
            out.append(("?", name))
    return out


def _render(nodes: list[Inline], newline: str) -> str:
    out: list[str] = []
    marks = {"em": "*", "strong": "**", "s": "~~"}
    stack: list[tuple[Iterator[Inline], str]] = [(iter(nodes), "")]
    while stack:
        items, close = stack[-1]
        for node in items:
            kind = node[0]
            if kind == "t":
                out.append(node[1].replace("\n", newline))
            elif kind in marks:
                out.append(marks[kind])
                stack.append((iter(node[1]), marks[kind]))
                break
            elif kind == "code":
                out.append(f"`{node[1]}`")
            elif kind == "link":
                label, url = node[1], node[2]
                out.append(f"[[{url}]]" if label == url and "|" not in url else f"[[{label}|{url}]]")
            elif kind == "auto":
                out.append(f"<{node[1]}>")
            elif kind == "fn":
                out.append(f"[^{node[1]}]")
        else:
            stack.pop()
            out.append(close)
    return "".join(out)


def _with_joiners(nodes: list[Inline]) -> list[Inline]:
    """The invisible escapes: texts parted inside pairs that open constructs, and a word joiner
    between markup and whatever meets it."""
    out: list[Inline] = []
    for node in nodes:
        kind = node[0]
        if kind == "t":
            node = ("t", _part(node[1]))
        elif kind in ("em", "strong", "s"):
            inner = _with_joiners(node[1])
            node = (kind, [("t", WJ), *inner, ("t", WJ)])
        if out and (kind != "t" or out[-1][0] != "t"):
            out.append(("t", WJ))
        out.append(node)
    return out


def _percent(url: str, chars: str) -> str:
    for ch in chars:
        url = url.replace(ch, f"%{ord(ch):02X}")
    return url


def _look_alikes(nodes: list[Inline]) -> list[Inline]:
    """The visible escapes: a * or a backtick of the text as a look-alike, a < that would open a link
    as a full-width one, * and ~ of a destination percent-encoded."""
    out: list[Inline] = []
    for node in nodes:
        kind = node[0]
        if kind == "t":
            node = ("t", node[1].replace("*", _STAR).replace("`", _TICK).replace("<", _LT))
        elif kind in ("em", "strong", "s"):
            node = (kind, _look_alikes(node[1]))
        elif kind == "link":
            node = ("link", node[1].replace("*", _STAR).replace("`", _TICK), _percent(node[2], "*~`"))
        out.append(node)
    return out


def _unmarked(nodes: list[Inline]) -> list[Inline]:
    """Emphasis, strong and strikethrough let go: their contents stay in their place."""
    out: list[Inline] = []
    for node in nodes:
        if node[0] in ("em", "strong", "s"):
            out.extend(_unmarked(node[1]))
        else:
            out.append(node)
    return out


# ----------------------------------------------------------------- front matter

_KEY = re.compile(r"([^\s#:][^:]*?|\"[^\"]*\"|'[^']*'):(?:[ \t]+(.*))?\Z")
_INT = re.compile(r"[-+]?(?:[0-9]+|0x[0-9a-fA-F]+|0o[0-7]+)\Z")
_FLOAT = re.compile(r"[-+]?(?:\.[0-9]+|[0-9]+(?:\.[0-9]*)?)(?:[eE][-+]?[0-9]+)?\Z")
_NULLS = ("", "~", "null", "Null", "NULL")
_INT64 = 1 << 63
Scalar = Union[str, bool, int, float, None]


def _scalar(text: str) -> tuple[Scalar, bool]:
    """A YAML scalar of the simple subset, and whether it was read exactly."""
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] == "'":
        return text[1:-1].replace("''", "'"), True
    if len(text) >= 2 and text[0] == text[-1] == '"':
        body = text[1:-1]
        if "\\" not in body:
            return body, True
        try:
            return body.encode("latin-1", "backslashreplace").decode("unicode_escape"), True
        except (UnicodeDecodeError, UnicodeEncodeError):
            return body, False
    if text.startswith(("'", '"', "|", ">", "&", "*", "!", "{", "[", "@", "`")):
        return text, False
    text = re.sub(r"\s+#.*\Z", "", text)
    if text in _NULLS:
        return None, True
    if text in ("true", "True", "TRUE", "false", "False", "FALSE"):
        return text.lower() == "true", True
    if _INT.match(text):
        sign, digits = (-1 if text[0] == "-" else 1), text.lstrip("+-")
        base = 16 if digits.startswith("0x") else 8 if digits.startswith("0o") else 10
        return sign * int(digits[2:] if base != 10 else digits, base), True
    if _FLOAT.match(text) and any(c.isdigit() for c in text):
        return float(text), True
    if text in (".inf", "+.inf", "-.inf", ".nan", ".Inf", ".NaN"):
        return text, False
    return text, True


def _flow_list(text: str) -> tuple[list[Scalar], bool]:
    body = text.strip()[1:-1]
    if not body.strip():
        return [], True
    items, exact = [], True
    for piece in re.findall(r"\"[^\"]*\"|'(?:[^']|'')*'|[^,]+", body):
        piece = piece.strip()
        if not piece or piece == ",":
            continue
        if piece.startswith(("[", "{")):
            exact = False
            continue
        value, ok = _scalar(piece)
        exact = exact and ok
        items.append(value)
    return items, exact


# ----------------------------------------------------------------- the converter

class _Converter:
    def __init__(self, source: str) -> None:
        self.source = source
        self.diagnostics: list[Diagnostic] = []
        self.where: Optional[list[int]] = None  # the lines of the block being written
        self.html = False
        self.first = True  # the next block is the document's first
        self._lines: Optional[list[int]] = None
        self._index: Optional[TextIndex] = None
        self._places: dict[tuple[int, int], tuple[tuple[int, int], int, int, int, int]] = {}

    # ---- diagnostics

    def report(self, code: str, message: str, hint: str, lines: Optional[list[int]] = None) -> None:
        lines = lines or self.where or [0, 0]
        key = (lines[0], lines[1])
        place = self._places.get(key)
        if place is None:
            place = self._places[key] = self.place(lines)
        span, start, end, line, column = place
        self.diagnostics.append(Diagnostic(code, "warning", message, span, start, end, line, column, hint))

    def place(self, lines: list[int]) -> tuple[tuple[int, int], int, int, int, int]:
        """Where the Markdown's lines [first, last) are: their span, start, end, line and column."""
        if self._lines is None:
            # Lines as the reader counts them: a CR, LF or CR LF ends one.
            self._lines = [0] + [m.end() for m in _LINE_END.finditer(self.source)]
            self._index = TextIndex(self.source)
        starts, index = self._lines, self._index
        assert index is not None
        first = min(lines[0], len(starts) - 1)
        last = min(max(lines[1], lines[0] + 1), len(starts))
        start = starts[first]
        end = starts[last] if last < len(starts) else len(self.source)
        end = len(self.source[start:end].rstrip("\r\n")) + start
        text = self.source[start:end]
        column = len(text) - len(text.lstrip(" \t"))
        span = (index.byte_offset(start), index.byte_offset(end))
        return span, start + column, end, first + 1, column + 1

    # ---- the document

    def run(self, tokens: list[Any]) -> ConversionResult:
        nodes = _tree(tokens)
        metadata = ""
        if nodes and nodes[0].tok.type == "front_matter":
            self.where = nodes[0].tok.map
            metadata = self.front_matter(nodes.pop(0).tok.content)
        blocks = self.blocks(nodes)
        head = ("@modules html\n" if self.html else "") + metadata
        text = head + ("\n" if head and blocks else "") + "\n\n".join(blocks)
        return ConversionResult(text if not text or text.endswith("\n") else text + "\n", self.diagnostics)

    def blocks(self, nodes: list[_Node]) -> list[str]:
        out: list[str] = []
        notes: list[str] = []
        for node in nodes:
            tok = node.tok
            self.where = tok.map or self.where
            kind = tok.type
            if kind == "footnote_reference_open":
                notes.append(self.footnote(node))
                continue
            if notes:
                out.append("::footnotes\n" + "\n".join(notes) + "\n::")
                notes = []
            text = self.block(node)
            if text is not None and text.strip():
                out.append(text)
                self.first = False
        if notes:
            out.append("::footnotes\n" + "\n".join(notes) + "\n::")
        return out

    def block(self, node: _Node) -> Optional[str]:
        tok, kind = node.tok, node.tok.type
        if kind == "heading_open":
            level = int(tok.tag[1])
            text = self.inline(node.children, " ")
            return "#" * level + (" " + text if text else "")
        if kind == "paragraph_open":
            figure = self.figure(node)
            if figure is not None:
                return figure
            return self.inline(node.children, "\n", fix=True)
        if kind in ("bullet_list_open", "ordered_list_open"):
            return self.list_block(node)
        if kind in ("fence", "code_block"):
            info = tok.info.strip().replace("\n", " ") if kind == "fence" else ""
            return "```" + info + "\n" + self.verbatim(tok.content, "```", "a line of three backticks",
                                                      "code-fence-inside") + "```"
        if kind in ("math_block", "math_block_label"):
            if kind == "math_block_label":
                self.report("math-label", f"the label of a math block ({tok.info}) is left out",
                            "Quillet math blocks have no label; put it in the text around the block")
            return "::math display\n" + self.verbatim(tok.content.strip("\n") + "\n", "::", "a line '::'",
                                                      "math-closing-line") + "::"
        if kind == "html_block":
            self.html = True
            return "::html\n" + self.verbatim(tok.content, "::", "a line '::'", "html-closing-line") + "::"
        if kind == "hr":
            return "---"
        if kind in ("blockquote_open", "alert_open"):
            return self.container(node)
        if kind == "table_open":
            return self.table(node)
        if kind == "front_matter":  # not at the start: the reader only gives it there
            return None
        self.report("unsupported", f"a Markdown block ({kind}) Quillet cannot hold is left out",
                    "write it as a paragraph")
        return None

    def verbatim(self, content: str, fence: str, what: str, code: str) -> str:
        """A verbatim body (ending with a line feed, or empty) in which no line closes its block."""
        if not content:
            return ""
        if content == "\n":
            self.report("blank-body", "a block of one blank line is written empty",
                        "a Quillet block's body ends before the line feed of its last line")
        lines = content.split("\n")
        closing = [i for i, line in enumerate(lines) if line.strip() == fence]
        for i in closing:
            lines[i] += WJ
        if closing:
            self.report(code, f"{what} inside the block, which would end it, ends with a word joiner",
                        "no Quillet block can hold such a line as it is")
        text = "\n".join(lines)
        return text if text.endswith("\n") else text + "\n"

    # ---- inline text

    def inline_nodes(self, children: list[_Node]) -> list[Inline]:
        """The inline nodes of markdown-it's inline tokens (the children of an inline block token)."""
        tokens = [t for c in children if c.tok.type == "inline" for t in (c.tok.children or [])]
        root: list[Inline] = []
        stack: list[tuple[str, list[Inline], Any]] = []
        cur = root
        for tok in tokens:
            kind = tok.type
            if kind == "text":
                if tok.content:
                    cur.append(("t", tok.content))
            elif kind == "softbreak":
                cur.append(("t", "\n"))
            elif kind == "hardbreak":
                self.report("hard-break", "a hard line break is written as a line break",
                            "Quillet keeps line breaks as text; a reader may join the lines")
                cur.append(("t", "\n"))
            elif kind == "code_inline":
                content = tok.content.replace("\n", " ")
                if "`" in content:
                    self.report("code-backtick", "a backtick inside a code span is written as U+02CB",
                                "Quillet code spans cannot hold a backtick")
                    content = content.replace("`", _TICK)
                cur.append(("code", content))
            elif kind in ("em_open", "strong_open", "s_open", "link_open"):
                stack.append((kind, cur, tok))
                cur = []
            elif kind in ("em_close", "strong_close", "s_close", "link_close") and stack:
                opened, parent, otok = stack.pop()
                body, cur = cur, parent
                if opened == "link_open":
                    cur.append(self.link(otok, body))
                elif any(o == opened for o, _, _ in stack):
                    self.report("nested-markup", f"{opened[:-5]} inside the same markup is left without its own",
                                "Quillet cannot nest a markup inside the same markup")
                    cur.extend(body)
                else:
                    cur.append(({"em_open": "em", "strong_open": "strong", "s_open": "s"}[opened], body))
            elif kind == "footnote_ref":
                cur.append(("fn", tok.meta["label"]))
            elif kind == "image":
                alt = _plain(self.inline_image_alt(tok))
                self.report("inline-image", "an image inside text is written as a link to it",
                            "put the image in a paragraph of its own to make it a ::figure")
                cur.append(self.link(tok, [("t", alt)], title=tok.attrGet("title")))
            elif kind == "math_inline":
                self.report("inline-math", "inline math is kept as its $...$ text",
                            "Quillet has math blocks only (::math)")
                cur.append(("t", f"${tok.content}$"))
            elif kind == "math_inline_double":
                self.report("inline-math", "inline math is kept as its $$...$$ text",
                            "Quillet has math blocks only (::math)")
                cur.append(("t", f"$${tok.content}$$"))
            elif kind == "html_inline":
                self.report("inline-html", "inline HTML is kept as text", "Quillet has HTML blocks only (::html)")
                cur.append(("t", tok.content))
            else:
                cur.append(("t", tok.content))
        while stack:  # never left open by the reader; kept whole if it were
            _, parent, _ = stack.pop()
            parent.extend(cur)
            cur = parent
        return root

    def inline_image_alt(self, tok: Any) -> list[Inline]:
        return [("t", c.content) for c in (tok.children or []) if c.content]

    def link(self, tok: Any, body: list[Inline], title: Optional[str] = None) -> Inline:
        href = tok.attrGet("href") if tok.type == "link_open" else tok.attrGet("src")
        href = str(href or "")
        title = title if title is not None else tok.attrGet("title")
        if title:
            self.report("link-title", f"the title of a link ({title}) is left out",
                        "Quillet links have no title; put it in the text")
        if tok.type == "link_open" and tok.markup == "autolink" and len(body) == 1 and body[0][0] == "t":
            shown = body[0][1]
            if ("://" in shown or shown.startswith("mailto:")) and not re.search(r"[\s>]", shown):
                return ("auto", shown)
        if any(node[0] != "t" for node in body):
            self.report("link-markup", "the markup of a link's text is left out",
                        "Quillet link labels are plain text")
        label = _plain(body).replace("\n", " ")
        if "|" in label or "]]" in label or label.endswith("]"):
            self.report("link-label", "a '|' or ']' in a link's text is written as a look-alike",
                        "Quillet link labels cannot hold '|' or end with ']'")
            label = label.replace("|", _BAR).replace("]", "\uff3d")
        return ("link", label, _percent(href, "]\n"))

    def inline(self, children: list[_Node], newline: str, *, fix: bool = False,
               nodes: Optional[list[Inline]] = None) -> str:
        """The Quillet text of inline nodes, checked by a parse: written as they are, else with word
        joiners, else with look-alikes, else without emphasis, strong and strikethrough (reported)."""
        if nodes is None:
            nodes = self.inline_nodes(children)
        if newline == " ":
            nodes = _one_line(nodes)
        first = self.first
        attempts = (
            (lambda n: n, None),
            (_with_joiners, None),
            (lambda n: _with_joiners(_look_alikes(n)),
             ("literal-markup", "a '*', '`' or '<' that Quillet would read as markup is written as a look-alike")),
            (lambda n: _with_joiners(_look_alikes(_unmarked(n))),
             ("markup-lost", "emphasis, strong or strikethrough that Quillet cannot hold here is left out")),
            (lambda n: _look_alikes(_unmarked([("t", _plain(n))])),
             ("markup-lost", "inline markup that Quillet cannot hold here is left out")),
        )
        text = ""
        for make, problem in attempts:
            want = make(nodes)
            text = _render(want, newline)
            if fix:
                text = _fix_lines(text, first)
            elif newline != " " and "\n" in text:
                text = _BLANK_ITEM_LINE.sub(newline + WJ, text)
            if not _RISKY.search(text) or self.reads_as(text, want, newline):
                if problem is not None:
                    self.report(problem[0], problem[1], "Quillet has no escape character")
                return text
        return text

    def reads_as(self, text: str, want: list[Inline], newline: str) -> bool:
        result = pyql.parse_with_recovery("x" + text)
        blocks = result.document.blocks
        if result.errors or len(blocks) != 1 or not isinstance(blocks[0], pyql.Paragraph):
            return False
        got = _normal(_from_tree(blocks[0].content, newline if newline != " " else "\n"))
        if not got or got[0][0] != "t" or not got[0][1].startswith("x"):
            return False
        got[0] = ("t", got[0][1][1:])
        return _normal(got) == _normal(want)

    # ---- blocks with a shape of their own

    def figure(self, node: _Node) -> Optional[str]:
        tokens = [t for c in node.children if c.tok.type == "inline" for t in (c.tok.children or [])]
        images = [t for t in tokens if t.type == "image"]
        if len(images) != 1 or any(t.type != "image" and (t.type != "text" or t.content.strip())
                                   for t in tokens):
            return None
        tok = images[0]
        if tok.attrGet("title"):
            self.report("image-title", f"the title of an image ({tok.attrGet('title')}) is left out",
                        "write it as the figure's caption=")
        src = self.attribute(str(tok.attrGet("src") or ""))
        alt = self.attribute(_plain(self.inline_image_alt(tok)))
        return f"::figure src={src} alt={alt}"

    def attribute(self, value: str) -> str:
        value = value.replace("\r", " ").replace("\n", " ")
        if '"' not in value:
            return f'"{value}"'
        if " " not in value and value:
            return value
        self.report("attribute-quote", "a '\"' in a figure's attribute is written as '\u201d'",
                    "a quoted attribute value cannot hold a '\"'")
        return '"' + value.replace('"', "\u201d") + '"'

    def list_block(self, node: _Node) -> str:
        tok = node.tok
        head = "::list"
        if tok.type == "ordered_list_open":
            start = tok.attrGet("start")
            head += " ordered" + (f" start={int(start)}" if start is not None and int(start) != 1 else "")
        items = []
        for item in node.children:
            self.where = item.tok.map or self.where
            lines = self.flatten(item.children, 0, "list-content",
                                 "a list item's blocks after its first paragraph are kept as continuation lines")
            nodes = _joined(lines, "\n")
            text = self.inline([], "\n  | ", nodes=nodes) if nodes else ""
            items.append("- " + (text if text.strip() else text + WJ))
        return head + "\n" + "\n".join(items) + ("\n::" if items else "::")

    def flatten(self, nodes: list[_Node], depth: int, code: str, message: str) -> list[list[Inline]]:
        """The lines of blocks as inline text (for a list item or a quote, which hold text only): the
        first paragraph as it is, anything more reported once."""
        lines: list[list[Inline]] = []
        reported = False

        def more(what: str) -> None:
            nonlocal reported
            if not reported:
                self.report(code, f"{message} ({what})", "Quillet lists and quotes hold text only")
                reported = True

        for child in nodes:
            tok, kind = child.tok, child.tok.type
            self.where = tok.map or self.where
            if kind in ("paragraph_open", "heading_open"):
                if lines or kind == "heading_open":
                    more("a heading" if kind == "heading_open" else "a second paragraph")
                para = self.inline_nodes(child.children)
                lines.append(para)
            elif kind in ("bullet_list_open", "ordered_list_open"):
                more("a nested list")
                number = int(tok.attrGet("start") or 1)
                for item in child.children:
                    mark = f"{number}. " if kind == "ordered_list_open" else "- "
                    number += 1
                    sub = self.flatten(item.children, depth + 1, code, message)
                    first = sub[0] if sub else []
                    lines.append([("t", "  " * depth + mark), *first])
                    lines.extend([("t", "  " * (depth + 1)), *rest] for rest in sub[1:])
            elif kind in ("fence", "code_block", "html_block", "math_block", "math_block_label"):
                more("a code block" if kind in ("fence", "code_block") else "a verbatim block")
                lines.extend([("t", line)] for line in tok.content.split("\n") if line.strip())
            elif kind in ("blockquote_open", "alert_open"):
                more("a quote")
                lines.extend(self.flatten(child.children, depth, code, message))
            elif kind == "table_open":
                more("a table")
                for row in _rows(child):
                    lines.append([("t", " | ".join(_plain(self.inline_nodes(c.children)) for c in row))])
            elif kind == "hr":
                more("a thematic break")
            elif kind == "footnote_reference_open":
                more("a footnote definition")
                lines.extend(self.flatten(child.children, depth, code, message))
        return lines

    def container(self, node: _Node) -> str:
        tok = node.tok
        if tok.type == "alert_open":
            head = f"::callout type={str(tok.meta.get('kind', 'note')).lower()}"
            children = [c for c in node.children if c.tok.type != "alert_title_open"]
        else:
            head, children = "::quote", node.children
        paragraphs: list[str] = []
        pending: list[_Node] = []

        def flush() -> None:
            if pending:
                for line in self.flatten(pending, 0, "quote-content",
                                         "a quote's blocks other than paragraphs are kept as paragraphs"):
                    text = self.inline([], "\n", fix=True, nodes=line)
                    if text.strip():
                        paragraphs.append(text)
                pending.clear()

        for child in children:
            if child.tok.type == "paragraph_open":
                flush()
                self.where = child.tok.map or self.where
                text = self.inline(child.children, "\n", fix=True)
                if text.strip():
                    paragraphs.append(text)
            else:
                pending.append(child)
        flush()
        return head + "\n" + "".join(p + "\n\n" for p in paragraphs[:-1]) + \
            (paragraphs[-1] + "\n" if paragraphs else "") + "::"

    def footnote(self, node: _Node) -> str:
        label = str(node.tok.meta.get("label", ""))
        lines = self.flatten(node.children, 0, "footnote-content",
                             "a footnote's blocks after its first paragraph are joined into its one line")
        nodes = _joined(lines, " ")
        if "]:" in label or "\n" in label:
            label = label.replace("]", "\uff3d").replace("\n", " ")
        text = self.inline([], " ", nodes=nodes)
        return f"[^{label}]: {text}".rstrip()

    def table(self, node: _Node) -> str:
        rows = _rows(node)
        if any((c.tok.attrGet("style") or "") for row in rows for c in row):
            self.report("table-alignment", "the alignment of a table's columns is left out",
                        "Quillet tables have no alignment")
        lines = []
        for k, row in enumerate(rows):
            cells = []
            for cell in row:
                nodes = [self.cell_node(n) for n in self.inline_nodes(cell.children)]
                text = self.inline([], " ", nodes=nodes).strip()
                while "---" in text:
                    text = text.replace("---", "--" + WJ + "-")
                cells.append(text if text else WJ)
            lines.append("| " + " | ".join(cells) + " |")
            if k == 0:
                lines.append("|---|")
        return "::table\n" + "\n".join(lines) + "\n::"

    def cell_node(self, node: Inline) -> Inline:
        """A node of a table cell, where a '|' would end the cell."""
        kind = node[0]
        if kind == "t" and "|" in node[1] or kind == "code" and "|" in node[1]:
            self.report("table-bar", "a '|' inside a table cell is written as U+2223",
                        "Quillet cells cannot hold a '|'")
            return (kind, node[1].replace("|", _BAR))
        if kind == "link":
            if node[1] != node[2]:
                self.report("table-link", "a link inside a table cell keeps its destination only",
                            "Quillet cells cannot hold a '|', which a link with a text needs")
            return ("link", _percent(node[2], "|"), _percent(node[2], "|"))
        if kind in ("em", "strong", "s"):
            return (kind, [self.cell_node(n) for n in node[1]])
        return node

    # ---- metadata

    def front_matter(self, content: str) -> str:
        entries: list[str] = []
        lines = content.split("\n")
        i = 0
        while i < len(lines):
            line = lines[i]
            i += 1
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            m = _KEY.match(line.rstrip())
            if line[0] in " \t" or m is None or line.strip() == "---":
                self.skip_yaml(line)
                continue
            key, value = m.group(1).strip(), (m.group(2) or "").strip()
            if key[:1] in ("'", '"'):
                key = key[1:-1]
            if ":" in key or key.strip() != key or not key:
                self.skip_yaml(line)
                continue
            if not value or value.startswith("#"):
                items: list[Scalar] = []
                exact = True
                while i < len(lines) and (not lines[i].strip() or lines[i][:1] in " \t-"):
                    item = lines[i].strip()
                    i += 1
                    if not item:
                        continue
                    if item.startswith("- ") or item == "-":
                        scalar, ok = _scalar(item[1:])
                        items.append(scalar)
                        exact = exact and ok and not item[1:].strip().startswith(("[", "{", "- "))
                    else:
                        exact = False
                if items:
                    entries.append(self.metadata_entry(key, items, exact))
                elif exact:
                    entries.append(self.metadata_entry(key, None, True))
                else:
                    self.skip_yaml(line)
            elif value.startswith("[") and value.rstrip().endswith("]"):
                items, exact = _flow_list(value)
                entries.append(self.metadata_entry(key, items, exact))
            else:
                scalar, ok = _scalar(value)
                entries.append(self.metadata_entry(key, scalar, ok))
        entries = [e for e in entries if e]
        return "--- meta ---\n" + "".join(e + "\n" for e in entries) + "---\n" if entries else ""

    def skip_yaml(self, line: str) -> None:
        self.report("front-matter", f"front matter Quillet metadata cannot hold is left out: {line.strip()}",
                    "metadata holds scalars and flat lists, one 'key: value' per line")

    def metadata_entry(self, key: str, value: Any, exact: bool) -> str:
        if not exact:
            self.report("front-matter", f"the front matter's {key!r} is kept only in part",
                        "metadata holds scalars and flat lists, one 'key: value' per line")
        if isinstance(value, list):
            parts = [self.metadata_value(key, v, True) for v in value]
            if None in parts:
                self.report("front-matter", f"items of the front matter's {key!r} that hold a quote or a comma "
                            "are left out", "metadata list items cannot hold quotes or commas")
            return f"{key}: [" + ", ".join(p for p in parts if p is not None) + "]"
        text = self.metadata_value(key, value, False)
        return f"{key}: {text}" if text is not None else ""

    def metadata_value(self, key: str, value: Scalar, item: bool) -> Optional[str]:
        if value is None:
            self.report("front-matter", f"the front matter's {key!r} is null, written as an empty text",
                        "metadata has no null")
            return '""'
        if isinstance(value, bool):
            return "true" if value else "false"
        if isinstance(value, int):
            if -_INT64 <= value < _INT64:
                return str(value)
            self.report("front-matter", f"the front matter's {key!r} holds an integer beyond 64 bits, "
                        "written as text", "metadata integers are 64-bit")
            return f'"{value}"'
        if isinstance(value, float):
            text = repr(value)
            if value != value or value in (float("inf"), float("-inf")):
                self.report("front-matter", f"the front matter's {key!r} is not a finite number, written as text",
                            "metadata floats are finite")
                return f'"{text}"'
            return text if "." in text else text.replace("e", ".0e")
        text = value.replace("\r", " ").replace("\n", " ")
        if item and re.search(r"[\"',]", text):
            return None
        if text != value:
            self.report("front-matter", f"the front matter's {key!r} holds line breaks, written as spaces",
                        "metadata values are one line")
        return f'"{text}"'


def _joined(lines: list[list[Inline]], separator: str) -> list[Inline]:
    """The lines' nodes in one list, a text of the separator between two lines."""
    nodes: list[Inline] = []
    for k, line in enumerate(lines):
        if k:
            nodes.append(("t", separator))
        nodes.extend(line)
    return nodes


def _one_line(nodes: list[Inline]) -> list[Inline]:
    """Nodes whose line breaks are spaces (a heading, a cell, a footnote: one line each)."""
    out: list[Inline] = []
    for node in nodes:
        if node[0] == "t":
            node = ("t", node[1].replace("\n", " "))
        elif node[0] in ("em", "strong", "s"):
            node = (node[0], _one_line(node[1]))
        out.append(node)
    return out


def _rows(table: _Node) -> list[list[_Node]]:
    rows = []
    for part in table.children:  # thead, tbody
        for row in part.children:
            rows.append([cell for cell in row.children if cell.tok.type in ("th_open", "td_open")])
    return rows
