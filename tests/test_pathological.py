"""Hostile inputs must parse in time linear in their size.

Each family of bench/families.py is built at 1 MB and parsed in a child
interpreter under a timeout of about 100 times what 1 MB of ordinary prose
takes in this session (never less than TIMEOUT_FLOOR seconds, plus the
child's start-up). A parser that went back to searching to the end of the
text once per opener needs from seconds to minutes for these; a linear one
needs a fraction of a second, so the timeout catches the first with a wide
margin for the second on a busy machine. The machine is shared, though, and
may get slower after the timeout was measured: a child that runs out of time
gets one more run under a timeout measured again at that moment. The child
also reports what it parsed, which must match what the family was built to be.
"""

import json
import subprocess
import sys
import time

import pytest

import pyql
from conftest import BENCH, bench_script

# The generators are shared with bench/scaling.py, which imports them as a
# script's neighbour; run here from their path, so that sys.path stays as it is.
FAMILIES_PY = BENCH / "families.py"
families = bench_script("families.py")

# Seconds: room for machine noise, where the slowest family takes 0.6 s. A
# quadratic parser whose every failed search is one byte search to the end
# (`[^` without `]`) takes about 2 s at 1 MB and slips under it; the ratio
# per doubling of bench/scaling.py shows that case.
TIMEOUT_FLOOR = 3.0
PROSE_FACTOR = 100

# Reads the document from standard input, parses it and prints the summary.
CHILD = """
import json, runpy, sys
import pyql
summarize = runpy.run_path(sys.argv[1])["summarize"]
text = sys.stdin.buffer.read().decode()
print(json.dumps(summarize(pyql.parse_with_recovery(text))))
"""


def run_child(text, timeout):
    return subprocess.run([sys.executable, "-c", CHILD, str(FAMILIES_PY)], input=text.encode(),
                          capture_output=True, timeout=timeout)


def measure_timeout():
    """PROSE_FACTOR times the best in-process parse of 1 MB of prose (at
    least the floor), plus the best start-up of a child that parses
    nothing."""
    prose = families.prose(families.MB).text
    parse = min(_timed(lambda: pyql.parse_with_recovery(prose)) for _ in range(3))
    startup = min(_timed(lambda: run_child("", 60)) for _ in range(2))
    return max(TIMEOUT_FLOOR, PROSE_FACTOR * parse) + startup


@pytest.fixture(scope="module")
def timeout():
    return measure_timeout()


def _timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def run_within(text, timeout):
    """The finished child, or None if it ran out of time."""
    try:
        return run_child(text, timeout)
    except subprocess.TimeoutExpired:
        return None


@pytest.mark.parametrize("name", list(families.FAMILIES))
def test_family_parses_in_linear_time(name, timeout):
    case = families.FAMILIES[name](families.MB)
    child = run_within(case.text, timeout)
    if child is None:
        again = measure_timeout()
        child = run_within(case.text, again)
        if child is None:
            pytest.fail(f"{name}: 1 MB not parsed within {timeout:.1f} s, then {again:.1f} s", pytrace=False)
    assert child.returncode == 0, child.stderr.decode()
    got = json.loads(child.stdout)
    assert {key: got[key] for key in case.expect} == case.expect
