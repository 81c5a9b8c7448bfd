"""The native writers against the Python export they replace, in one run.

    python bench/writers.py [--sizes 1m,8m] [--repeat 3] [--cpu] [--no-command]

On the corpus of bench/corpus.py, at each size:
  - JSON of a str: quillet.to_json(text), against the Python export
    (quillet.export, the Python export of before: to_json(pyql.parse(text))) and against
    orjson.dumps of the to_dict tree already built (if orjson is installed);
  - JSON of a parsed Document: quillet.to_json(doc) against the reference;
  - text, Markdown and HTML of a str, in MB/s, beside their goal (STR_GOAL);
    HTML against pyromark and cmarkgfm writing HTML of the same document in
    Markdown (bench/corpus.py writes both; if they are installed: the bench
    extra), beside the goals of to_html's speed over theirs (HTML_GOALS); for
    that comparison each writer runs in an interpreter of its own, in turns;
  - two threads writing different documents against one thread writing both
    (throughput ratio: the GIL is released while the C++ works).
Then, on the largest corpus, `quillet --to json FILE > /dev/null` against the
command's Python path (as `quillet --json` was), wall time and peak RSS above
the interpreter with the command's modules loaded.

Times are wall seconds, best of --repeat runs and of as many more as fit in
half a second (BUDGET), or with --cpu the calling thread's CPU seconds (which
the work with the GIL released counts too: it runs on that thread), steadier on
a shared machine; ratios compare rows of the same run (the machine may be
shared and noisy). The two-thread ratios and the command's runs are wall time.
"""

import argparse
import gc
import os
import subprocess
import sys
import tempfile
import time

import pyql

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
from quillet import export as export_reference  # noqa: E402
from tools import parse_sizes, threads_speedup  # noqa: E402

# A str through quillet.to_text, to_markdown and to_html: at least this many MB/s.
STR_GOAL = 250
# Each Markdown writer's time over to_html's, at least: cmarkgfm's 10 times, pyromark's once.
HTML_GOALS = {"cmarkgfm": 10.0, "pyromark": 1.0}

# The clock of single-thread measurements: wall time, or this thread's CPU time (--cpu).
clock = time.perf_counter


# Runs of a measurement beyond --repeat, while they fit in this many seconds of wall time (at most
# MAX_RUNS in all): a call of a few milliseconds needs more runs than one of a second before one of them
# goes undisturbed on a shared machine. Every row gets the same budget.
BUDGET = 0.5
MAX_RUNS = 50


def best(fn, repeat, timer=None):
    timer = timer or clock
    times = []
    began = time.perf_counter()
    while len(times) < repeat or (len(times) < MAX_RUNS and time.perf_counter() - began < BUDGET):
        gc.collect()
        start = timer()
        result = fn()
        times.append(timer() - start)
        del result
    return min(times)


def str_writer(fmt):
    """quillet.to_<fmt>, which writes a str with the C++ writers."""
    import quillet

    return getattr(quillet, f"to_{fmt}")


def markdown_html():
    """(label, function) of each Markdown to HTML writer installed: pyromark and cmarkgfm."""
    found = []
    try:
        import pyromark

        options = pyromark.Options
        flags = options.ENABLE_TABLES | options.ENABLE_STRIKETHROUGH | options.ENABLE_FOOTNOTES
        found.append(("pyromark", lambda md: pyromark.html(md, options=flags)))
    except ImportError:
        print("  pyromark: not installed (pip install pyromark)")
    try:
        import cmarkgfm
        from cmarkgfm.cmark import Options

        found.append(("cmarkgfm", lambda md: cmarkgfm.github_flavored_markdown_to_html(
            md, options=Options.CMARK_OPT_FOOTNOTES)))
    except ImportError:
        print("  cmarkgfm: not installed (pip install cmarkgfm)")
    return found


def html_writers():
    """(label, function) of each HTML writer compared: to_html, then those of markdown_html()."""
    return [("to_html", str_writer("html"))] + markdown_html()


