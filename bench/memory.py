"""Peak and kept memory of one parse, for each family of hostile input.

    python bench/memory.py [--size 10] [--family NAME[,NAME...]]

Each family is parsed once with pyql.parse_with_recovery in a fresh process.
Memory is the process's resident set, read from /proc (Linux only): `kept`
is what the result holds once the parse has returned (resident after minus
resident before), `peak` the most the parse had in use at any moment above
the same baseline (the kernel's high-water mark, reset just before the
call). The goal printed beside them: peak at most 1.3 times kept, so that
the parse never holds much more than the tree it hands back. `B/byte` is
kept memory per byte of input: what a service should multiply its input
limit by.
"""

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # also when loaded by path from the tests
from families import FAMILIES, MB  # noqa: E402

MAX_PEAK_OVER_KEPT = 1.3

CHILD = r"""
import ctypes, gc, json, sys
sys.path.insert(0, sys.argv[1])
from families import FAMILIES
import pyql

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

text = FAMILIES[sys.argv[2]](int(sys.argv[3])).text
if sys.argv[4] == "parse":
    call = pyql.parse_with_recovery
else:  # a C++ tool of quillet on the str: to_text, to_html, or the outline the language server reads
    import quillet
    from quillet import _native
    call = {"to_text": quillet.to_text, "to_html": quillet.to_html,
            "outline": lambda t: _native.outline(t, top_only=True, inline=True)}[sys.argv[4]]
call(text[:1000])  # anything a first call sets up once is not the result's
gc.collect()
try:  # memory freed while the text was built, but kept by the allocator, would serve the parse unseen
    ctypes.CDLL(None).malloc_trim(0)
except (OSError, AttributeError):
    pass
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets VmHWM to the current resident set
result = call(text)
peak = status("VmHWM")
gc.collect()
after = status("VmRSS")
print(json.dumps({"bytes": len(text.encode()), "peak": peak - before, "kept": after - before}))
"""


def measure(name, size, call="parse"):
    """Bytes of input, and peak and kept resident bytes, of one parse of a family in a fresh process (or of
    another call on its str: "to_text", "to_html", "outline")."""
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", CHILD, here, name, str(size), call],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", type=float, default=10, help="input size in MB (default 10)")
    ap.add_argument("--family", default="", help="comma-separated family names (default: all)")
    args = ap.parse_args(argv)
    names = [n.strip() for n in args.family.split(",") if n.strip()] or list(FAMILIES)
    unknown = [n for n in names if n not in FAMILIES]
    if unknown:
        ap.error(f"unknown family {', '.join(unknown)}; known: {', '.join(FAMILIES)}")

    print(f"{args.size:g} MB per family; MB of resident memory; goal: peak <= {MAX_PEAK_OVER_KEPT}x kept")
    print(f"{'family':20}  {'kept':>8}  {'peak':>8}  {'peak/kept':>9}  {'B/byte':>7}  goal")
    failed = []
    worst = (0.0, "")
    for name in names:
        m = measure(name, int(args.size * MB))
        kept = max(m["kept"], 1)
        ratio = m["peak"] / kept
        per_byte = m["kept"] / m["bytes"]
        worst = max(worst, (per_byte, name))
        ok = ratio <= MAX_PEAK_OVER_KEPT
        if not ok:
            failed.append(name)
        print(f"{name:20}  {m['kept'] / MB:8.1f}  {m['peak'] / MB:8.1f}  {ratio:9.2f}  {per_byte:7.1f}  "
              f"{'ok' if ok else 'FAIL'}", flush=True)
    print(f"\nmost kept per input byte: {worst[1]}, {worst[0]:.1f} bytes")
    if failed:
        print(f"{len(failed)} of {len(names)} families miss the goal: {', '.join(failed)}")
        return 1
    print(f"all {len(names)} families meet the goal")
    return 0


if __name__ == "__main__":
    sys.exit(main())
