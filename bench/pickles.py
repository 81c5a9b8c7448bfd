"""Pickling a parsed document against parsing its text again.

    python bench/pickles.py [--size 8000000] [--repeat 5] [--old]

On the document of bench/corpus.py, times pyql.parse of the text, then
pickle.dumps and pickle.loads of the Document it gives (the highest
protocol: the Document pickles as one image), copy.deepcopy of it, and the
same for the ParseResult of parse_with_recovery. Prints the best and the
median of the runs in milliseconds (CPU time of this process, so that
waiting for a core other processes hold does not count), the pickle's size
against the text's UTF-8 size, and the goals: dumps + loads at most 3 times
the parse, the pickle at most 1.5 times the text. --old times protocol 2 as
well, which keeps one rebuild call per node (the form every object had
before the image), once: it takes seconds.
"""

import argparse
import copy
import gc
import pickle
import statistics
import sys
import time

import pyql

from corpus import generate

GOALS = {"time": 3.0, "size": 1.5}


def times(run, repeat):
    run()  # warm-up
    spent = []
    for _ in range(repeat):
        gc.collect()
        start = time.process_time()
        result = run()
        spent.append(time.process_time() - start)
        del result  # outside the timing: the tree a parse or a load gives is the caller's
    return spent


def row(name, spent, parse=None):
    median = statistics.median(spent)
    ratio = f"{median / parse:8.2f}x" if parse else ""
    print(f"{name:<24} {min(spent) * 1e3:9.1f} {median * 1e3:10.1f} {ratio}")
    return median


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", type=int, default=8_000_000, help="corpus size in bytes (default 8000000)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs of each step (default 5)")
    ap.add_argument("--old", action="store_true", help="also time protocol 2 (one call per node), once")
    args = ap.parse_args(argv)
    text = generate(args.size)[0]
    size = len(text.encode())
    doc = pyql.parse(text)
    result = pyql.parse_with_recovery(text)
    protocol = pickle.HIGHEST_PROTOCOL
    data = pickle.dumps(doc, protocol)
    result_data = pickle.dumps(result, protocol)
    print(f"corpus: {size / 1e6:.2f} MB of UTF-8, pickle of its Document {len(data) / 1e6:.2f} MB "
          f"({len(data) / size:.2f}x the text), of its ParseResult {len(result_data) / 1e6:.2f} MB")
    print(f"{'step':<24} {'best ms':>9} {'median ms':>10} {'/ parse':>9}")
    parse = row("parse", times(lambda: pyql.parse(text), args.repeat))
    dumps = row("dumps", times(lambda: pickle.dumps(doc, protocol), args.repeat), parse)
    loads = row("loads", times(lambda: pickle.loads(data), args.repeat), parse)
    row("deepcopy", times(lambda: copy.deepcopy(doc), args.repeat), parse)
    row("result dumps + loads", times(lambda: pickle.loads(pickle.dumps(result, protocol)), args.repeat), parse)
    if args.old:
        old = pickle.dumps(doc, 2)
        row("protocol 2 dumps", times(lambda: pickle.dumps(doc, 2), 1), parse)
        row("protocol 2 loads", times(lambda: pickle.loads(old), 1), parse)
        print(f"protocol 2 pickle: {len(old) / 1e6:.2f} MB ({len(old) / size:.2f}x the text)")
    time_ratio = (dumps + loads) / parse
    size_ratio = len(data) / size
    ok_time, ok_size = time_ratio <= GOALS["time"], size_ratio <= GOALS["size"]
    print(f"dumps + loads: {time_ratio:.2f}x the parse ({'ok' if ok_time else 'MISS'} {GOALS['time']:g}); "
          f"pickle: {size_ratio:.2f}x the text ({'ok' if ok_size else 'MISS'} {GOALS['size']:g})")
    return 0 if ok_time and ok_size else 1


if __name__ == "__main__":
    sys.exit(main())
