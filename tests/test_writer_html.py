"""The HTML writer: the mapping, the URL allowlist, the options, and the hostile
corpus read back by an HTML parser, by nh3 and against the plain text."""

import re
import subprocess
import sys
import threading
import unicodedata
from html.parser import HTMLParser

import nh3
import pyql
import pytest

from conftest import BENCH, ROOT
from html_corpus import CASES
from quillet import _native
from quillet import to_html
from test_cli import run_cli

# ------------------------------------------------------------------------------------------- the mapping

MAPPING = [
    ("# A *b* **c** ~~d~~ `e`\n", "<h1>A <em>b</em> <strong>c</strong> <del>d</del> <code>e</code></h1>\n"),
    ("###### Six\n", "<h6>Six</h6>\n"),
    ("one\ntwo\n", "<p>one\ntwo</p>\n"),
    ("---\n", "<hr>\n"),
    ("::list ordered start=3\n- a\n- b\n::\n", '<ol start="3">\n<li>a</li>\n<li>b</li>\n</ol>\n'),
    ("::list ordered\n- a\n::\n", "<ol>\n<li>a</li>\n</ol>\n"),
    ("::list start=3\n- a\n::\n", "<ul>\n<li>a</li>\n</ul>\n"),
    ("::table\n| h |\n|---|\n| c |\n::\n",
     "<table>\n<thead>\n<tr><th>h</th></tr>\n</thead>\n<tbody>\n<tr><td>c</td></tr>\n</tbody>\n</table>\n"),
    ("::table\n|---|\n| c |\n::\n", "<table>\n<tbody>\n<tr><td>c</td></tr>\n</tbody>\n</table>\n"),
    ("::quote\na\n\nb\n::\n", "<blockquote>\n<p>a</p>\n<p>b</p>\n</blockquote>\n"),
    ('::callout type=Tip! title="T <1>"\nb\n::\n',
     '<aside class="callout callout-tip">\n<p class="callout-title">T &lt;1&gt;</p>\n<p>b</p>\n</aside>\n'),
    ("::callout\nb\n::\n", '<aside class="callout callout-note">\n<p>b</p>\n</aside>\n'),
    ('::figure src=a.png alt="A" caption="C"\n',
     '<figure>\n<img src="a.png" alt="A">\n<figcaption>C</figcaption>\n</figure>\n'),
    ('::figure src=javascript:x alt="A"\n', "<figure>\n<figcaption>A</figcaption>\n</figure>\n"),
    ("```c++ extra\nx<y\n```\n", '<pre><code class="language-c++">x&lt;y</code></pre>\n'),
    ("```\n\nx\n```\n", "<pre><code>\nx</code></pre>\n"),
    ("::math\na<b\n::\n", '<div class="math inline">\\(a&lt;b\\)</div>\n'),
    ("::math display\nx\n::\n", '<div class="math display">\\[x\\]</div>\n'),
    ("[[l|https://e.org/?a=1&b=2]] <mailto:x@e.org>\n",
     '<p><a href="https://e.org/?a=1&amp;b=2">l</a> <a href="mailto:x@e.org">mailto:x@e.org</a></p>\n'),
    ("A\x00\"'&\n", "<p>A\ufffd&quot;&#39;&amp;</p>\n"),
]


@pytest.mark.parametrize("source, expected", MAPPING)
def test_mapping(source, expected):
    assert to_html(source) == expected


# Every escaped byte at every place of runs shorter and longer than the writer's sixteen-byte steps, alone
# and twice.
ESCAPED = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;", "\0": "\ufffd"}


@pytest.mark.parametrize("byte", list(ESCAPED))
def test_escaped_bytes_at_every_place_of_a_run(byte):
    plain = "abcdefghij" * 4
    for size in range(len(plain) + 1):
        for at in range(size + 1):
            for line in (plain[:at] + byte + plain[at:size], plain[:at] + byte + plain[at:size] + byte):
                expected = line.replace(byte, ESCAPED[byte])
                assert to_html(f"```\n{line}\n```\n") == f"<pre><code>{expected}</code></pre>\n"


# ---------------------------------------------------------------------------------------------- footnotes

def ref(n, k=1, prefix=""):
    """The k-th reference to note n."""
    ref_id = f"{n}" if k == 1 else f"{n}-{k}"
    return f'<sup class="footnote-ref"><a href="#{prefix}fn-{n}" id="{prefix}fnref-{ref_id}">{n}</a></sup>'


