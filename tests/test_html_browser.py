"""The HTML writer's output in a real browser: the installed Chromium, headless, driven by Selenium through
the installed chromedriver (nothing is downloaded).

Every document of the hostile corpus is loaded as a page of its own, and the documents of the families
that reach links, ids, footnotes and the page's head once more as whole pages with the options a site
puts on user content (rel and target on links, heading ids, a language, a math renderer and a highlighter,
stand-ins of our own here). A script installed before any of the page's own runs replaces alert, confirm,
prompt and print with a marker, which the payloads also set directly; the page fails if the marker is set,
if it navigated, if it requested anything but itself, its images and the scripts it was given, or if its
DOM holds an element or attribute that can run or load something.
"""

import json
import os

import pytest

from conftest import ROOT
from html_corpus import CASES
from quillet.html import to_html

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Installed before the page's own scripts: any call to these marks the page.
MARKER = """
window.__pwned = false;
for (const name of ["alert", "confirm", "prompt", "print"]) {
    Object.defineProperty(window, name, {value: () => { window.__pwned = true; }, writable: false});
}
"""

# The problems of the loaded page, and the image URLs it may have fetched.
CHECK = """
const problems = [];
if (window.__pwned) problems.push("a script ran");
const forbidden = new Set(["script", "iframe", "object", "embed", "base", "frame", "frameset", "applet",
                           "link", "form", "input", "button", "textarea", "select", "svg", "math"]);
const urlAttributes = new Set(["href", "src", "action", "formaction", "data", "xlink:href", "poster",
                               "background", "srcset", "cite", "codebase", "ping", "srcdoc"]);
const images = [];
for (const el of document.querySelectorAll("*")) {
    const tag = el.localName;
    if (forbidden.has(tag)) problems.push("element " + tag);
    if (tag === "meta" && el.hasAttribute("http-equiv")) problems.push("meta http-equiv");
    if (tag === "img") images.push(el.src);
    for (const attr of el.attributes) {
        const name = attr.name.toLowerCase();
        if (name.startsWith("on")) problems.push("attribute " + name + " on " + tag);
        if (!urlAttributes.has(name)) continue;
        const url = attr.value.replace(/^[\\u0000-\\u0020]+|[\\u0000-\\u0020]+$/g, "")
                              .replace(/[\\t\\n\\r]/g, "").toLowerCase();
        if (/^(javascript|vbscript):/.test(url)) problems.push(tag + " " + name + "=" + attr.value);
        const image = tag === "img" && name === "src" && /^data:image\\/(png|gif|jpeg|webp)[;,]/.test(url);
        if (url.startsWith("data:") && !image) problems.push(tag + " " + name + "=" + attr.value);
    }
}
return JSON.stringify({problems, images, url: location.href});
"""

# The corpus as a page each: what the browser loads.
PAGE = '<!DOCTYPE html>\n<meta charset="utf-8">\n<title>case</title>\n{}'


@pytest.fixture(scope="module")
def browser():
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(path)]
    if missing:
        # CI installs both (.ci/run), so there a missing browser is a failure; elsewhere the test waits for them.
        reason = f"{' and '.join(missing)} missing: install Debian's chromium and chromium-driver packages " \
                 "(apt-get install chromium chromium-driver)"
        if os.environ.get("CI") == "true":
            pytest.fail(reason, pytrace=False)
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-default-apps", "--allow-file-access-from-files"):
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium's sandbox refuses to run as root
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    # The sanitized test run preloads its runtime into every child; the browser is not built for it.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    driver.set_page_load_timeout(60)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": MARKER})
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    return tmp_path_factory.mktemp("pages")


def requests(driver):
    """The URLs the page requested since the last call."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def load(driver, path, html):
    path.write_text(html, encoding="utf-8")
    requests(driver)  # drop what earlier pages left in the log
    driver.get(path.as_uri())
    return json.loads(driver.execute_script(CHECK))


# Stand-ins for a math renderer (KaTeX's auto-render) and a highlighter (highlight.js): they count what
# they are given, as the page's starter calls them.
MATH_SCRIPT = "window.renderMathInElement = (root) => { window.__math = root.querySelectorAll('.math').length; };"
HIGHLIGHT_SCRIPT = "window.hljs = {highlightAll: () => { window.__code = document.querySelectorAll('pre code').length; }};"


@pytest.fixture(scope="module")
def web_options(pages):
    """The options of a page of user content, its scripts written beside the pages."""
    (pages / "math.js").write_text(MATH_SCRIPT, encoding="utf-8")
    (pages / "highlight.js").write_text(HIGHLIGHT_SCRIPT, encoding="utf-8")
    return {"standalone": True, "lang": "en", "heading_ids": True, "link_rel": "nofollow ugc", "link_target": "_blank",
            "math_script": (pages / "math.js").as_uri(), "highlight_script": (pages / "highlight.js").as_uri()}


# The families of the corpus whose documents are loaded a second time with web_options.
WEB_FAMILIES = ("link-", "autolink-", "footnote-", "heading-", "meta-", "odd-", "many-refs")
WEB_CASES = [case for case in CASES if case[0].startswith(WEB_FAMILIES)]

# The links of the document (not the footnotes' own) that lack the rel or the target web_options give.
BARE_LINKS = """
return [...document.querySelectorAll("a[href]")]
    .filter((a) => !a.getAttribute("href").startsWith("#"))
    .filter((a) => a.rel !== "nofollow ugc noopener" || a.target !== "_blank")
    .map((a) => a.outerHTML);
