"""parse_files on many files: the tool run in the workers, jobs=2 against jobs=1.

    python bench/batch.py [--files 40] [--size 1m] [--tools check,json,text,parse] [--repeat 3]

Writes --files documents of bench/corpus.py (each its own seed) to a
temporary folder, then for each tool reads them all with
quillet.parse_files(paths, jobs=J, to=TOOL), J = 1 and 2 ("parse" is to=None:
whole ParseResults sent back). Prints, per tool and J, the best wall time of
the runs, the CPU seconds of this process (in the workers' runs: receiving
and unpickling the results) and of the workers, the megabytes of results
that came back (pickled), and the speedup of jobs=2 over jobs=1 in wall
time beside the goal (check: 1.6). Wall times need two idle cores; on a
busy machine "cpu bound" says what the CPU seconds allow on two cores: the
CPU of jobs=1 over the larger of the main process's CPU and half of all the
CPU of jobs=2 (workers and main process).
"""

import argparse
import os
import pickle
import resource
import sys
import tempfile
import time

import quillet

from corpus import SIZES, generate

GOALS = {"check": 1.6, "json": 1.6, "text": 1.6}


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(paths, jobs, to):
    """(wall, this process's CPU, the workers' CPU, results' pickled MB) of one pass."""
    cpu, child, wall = time.process_time(), children_cpu(), time.perf_counter()
    size = 0
    for _, result in quillet.parse_files(paths, jobs=jobs, to=None if to == "parse" else to):
        if jobs == 1:  # what would have crossed between processes
            size += len(pickle.dumps(result, pickle.HIGHEST_PROTOCOL))
        del result
    wall = time.perf_counter() - wall
    return wall, time.process_time() - cpu, children_cpu() - child, size / 1e6


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", type=int, default=40, help="how many documents (default 40)")
    ap.add_argument("--size", choices=SIZES, default="1m", help="size of each (default 1m)")
    ap.add_argument("--tools", default="check,json,text,parse", help="to= values, 'parse' for none")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each, the best kept (default 3)")
    args = ap.parse_args(argv)
    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for seed in range(args.files):
            path = os.path.join(folder, f"doc{seed:03}.qlt")
            with open(path, "w", encoding="utf-8") as f:
                f.write(generate(SIZES[args.size], seed=seed)[0])
            paths.append(path)
        megabytes = sum(os.path.getsize(p) for p in paths) / 1e6
        print(f"{args.files} files, {megabytes:.1f} MB")
        print(f"{'tool':<6} {'jobs':>4} {'wall s':>7} {'main cpu s':>10} {'workers cpu s':>13} "
              f"{'results MB':>10} {'speedup':>8} {'goal':>8} {'cpu bound':>9}")
        missed = False
        for tool in args.tools.split(","):
            best = {}
            for jobs in (1, 2):
                runs = [run(paths, jobs, tool) for _ in range(args.repeat)]
                best[jobs] = min(runs)
                wall, main_cpu, workers_cpu, size = best[jobs]
                if jobs == 1:
                    sent = size
                    line = f"{tool:<6} {jobs:>4} {wall:7.2f} {main_cpu:10.2f} {'':>13} {sent:10.1f}"
                else:
                    speedup = best[1][0] / wall
                    goal = GOALS.get(tool)
                    verdict = "" if goal is None else ("ok " if speedup >= goal else "MISS ") + f"{goal:g}"
                    missed |= tool == "check" and speedup < GOALS["check"]
                    bound = best[1][1] / max(main_cpu, (main_cpu + workers_cpu) / 2)
                    line = (f"{tool:<6} {jobs:>4} {wall:7.2f} {main_cpu:10.2f} {workers_cpu:13.2f} {sent:10.1f} "
                            f"{speedup:8.2f} {verdict:>8} {bound:9.2f}")
                print(line, flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
