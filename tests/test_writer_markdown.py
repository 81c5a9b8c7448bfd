"""The Markdown writer, read back by a CommonMark parser with the table,
strikethrough, footnote and front-matter extensions: the same headings, list
items, table cells, code, links and words as the tree, whatever the text holds."""

import math
import re
import subprocess
import sys

import pytest
import yaml
from hypothesis import given
from markdown_it import MarkdownIt
from markdown_it.common.utils import unescapeAll
from mdit_py_plugins.dollarmath import dollarmath_plugin
from mdit_py_plugins.footnote import footnote_plugin
from mdit_py_plugins.front_matter import front_matter_plugin

import pyql
from conftest import BENCH, ROOT, SINK, bench_script
from quillet import _native, to_markdown as markdown_of
from test_properties import EXAMPLES, TEXTS


def to_markdown(src):
    return _native.write(src, "markdown", {})


def reader():
    md = (MarkdownIt("commonmark").enable(["table", "strikethrough"])
          .use(footnote_plugin).use(front_matter_plugin).use(dollarmath_plugin))
    md.disable("footnote_tail")  # keep definitions where they stand
    md.validateLink = lambda url: True  # every scheme is a link here
    return md


MD = reader()
ALERTS = {"note", "tip", "important", "warning", "caution"}
AUTOLINK = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]{1,31}:[^\x00-\x20<>&\\\x7f]*\Z")


def safe_label(label):
    if not label:
        return "+"
    return "".join(chr(b) if chr(b).isascii() and (chr(b).isalnum() or chr(b) in "-.") else f"+{b:02X}"
                   for b in label.encode())


def href(url):
    """The link a reader makes of url, where line breaks, which no link can hold, are percent-encoded."""
    return MD.normalizeLink(url.replace("\n", "%0A").replace("\r", "%0D"))


def norm(text):
    """What a reader gives back for text: line endings as "\\n", NUL as U+FFFD."""
    return text.replace("\r\n", "\n").replace("\r", "\n").replace("\0", "\ufffd")


def code_text(content):
    content = norm(content)
    return content + "\n" if content else ""


# ----------------------------------------------------------------- what the tree says

def expected(doc):
    """(outline, words) of a pyql Document: the structure a reader must find,
    and the text, one string per block."""
    outline, words = [], []
    in_items = set()  # the blocks of list items, whose continued lines lose their "| " mark
    stack = [(b, False) for b in reversed(doc.blocks)]
    while stack:
        node, done = stack.pop()
        name = type(node).__name__
        if done:
            if name == "List":
                outline.append(("/list",))
            continue
        if name in ("Paragraph", "Heading", "TableCell"):
            text, links = inline_text(node.content, id(node) in in_items)
            words.append(text)
            if name == "Heading":
                outline.append(("h", node.level, " ".join(text.split())))
            outline += links
        elif name == "List" and node.items:
            ordered = node.kind == pyql.ListKind.Ordered
            start = min(node.start if node.start is not None and ordered else 1, 999_999_999)
            outline.append(("list", ordered, start))
            stack.append((node, True))
            stack += [(i, False) for i in reversed(node.items)]
        elif name == "ListItem":
            outline.append(("item",))
            in_items.update(id(b) for b in node.blocks)
            stack += [(b, False) for b in reversed(node.blocks)]
        elif name in ("Quote", "Callout", "FootnoteDef", "Footnotes"):
            if name == "Callout":
                if node.kind.lower() in ALERTS:
                    words.append(f"[!{node.kind.upper()}]")
                    words.append(node.title or "")
                else:
                    words.append(node.title if node.title is not None else node.kind)
            children = node.defs if name == "Footnotes" else node.blocks
            stack += [(b, False) for b in reversed(children)]
        elif name == "Table":
            rows = [[" ".join(inline_text(c.content)[0].split()) for c in r.cells] for r in node.rows]
            width = max(map(len, rows), default=0)
            if width:
                if not node.rows[0].header:
                    rows.insert(0, [])
                outline.append(("table", [r + [""] * (width - len(r)) for r in rows]))
                stack += [(c, False) for r in reversed(node.rows) for c in reversed(r.cells)]
        elif name in ("CodeBlock", "RawBlock"):
            outline.append(("code", norm(getattr(node, "lang", "")).strip(), code_text(node.content)))
        elif name == "MathBlock":
            outline.append(("math", norm(node.content).strip()))
        elif name == "Figure":
            outline.append(("img", node.alt, href(node.src), node.caption or ""))
            words.append(node.caption or "")
    return outline, words