"""


def check_page(driver, path, html, scripts=()):
    """The page runs nothing and loads nothing but the scripts it was given (and their starter)."""
    page = load(driver, path, html)
    if scripts:
        own = driver.execute_script("return [...document.scripts].map((s) => s.src || 'starter');")
        assert own == [*scripts, "starter"]
        page["problems"].remove("element script")  # the starter: the page's one inline script
        for _ in scripts:
            page["problems"].remove("element script")
    assert page["problems"] == []
    assert page["url"] == path.as_uri(), "the page navigated"
    # An image's URL is requested without its fragment.
    intended = {path.as_uri(), *scripts, *(url.split("#")[0] for url in page["images"])}
    unintended = [url for url in requests(driver) if url.split("#")[0] not in intended]
    assert unintended == []


@pytest.mark.parametrize("name, source, options", CASES, ids=[c[0] for c in CASES])
def test_hostile_document_runs_nothing_in_a_browser(browser, pages, name, source, options):
    html = to_html(source, **options)
    check_page(browser, pages / f"{name}.html", html if options.get("standalone") else PAGE.format(html))


@pytest.mark.parametrize("name, source, options", WEB_CASES, ids=[c[0] for c in WEB_CASES])
def test_hostile_document_with_the_web_options_runs_nothing(browser, pages, web_options, name, source, options):
    check_page(browser, pages / f"web-{name}.html", to_html(source, **{**options, **web_options}),
               scripts=(web_options["math_script"], web_options["highlight_script"]))
    assert browser.execute_script(BARE_LINKS) == []


def test_a_reader_sees_the_document(browser, pages):
    source = (ROOT / "examples" / "tour.qlt").read_text(encoding="utf-8")
    path = pages / "tour.html"
    load(browser, path, to_html(source, standalone=True, heading_ids=True))
    seen = json.loads(browser.execute_script("""
        const texts = (selector) => [...document.querySelectorAll(selector)].map((el) => el.innerText.trim());
        const note = document.querySelector(".footnote-ref a");
        return JSON.stringify({
            title: document.title,
            h1: texts("h1"),
            cells: texts("td"),
            header: texts("th"),
            callout: texts(".callout-warning .callout-title"),
            items: texts("body > ol > li"),
            start: document.querySelector("ol").start,
            image: document.querySelector("figure img").alt,
            caption: texts("figcaption"),
            note: document.getElementById(note.hash.slice(1)).innerText.trim(),
            back: document.querySelector(document.querySelector(".footnote-backref").hash).innerText,
            html: texts(".html-block"),
        });
    """))
    assert seen == {
        "title": "A tour of Quillet",
        "h1": ["A tour of Quillet"],
        "cells": ["quote", "::quote", "callout", "::callout"],
        "header": ["Construct", "Opener"],
        "callout": ["Mind the closing line"],
        "items": ["A list item, with inline markup.", "An item that runs on across a continuation line."],
        "start": 3,
        "image": "A diagram",
        "caption": ["The parts of a document"],
        "note": "A footnote definition takes one line. \u21a9\ufe0e",
        "back": "1",
        "html": ['<p class="note">Raw <em>HTML</em>, kept as written.</p>'],
    }


WEB_DOCUMENT = """--- meta ---
lang: de
---
# Über uns

Zweitens[^b], erstens[^a], wieder[^b], nirgends[^c]. Siehe [[die Seite|https://example.org/]] und <https://example.org/x>.

::math display
\\frac{a}{b} < c
::

```python
print(1)
```

# 日本語

::footnotes
[^a]: Note A.
[^b]: Note B.
::
"""


def test_the_web_options_in_a_browser(browser, pages, web_options):
    path = pages / "web.html"
    load(browser, path, to_html(WEB_DOCUMENT, **{**web_options, "lang": None}))
    # The heading ids are found from a URL's fragment, in any script.
    browser.get(path.as_uri() + "#h-%C3%BCber-uns")
    seen = json.loads(browser.execute_script("""
        const notes = [...document.querySelectorAll(".footnotes ol > li")];
        return JSON.stringify({
            lang: document.documentElement.lang,
            target: document.querySelector(":target").innerText,
            ids: [...document.querySelectorAll("h1")].map((h) => h.id),
            // The number on each reference, the place in the list of the note it leads to, how the list numbers.
            refs: [...document.querySelectorAll(".footnote-ref a")].map(
                (a) => [a.innerText, notes.indexOf(document.getElementById(a.hash.slice(1))) + 1]),
            numbering: notes.map((li) => getComputedStyle(li).listStyleType),
            text: document.querySelector("p").innerText,
            rels: [...document.querySelectorAll("p a:not([href^='#'])")].map((a) => [a.rel, a.target]),
            math: [window.__math, document.querySelector(".math").textContent],
            code: window.__code,
            pwned: window.__pwned,
        });
    """))
    assert seen == {
        "lang": "de",
        "target": "Über uns",
        "ids": ["h-über-uns", "h-日本語"],
        "refs": [["1", 1], ["2", 2], ["1", 1]],
        "numbering": ["decimal", "decimal"],
        "text": "Zweitens1, erstens2, wieder1, nirgends[^c]. Siehe die Seite und https://example.org/x.",
        "rels": [["nofollow ugc noopener", "_blank"]] * 2,
        "math": [1, "\\[\\frac{a}{b} < c\\]"],
        "code": 1,
        "pwned": False,
    }