def isolated_html_times(text, markdown, repeat, rounds=3):
    """Each HTML writer's best time (to_html's on `text`, the others' on `markdown`), measured in an
    interpreter of its own (this script with --html-writer), so that none runs on a heap the others left
    behind: an allocating writer's speed moves by half with the heap's state. The writers take turns,
    `rounds` times, and each keeps its best, so that a drift of the machine's speed reaches all of them."""
    found = {}
    labels = [label for label, _write in html_writers()]
    with tempfile.TemporaryDirectory() as tmp:
        paths = {}
        for name, content in (("text", text), ("markdown", markdown)):
            paths[name] = os.path.join(tmp, name)
            with open(paths[name], "w", encoding="utf-8", newline="") as f:
                f.write(content)
        for _ in range(rounds):
            for label in labels:
                path = paths["text" if label == "to_html" else "markdown"]
                command = [sys.executable, os.path.abspath(__file__), "--html-writer", label, path,
                           "--repeat", str(repeat)] + (["--cpu"] if clock is time.thread_time else [])
                out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
                seconds = float(out.split()[-1])
                found[label] = min(found.get(label, seconds), seconds)
    return found


def time_html_writer(label, path, repeat):
    """Prints the best time of the HTML writer `label` on the file at `path` (--html-writer)."""
    with open(path, encoding="utf-8", newline="") as f:
        source = f.read()
    write = dict(html_writers())[label]
    print(best(lambda: write(source), repeat))


def row(label, seconds, size, base=None, goal=None):
    speed = size / seconds / 1e6
    extra = f"  {base / seconds:7.1f}x" if base else ""
    if goal:
        extra += f"  goal {goal} MB/s: {'met' if speed >= goal else 'MISSED'}"
    print(f"  {label:<44} {seconds * 1e3:9.1f} ms  {speed:8.1f} MB/s{extra}", flush=True)


def bench_size(name, target, repeat):
    text, markdown = corpus.generate(target)
    size = len(text.encode())
    print(f"corpus {name}: {size:,} bytes of UTF-8, a str of {sys.getsizeof(text):,} bytes")
    reference = best(lambda: export_reference.to_json(pyql.parse(text)), repeat)
    row("reference: to_json(pyql.parse(text))", reference, size)
    to_json = str_writer("json")
    row("to_json(text)", best(lambda: to_json(text), repeat), size, reference)
    try:
        import orjson

        tree = export_reference.to_dict(pyql.parse(text))
        row("orjson.dumps(to_dict tree already built)", best(lambda: orjson.dumps(tree), repeat), size, reference)
        del tree
    except ImportError:
        print("  orjson: not installed (pip install orjson)")

    doc = pyql.parse(text)
    doc_reference = best(lambda: export_reference.to_json(doc), repeat)
    row("reference: to_json(doc)", doc_reference, size)
    row("to_json(doc)", best(lambda: str_writer("json")(doc), repeat), size, doc_reference)
    del doc

    for fmt in ("text", "markdown"):
        write = str_writer(fmt)
        row(f"to_{fmt}(text)", best(lambda: write(text), repeat), size, goal=STR_GOAL)

    # HTML: the last column is each Markdown writer's time over to_html's, each measured on its own.
    to_html = str_writer("html")
    row("to_html(text)", best(lambda: to_html(text), repeat), size, goal=STR_GOAL)
    times = isolated_html_times(text, markdown, repeat)
    html = times["to_html"]
    row("to_html(text), in an interpreter of its own", html, size)
    md_size = len(markdown.encode())
    for label in HTML_GOALS:
        if label not in times:
            continue
        seconds = times[label]
        goal = HTML_GOALS[label]
        print(f"  {label + ' HTML of the Markdown twin':<44} {seconds * 1e3:9.1f} ms  "
              f"{md_size / seconds / 1e6:8.1f} MB/s  {seconds / html:7.1f}x to_html's time, goal "
              f"{goal:g}x: {'met' if seconds / html >= goal else 'MISSED'}", flush=True)

    other = corpus.generate(target, corpus.DEFAULT_SEED + 1)[0]
    for fmt in ("json", "text", "markdown", "html"):
        ratio = threads_speedup(str_writer(fmt), (text, other), max(repeat, 10))
        print(f"  two threads / one, to_{fmt}(text) of two documents: {ratio:.2f}x throughput")