def back(n, k=1, prefix=""):
    """The link from note n back to its k-th reference."""
    ref_id, mark = (f"{n}", "") if k == 1 else (f"{n}-{k}", f"<sup>{k}</sup>")
    return f'<a class="footnote-backref" href="#{prefix}fnref-{ref_id}">\u21a9\ufe0e{mark}</a>'


def notes(*items, prefix=""):
    lis = "".join(f'<li id="{prefix}fn-{n}">{item}</li>\n' for n, item in enumerate(items, 1))
    return f'<div class="footnotes">\n<ol>\n{lis}</ol>\n</div>\n'



ORDERED = f"<p>a{ref(1)} b{ref(2)} c{ref(1, 2)}</p>\n" + notes(f"B {back(1)} {back(1, 2)}", f"A {back(2)}")
FOOTNOTES = [
    # Numbered in the order of their first reference, wherever the definitions are.
    ("a[^b] b[^a] c[^b]\n\n::footnotes\n[^a]: A\n[^b]: B\n::\n", {}, ORDERED),
    ("::footnotes\n[^a]: A\n[^b]: B\n::\n\na[^b] b[^a] c[^b]\n", {}, ORDERED),
    ("a[^b] b[^a] c[^b]\n\n::footnotes\n[^a]: A\n::\n\n::footnotes\n[^b]: B\n::\n", {}, ORDERED),
    # A reference to a note never defined is its text, escaped.
    ("[^a!][^<b>] x[^a]\n\n::footnotes\n[^a]: A\n::\n", {},
     f"<p>[^a!][^&lt;b&gt;] x{ref(1)}</p>\n" + notes(f"A {back(1)}")),
    ("[^a]\n", {}, "<p>[^a]</p>\n"),
    # References in notes number after the body's; notes no reference names (a second definition among them)
    # follow, numbered on; an empty label and an empty note are notes too.
    ("::footnotes\n[^a]: A [^c]\n[^b]: B\n[^c]: C\n[^a]: again\n[^]:\n::\n\nx[^a] [^]\n", {"id_prefix": "d-"},
     f'<p>x{ref(1, prefix="d-")} {ref(2, prefix="d-")}</p>\n'
     + notes(f'A {ref(3, prefix="d-")} {back(1, prefix="d-")}', back(2, prefix="d-"), f'C {back(3, prefix="d-")}',
             "B", "again", prefix="d-")),
    # In a list item; a title held with the body keeps its place.
    ("::list\n- x[^a]\n::\n\n::footnotes\n[^a]: A\n::\n", {},
     f"<ul>\n<li>x{ref(1)}</li>\n</ul>\n" + notes(f"A {back(1)}")),
]


@pytest.mark.parametrize("source, options, expected", FOOTNOTES)
def test_footnotes(source, options, expected):
    assert to_html(source, **options) == expected
    # The streamed write of a str and the write of its tree agree.
    assert to_html(pyql.parse_with_recovery(source).document, **options) == expected


# ---------------------------------------------------------------------------------------------- URLs

URLS = [
    # (url, allowed_schemes, written href or None when refused)
    ("https://e.org/", None, "https://e.org/"),
    ("HTTPS://e.org/", None, "HTTPS://e.org/"),
    ("mailto:a@b", None, "mailto:a@b"),
    (" \x01https://e.org/ \x1f", None, "https://e.org/"),
    ("ht\ttp\ns://e.org/", None, "https://e.org/"),
    ("relative/path", None, "relative/path"),
    ("#frag", None, "#frag"),
    ("/abs?q=1:2", None, "/abs?q=1:2"),
    ("//host/x", None, "//host/x"),
    ("1a:b", None, "1a:b"),
    ("a b:c", None, "a b:c"),
    ("&#106;avascript:x", None, "&amp;#106;avascript:x"),
    ("javascript:x", None, None),
    ("JaVa\tScRiPt:x", None, None),
    ("\x00 javascript:x", None, None),
    ("vbscript:x", None, None),
    ("data:text/html,x", None, None),
    ("ftp://e.org/", None, None),
    ("ftp://e.org/", ["FTP"], "ftp://e.org/"),
    ("https://e.org/", ["ftp"], None),
    ("x:y", [], None),
    # A network-path reference takes the page's scheme (http or https), a backslash read as a slash.
    ("//host/a", ["mailto"], None),
    ("\\\\host\\b", ["mailto"], None),
    ("/\\host/c", ["mailto"], None),
    ("\\/host", ["https"], None),
    (" /\t/host/x", ["http"], None),
    ("//host/a", ["HTTPS", "http"], "//host/a"),
    ("/\\host/c", None, "/\\host/c"),
    ("/x/\\y", ["mailto"], "/x/\\y"),
    ("\\x", ["mailto"], "\\x"),
]


