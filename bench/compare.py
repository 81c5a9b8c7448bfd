"""pyql against other document parsers for Python, on the same document.

    python bench/compare.py [--size 10k|1m|10m] [--runs N] [--seed N]
                            [--only NAME[,NAME...]] [--markdown]
                            [--no-core | --core-bench PATH]

bench/corpus.py writes one document in two forms, Quillet and GitHub-flavoured
Markdown, with the same text and the same structures (headings, paragraphs,
inline markup, lists, tables, code, quotes, footnotes). The rows:

    pyql.parse      the Quillet form into pyql's Python objects
    core            bench/core_bench: the C++ parser alone, no Python objects,
                    keeping the whole tree (built with cmake into build/bench
                    when needed)
    core, streamed  the same, handing over one top-level block at a time, as
                    pyql.parse reads a document (only one block's tree is
                    alive at a time)
    markdown-it-py, mistune, marko, mistletoe, commonmark
                    pure-Python Markdown parsers, each to its own tree
    pyromark        pulldown-cmark (Rust): all its events, as Python objects
    cmarkgfm        cmark-gfm (C): Markdown to HTML, the native reference
    json.loads, orjson.loads
                    the tree pyql builds, written as JSON by quillet.to_json
                    and read back: the cost of merely creating that many
                    Python objects

Method. Every row runs in a fresh process of its own, one after another, so
that one parser's heap does not weigh on the next. In that process:

1. The parser is set up (imported, configured) and called once on a tiny
   document, so that lazy imports and compiled rules are not counted below.
2. Memory: gc.collect(), then the kernel's peak-RSS mark is reset (writing
   "5" to /proc/self/clear_refs) and VmRSS recorded; ONE parse runs and its
   result is kept; peak = VmHWM - VmRSS before, kept = VmRSS after - VmRSS
   before. Where the mark cannot be reset, ru_maxrss stands in for VmHWM
   (the figure is then marked "~": an earlier, higher peak would hide it).
3. That result is checked: the parser must have found every kind of
   structure pyql found in the Quillet form (tables, strikethrough,
   footnotes...) among those it supports. A row that fails is not timed.
4. Warm-up calls (at least 2), then --runs timed calls with
   time.perf_counter; the median is reported. The result of each call is
   dropped before the next (outside the timed region), and the cycle
   collector is left on, as users have it. Each call gets a fresh copy of
   the input str, made outside the timed region: a str caches its UTF-8 form
   once encoded, and a document is usually parsed once, so no call may
   profit from an earlier one's encoding.

core_bench reports its own figures: the median of RUNS parses after three
untimed ones, and the peak of its first parse measured the same way (reset
mark, VmHWM - VmRSS before).

MB/s counts the bytes of the form the row parsed; the JSON rows count the
Quillet bytes, since they rebuild that document's tree. Both forms hold the
same document, so the time ratio ("x pyql.parse": a row's median / pyql.parse's
median) is the fair comparison. The targets printed below the table are
checked against the figures of this run; the exit status is 1 when one is
missed.
"""

import argparse
import datetime
import functools
import gc
import json
import math
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from importlib import metadata

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
CORE_BUILD_DIR = os.path.join(REPO, "build", "bench")

DEFAULT_RUNS = {"10k": 200, "1m": 20, "10m": 5}
MIN_WARMUPS = 2

# Targets, checked after the table.
PURE_PYTHON_FACTOR = 20  # pyql.parse at least this many times faster than every pure-Python peer
CORE_BYTES_PER_S = 1e9
CORE_FRACTION = 5  # the core takes at most 1/5 of pyql.parse's time
PEAK_PER_INPUT = 8  # pyql.parse's peak memory at most 8 times the input

