"""The README's example trees are what the command prints."""

import re
import subprocess
import sys

from conftest import ROOT


def test_example_trees_are_what_quillet_prints():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("### Examples and their trees", 1)[1].split("\n## ", 1)[0]
    pairs = re.findall(r"^(`{3,4})qlt\n(.*?)^\1\n\n```text\n(.*?)^```\n", section, re.S | re.M)
    assert len(pairs) >= 8
    for _, source, tree in pairs:
        run = subprocess.run([sys.executable, "-m", "quillet.cli", "-"], input=source, capture_output=True,
                             text=True, timeout=60)
        assert run.stdout + run.stderr == tree, source


def _readme_tokens():
    from markdown_it import MarkdownIt

    return MarkdownIt("commonmark").parse((ROOT / "README.md").read_text(encoding="utf-8"))


def _inline_code():
    for token in _readme_tokens():
        for child in token.children or ():
            if child.type == "code_inline":
                yield child.content


def test_every_code_block_of_the_readme_is_one_labelled_fence():
    # A fence holding a fence must be longer than it: a short one ends early and leaves an unlabelled fence
    # (or text) where the example's tail was.
    unlabelled = [token.map for token in _readme_tokens()
                  if token.type == "code_block" or (token.type == "fence" and not token.info)]
    assert unlabelled == []


def test_the_names_the_readme_gives_resolve():
    # `quillet.name.attr` is read as a user reads it: attribute after attribute, a submodule imported only
    # where the parent is a module (a function of the same name as its module hides the module).
    import importlib

    import quillet

    names = {m for code in _inline_code() for m in re.findall(r"\bquillet(?:\.[A-Za-z_]\w*)+", code)}
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
    imports = [code for code in _inline_code() if code.startswith("from quillet")]
    assert imports
    for statement in imports:
        exec(statement, {})


def test_the_readme_python_examples_run_and_show_what_they_give():
    # The examples run in reading order, in one namespace. A line `expression  # result` (the result may go
    # on over the comment lines after it) must give that result's repr; a comment in prose (lower case) or a
    # sketch (with "...") says what the value is like and is not compared.
    blocks = [token.content for token in _readme_tokens() if token.type == "fence" and token.info == "python"]
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
                expression = compile(code.strip(), "README", "eval")
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
    assert checked >= 10