@pytest.mark.parametrize("url, schemes, href", URLS)
def test_link_url_allowlist(url, schemes, href):
    options = {} if schemes is None else {"allowed_schemes": schemes}
    expected = "<p>L</p>\n" if href is None else f'<p><a href="{href}">L</a></p>\n'
    assert to_html(f"[[L|{url}]]\n", **options) == expected


FIGURE_SOURCES = [
    ("data:image/png;base64,iVBO", True),
    ("DATA:Image/WEBP,x", True),
    ("data:image/gif,x", True),
    ("data:image/jpeg;x,y", True),
    ("data:image/svg+xml,<svg/onload=alert(1)>", False),
    ("data:image/pngx,x", False),
    ("data:text/html,x", False),
    ("javascript:x", False),
    ("", False),
]


@pytest.mark.parametrize("src, shown", FIGURE_SOURCES)
def test_figure_sources(src, shown):
    html = to_html(f'::figure src="{src}" alt="A" caption="C"\n')
    assert ("<img " in html) == shown
    assert "<figcaption>C</figcaption>" in html
    if src:  # a link never takes a data: URL, image or not
        assert "<a " not in to_html(f"[[L|{src}]]\n")


# ------------------------------------------------------------------------------------------ options

NETWORK_PATH_POSITIONS = ["[[L|{}]]\n", "[[{}]]\n", '::figure src="{}" alt="A"\n']


@pytest.mark.parametrize("shape", NETWORK_PATH_POSITIONS)
@pytest.mark.parametrize("url", ["//host/p", "\\\\host\\p", "/\\host/p", "\\/host/p"])
def test_network_path_needs_http_and_https(shape, url):
    # Without both schemes every URL position refuses it; with both (the default) it is written as it is.
    for schemes in (["mailto"], ["http"], ["https", "data"]):
        html = to_html(shape.format(url), allowed_schemes=schemes)
        assert "href=" not in html and "src=" not in html
    written = to_html(shape.format(url), allowed_schemes=["https", "HTTP"])
    assert f'="{url}"' in written


HTML_AND_RAW = "@modules html\n::html\n<b>x</b>\n::\n\n::odd\n<i>y</i>\n::\n"
RAW_HTML = [
    ("escape", '<pre class="html-block"><code>&lt;b&gt;x&lt;/b&gt;</code></pre>\n'
               '<pre class="raw-block"><code>&lt;i&gt;y&lt;/i&gt;</code></pre>\n'),
    ("omit", ""),
    ("allow", '<b>x</b>\n<pre class="raw-block"><code>&lt;i&gt;y&lt;/i&gt;</code></pre>\n'),
]


@pytest.mark.parametrize("mode, expected", RAW_HTML)
def test_raw_html_modes(mode, expected):
    assert to_html(HTML_AND_RAW, raw_html=mode) == expected


HEADING_IDS = [
    ("# Hello, World!\n", "", ["h-hello-world"]),
    ("# A\n\n# a\n\n# A-2\n\n# A\n", "", ["h-a", "h-a-2", "h-a-2-2", "h-a-3"]),
    # Letters, marks and digits of every script, lower-cased; everything else separates words.
    ("# Über uns\n\n# 日本語\n\n# 日本語\n", "", ["h-über-uns", "h-日本語", "h-日本語-2"]),
    ("# Grüße `x`\n\n# ΑΘΗΝΑ Ⅻ\n\n# İstanbul\n", "doc_", ["doc_h-grüße-x", "doc_h-αθηνα-ⅻ", "doc_h-istanbul"]),
    ("# हिन्दी — مرحبا!\n\n# a\u200b\u202eb 👋 \u00a0c\n", "", ["h-हिन्दी-مرحبا", "h-a-b-c"]),
    ("# \n\n# 👋 ?\n", "", ["h-section", "h-section-2"]),
    # At most 64 characters, whatever their length in bytes.
    ("# " + "ab " * 100 + "\n", "", ["h-" + ("ab-" * 22)[:64]]),
    ("# " + "語" * 100 + "\n", "", ["h-" + "語" * 64]),
]


def is_id_char(c):
    return c in "-_" or unicodedata.category(c)[0] in "LMN"


@pytest.mark.parametrize("source, prefix, ids", HEADING_IDS)
def test_heading_ids(source, prefix, ids):
    html = to_html(source, heading_ids=True, id_prefix=prefix)
    assert re.findall(r'<h\d id="([^"]*)">', html) == ids
    assert all(is_id_char(c) for id in ids for c in id)
    assert "id=" not in to_html(source)