# Tiny documents for the untimed first call of each row.
PRIME = {
    "quillet": "# Title\n\nSome *text* and ~~more~~.\n",
    "markdown": "# Title\n\nSome *text*, ~~more~~ [^1].\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n[^1]: note\n",
    "json": '{"type": "Document", "blocks": [{"type": "Paragraph", "span": [0, 1]}]}',
}
FORM_NAMES = {"quillet": "Quillet", "markdown": "Markdown", "json": "JSON"}


# ------------------------------------------------------------------------ what a parse found
#
# Every parser names its nodes its own way; these maps turn the names into common
# ones, and their values are the structures that parser can recognise at all.


def _collect(roots, kind_of, children_of, names):
    found = set()
    stack = list(roots)
    while stack:
        node = stack.pop()
        name = names.get(kind_of(node))
        if name is not None:
            found.add(name)
        stack.extend(children_of(node))
    return found


PYQL_NAMES = {
    "Heading": "heading", "Paragraph": "paragraph", "Emphasis": "emphasis", "Strong": "strong",
    "Link": "link", "CodeBlock": "code block", "Table": "table", "Strikethrough": "strikethrough",
    "FootnoteDef": "footnote",
}
PYQL_CHILDREN = ("blocks", "content", "items", "rows", "cells", "defs")


def _pyql_children(node):
    out = []
    for attr in PYQL_CHILDREN:
        value = getattr(node, attr, None)
        if isinstance(value, list):
            out.extend(value)
    return out


def found_pyql(document):
    return _collect([document], lambda n: type(n).__name__, _pyql_children, PYQL_NAMES)


def found_json(tree):
    def children(node):
        return [c for value in node.values() if isinstance(value, list) for c in value if isinstance(c, dict)]

    return _collect([tree], lambda n: n.get("type"), children, PYQL_NAMES)


MARKDOWN_IT_NAMES = {
    "heading_open": "heading", "paragraph_open": "paragraph", "em_open": "emphasis", "strong_open": "strong",
    "link_open": "link", "fence": "code block", "table_open": "table", "s_open": "strikethrough",
}


def found_markdown_it(tokens):
    return _collect(tokens, lambda t: t.type, lambda t: t.children or (), MARKDOWN_IT_NAMES)


MISTUNE_NAMES = {
    "heading": "heading", "paragraph": "paragraph", "emphasis": "emphasis", "strong": "strong", "link": "link",
    "block_code": "code block", "table": "table", "strikethrough": "strikethrough", "footnote_item": "footnote",
}


def found_mistune(ast):
    def children(node):
        value = node.get("children")
        return [c for c in value if isinstance(c, dict)] if isinstance(value, list) else ()

    return _collect(ast, lambda n: n.get("type"), children, MISTUNE_NAMES)


MARKO_NAMES = {
    "Heading": "heading", "SetextHeading": "heading", "Paragraph": "paragraph", "Emphasis": "emphasis",
    "StrongEmphasis": "strong", "Link": "link", "AutoLink": "link", "Url": "link", "FencedCode": "code block",
    "Table": "table", "Strikethrough": "strikethrough", "FootnoteDef": "footnote",
}


def found_marko(document):
    def children(node):
        value = getattr(node, "children", None)
        return value if isinstance(value, list) else ()

    return _collect([document], lambda n: n.get_type(), children, MARKO_NAMES)


MISTLETOE_NAMES = {
    "Heading": "heading", "SetextHeading": "heading", "Paragraph": "paragraph", "Emphasis": "emphasis",
    "Strong": "strong", "Link": "link", "AutoLink": "link", "CodeFence": "code block", "Table": "table",
    "Strikethrough": "strikethrough",
}


def found_mistletoe(document):
    return _collect([document], lambda n: type(n).__name__, lambda n: getattr(n, "children", None) or (),
                    MISTLETOE_NAMES)


COMMONMARK_NAMES = {
    "heading": "heading", "paragraph": "paragraph", "emph": "emphasis", "strong": "strong", "link": "link",
    "code_block": "code block",
}


