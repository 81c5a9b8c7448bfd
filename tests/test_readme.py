"""The README and the pages under docs/: their examples run and show what they give, their trees are what
the command prints, their names resolve and their links lead somewhere."""

import functools
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import ROOT

DOCS = ROOT / "docs"
# The README first, then the pages: each page's examples run in a namespace of their own.
PAGES = [ROOT / "README.md", *sorted(DOCS.rglob("*.md"))]
PAGE_IDS = [str(page.relative_to(ROOT)) for page in PAGES]


def _text(page):
    return page.read_text(encoding="utf-8")


def _tokens(page):
    from markdown_it import MarkdownIt

    return MarkdownIt("commonmark").parse(_text(page))


def _inline(page):
    for token in _tokens(page):
        yield from token.children or ()


def test_example_trees_are_what_quillet_prints():
    section = _text(DOCS / "syntax.md").split("## Examples and their trees", 1)[1].split("\n## ", 1)[0]
    pairs = re.findall(r"^(`{3,4})qlt\n(.*?)^\1\n\n```text\n(.*?)^```\n", section, re.S | re.M)
    assert len(pairs) >= 8
    for _, source, tree in pairs:
        run = subprocess.run([sys.executable, "-m", "quillet.cli", "-"], input=source, capture_output=True,
                             text=True, timeout=60)
        assert run.stdout + run.stderr == tree, source


@pytest.mark.parametrize("page", PAGES, ids=PAGE_IDS)
def test_every_code_block_is_one_labelled_fence(page):
    # A fence holding a fence must be longer than it: a short one ends early and leaves an unlabelled fence
    # (or text) where the example's tail was.
    unlabelled = [token.map for token in _tokens(page)
                  if token.type == "code_block" or (token.type == "fence" and not token.info)]
    assert unlabelled == []


@pytest.mark.parametrize("page", PAGES, ids=PAGE_IDS)
def test_relative_links_lead_to_files(page):
    # A page is read on GitHub as a file and on the site as a page: a relative link names a file of the
    # repository, from the page's folder.
    targets = [child.attrs["href"] for child in _inline(page) if child.type == "link_open"]
    local = [target.split("#", 1)[0] for target in targets if not re.match(r"[a-z]+:|#", str(target))]
    assert [target for target in local if not (page.parent / target).exists()] == []


def _quick_start(page):
    section = _text(page).split("## Quick start\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^```sh\n(.*?)```$", section, re.S | re.M)


def test_getting_started_gives_the_quick_start_as_the_readme_does():
    # CI runs the README's two commands; the page that explains them must show the same two.
    commands = _quick_start(ROOT / "README.md")
    assert len(commands) == 2 and _quick_start(DOCS / "getting-started.md") == commands


def test_the_readme_links_to_every_page():
    linked = {(ROOT / child.attrs["href"]).resolve() for child in _inline(ROOT / "README.md")
              if child.type == "link_open"}
    pages = {page.resolve() for page in DOCS.glob("*.md") if page.name != "index.md"}
    assert pages and sorted(pages - linked) == []


def test_the_names_the_pages_give_resolve():
    # `quillet.name.attr` is read as a user reads it: attribute after attribute, a submodule imported only
    # where the parent is a module (a function of the same name as its module hides the module).
    import importlib

    import quillet

    code_spans = [child.content for page in PAGES for child in _inline(page) if child.type == "code_inline"]
    names = {m for code in code_spans for m in re.findall(r"\bquillet(?:\.[A-Za-z_]\w*)+", code)}
    assert "quillet.to_html" in names
    missing = []
    for name in sorted(names):
        value: object = quillet
        parts = name.split(".")
        for i, part in enumerate(parts[1:], 1):
            if hasattr(value, part):
                value = getattr(value, part)
            elif isinstance(value, type(quillet)):
                try:
                    value = importlib.import_module(".".join(parts[: i + 1]))
                except ImportError:
                    missing.append(name)
                    break
            else:
                missing.append(name)
                break
    assert missing == []
    imports = [code for code in code_spans if code.startswith("from quillet")]
    assert imports
    for statement in imports:
        exec(statement, {})


@functools.lru_cache(maxsize=None)
def _run_python_examples(page):
    # The examples of a page run in reading order, in one namespace. A line `expression  # result` (the
    # result may go on over the comment lines after it) must give that result's repr; a comment in prose
    # (lower case) or a sketch (with "...") says what the value is like and is not compared.
    blocks = [token.content for token in _tokens(page) if token.type == "fence" and token.info == "python"]
    skipped = ("dask", "# LangChain")  # the Dask recipe runs in test_batch; the other is a comment only
    namespace: dict = {}
    checked = 0
    for block in (block for block in blocks if not any(word in block for word in skipped)):
        lines = block.splitlines()
        done = 0
        for number, line in enumerate(lines):
            code, _, comment = line.partition("  # ")
            if not comment or line.startswith((" ", "\t")) or code.strip().startswith("#"):
                continue
            try:
                expression = compile(code.strip(), str(page.name), "eval")
            except SyntaxError:
                continue
            for more in lines[number + 1:]:
                if not more.startswith("#  "):
                    break
                comment += more[1:]
            comment = comment.strip()
            exec("\n".join(lines[done:number]), namespace)
            done = number + 1
            shown = repr(eval(expression, namespace))
            if comment[:1].islower() or "..." in comment:
                continue
            assert "".join(comment.split()).startswith("".join(shown.split())), (line, shown)
            checked += 1
        exec("\n".join(lines[done:]), namespace)
    return checked


@pytest.mark.parametrize("page", PAGES, ids=PAGE_IDS)
def test_the_python_examples_run_and_show_what_they_give(page):
    _run_python_examples(page)


def test_the_examples_compare_their_results():
    # The pages hold the 13 results the README compared before it was split into them.
    assert sum(_run_python_examples(page) for page in PAGES[1:]) >= 13
    assert _run_python_examples(PAGES[0]) >= 3