STANDALONE_TITLES = [
    ("--- meta ---\ntitle: Meta <t>\n---\n# H\n", "Meta &lt;t&gt;"),
    ("--- meta ---\ntitle: 2024\n---\n# H\n", "2024"),
    ("--- meta ---\ntitle: [a]\n---\n# H *i*\n", "H i"),
    ("p\n\n## Second *level*\n\n# First\n", "Second level"),
    ("p\n", ""),
]


@pytest.mark.parametrize("source, title", STANDALONE_TITLES)
def test_standalone_page(source, title):
    page = to_html(source, standalone=True)
    assert page.startswith('<!DOCTYPE html>\n<html>\n<head>\n<meta charset="utf-8">\n')
    assert f"<title>{title}</title>" in page
    head, body = page.split("<body>\n")
    # Blocks written while the title was not yet known keep their place.
    assert body == to_html(source) + "</body>\n</html>\n"


LINKS = "[[a|https://e.org/]] <https://f.org/> [[b|javascript:x]] x[^1]\n\n::footnotes\n[^1]: n\n::\n"
LINK_OPTIONS = [
    # (options, the attributes every link of the document gets); the footnotes' own links get none.
    ({"link_rel": "nofollow  ugc"}, ' rel="nofollow ugc"'),
    ({"link_target": "_blank"}, ' rel="noopener" target="_blank"'),
    ({"link_rel": "nofollow", "link_target": "_BLANK"}, ' rel="nofollow noopener" target="_BLANK"'),
    ({"link_rel": "noreferrer", "link_target": "_blank"}, ' rel="noreferrer" target="_blank"'),
    ({"link_rel": "", "link_target": "frame-1"}, ' target="frame-1"'),
]


@pytest.mark.parametrize("options, attributes", LINK_OPTIONS)
def test_link_rel_and_target(options, attributes):
    html = to_html(LINKS, **options)
    assert html.startswith(f'<p><a href="https://e.org/"{attributes}>a</a> '
                           f'<a href="https://f.org/"{attributes}>https://f.org/</a> b x<sup')
    assert html.count(attributes) == 2


LANGUAGE_TAGS = [
    ("en", True), ("pt-BR", True), ("zh-Hant-TW", True), ("zh-yue-HK", True), ("sl-rozaj-biske", True),
    ("de-CH-1901", True), ("en-US-u-ca-gregory-x-a1", True), ("x-whatever", True), ("EN-us", True),
    ("i-klingon", False), ("en_US", False), ("e", False), ("en-", False), ("-en", False), ("en--US", False),
    ("english1", False), ("abcdefghi", False), ("en-u", False), ("en-u-x", False), ("en-x", False), ("x", False),
    ("en-US-u", False), ("123", False), ("en US", False), ('en"><b>', False), ("ünï", False),
]


@pytest.mark.parametrize("tag, well_formed", LANGUAGE_TAGS)
def test_page_language(tag, well_formed):
    meta = f"--- meta ---\nlang: '{tag}'\n---\nx\n"
    expected = f'<html lang="{tag}">' if well_formed else "<html>"
    assert expected in to_html(meta, standalone=True)
    if well_formed:
        # The option wins over the metadata.
        assert f'<html lang="{tag}">' in to_html("--- meta ---\nlang: fr\n---\nx\n", standalone=True, lang=tag)
    else:
        with pytest.raises(ValueError, match="lang must be a language tag"):
            to_html("x\n", standalone=True, lang=tag)


PAGE = "--- meta ---\ntitle: Meta\n---\n# H\n"
PAGE_OPTIONS = [
    # (options, what the head holds after the title, in order)
    ({}, ["<style>body{"]),
    ({"title": "<T>"}, ["<style>body{"]),
    ({"css": "a.css?x=1&y=2"}, ['<link rel="stylesheet" href="a.css?x=1&amp;y=2">']),
    ({"css": ["a.css", "b.css"], "style": "p{color:red}"},
     ['<link rel="stylesheet" href="a.css">', '<link rel="stylesheet" href="b.css">', "<style>p{color:red}</style>"]),
    ({"style": ""}, ["<style></style>"]),
    ({"math_script": ["katex.js", "auto-render.js"], "highlight_script": "hl.js", "css": "k.css"},
     ['<link rel="stylesheet" href="k.css">', '<script defer src="katex.js"></script>',
      '<script defer src="auto-render.js"></script>', '<script defer src="hl.js"></script>',
      '<script>document.addEventListener("DOMContentLoaded"']),
    ({"head_html": '<meta name="x" content="y">', "style": "", "title": ""}, ["<style></style>", '<meta name="x"']),
]