def found_commonmark(document):
    found = set()
    for node, entering in document.walker():
        if entering and node.t in COMMONMARK_NAMES:
            found.add(COMMONMARK_NAMES[node.t])
    return found


PYROMARK_NAMES = {
    "Heading": "heading", "Paragraph": "paragraph", "Emphasis": "emphasis", "Strong": "strong", "Link": "link",
    "CodeBlock": "code block", "Table": "table", "Strikethrough": "strikethrough", "FootnoteDefinition": "footnote",
}


def found_pyromark(events):
    found = set()
    for event in events:
        if isinstance(event, dict) and "Start" in event:
            tag = event["Start"]
            name = tag if isinstance(tag, str) else next(iter(tag))
            if name in PYROMARK_NAMES:
                found.add(PYROMARK_NAMES[name])
    return found


CMARKGFM_PATTERNS = {
    "heading": r"<h[1-6]>", "paragraph": r"<p>", "emphasis": r"<em>", "strong": r"<strong>", "link": r"<a href=",
    "code block": r"<pre>", "table": r"<table>", "strikethrough": r"<del>", "footnote": r"data-footnotes",
}


def found_cmarkgfm(html):
    return {name for name, pattern in CMARKGFM_PATTERNS.items() if re.search(pattern, html)}


# ------------------------------------------------------------------------ the rows


def setup_pyql():
    import pyql

    return pyql.parse


def setup_markdown_it():
    from markdown_it import MarkdownIt

    return MarkdownIt("commonmark").enable(["table", "strikethrough"]).parse


def setup_mistune():
    import mistune

    return mistune.create_markdown(renderer="ast", plugins=["table", "strikethrough", "footnotes"])


def setup_marko():
    import marko

    return marko.Markdown(extensions=["gfm", "footnote"]).parse


def setup_mistletoe():
    import mistletoe

    return mistletoe.Document


def setup_commonmark():
    import commonmark

    return commonmark.Parser().parse


def setup_pyromark():
    import pyromark

    options = pyromark.Options
    markdown = pyromark.Markdown(
        options=options.ENABLE_TABLES | options.ENABLE_STRIKETHROUGH | options.ENABLE_FOOTNOTES
    )

    def parse(text):
        # The events come lazily: the parse is only done once all of them are taken.
        return tuple(markdown.events(text))

    return parse


def setup_cmarkgfm():
    import cmarkgfm
    from cmarkgfm.cmark import Options

    # Footnotes are an option of their own; the other parsers read them too.
    return functools.partial(cmarkgfm.github_flavored_markdown_to_html, options=Options.CMARK_OPT_FOOTNOTES)


def setup_json():
    return json.loads


def setup_orjson():
    import orjson

    return orjson.loads


class Row:
    def __init__(self, key, label, form, dist, setup=None, found=None, supports=(), pure_python=False):
        self.key = key
        self.label = label
        self.form = form
        self.dist = dist  # the distribution whose version is shown
        self.setup = setup
        self.found = found
        # The common names of the structures this parser recognises at all.
        self.supports = set(supports)
        self.pure_python = pure_python


