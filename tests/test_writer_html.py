"""The HTML writer: the mapping, the URL allowlist, the options, and the hostile
corpus read back by an HTML parser, by nh3 and against the plain text."""

import re
import subprocess
import sys
from html.parser import HTMLParser

import nh3
import pytest

from conftest import BENCH, ROOT
from html_corpus import CASES
from quillet import _native
from quillet import to_html

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
    # Footnotes: the reference links to the definition, the definition's label back to the first reference,
    # and the definitions close the document wherever they were written.
    ("::footnotes\n[^a]: N\n::\n\nx[^a] y[^a]\n",
     '<p>x<sup class="footnote-ref"><a href="#fn-a" id="fnref-a">[a]</a></sup> y'
     '<sup class="footnote-ref"><a href="#fn-a">[a]</a></sup></p>\n'
     '<div class="footnotes">\n<ul>\n<li id="fn-a"><a class="footnote-backref" href="#fnref-a">[a]</a> N</li>\n'
     "</ul>\n</div>\n"),
    # Labels that slug alike still get ids of their own.
    ("[^a!][^a?]\n",
     '<p><sup class="footnote-ref"><a href="#fn-a" id="fnref-a">[a!]</a></sup>'
     '<sup class="footnote-ref"><a href="#fn-a-2" id="fnref-a-2">[a?]</a></sup></p>\n'),
    ("A\x00\"'&\n", "<p>A\ufffd&quot;&#39;&amp;</p>\n"),
]


@pytest.mark.parametrize("source, expected", MAPPING)
def test_mapping(source, expected):
    assert to_html(source) == expected


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
    ("# Grüße `x`\n\n# 東京\n\n# \n", "doc_", ["doc_h-gr-e-x", "doc_h-section", "doc_h-section-2"]),
    ("# " + "ab " * 100 + "\n", "", ["h-" + ("ab-" * 22)[:64]]),
]


@pytest.mark.parametrize("source, prefix, ids", HEADING_IDS)
def test_heading_ids(source, prefix, ids):
    html = to_html(source, heading_ids=True, id_prefix=prefix)
    assert re.findall(r'<h\d id="([^"]*)">', html) == ids
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


BAD_ARGUMENTS = [
    ({"raw_html": "strip"}, ValueError, "raw_html"),
    ({"allowed_schemes": "https"}, TypeError, "allowed_schemes"),
    ({"allowed_schemes": ["java script"]}, ValueError, "allowed_schemes"),
    ({"allowed_schemes": [1]}, ValueError, "allowed_schemes"),
    ({"id_prefix": 'x"'}, ValueError, "id_prefix"),
    ({"profile": "gfm"}, ValueError, "profile"),
    ({"profile": 1}, TypeError, "profile"),
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
SAFE_ID = re.compile(r"[A-Za-z0-9_-]*-[A-Za-z0-9_-]*\Z")
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
            elif name == "id" and not SAFE_ID.match(value):
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


TEXT_SOURCES = [(name, source) for name, source, options in CASES if not options and len(source) < 10_000]
TOUR = (ROOT / "examples" / "tour.qlt").read_text(encoding="utf-8")


@pytest.mark.parametrize("name, source", [("tour", TOUR), *TEXT_SOURCES], ids=lambda v: v if len(v) < 30 else "")
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
}
text = own[name]() if name in own else families["FAMILIES"][name](mb).text
to_html(text, heading_ids=True)
"""
TIMEOUT = 30


@pytest.mark.parametrize("name", [*_families()["FAMILIES"], "distinct_notes", "equal_headings", "suffix_headings",
                                  "long_slug_heading"])
def test_hostile_family_renders_in_linear_time(name):
    subprocess.run([sys.executable, "-c", CHILD, str(BENCH / "families.py"), name], check=True, timeout=TIMEOUT)