@pytest.mark.parametrize("options, head", PAGE_OPTIONS)
def test_page_options(options, head):
    page = to_html(PAGE, standalone=True, **options)
    title = options.get("title", "Meta").replace("<", "&lt;").replace(">", "&gt;")
    top, body = page.split(f"<title>{title}</title>\n")
    assert top.endswith('<meta name="viewport" content="width=device-width, initial-scale=1">\n')
    lines = body.split("</head>\n")[0].splitlines()
    assert len(lines) == len(head) and all(line.startswith(start) for line, start in zip(lines, head)), lines
    assert body.endswith("</head>\n<body>\n<h1>H</h1>\n</body>\n</html>\n")


def pygments_hook(code, lang):
    from pygments import highlight
    from pygments.formatters import HtmlFormatter
    from pygments.lexers import get_lexer_by_name
    from pygments.util import ClassNotFound

    try:
        lexer = get_lexer_by_name(lang)
    except ClassNotFound:
        return None  # the writer's own block
    return highlight(code, lexer, HtmlFormatter())


CODE = "```python extra\nif a < b: pass\n```\n\n```nosuchlanguage\nx<y\n```\n\n```\nplain\n```\n"


def test_code_hook_writes_each_block_in_order():
    calls = []

    def hook(code, lang):
        calls.append((code, lang, threading.get_ident()))
        return f"<pre data-n={len(calls)}>" if lang else None

    for source in (CODE, pyql.parse(CODE)):
        calls.clear()
        html = to_html(source, code_hook=hook)
        assert [(code, lang) for code, lang, _ in calls] == [
            ("if a < b: pass", "python"), ("x<y", "nosuchlanguage"), ("plain", "")]
        assert {thread for _, _, thread in calls} == {threading.get_ident()}
        assert html == '<pre data-n=1><pre data-n=2><pre><code>plain</code></pre>\n'
    # Pygments: its HTML in place of the block, the writer's for a language it does not know.
    html = to_html(CODE, code_hook=pygments_hook)
    assert '<div class="highlight"><pre><span></span><span class="k">if</span>' in html
    assert '<pre><code class="language-nosuchlanguage">x&lt;y</code></pre>' in html


class HookError(Exception):
    pass


def raising_hook(code, lang):
    raise HookError(code)


HOOK_FAILURES = [
    (raising_hook, HookError, "x"),
    (lambda code, lang: 1, TypeError, "code_hook must return a str or None, not int"),
    (lambda code, lang: "\ud800", UnicodeEncodeError, "surrogate"),
    (lambda: "", TypeError, "positional argument"),
]