ROWS = [
    Row("pyql", "pyql.parse", "quillet", "quillet-parser", setup_pyql, found_pyql, PYQL_NAMES.values()),
    Row("core", "core (C++)", "quillet", "quillet-parser"),
    Row("core-streamed", "core, streamed", "quillet", "quillet-parser"),
    Row("markdown-it-py", "markdown-it-py", "markdown", "markdown-it-py", setup_markdown_it, found_markdown_it,
        MARKDOWN_IT_NAMES.values(), pure_python=True),
    Row("mistune", "mistune", "markdown", "mistune", setup_mistune, found_mistune,
        MISTUNE_NAMES.values(), pure_python=True),
    Row("marko", "marko", "markdown", "marko", setup_marko, found_marko,
        MARKO_NAMES.values(), pure_python=True),
    Row("mistletoe", "mistletoe", "markdown", "mistletoe", setup_mistletoe, found_mistletoe,
        MISTLETOE_NAMES.values(), pure_python=True),
    Row("commonmark", "commonmark", "markdown", "commonmark", setup_commonmark, found_commonmark,
        COMMONMARK_NAMES.values(), pure_python=True),
    Row("pyromark", "pyromark", "markdown", "pyromark", setup_pyromark, found_pyromark, PYROMARK_NAMES.values()),
    Row("cmarkgfm", "cmarkgfm (HTML)", "markdown", "cmarkgfm", setup_cmarkgfm, found_cmarkgfm, CMARKGFM_PATTERNS),
    Row("json", "json.loads", "json", None, setup_json, found_json, PYQL_NAMES.values()),
    Row("orjson", "orjson.loads", "json", "orjson", setup_orjson, found_json, PYQL_NAMES.values()),
]
ROW_BY_KEY = {row.key: row for row in ROWS}
INPUT_FILES = {"quillet": "doc.qlt", "markdown": "doc.md", "json": "doc.json"}


# ------------------------------------------------------------------------ the worker: one row, one process


def _status_kib(field):
    """A field of /proc/self/status in KiB, or None where there is no such file."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def _reset_peak():
    """Sets the kernel's peak-RSS mark to the current RSS; False where that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _max_rss_kib():
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def _fresh(text):
    """An equal str that is a new object, without the UTF-8 form an earlier call may have cached in `text`."""
    return text[:1] + text[1:]


def run_worker(args):
    row = ROW_BY_KEY[args.worker]
    result = {"label": row.label, "version": _version(row.dist)}
    try:
        parse = row.setup()
    except ImportError:
        result["skip"] = "not installed"
        return result

    with open(os.path.join(args.input_dir, INPUT_FILES[row.form]), encoding="utf-8", newline="") as f:
        text = f.read()
    parse(PRIME[row.form])

    # Memory of one parse, its result kept.
    source = _fresh(text)
    gc.collect()
    exact = _reset_peak()
    before = _status_kib("VmRSS")
    tree = parse(source)
    peak = _status_kib("VmHWM") if exact else _max_rss_kib()
    after = _status_kib("VmRSS")
    if before is not None and after is not None:
        result["kept_bytes"] = max(0, after - before) * 1024
        # Without the reset, an earlier and higher peak hides this one: no figure rather than a wrong 0.
        if peak is not None and (exact or peak > before):
            result["peak_bytes"] = max(0, peak - before) * 1024
            result["memory_exact"] = exact

    # The parse must have seen what is in the document.
    found = row.found(tree)
    missing = (set(args.require.split(",")) & row.supports) - found if args.require else set()
    if not found or missing:
        result["skip"] = "check failed: found no " + (", ".join(sorted(missing)) if missing else "structure")
        return result
    del tree, source
    gc.collect()

    for _ in range(args.warmups):
        parse(_fresh(text))
    seconds = []
    for _ in range(args.runs):
        source = _fresh(text)
        start = time.perf_counter()
        tree = parse(source)
        elapsed = time.perf_counter() - start
        del tree, source
        seconds.append(elapsed)
    result["median_s"] = statistics.median(seconds)
    result["best_s"] = min(seconds)
    result["runs"] = args.runs
    return result


# ------------------------------------------------------------------------ the core, through core_bench


def _tool_path():
    """PATH with this interpreter's scripts folder first: cmake and ninja installed by pip land there, and
    the venv need not be activated."""
    return os.pathsep.join(p for p in (sysconfig.get_path("scripts"), os.environ.get("PATH", "")) if p)


