"""pyql in sub-interpreters: refused with ImportError in every one of them,
whatever the order, while the main interpreter can always import it."""

import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

INTERPRETERS = next(
    (name for name in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(name)), None)
pytestmark = pytest.mark.skipif(INTERPRETERS is None, reason="no sub-interpreter module in this CPython")

# Each step imports pyql, in the main interpreter or in a new sub-interpreter
# ("isolated" and "legacy" differ from 3.12 on; before, every one is legacy),
# and prints what it got. The sub-interpreter reports through a pipe.
SCRIPT = textwrap.dedent("""
    import json, os, sys
    import %s as interpreters

    def create(config):
        if sys.version_info >= (3, 13):
            return interpreters.create(config)
        if sys.version_info >= (3, 12):
            return interpreters.create(isolated=config == "isolated")
        return interpreters.create()

    def in_sub(config):
        read, write = os.pipe()
        i = create(config)
        try:
            interpreters.run_string(i, f'''
    import os
    try:
        import pyql
        out = "imported " + repr(pyql.parse)
    except ImportError as e:
        out = "ImportError: " + str(e)
    os.write({write}, out.encode())
    ''')
        finally:
            interpreters.destroy(i)
            os.close(write)
        with os.fdopen(read) as f:
            return f.read()

    results, types = [], set()
    for step in sys.argv[1:]:
        if step == "main":
            import pyql
            doc = pyql.parse("# Title", pyql.Profile.Md)
            types.add(id(pyql.Profile))
            results.append(f"{type(doc.blocks[0]).__name__} {doc.profile!r} {len(types)}")
        else:
            results.append(in_sub(step))
    print(json.dumps(results))
""" % INTERPRETERS)

REFUSED = ("ImportError: pyql does not support sub-interpreters",
           # what CPython 3.12+ says itself in an isolated sub-interpreter
           "ImportError: module pyql does not support loading in subinterpreters")
MAIN = "Heading Profile.Md 1"  # the same classes at every import

ORDERS = [
    ["isolated", "main", "main", "isolated"],
    ["legacy", "main", "legacy"],
    ["main", "legacy", "isolated", "main"],
]


@pytest.mark.parametrize("steps", ORDERS, ids=",".join)
def test_only_the_main_interpreter_imports(steps):
    out = subprocess.run([sys.executable, "-c", SCRIPT, *steps], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    for step, result in zip(steps, json.loads(out.stdout)):
        assert result == MAIN if step == "main" else result in REFUSED, (step, result)
