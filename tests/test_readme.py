"""The README's example trees are what the command prints."""

import re
import subprocess
import sys

from conftest import ROOT


def test_example_trees_are_what_quillet_prints():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("### Examples and their trees", 1)[1].split("\n## ", 1)[0]
    pairs = re.findall(r"```qlt\n(.*?)```\n\n```text\n(.*?)```", section, re.S)
    assert len(pairs) >= 8
    for source, tree in pairs:
        run = subprocess.run([sys.executable, "-m", "quillet.cli", "-"], input=source, capture_output=True,
                             text=True, timeout=60)
        assert run.stdout + run.stderr == tree, source