def build_core_bench():
    """The path of a core_bench built from this repository, or (None, why not)."""
    if not os.path.isfile(os.path.join(REPO, "CMakeLists.txt")):
        return None, f"no CMakeLists.txt in {REPO} (pass --core-bench PATH)"
    path = _tool_path()
    cmake = shutil.which("cmake", path=path)
    if cmake is None:
        return None, 'cmake not found (pip install cmake ninja, or pip install ".[bench]", or pass --core-bench PATH)'
    configure = [cmake, "-S", REPO, "-B", CORE_BUILD_DIR, "-DQUILLET_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"]
    if not os.path.exists(os.path.join(CORE_BUILD_DIR, "CMakeCache.txt")) and shutil.which("ninja", path=path):
        configure += ["-G", "Ninja"]
    build = [cmake, "--build", CORE_BUILD_DIR, "--target", "core_bench"]
    # Both steps are incremental: when nothing changed they only check.
    for step, command in (("configure", configure), ("build", build)):
        progress(f"core_bench: cmake {step} ...")
        try:
            proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  env=dict(os.environ, PATH=path))
        except OSError as e:
            return None, f"cannot run cmake: {e}"
        if proc.returncode != 0:
            tail = proc.stdout.strip().splitlines()[-15:]
            progress("\n".join("    " + line for line in tail))
            return None, f"cmake could not {step} core_bench (is a C++20 compiler installed?)"
    exe = os.path.join(CORE_BUILD_DIR, "core_bench")
    if not os.path.isfile(exe):
        return None, f"cmake built no {exe}"
    return exe, None


def run_core(exe, qlt_path, runs):
    """The results of the core row (the whole tree kept) and of the core-streamed row (block by block,
    as pyql.parse reads the document)."""
    row = ROW_BY_KEY["core"]
    result = {"label": row.label, "version": _version(row.dist)}
    streamed = {"label": ROW_BY_KEY["core-streamed"].label, "version": result["version"]}
    command = [exe, qlt_path, str(runs)]
    try:
        proc = subprocess.run(command, capture_output=True, text=True)
    except OSError as e:
        result["skip"] = streamed["skip"] = f"cannot run core_bench: {e}"
        return result, streamed
    if proc.returncode != 0:
        result["skip"] = streamed["skip"] = f"core_bench failed: {proc.stderr.strip() or proc.returncode}"
        return result, streamed
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    result.update(median_s=out["median_s"], best_s=out["best_s"], runs=out["runs"])
    if out["peak_kib"] >= 0:  # core_bench resets the kernel's peak mark itself; -1 where it cannot
        result.update(peak_bytes=out["peak_kib"] * 1024, memory_exact=True)
    streamed.update(median_s=out["streamed_median_s"], best_s=out["streamed_best_s"], runs=out["runs"])
    if out["streamed_peak_kib"] >= 0:
        streamed.update(peak_bytes=out["streamed_peak_kib"] * 1024, memory_exact=True)
    return result, streamed


# ------------------------------------------------------------------------ the report


def _version(dist):
    if dist is None:
        return platform.python_version()
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return ""


def machine_line():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    system = f"{platform.system()} {platform.release()}"
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    system = f"{line.split('=', 1)[1].strip().strip(chr(34))}, {system}"
    except OSError:
        pass
    python = f"{platform.python_implementation()} {platform.python_version()}"
    return f"{cpu}, {os.cpu_count()} cores, {python}, {system}, {datetime.date.today().isoformat()}"


def progress(message):
    print(message, file=sys.stderr, flush=True)


COLUMNS = ("parser", "version", "input", "median ms", "MB/s", "x pyql.parse", "peak MB", "peak x input", "kept MB")


def _num(x):
    """x with three significant digits, never in exponent form: 0.0271, 3.13, 13.5, 1,150."""
    if x >= 100:
        return f"{x:,.0f}"
    decimals = 2 if x >= 1 else min(4, 2 - math.floor(math.log10(x))) if x > 0 else 1
    return f"{x:.{decimals - (1 if x >= 10 else 0)}f}"