def inline_text(nodes, in_item=False):
    """The text a reader sees in inline nodes, and the links among them."""
    out, links = [], []
    stack = list(reversed(nodes))
    while stack:
        node = stack.pop()
        if isinstance(node, tuple):  # the end of a link's label
            links.append(("link", " ".join("".join(out[node[1]:]).split()), href(node[2])))
            continue
        name = type(node).__name__
        if name == "Text":
            out.append(re.sub(r"\n[ \t]*\| ", "\n", node.content) if in_item else node.content)
        elif name == "CodeSpan":
            out.append(node.content.replace("\r\n", " ").replace("\r", " ").replace("\n", " "))
        elif name == "FootnoteRef":
            out.append(f"[^{safe_label(node.label)}]")
        elif name in ("HardBreak", "SoftBreak"):
            out.append(" ")
        elif name == "AutoLink":
            if not AUTOLINK.match(node.url):
                links.append(("link", " ".join(node.url.split()), href(node.url)))
                out.append(node.url)
        elif name == "Link":
            stack.append(("end", len(out), node.url))
            stack += reversed(node.label)
        else:
            stack += reversed(node.content)
    return norm("".join(out)), links


# ----------------------------------------------------------------- what a reader finds

def read_back(markdown):
    """(outline, words, metadata) as the reader finds them in markdown."""
    outline, words, meta = [], [], None
    tokens = MD.parse(markdown)
    table = None
    for tok in tokens:
        kind = tok.type
        if kind == "front_matter":
            meta = yaml.safe_load(tok.content)
        elif kind == "heading_open":
            outline.append(("h", int(tok.tag[1]), None))
        elif kind in ("bullet_list_open", "ordered_list_open"):
            ordered = kind == "ordered_list_open"
            outline.append(("list", ordered, int(tok.attrGet("start") or 1) if ordered else 1))
        elif kind in ("bullet_list_close", "ordered_list_close"):
            outline.append(("/list",))
        elif kind == "list_item_open":
            outline.append(("item",))
        elif kind == "table_open":
            table = []
            outline.append(("table", table))
        elif kind == "tr_open":
            table.append([])
        elif kind in ("th_open", "td_open"):
            table[-1].append("")
        elif kind == "fence":
            info = unescapeAll(tok.info).strip()
            if info == "math":
                outline.append(("math", tok.content.strip()))
            else:
                outline.append(("code", info, tok.content))
        elif kind == "math_block":
            outline.append(("math", tok.content.strip()))
        elif kind == "inline":
            text, links, image = inline_words(tok.children)
            if outline and outline[-1][0] == "h" and outline[-1][2] is None:
                outline[-1] = ("h", outline[-1][1], " ".join(text.split()))
            if table is not None:
                table[-1][-1] = " ".join(text.split())
            outline += image + links
            words.append(text)
        elif kind == "table_close":
            table = None
    return outline, words, meta


def inline_words(children):
    out, links, image, label = [], [], [], None
    for tok in children:
        kind = tok.type
        if kind == "image":
            image.append(("img", tok.content, tok.attrGet("src"), tok.attrGet("title") or ""))
        elif kind == "text" or kind == "code_inline":
            out.append(tok.content)
        elif kind in ("softbreak", "hardbreak"):
            out.append(" ")
        elif kind == "footnote_ref":
            out.append(f"[^{tok.meta['label']}]")
        elif kind == "link_open":
            label = (len(out), tok.attrGet("href"), tok.markup == "autolink")
        elif kind == "link_close":
            start, href, auto = label
            if auto:
                del out[start:]
            else:
                links.append(("link", " ".join("".join(out[start:]).split()), href))
    return "".join(out), links, image


