"""A parse never holds much more memory than the objects it hands back: the
C++ tree of a huge container, of a paragraph of countless inline nodes or of
a huge metadata list is given up piece by piece as the pieces are converted,
not held whole beside its objects. Measured with bench/memory.py, one fresh
process per family, from the process's resident set."""

import sys

import pytest

from conftest import UNDER_ASAN, bench_script

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc"),
    pytest.mark.skipif(UNDER_ASAN, reason="resident memory under ASan"),
]


@pytest.mark.parametrize("family", ["table_rows", "short_items", "backtick", "long_meta_list", "nested_meta_list"])
def test_peak_memory_stays_close_to_what_the_result_keeps(family):
    bench = bench_script("memory.py", run_name="memory")
    m = bench.measure(family, bench.MB)
    assert m["peak"] <= bench.MAX_PEAK_OVER_KEPT * m["kept"], m


# The C++ tools hold a text's whole inline tree while they write it: beyond what they return, at most this
# many bytes per input byte for a paragraph of a million code spans (its nodes take about 24; holding them
# twice, in the parse's working stack and in the tree, took about 45).
MAX_TOOL_PEAK_PER_BYTE = 32


@pytest.mark.parametrize("call", ["to_text", "to_html", "outline"])
def test_the_tools_hold_a_huge_paragraphs_nodes_once(call):
    bench = bench_script("memory.py", run_name="memory")
    m = bench.measure("backtick", 4 * bench.MB, call)
    assert m["peak"] - m["kept"] <= MAX_TOOL_PEAK_PER_BYTE * m["bytes"], m