def table_rows(results, sizes, base):
    """The cells of the table, one list of strings a row."""
    cells = []
    for key, res in results:
        row = ROW_BY_KEY[key]
        counted = sizes["quillet"] if row.form == "json" else sizes[row.form]
        line = [res["label"], res.get("version", ""), FORM_NAMES[row.form]]
        if "median_s" not in res:
            cells.append(line + [f"({res.get('skip', 'no result')})"])
            continue
        median = res["median_s"]
        line += [_num(median * 1e3), _num(counted / median / 1e6), _num(median / base) if base else "-"]
        if "peak_bytes" in res:
            mark = "" if res.get("memory_exact") else "~"
            line += [mark + _num(res["peak_bytes"] / 1e6), mark + _num(res["peak_bytes"] / counted)]
        else:
            line += ["-", "-"]
        line.append(_num(res["kept_bytes"] / 1e6) if "kept_bytes" in res else "-")
        cells.append(line)
    return cells


def check_targets(results, sizes):
    """(status, text) pairs; status is PASS, MISS or SKIP."""
    by_key = dict(results)
    timed = {k: r for k, r in by_key.items() if "median_s" in r}
    pyql = timed.get("pyql")
    checks = []
    if pyql is None:
        return [("SKIP", "pyql.parse has no time")]
    base = pyql["median_s"]

    pure = [k for k in timed if ROW_BY_KEY[k].pure_python]
    goal = f"pyql.parse >= {PURE_PYTHON_FACTOR}x faster than the fastest pure-Python peer"
    if pure:
        fastest = min(pure, key=lambda k: timed[k]["median_s"])
        factor = timed[fastest]["median_s"] / base
        checks.append((factor >= PURE_PYTHON_FACTOR, f"{goal}: {fastest} is {factor:.1f}x slower"))
    else:
        checks.append((None, f"{goal}: no pure-Python peer ran"))

    for key, goal in (("pyromark", "pyql.parse faster than pyromark"),
                      ("orjson", "pyql.parse not slower than orjson.loads")):
        if key in timed:
            factor = timed[key]["median_s"] / base
            ok = factor > 1 if key == "pyromark" else factor >= 1
            checks.append((ok, f"{goal}: {ROW_BY_KEY[key].label} takes {factor:.2f}x pyql.parse's time"))
        else:
            checks.append((None, f"{goal}: {ROW_BY_KEY[key].label} did not run"))

    core = timed.get("core")
    speed_goal = f"core >= {CORE_BYTES_PER_S / 1e9:g} GB/s"
    share_goal = f"core time <= pyql.parse / {CORE_FRACTION}"
    if core is not None:
        speed = sizes["quillet"] / core["median_s"]
        checks.append((speed >= CORE_BYTES_PER_S, f"{speed_goal}: {speed / 1e9:.2f} GB/s"))
        share = base / core["median_s"]
        checks.append((share >= CORE_FRACTION, f"{share_goal}: pyql.parse takes {share:.1f}x the core's time"))
    else:
        checks.append((None, f"{speed_goal}: the core did not run"))
        checks.append((None, f"{share_goal}: the core did not run"))

    goal = f"pyql.parse peak memory <= {PEAK_PER_INPUT}x the input"
    if "peak_bytes" in pyql:
        ratio = pyql["peak_bytes"] / sizes["quillet"]
        mark = "" if pyql.get("memory_exact") else "~"
        checks.append((ratio <= PEAK_PER_INPUT, f"{goal}: {mark}{ratio:.1f}x"))
    else:
        checks.append((None, f"{goal}: no memory figures on this system"))
    return [("SKIP" if ok is None else "PASS" if ok else "MISS", text) for ok, text in checks]


def legend(args, warmups):
    return [
        f"Time: median of {args.runs} calls after {warmups} warm-up calls, each row in a fresh process "
        "(core: core_bench's own median).",
        "x pyql.parse: the row's median time / pyql.parse's; the Quillet and Markdown forms hold the same "
        "document, so time is the fair comparison (25.0 = 25 times slower, < 1 = faster).",
        "MB/s: bytes of the input that row parsed / median time; the JSON rows count the Quillet bytes, "
        "since they rebuild that document's tree.",
        "peak: the highest resident memory during one parse, above the resident memory before it (~: from "
        "ru_maxrss, a lower bound); peak x input: peak / the bytes counted for MB/s; kept: what the result "
        "still holds once the parse returned.",
    ]


