"""Throughput of the tools for agents on the realistic corpus.

    python bench/agents.py [--size 1m] [--repeat 20]

Times, on the document of bench/corpus.py, pyql.parse_with_recovery (what
every tool pays first), quillet.chunks(text, max_chars=2000) and
quillet.check(text), and prints the best and the median of the runs in
milliseconds (CPU time of this process, so that waiting for a core other
processes hold does not count) and the input's megabytes per second at the
median. The goals printed beside them: chunks at least 100 MB/s, check at
least 200 MB/s (the corpus draws no warning).
"""

import argparse
import gc
import statistics
import sys
import time

import pyql
import quillet

from corpus import SIZES, generate

GOALS = {"chunks": 100.0, "check": 200.0}


def times(run, text, repeat):
    run(text)  # warm-up
    spent = []
    for _ in range(repeat):
        gc.collect()
        start = time.process_time()
        result = run(text)
        del result  # freeing what a tool returns is part of its cost
        spent.append(time.process_time() - start)
    return spent


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", choices=SIZES, default="1m", help="corpus size (default 1m)")
    ap.add_argument("--repeat", type=int, default=20, help="timed runs per tool (default 20)")
    args = ap.parse_args(argv)
    text = generate(SIZES[args.size])[0]
    megabytes = len(text.encode()) / 1e6
    warnings = len(quillet.check(text))
    print(f"corpus {args.size}: {megabytes:.2f} MB, {len(quillet.chunks(text, max_chars=2000))} chunks, "
          f"{warnings} diagnostics")
    print(f"{'tool':<8} {'best ms':>9} {'median ms':>10} {'MB/s':>8} {'goal':>8}")
    missed = False
    for name, run in (
        ("parse", pyql.parse_with_recovery),
        ("chunks", lambda t: quillet.chunks(t, max_chars=2000)),
        ("check", quillet.check),
    ):
        spent = times(run, text, args.repeat)
        median = statistics.median(spent)
        rate = megabytes / median
        goal = GOALS.get(name)
        verdict = "" if goal is None else ("ok" if rate >= goal else "MISS") + f" {goal:g}"
        missed |= goal is not None and rate < goal
        print(f"{name:<8} {min(spent) * 1e3:9.2f} {median * 1e3:10.2f} {rate:8.0f} {verdict:>8}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