@pytest.mark.parametrize("hook, error, message", HOOK_FAILURES)
def test_code_hook_failure_comes_out_of_to_html(hook, error, message):
    source = "```\nx\n```\n" * 3
    for src in (source, pyql.parse(source)):
        with pytest.raises(error, match=message):
            to_html(src, code_hook=hook)
    # A hook may itself write HTML; threads write at once, each with its own hook.
    results = {}

    def write(n):
        results[n] = to_html(source, code_hook=lambda code, lang: to_html(f"{n}{code}\n"))

    threads = [threading.Thread(target=write, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {n: f"<p>{n}x</p>\n" * 3 for n in range(4)}


BAD_ARGUMENTS = [
    ({"raw_html": "strip"}, ValueError, "raw_html"),
    ({"allowed_schemes": "https"}, TypeError, "allowed_schemes"),
    ({"allowed_schemes": ["java script"]}, ValueError, "allowed_schemes"),
    ({"allowed_schemes": [1]}, ValueError, "allowed_schemes"),
    ({"id_prefix": 'x"'}, ValueError, "id_prefix"),
    ({"profile": "gfm"}, ValueError, "profile"),
    ({"profile": 1}, TypeError, "profile"),
    ({"link_rel": "no<follow"}, ValueError, "link_rel"),
    ({"link_rel": 1}, TypeError, "link_rel"),
    ({"link_target": "a b"}, ValueError, "link_target"),
    ({"link_target": ""}, ValueError, "link_target"),
    ({"code_hook": "pygments"}, TypeError, "code_hook"),
    ({"lang": "en"}, ValueError, "lang is an option of the page"),
    ({"css": "a.css"}, ValueError, "css is an option of the page"),
    ({"standalone": True, "lang": "en us"}, ValueError, "lang"),
    ({"standalone": True, "lang": 1}, TypeError, "lang"),
    ({"standalone": True, "title": b"t"}, TypeError, "title"),
    ({"standalone": True, "css": 1}, TypeError, "css"),
    ({"standalone": True, "css": ["a.css", ""]}, ValueError, "css"),
    ({"standalone": True, "math_script": [None]}, ValueError, "math_script"),
    ({"standalone": True, "style": "p{}</STYLE><script>"}, ValueError, "style"),
    ({"standalone": True, "head_html": None}, TypeError, "head_html"),
]


@pytest.mark.parametrize("options, error, name", BAD_ARGUMENTS)
def test_bad_arguments(options, error, name):
    with pytest.raises(error, match=name):
        to_html("x\n", **options)


def test_lone_surrogate_and_non_str():
    with pytest.raises(UnicodeEncodeError):
        to_html("\ud800")
    with pytest.raises(TypeError, match="str"):
        to_html(b"x")  # type: ignore[arg-type]


def test_native_prefix_is_filtered():
    # The native entry point takes any prefix; only its safe characters reach the output.
    html = _native.write("# A\n", "html", {"heading_ids": True, "id_prefix": '"><x y'})
    assert html == '<h1 id="xyh-a">A</h1>\n'


# ---------------------------------------------------------------------------------------- the command

COMMAND_OPTIONS = [
    # (the command's options after --to html, to_html's)
    (["--heading-ids", "--id-prefix", "d-", "--link-rel", "nofollow ugc", "--link-target", "_blank"],
     {"heading_ids": True, "id_prefix": "d-", "link_rel": "nofollow ugc", "link_target": "_blank"}),
    (["--standalone", "--lang", "de-CH", "--title", "T", "--css", "a.css", "--css", "b.css", "--math-script", "m.js",
      "--highlight-script", "h.js"],
     {"standalone": True, "lang": "de-CH", "title": "T", "css": ["a.css", "b.css"], "math_script": "m.js",
      "highlight_script": "h.js"}),
]


@pytest.mark.parametrize("args, options", COMMAND_OPTIONS)
def test_the_command_takes_the_options_of_to_html(tmp_path, args, options):
    text = TOUR + "\n# Über uns\n"
    for name in ("a.qlt", "b.qlt"):
        (tmp_path / name).write_text(text, encoding="utf-8")
    # -j 2: the options reach the worker processes too.
    proc = run_cli("--to", "html", *args, "-j", "2", "-o", "out", "a.qlt", "b.qlt", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    for name in ("a.html", "b.html"):
        assert (tmp_path / "out" / name).read_text(encoding="utf-8") == to_html(text, **options)


COMMAND_ERRORS = [
    (["--to", "text", "--heading-ids"], "--heading-ids is an HTML option: it goes with --to html only"),
    (["--to", "html", "--lang", "en"], "--lang is an option of the page: it goes with --standalone"),
    (["--to", "html", "--standalone", "--lang", "en us"], "--lang: lang must be a language tag"),
    (["--to", "html", "--link-rel", "a<b"], "--link-rel: link_rel: 'a<b' is not a link type"),
]


@pytest.mark.parametrize("args, message", COMMAND_ERRORS)
def test_the_command_refuses_bad_html_options(args, message):
    proc = run_cli(*args, str(ROOT / "examples" / "tour.qlt"))
    assert proc.returncode == 2 and message in proc.stderr.decode() and proc.stdout == b"", proc.stderr


# ------------------------------------------------------------------------------ the hostile corpus

# What the writer may write: each element with the attributes it may carry.
VOCABULARY = {
    "h1": {"id"}, "h2": {"id"}, "h3": {"id"}, "h4": {"id"}, "h5": {"id"}, "h6": {"id"},
    "p": {"class"}, "em": set(), "strong": set(), "del": set(), "code": {"class"}, "br": set(), "hr": set(),
    "ul": set(), "ol": {"start"}, "li": {"id"}, "pre": {"class"}, "aside": {"class"}, "blockquote": set(),
    "figure": set(), "img": {"src", "alt"}, "figcaption": set(), "table": set(), "thead": set(), "tbody": set(),
    "tr": set(), "th": set(), "td": set(), "div": {"class"}, "a": {"href", "id", "class", "title"},
    "sup": {"class"},
}
PAGE_VOCABULARY = {"html": set(), "head": set(), "meta": {"charset", "name", "content"}, "title": set(),
                   "style": set(), "body": set()}
VOID = {"br", "hr", "img", "meta"}
CLASSES = re.compile(r"(callout( callout-[a-z0-9-]+)?|callout-title|language-[A-Za-z0-9_+#.-]+|math (display|inline)"
                     r"|html-block|raw-block|footnotes|footnote-ref|footnote-backref)\Z")
def safe_id(value):
    """An id of the writer: letters, marks and digits of any script, '-' and '_', a '-' among them."""
    return "-" in value and all(is_id_char(c) for c in value)

BAD_SCHEME = re.compile(r"(javascript|vbscript|data|livescript|file|blob|filesystem|intent):", re.I)


def browser_url(value):
    """A URL attribute as a browser reads it before it looks for the scheme."""
    return re.sub(r"[\t\n\r]", "", value.strip("".join(map(chr, range(0x21)))))


# Elements that sit inside a line of text; every other one separates words.
INLINE = {"a", "em", "strong", "del", "code", "sup", "span"}


class Reader(HTMLParser):
    """Reads the writer's output back: its elements, checked on the way, and the text a reader sees."""

    def __init__(self, page, network_paths=True):
        super().__init__(convert_charrefs=True)
        self.vocabulary = {**VOCABULARY, **PAGE_VOCABULARY} if page else VOCABULARY
        self.network_paths = network_paths
        self.open, self.tags, self.text, self.problems = [], [], [], []
        self.in_head = False

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, sorted(attrs, key=lambda a: a[0])))
        if tag not in INLINE:
            self.text.append(" ")  # a block's words never run into its neighbour's
        allowed = self.vocabulary.get(tag)
        if allowed is None:
            self.problems.append(f"element {tag}")
            return
        for name, value in attrs:
            if name not in allowed:
                self.problems.append(f"{tag} {name}")
            elif name == "class" and not CLASSES.match(value):
                self.problems.append(f"class {value!r}")
            elif name == "id" and not safe_id(value):
                self.problems.append(f"id {value!r}")
            elif name in ("href", "src"):
                url = browser_url(value)
                image = tag == "img" and re.match(r"data:image/(png|gif|jpeg|webp)[;,]", url, re.I)
                if BAD_SCHEME.match(url) and not image:
                    self.problems.append(f"{tag} {name}={value!r}")
                if not self.network_paths and re.match(r"[/\\]{2}", url):
                    self.problems.append(f"{tag} {name}={value!r} names a host")
        if tag in ("head", "title", "style"):
            self.in_head = True
        if tag not in VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        if tag not in INLINE:
            self.text.append(" ")
        if not self.open or self.open.pop() != tag:
            self.problems.append(f"end tag {tag} out of place")
        if tag in ("head", "title", "style"):
            self.in_head = tag != "head" and "head" in self.open

    def handle_startendtag(self, tag, attrs):
        self.problems.append(f"self-closing {tag}")

    def handle_data(self, data):
        if not self.in_head:
            self.text.append(data)

    def handle_comment(self, data):
        self.problems.append("comment")

    def handle_decl(self, decl):
        if decl != "DOCTYPE html":
            self.problems.append(f"declaration {decl}")

    def unknown_decl(self, data):
        self.problems.append(f"declaration {data}")

    def handle_pi(self, data):
        self.problems.append("processing instruction")


def read(html, page=False, network_paths=True):
    reader = Reader(page, network_paths)
    reader.feed(html)
    reader.close()
    if reader.open:
        reader.problems.append(f"unclosed {reader.open}")
    return reader


def test_corpus_covers_the_shapes():
    assert len(CASES) >= 150
    names = {name.rsplit("-", 1)[0].split("-")[0] for name, _, _ in CASES}
    assert {"link", "bare", "autolink", "figure", "alt", "caption", "callout", "code", "footnote", "heading",
            "meta", "html", "raw", "text", "odd", "long", "many", "deep", "nested"} <= names


@pytest.mark.parametrize("name, source, options", CASES, ids=[c[0] for c in CASES])
def test_corpus_reads_back_as_the_writer_wrote_it(name, source, options):
    html = to_html(source, **options)
    assert to_html(source, **options) == html
    schemes = {scheme.lower() for scheme in options.get("allowed_schemes", ["http", "https"])}
    reader = read(html, page=options.get("standalone", False), network_paths={"http", "https"} <= schemes)
    # No payload became an element or an attribute: every one is of the writer's vocabulary.
    assert reader.problems == []


# nh3 allows none of the classes and ids by default: these are the ones the writer documents.
NH3_ATTRIBUTES = {tag: set(attrs) for tag, attrs in nh3.ALLOWED_ATTRIBUTES.items()}
for tag, attrs in VOCABULARY.items():
    NH3_ATTRIBUTES.setdefault(tag, set()).update(attrs & {"class", "id"})


def test_nh3_keeps_every_element_and_attribute_of_the_corpus():
    seen = set()
    for _, source, _ in CASES:
        if source in seen:
            continue
        seen.add(source)
        html = to_html(source)
        # data: image sources are the one scheme beyond nh3's list that the writer lets through.
        clean = nh3.clean(html, attributes=NH3_ATTRIBUTES, link_rel=None,
                          url_schemes=nh3.ALLOWED_URL_SCHEMES | {"data"})
        assert read(clean).tags == read(html).tags, source
        # An HTML parser reads a carriage return as a line feed, so nh3 writes it as one.
        assert read(clean).text == read(html.replace("\r", "\n")).text, source


# ------------------------------------------------------------------------------ the text a reader sees

def html_words(html):
    """The words of the body as the plain-text writer writes them: an image's alt text stands for a missing
    caption, and math loses the delimiters that tell a renderer where it is."""
    text = re.sub(r"<figure>\n<img [^>]*alt=\"([^\"]*)\">\n</figure>", r"<p>\1</p>", html)
    text = re.sub(r'(<div class="math \w+">)\\[\[(](.*?)\\[\])]</div>', r"\1\2</div>", text, flags=re.S)
    return "".join(read(text).text).split()


def text_words(text):
    """The words of to_text without the list markers and the bars between table cells; NUL becomes U+FFFD,
    as in every HTML text."""
    text = text.replace("\x00", "\ufffd")
    text = re.sub(r"^[ \t]*(- |\d+\. )", "", text, flags=re.M)
    return [word for word in text.split() if word != "|"]


# Footnotes are left out: the plain text keeps labels and the order of the definitions, the HTML numbers the
# notes in the order of their references (test_footnotes holds them to their places).
TEXT_SOURCES = [(name, source) for name, source, options in CASES
                if not options and len(source) < 10_000 and "[^" not in source]
TOUR = (ROOT / "examples" / "tour.qlt").read_text(encoding="utf-8")
TOUR_WITHOUT_NOTES = re.sub(r"\[\^1\]|::footnotes\n.*?\n::\n", "", TOUR, flags=re.S)


@pytest.mark.parametrize("name, source", [("tour", TOUR_WITHOUT_NOTES), *TEXT_SOURCES],
                         ids=lambda v: v if len(v) < 30 else "")
def test_html_reads_back_as_the_plain_text(name, source):
    assert html_words(to_html(source)) == text_words(_native.write(source, "text", {}))


# ------------------------------------------------------------------------------------------- linearity

families = None


def _families():
    import runpy
    return runpy.run_path(str(BENCH / "families.py"))


# Renders the family (or the writer's own hostile shapes) at 1 MB in a child; the timeout is far above the
# fraction of a second a linear writer needs, and far below what a quadratic one needs on 1 MB.
CHILD = """
import runpy, sys
from quillet import to_html
name = sys.argv[2]
families = runpy.run_path(sys.argv[1])
mb = families["MB"]
own = {
    "distinct_notes": lambda: "".join(f"[^n{i}]" for i in range(mb // 8)),
    "equal_headings": lambda: "# a\\n\\n" * (mb // 5),
    "suffix_headings": lambda: "".join(f"# a-{i}\\n\\n" for i in range(mb // 16)) + "# a\\n\\n" * (mb // 16),
    "long_slug_heading": lambda: "# " + "ab " * (mb // 3),
    "unicode_headings": lambda: "# Über 日本語\\n\\n" * (mb // 20),
    # Held back from the first reference to the definitions at the end.
    "notes_defined_last": lambda: "".join(f"[^n{i}]" for i in range(mb // 16)) + "\\n\\n::footnotes\\n"
                                  + "".join(f"[^n{i}]: x\\n" for i in range(mb // 16)) + "::\\n",
    "one_note_many_refs": lambda: "[^a]" * (mb // 4) + "\\n\\n::footnotes\\n[^a]: x\\n::\\n",
}
text = own[name]() if name in own else families["FAMILIES"][name](mb).text
to_html(text, heading_ids=True)
"""
TIMEOUT = 30


@pytest.mark.parametrize("name", [*_families()["FAMILIES"], "distinct_notes", "equal_headings", "suffix_headings",
                                  "long_slug_heading", "unicode_headings", "notes_defined_last",
                                  "one_note_many_refs"])
def test_hostile_family_renders_in_linear_time(name):
    subprocess.run([sys.executable, "-c", CHILD, str(BENCH / "families.py"), name], check=True, timeout=TIMEOUT)