def report_text(header, results, sizes, targets, args, warmups):
    base = next((r["median_s"] for k, r in results if k == "pyql" and "median_s" in r), None)
    cells = table_rows(results, sizes, base)
    full = [c for c in cells if len(c) == len(COLUMNS)]
    widths = [max([len(COLUMNS[i])] + [len(c[i]) for c in (full if i >= 3 else cells)]) for i in range(len(COLUMNS))]
    left = {0, 1, 2}

    def fmt(line):
        if len(line) == 4 and line[3].startswith("("):  # a row that did not run: its reason spans the figures
            return "  ".join(line[i].ljust(widths[i]) for i in range(3)) + "  " + line[3]
        return "  ".join(c.ljust(widths[i]) if i in left else c.rjust(widths[i]) for i, c in enumerate(line))

    out = header + [""]
    out.append(fmt(list(COLUMNS)))
    out.append("  ".join("-" * w for w in widths))
    out += [fmt(line) for line in cells]
    out.append("")
    out += legend(args, warmups)
    out += ["", "targets" + _targets_note(args)]
    out += [f"  {status}  {text}" for status, text in targets]
    return "\n".join(out)


def _targets_note(args):
    """The targets are set for the 1 MB corpus; at other sizes they are shown for reference only."""
    return "" if args.size == "1m" else " (set for the 1m corpus; shown for reference)"


def report_markdown(header, results, sizes, targets, args, warmups):
    base = next((r["median_s"] for k, r in results if k == "pyql" and "median_s" in r), None)
    cells = table_rows(results, sizes, base)
    out = [line + "  " for line in header[:-1]] + [header[-1], ""]
    out.append("| " + " | ".join(COLUMNS) + " |")
    out.append("|" + "|".join("---" if i < 3 else "--:" for i in range(len(COLUMNS))) + "|")
    for line in cells:
        if len(line) == 4 and line[3].startswith("("):
            line = line[:3] + [line[3]] + [""] * (len(COLUMNS) - 4)
        out.append("| " + " | ".join(cell.replace("~", "\\~") for cell in line) + " |")
    for line in legend(args, warmups):
        out += ["", line]
    out += ["", "Targets" + _targets_note(args) + ":", ""]
    out += [f"- **{status}** {text.replace('~', chr(92) + '~')}" for status, text in targets]
    return "\n".join(out)