def check(src):
    """The Markdown of src reads back as the tree of src."""
    result = pyql.parse_with_recovery(src)
    markdown = to_markdown(src)
    want_outline, want_words = expected(result.document)
    got_outline, got_words, meta = read_back(markdown)
    assert got_outline == want_outline, markdown
    assert " ".join(got_words).split() == " ".join(want_words).split(), markdown
    want_meta = result.document.metadata
    assert meta == (want_meta or None), markdown


# ----------------------------------------------------------------- the tests

@pytest.mark.parametrize("path", sorted((ROOT / "examples").glob("*.qlt")), ids=lambda p: p.name)
def test_examples_read_back(path):
    check(path.read_text(encoding="utf-8"))


def test_bench_corpus_reads_back():
    corpus = bench_script("corpus.py")
    check(corpus.generate(10_000)[0])


@EXAMPLES
@given(TEXTS)
def test_any_text_reads_back(src):
    # Without the html module an html directive is a raw block; what a reader makes of an HTML block
    # depends on the HTML, which is written as it is.
    check(src.replace("@modules html", "@modules math"))


SPECIAL = [
    "*_#>[]()<>!|\\`~-+=.:",
    "* a\n+ b\n- c\n> d\n# e\n= f\n: g",
    "1. one\n2) two\n3.three 4. four\n123456789. long\n.5",
    "a\n===\nb\n- - -\n_ _ _\n***\n+++",
    "\tTab first\n    four spaces\n\ttab again",
    "<div>html?</div>\n<!-- comment\n<http://not.a/link> <b>",
    "&amp; &#123; &#x1F; &copy &nbsp; AT&T a&b;c &",
    "[label](url) ![img](src) [ref]: /url \"t\"\n[x]: y",
    "`code` ``two`` ```three``` ~~~fence~~~ $math$ $$",
    "snake_case __dunder__ _lead trail_ a_b_c *star* **strong**",
    "| a | b |\n|---|---|\n| c | d |",
    "a  \nb\\\nc\\",
    "end!",
    "[[a|b]]! ![[c|d]]",
    "[^note]: not a definition [^x](y)",
    "*a.*b a*.b* **a,**b ~~a.~~b *\u00a0a\u00a0*",
    "*`c`*x x*`c`* *[[l|u]]*x *<http://a.b>*x",
    "*\u00e9*x x*\u00e9* *\u65e5*\u672c *\U0001f642*x",
    "\u00a0\u00a0lead and trail\u00a0",
    "::list\n- 1. nested\n- # h\n- > q\n- | c\n::",
    "::table\n| *a | b* | `c|d` | [[l|u]] |\n::",
    "::quote\n---x\n# not\n::",
    '::callout type=aside title="# Title *with* |bars|"\nbody\n::',
    "::callout type=NOTE\nplain\n::",
    "::footnotes\n[^a b]: spaced *label*\n[^]: empty\n::\n\nSee [^a b] and [^].",
]


@pytest.mark.parametrize("src", SPECIAL)
def test_markdown_characters_keep_their_words(src):
    check(src)


# Decisions that the readers above cannot see, each with a piece of the Markdown written.
WRITTEN = [
    ("::table\n|---|\n| a |\n::\n", "|  |\n| --- |\n| a |\n"),  # a table without a header row
    ("::callout type=aside title=T\nb\n::\n", "> **T**\n>\n> b\n"),
    ("::callout type=Tip title=T\nb\n::\n", "> [!TIP]\n> **T**\n>\n> b\n"),
    ("::callout type=tip\nb\n::\n", "> [!TIP]\n> b\n"),
    ("::list\n- a\n::\n\n::list\n- b\n::\n", "- a\n\n* b\n"),  # two lists stay two lists
    ("::list ordered\n- a\n::\n\n::list ordered\n- b\n::\n", "1. a\n\n1) b\n"),
    ("::list ordered start=999999999\n- a\n- b\n::\n", "999999999. a\n999999999. b\n"),
    ("---\n\n---\n", "***\n\n---\n"),  # "---" first would open front matter
    ("```\n```x\n````\n```\n", "`````\n```x\n````\n`````\n"),
    ("```a`b\nx\n```\n", "~~~a`b\nx\n~~~\n"),
    ("::math\na $$ b\n::\n", "```math\na $$ b\n```\n"),
    ("@modules html\n::html\n<!-- open\n::\n\nafter\n", "```html\n<!-- open\n```\n\nafter\n"),
    ("::figure src=a.png alt=A caption=C\n", '![A](a.png "C")\n\nC\n'),
    ("[[a b|x y]] <a://b>", "[a b](<x y>) [a://b](a://b)\n"),
    ("--- meta ---\nk: 1\nk: two\nx y: 1e3\nf: 1.0e300\nyes: [1.0e999, '']\n---\n",
     '---\nk: "two"\n"x y": "1e3"\nf: 1.0e+300\n"yes": [.inf, ""]\n---\n'),
]