# Runs the command and, at its exit, reports its peak RSS from /proc: the
# ru_maxrss of a child counts the parent's memory at the fork.
_PEAK = """\
import atexit, os, runpy, sys
def peak():
    with open("/proc/self/status") as status:
        kb = [line.split()[1] for line in status if line.startswith("VmHWM:")][0]
    os.write(2, f"\\nPEAK {kb}\\n".encode())
atexit.register(peak)
code = sys.argv.pop(1)
if code == "-m":
    sys.argv[0] = sys.argv.pop(1)
    runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)
else:  # -c CODE
    exec(sys.argv.pop(1))
"""


def run_command(args):
    """Wall seconds and peak RSS (bytes) of one run of the command."""
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", _PEAK, *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    # Status 1 reports problems in the document; a traceback is the command (or this script) failing.
    if proc.returncode not in (0, 1) or b"Traceback" in proc.stderr:
        raise SystemExit(f"{' '.join(args)} failed with status {proc.returncode}:\n{proc.stderr.decode()}")
    peak = [line for line in proc.stderr.decode().splitlines() if line.startswith("PEAK ")][-1]
    return elapsed, int(peak.split()[1]) * 1024


def bench_command(name, target, repeat):
    text = corpus.generate(target)[0]
    size = len(text.encode())
    # What `quillet --json FILE` did before the C++ writers: decode, parse into pyql objects, the Python
    # export's to_dict, json.dumps of the record.
    python_path = (
        "import sys, pyql\n"
        "from quillet import cli, export\n"
        "path = sys.argv[1]\n"
        "data = open(path, 'rb').read()\n"
        "result = pyql.parse_with_recovery(data.decode('utf-8'))\n"
        "errors = [export.error_dict(e) for e in result.errors]\n"
        "cli._error_problems(path, errors, lambda: data)\n"
        "sys.stdout.write(cli._json_line(path, export.to_dict(result.document), errors, None))\n"
    )
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, f"{name}.qlt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        del text
        base = min(run_command(["-m", "quillet.cli", "--version"])[1] for _ in range(repeat))
        print(f"quillet on the {name} corpus ({size:,} bytes); RSS above the interpreter with the command "
              f"loaded ({base / 1e6:.1f} MB):")
        results = {}
        for label, args in (
            ("quillet --json (the Python path)", ["-c", python_path, path]),
            ("quillet --to json", ["-m", "quillet.cli", "--to", "json", path]),
            ("quillet --to text", ["-m", "quillet.cli", "--to", "text", path]),
            ("quillet --to markdown", ["-m", "quillet.cli", "--to", "markdown", path]),
        ):
            runs = [run_command(args) for _ in range(repeat)]
            seconds = min(r[0] for r in runs)
            rss = min(r[1] for r in runs) - base
            results[label] = seconds
            ref = results["quillet --json (the Python path)"]
            print(f"  {label:<34} {seconds:7.3f} s  {ref / seconds:6.1f}x  peak +{rss / 1e6:7.1f} MB "
                  f"({rss / size:.2f}x the input)", flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=parse_sizes, default=parse_sizes("1m,8m"),
                    help="corpus sizes, comma-separated: 1m, 500k, 20000 (default 1m,8m)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement, best taken (default 3)")
    ap.add_argument("--cpu", action="store_true", help="time single-thread calls in this thread's CPU time")
    ap.add_argument("--no-command", action="store_true", help="skip the runs of the quillet command")
    ap.add_argument("--html-writer", nargs=2, metavar=("LABEL", "FILE"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    global clock
    if args.cpu:
        clock = time.thread_time
    if args.html_writer:
        time_html_writer(*args.html_writer, args.repeat)
        return 0
    print(f"pyql {pyql.__file__}; load average {os.getloadavg()[0]:.2f}; "
          f"{'CPU time of the calling thread' if args.cpu else 'wall time'}")
    for name, target in args.sizes:
        bench_size(name, target, args.repeat)
    if not args.no_command:
        bench_command(*args.sizes[-1], args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