# ------------------------------------------------------------------------ main


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Time pyql.parse, its core and other parsers on one document.")
    parser.add_argument("--size", choices=("10k", "1m", "10m"), default="1m", help="corpus size (default 1m)")
    parser.add_argument("--runs", type=int, help="timed calls a row (default: " +
                        ", ".join(f"{n} for {s}" for s, n in DEFAULT_RUNS.items()) + ")")
    parser.add_argument("--seed", type=int, help="corpus seed (default: corpus.DEFAULT_SEED)")
    parser.add_argument("--only", help="rows to run, comma-separated among: " + ", ".join(ROW_BY_KEY) +
                        " (pyql always runs: it is the reference)")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    core = parser.add_mutually_exclusive_group()
    core.add_argument("--no-core", action="store_true", help="skip the core row")
    core.add_argument("--core-bench", metavar="PATH", help="a built core_bench to use instead of building one")
    # The worker side: one row in this process, its figures printed as one JSON line.
    parser.add_argument("--worker", choices=[k for k in ROW_BY_KEY if not k.startswith("core")],
                        help=argparse.SUPPRESS)
    parser.add_argument("--input-dir", help=argparse.SUPPRESS)
    parser.add_argument("--warmups", type=int, default=MIN_WARMUPS, help=argparse.SUPPRESS)
    parser.add_argument("--require", default="", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.runs is None:
        args.runs = DEFAULT_RUNS[args.size]
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if args.only:
        keys = [k.strip() for k in args.only.split(",") if k.strip()]
        unknown = [k for k in keys if k not in ROW_BY_KEY]
        if unknown:
            parser.error(f"unknown row {', '.join(unknown)}; rows: {', '.join(ROW_BY_KEY)}")
        args.only = {"pyql", *("core" if k == "core-streamed" else k for k in keys)}
    return args


def run_row(key, args, input_dir, warmups, required):
    command = [sys.executable, os.path.abspath(__file__), "--worker", key, "--input-dir", input_dir,
               "--runs", str(args.runs), "--warmups", str(warmups), "--require", ",".join(sorted(required))]
    proc = subprocess.run(command, capture_output=True, text=True)
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        return {"label": ROW_BY_KEY[key].label, "skip": f"worker failed: {tail[0]}"}
    return json.loads(lines[-1])


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        print(json.dumps(run_worker(args)))
        return 0

    try:
        import pyql
        import quillet
    except ImportError as e:
        print(f"compare.py: pyql is not installed ({e}); run `pip install .` (with the peers: "
              '`pip install ".[bench]"`) from the repository first', file=sys.stderr)
        return 2
    sys.path.insert(0, HERE)
    import corpus

    seed = corpus.DEFAULT_SEED if args.seed is None else args.seed
    progress(f"corpus {args.size}, seed {seed} ...")
    qlt, md = corpus.generate(corpus.SIZES[args.size], seed)
    document = pyql.parse(qlt)
    required = found_pyql(document)
    as_json = quillet.to_json(document)
    del document
    texts = {"quillet": qlt, "markdown": md, "json": as_json}
    sizes = {form: len(text.encode("utf-8")) for form, text in texts.items()}
    warmups = max(MIN_WARMUPS, args.runs // 10)

    keys = [row.key for row in ROWS if args.only is None or row.key in args.only]
    keys = [key for key in keys if key != "core-streamed"]  # comes with the core row
    if args.no_core and "core" in keys:
        keys.remove("core")
    results = []
    with tempfile.TemporaryDirectory(prefix="pyql-compare-") as input_dir:
        for form, text in texts.items():
            with open(os.path.join(input_dir, INPUT_FILES[form]), "w", encoding="utf-8", newline="") as f:
                f.write(text)
        del texts, qlt, md, as_json
        for key in keys:
            if key == "core":
                exe, why = (args.core_bench, None) if args.core_bench else build_core_bench()
                if exe is None:
                    progress(f"core: skipped: {why}")
                    res = {"label": ROW_BY_KEY["core"].label, "skip": why.split(" (")[0]}
                else:
                    progress("core (C++) ...")
                    res, streamed = run_core(exe, os.path.join(input_dir, INPUT_FILES["quillet"]), args.runs)
                    results.append((key, res))
                    key, res = "core-streamed", streamed
            else:
                progress(f"{ROW_BY_KEY[key].label} ...")
                res = run_row(key, args, input_dir, warmups, required)
            if "median_s" in res:
                progress(f"    {_num(res['median_s'] * 1e3)} ms")
            else:
                progress(f"    skipped: {res.get('skip')}")
            results.append((key, res))

    header = [
        f"Machine: {machine_line()}",
        f"Corpus {args.size} (seed {seed}): Quillet {sizes['quillet']:,} bytes, Markdown {sizes['markdown']:,} "
        f"bytes, JSON {sizes['json']:,} bytes.",
    ]
    targets = check_targets(results, sizes)
    report = report_markdown if args.markdown else report_text
    print(report(header, results, sizes, targets, args, warmups))
    return 1 if args.size == "1m" and any(status == "MISS" for status, _ in targets) else 0


if __name__ == "__main__":
    sys.exit(main())
