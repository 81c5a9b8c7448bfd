"""The type stubs of pyql against the module itself, and a typed program checked with them.

The classes of pyql report "builtins" as their module, so stubtest takes them for names imported from
elsewhere and would not notice a class missing from the stubs; nor does it notice a class attribute of the
stubs (an enumeration member) that the module lacks. The first two tests close those gaps.
"""

from __future__ import annotations

import ast
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import pyql
from conftest import ROOT, child_env

STUB = ROOT / "binding" / "pyql.pyi"
EXAMPLE = ROOT / "examples" / "typed_usage.py"
HAVE_MYPY = importlib.util.find_spec("mypy") is not None


def public(names):
    return {n for n in names if not n.startswith("_")}


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def defined_names(body) -> set[str]:
    names = set()
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def test_stub_names_the_module_contents():
    assert public(defined_names(stub_tree().body)) == public(vars(pyql))


def test_stub_classes_name_the_class_members():
    mismatched = {}
    for cls in stub_tree().body:
        if isinstance(cls, ast.ClassDef):
            in_stub = public(defined_names(cls.body))
            at_runtime = public(vars(getattr(pyql, cls.name)))
            if in_stub != at_runtime:
                mismatched[cls.name] = (sorted(in_stub - at_runtime), sorted(at_runtime - in_stub))
    assert mismatched == {}, "(only in the stub, only in the module)"


def test_installed_stubs_are_the_source_stubs():
    # pip puts the stubs beside the extension as a stub-only package, the form type checkers look for
    # when a distribution is a single module rather than a package.
    here = Path(pyql.__file__).resolve().parent
    installed = {Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}
    if here not in installed:
        pytest.skip("pyql is not imported from an installed wheel")
    assert (here / "pyql-stubs" / "__init__.pyi").read_bytes() == STUB.read_bytes()


def run_checker(args: list[str], tmp_path: Path) -> subprocess.CompletedProcess[str]:
    # The subprocess imports the very pyql and quillet under test; the source stubs (and the package's
    # source, with quillet/_native.pyi) come first on mypy's path, whether or not a wheel installed them too.
    env = child_env(str(Path(pyql.__file__).resolve().parent))
    env["MYPYPATH"] = os.pathsep.join([str(STUB.parent), str(ROOT / "python")])
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300
    )


@pytest.mark.skipif(not HAVE_MYPY, reason="mypy is not installed")
@pytest.mark.parametrize("module", ["pyql", "quillet._native"])
def test_stubtest_accepts_the_stubs(tmp_path, module):
    run = run_checker(["mypy.stubtest", module], tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.skipif(not HAVE_MYPY, reason="mypy is not installed")
def test_typed_example_and_companion_package_pass_mypy_strict(tmp_path):
    package = ROOT / "python" / "quillet"
    run = run_checker(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(EXAMPLE), str(package)],
                      tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_typed_example_runs():
    # The aliases it imports exist for type checkers only; at run time they must stay out of reach.
    run = subprocess.run([sys.executable, str(EXAMPLE)], env=child_env(), capture_output=True, text=True, timeout=60)
    assert run.stderr == ""
    assert run.returncode == 1  # errors.qlt has errors
    assert "== tour.qlt" in run.stdout and "parse() raised:" in run.stdout