@pytest.mark.parametrize("src, piece", WRITTEN)
def test_written_form(src, piece):
    markdown = to_markdown(src)
    assert piece in markdown
    if "::html" not in src:  # what a reader makes of HTML is not compared
        check(src)


# The bytes that end a run of plain text, at every place of texts shorter and longer than the writer's
# sixteen-byte steps: each is escaped, or kept as it is, wherever it falls.
RUN_ENDS = {"*": "\\*", "[": "\\[", "]": "\\]", "\\": "\\\\", "`": "\\`", "<": "\\<", "|": "\\|", "~": "\\~",
            "$": "\\$", "\x01": "\x01", "\xa0": "\xa0", "\u3000": "\u3000"}


@pytest.mark.parametrize("byte", list(RUN_ENDS))
def test_run_ends_at_every_place(byte):
    plain = "abcdefghij" * 4
    for size in range(2, len(plain) + 1):
        for at in range(1, size):
            text = plain[:at] + byte + plain[at:size]
            assert to_markdown(text) == text.replace(byte, RUN_ENDS[byte]) + "\n"


@pytest.mark.parametrize("byte", list(RUN_ENDS))
def test_run_ends_at_every_place_after_markup(byte):
    # The text after a closer begins with a space: its first run goes out from there.
    plain = "abcdefghij" * 4
    for at in range(0, len(plain)):
        text = plain[:at] + byte + plain[at:]
        assert to_markdown("*e* " + text) == "*e* " + text.replace(byte, RUN_ENDS[byte]) + "\n"


# The first characters of a continued line, in a paragraph, a quote and a list item: escaped where they could
# begin a block marker, kept where they cannot.
LINE_CONTEXTS = [("{a}\n{b}", "{a}\n{b}\n"), ("::quote\n{a}\n{b}\n::", "> {a}\n> {b}\n"),
                 ("::list\n- {a}\n  | {b}\n::", "- {a}\n  {b}\n")]
LINE_STARTS = [("-def", "\\-def"), ("+def", "\\+def"), ("=def", "\\=def"), (">def", "\\>def"),
               ("1.def", "1\\.def"), ("12)def", "12\\)def"), ("|def", "\\|def"), ("*def", "\\*def"),
               ("~def", "\\~def"), ("1x", "1x"), ("def", "def"), ("d-f", "d-f"), ("\u00e9f", "\u00e9f"),
               ("  def", "def")]


@pytest.mark.parametrize("context, written", LINE_CONTEXTS)
@pytest.mark.parametrize("line, escaped", LINE_STARTS)
def test_continued_line_starts(context, written, line, escaped):
    assert to_markdown(context.format(a="abc", b=line)) == written.format(a="abc", b=escaped)


# TeX that a reader without math would take for Markdown if it were not fenced.
MATH_BODIES = [
    "<img src=x onerror=alert(1)>",
    "a*b*c + _d_",
    "<div>\n\\frac{a}{b}\n</div>",
    "x < y <b>bold</b>",
    "[x](javascript:alert(1))",
    "# h\n- item\n> q",
    "```\nx\n```",
    "&amp; \\\\",
]
COMMONMARK = MarkdownIt("commonmark")


@pytest.mark.parametrize("body", MATH_BODIES)
@pytest.mark.parametrize("directive", ["::math", "::math display"])
def test_math_is_code_to_a_reader_without_math(body, directive):
    tokens = COMMONMARK.parse(to_markdown(f"{directive}\n{body}\n::\n"))
    assert [(t.type, t.info, t.content) for t in tokens] == [("fence", "math", body + "\n")]


