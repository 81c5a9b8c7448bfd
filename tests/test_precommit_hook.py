"""The quillet-check pre-commit hook, installed by pre-commit from a clone of
this repository (which builds the package: about a minute)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT

pytest.importorskip("pre_commit")


@pytest.mark.skipif(shutil.which("git") is None or not (ROOT / ".git").exists(), reason="needs git and a clone")
def test_hook_checks_qlt_files_from_a_clone(tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    (repo / "good.qlt").write_text("# Good\n\nText.\n")
    (repo / "bad.qlt").write_text("# Bad\n\n::bogus\n")
    (repo / "notes.txt").write_text("::bogus\n")  # not a .qlt file: never checked
    # What hides content fails the commit too: a metadata block never closed, a callout that takes in a section.
    (repo / "lost.qlt").write_text("--- meta ---\ntitle: x\n\n# Lost\n")
    (repo / "hidden.qlt").write_text("::callout\nNote\n\n## Section\n")
    env = dict(os.environ, PRE_COMMIT_HOME=str(tmp_path / "cache"), GIT_CONFIG_NOSYSTEM="1")

    def git(*args):
        subprocess.run(["git", *args], cwd=repo, check=True, env=env, capture_output=True)

    git("init", "-q")
    git("add", ".")
    hook = [sys.executable, "-m", "pre_commit", "try-repo", str(ROOT), "quillet-check", "--files"]
    runs = {
        files: subprocess.run([*hook, *files], cwd=repo, env=env, capture_output=True, text=True, timeout=900)
        for files in (("good.qlt", "notes.txt"), ("good.qlt", "bad.qlt", "notes.txt"), ("lost.qlt", "hidden.qlt"))
    }
    good, bad, hiding = runs.values()
    assert good.returncode == 0, good.stdout + good.stderr
    assert "quillet check" in good.stdout and "Passed" in good.stdout
    assert bad.returncode == 1, bad.stdout + bad.stderr
    assert "bad.qlt:3:1: error[unknown-directive]" in bad.stdout
    assert "good.qlt" not in bad.stdout.split("- exit code: 1", 1)[1] and "notes.txt" not in bad.stdout
    assert hiding.returncode == 1, hiding.stdout + hiding.stderr
    assert "lost.qlt:1:1: error[unclosed-metadata]" in hiding.stdout
    assert "hidden.qlt:1:1: error[swallowed-heading]" in hiding.stdout
