"""What a parsed tree costs the cycle collector afterwards.

    python bench/collector.py [--size 8m] [--repeat 3]

Times (CPU time, best of the runs) allocating 300,000 small tuples with no
tree alive, then right after pyql.parse of the corpus of bench/corpus.py with
the tree alive, and the parse itself; prints the ratio of the two allocations
(goal: at most 1.5x).
"""

import argparse
import gc
import time

import pyql

from corpus import generate

SIZES = {"1m": 1_000_000, "8m": 8_000_000}


def allocate():
    start = time.process_time()
    objects = [(i, str(i)) for i in range(300_000)]
    spent = time.process_time() - start
    del objects
    return spent


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", choices=SIZES, default="8m")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    text = generate(SIZES[args.size])[0]
    alone, after, parse = [], [], []
    for _ in range(args.repeat):
        gc.collect()
        alone.append(allocate())
        gc.collect()
        start = time.process_time()
        tree = pyql.parse(text)
        parse.append(time.process_time() - start)
        after.append(allocate())
        del tree
    a, b = min(alone), min(after)
    print(f"corpus {args.size}: parse {min(parse) * 1000:.1f} ms; 300,000 tuples alone {a * 1000:.1f} ms, "
          f"after the parse {b * 1000:.1f} ms: {b / a:.2f}x (goal <= 1.5x)")


if __name__ == "__main__":
    main()