def test_front_matter_reads_back_as_the_metadata():
    src = ("--- meta ---\ns: \"a: b # c\"\nq: 'it's'\nb: true\nt: True\ni: -7\nf: 0.1\nz: -0.0\n"
           "big: 6.02E23\nl: [[1], [two], [], 'x, y']\nctl: a\x01b\u2028c\\\"d\n---\n")
    meta = yaml.safe_load(to_markdown(src).split("---\n")[1])
    want = pyql.parse(src).metadata
    assert meta == want and math.copysign(1, meta["z"]) == -1


def test_deep_metadata_list_is_written_without_recursion():
    deep = 100_000
    markdown = to_markdown("--- meta ---\nd: " + "[" * deep + "]" * deep + "\n---\n")
    assert markdown == "---\nd: " + "[" * deep + "]" * deep + "\n---\n"


@pytest.mark.parametrize("src", [SINK, *SPECIAL[-6:], (ROOT / "examples" / "tour.qlt").read_text(encoding="utf-8")])
def test_trees_are_written_as_their_text_is(src):
    # A str is written block by block as it is parsed; a tree already built goes through the same writer.
    result = pyql.parse_with_recovery(src)
    whole = to_markdown(src)
    assert markdown_of(result) == markdown_of(result.document) == whole
    body = whole.split("---\n\n", 1)[1] if result.document.metadata else whole
    assert markdown_of(result.document.blocks) == body


NODES = [
    ("::list ordered start=4\n- a\n- b\n::", lambda d: d.blocks[0].items[1], "- b\n"),
    ("::table\n| a | b |\n::", lambda d: d.blocks[0].rows[0], "| a | b |\n| --- | --- |\n"),
    ("::table\n|---|\n| a | b |\n::", lambda d: d.blocks[0].rows[0], "|  |  |\n| --- | --- |\n| a | b |\n"),
    ("::table\n| a *b* |\n::", lambda d: d.blocks[0].rows[0].cells[0], "a *b*\n"),
    ("::footnotes\n[^n]: *x*\n::", lambda d: d.blocks[0].defs[0], "[^n]: *x*\n"),
    ("a *b* `c`", lambda d: d.blocks[0].content, "a *b* `c`\n"),
    ("a *b* `c`", lambda d: d.blocks[0].content[1], "*b*\n"),
    ("a\n\n::list\n- b\n::", lambda d: [d.blocks[0].content[0], d.blocks[1], d.blocks[0]], "a\n\n- b\n\na\n"),
    ("::list\n- a\n::\n\n::list\n- b\n::", lambda d: [d.blocks[1], d.blocks[0]], "- b\n\n* a\n"),
]


@pytest.mark.parametrize("src, pick, want", NODES)
def test_nodes_on_their_own(src, pick, want):
    assert markdown_of(pick(pyql.parse(src))) == want


def test_errors_write_nothing():
    assert markdown_of(pyql.parse_with_recovery("::x\n::").errors[0]) == ""


def test_readme_example():
    readme = (ROOT / "docs" / "writers.md").read_text(encoding="utf-8")
    section = readme.split("## Markdown", 1)[1].split("\n## ", 1)[0]
    pairs = re.findall(r"```qlt\n(.*?)```\n\n(`{3,})markdown\n(.*?)\2\n", section, re.S)
    assert pairs
    for src, _, markdown in pairs:
        assert to_markdown(src) == markdown


# Writes every hostile family at 256 kB in a child, under a timeout far above what a linear writer takes.
CHILD = """
import runpy, sys
from quillet import _native
families = runpy.run_path(sys.argv[1])["FAMILIES"]
for name, family in families.items():
    text = family(1 << 18).text
    out = _native.write(text, "markdown", {})
    assert len(out) < 12 * len(text) + 1000, name
"""


def test_hostile_inputs_are_written_in_linear_time():
    subprocess.run([sys.executable, "-c", CHILD, str(BENCH / "families.py")], check=True, timeout=120, cwd=ROOT)
