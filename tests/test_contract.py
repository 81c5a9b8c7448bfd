"""quillet._native reads and builds pyql's objects only through the contract pyql's
shared object exports: a pyql from another build (other layouts, no contract, no
shared object) is refused with ImportError by the one loader behind the writers
and rebuild, and nothing is read from it. Each case runs in a child process in
which `pyql` is replaced, after quillet is imported, by a stand-in module."""

import shutil
import subprocess
import sys
import textwrap

import pytest

import quillet._native

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="dlopen of the module's file")

CHILD = textwrap.dedent(
    r"""
    import ctypes, pickle, sys, types
    import pyql, quillet, quillet._native as native
    stand_in, path = sys.argv[1], sys.argv[2]
    doc = pyql.parse("# a\n\nb *c*\n")
    pickled = pickle.dumps(pyql.parse_with_recovery("::nope\n"))
    fake = types.ModuleType("pyql")
    if stand_in == "other layouts":
        ctypes.CDLL(path)  # loaded, as an imported extension module would be
    if stand_in != "no file":
        fake.__file__ = path
    real, sys.modules["pyql"] = sys.modules["pyql"], fake
    for name, call in [
        ("write", lambda: native.write(doc, "json", None)),
        ("to_dict", lambda: native.to_dict(doc.blocks, None)),
        ("profile", lambda: native.write("x", "text", None, pyql.Profile.Md)),
        ("rebuild", lambda: pickle.loads(pickled)),
    ]:
        try:
            call()
            print(name, "accepted")
        except ImportError as e:
            print(name, "ImportError", e)
    # Refusing leaves nothing behind: with pyql back, both paths work.
    sys.modules["pyql"] = real
    assert native.write(doc, "text", None) == quillet.to_text(doc)
    assert pickle.loads(pickled).errors[0].message == "unknown directive: nope"
    print("recovered")
    """
)

# A shared object whose exported contract starts with another fingerprint.
OTHER_LAYOUTS = "const unsigned long long pyql_contract[3] = {1, 0, 0};\n"


@pytest.mark.parametrize(
    ("stand_in", "message"),
    [
        ("other layouts", "lays out its objects differently"),
        ("no contract", "exports no contract"),
        ("not loaded", "no shared object of that name is loaded"),
        ("no file", "has no __file__"),
    ],
)
def test_a_pyql_of_another_build_is_refused(tmp_path, stand_in, message):
    if stand_in == "other layouts":
        compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
        if compiler is None:
            pytest.skip("no C compiler")
        (tmp_path / "other.c").write_text(OTHER_LAYOUTS)
        path = str(tmp_path / "other.so")
        subprocess.run([compiler, "-shared", "-fPIC", "-o", path, str(tmp_path / "other.c")], check=True)
    elif stand_in == "no contract":
        path = quillet._native.__file__  # loaded, but not pyql
    else:
        path = str(tmp_path / "pyql.so")
    child = subprocess.run(
        [sys.executable, "-c", CHILD, stand_in, path], capture_output=True, text=True, timeout=120
    )
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[-1] == "recovered"
    for name, line in zip(["write", "to_dict", "profile", "rebuild"], lines):
        assert line.startswith(f"{name} ImportError quillet._native cannot use pyql"), line
        assert message in line and "different builds" in line, line
