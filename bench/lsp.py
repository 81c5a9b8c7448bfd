"""The language server's answers as an editor waits for them, over stdio.

    python bench/lsp.py [--size 1m] [--runs 50] [--sizes 0.25,0.5] [--repeat 9] [--no-families]

Starts ``quillet lsp`` as a child process, speaks the protocol to it on its
standard input and output as an editor does (framed JSON, no client
library, so that the client's own decoding costs nothing), opens the
document of bench/corpus.py and times, each over many runs, from the
message sent to the last byte of the answer read:

- diagnostics: a one-character edit (didChange; an insertion and its
  removal in turn) until the publishDiagnostics of that version arrives;
- foldingRange and documentSymbol requests on the unchanged document (the
  first request after an edit is timed apart, as "after an edit").

It prints the median and the best of each, against the goals (diagnostics
and folding ranges within 10 ms, symbols within 25 ms, on 1 MB). Then each
family of bench/families.py at two sizes: the best time of each measure and
its ratio per doubling of the size (linear time gives 2.0; a ratio above
2.3 is marked, unless both times are below 2 ms). Wall-clock times: the
server is another process, so the load of the machine counts.
"""

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time

from corpus import SIZES, generate
from families import FAMILIES, MB

GOALS = {"diagnostics": 10.0, "foldingRange": 10.0, "documentSymbol": 25.0}  # ms, on 1 MB
MAX_RATIO = 2.3
# A measure whose larger time stays below this is not judged by its ratio:
# at a millisecond or so the ratio is the noise of two process switches.
NOISE_FLOOR = 0.002  # seconds
URI = "file:///bench.qlt"


class Server:
    """A quillet lsp child process and the two ends of its pipes."""

    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "quillet.cli", "lsp"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
        )
        self.next_id = 0
        self.request("initialize", {"processId": os.getpid(), "capabilities": {}})
        self.notify("initialized", {})

    def send(self, message):
        body = json.dumps(message).encode()
        self.proc.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.proc.stdin.flush()

    def receive(self):
        """The next message: (its raw body, when its last byte was read)."""
        stdout = self.proc.stdout
        length = None
        while True:
            line = stdout.readline()
            if not line:
                raise RuntimeError("the server ended")
            if line in (b"\r\n", b"\n"):
                break
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        body = stdout.read(length)
        return body, time.perf_counter()

    def notify(self, method, params):
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    def request(self, method, params):
        """The result of one request, and the seconds until its answer was read."""
        self.next_id += 1
        msg_id = self.next_id
        start = time.perf_counter()
        self.send({"jsonrpc": "2.0", "id": msg_id, "method": method, "params": params})
        while True:
            body, at = self.receive()
            message = json.loads(body)
            if message.get("id") == msg_id and "method" not in message:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"], at - start

    def published(self, version, start, uri=URI):
        """The diagnostics published for that version of that document, and the seconds since start."""
        while True:
            body, at = self.receive()
            message = json.loads(body)
            if message.get("method") == "textDocument/publishDiagnostics":
                params = message["params"]
                if params.get("version") == version and params.get("uri") == uri:
                    return params["diagnostics"], at - start

    def open(self, text, uri=URI, version=1):
        start = time.perf_counter()
        self.notify("textDocument/didOpen",
                    {"textDocument": {"uri": uri, "languageId": "quillet", "version": version, "text": text}})
        return self.published(version, start, uri)

    def change(self, version, line, character, removed, inserted, uri=URI):
        start = time.perf_counter()
        end = {"line": line, "character": character + removed}
        self.notify("textDocument/didChange", {
            "textDocument": {"uri": uri, "version": version},
            "contentChanges": [{"range": {"start": {"line": line, "character": character}, "end": end},
                                "text": inserted}],
        })
        return self.published(version, start, uri)

    def folding(self, uri=URI):
        return self.request("textDocument/foldingRange", {"textDocument": {"uri": uri}})

    def symbols(self, uri=URI):
        return self.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})

    def close(self, uri=URI):
        self.notify("textDocument/didClose", {"textDocument": {"uri": uri}})

    def stop(self):
        self.request("shutdown", None)
        self.notify("exit", None)
        self.proc.stdin.close()
        self.proc.wait(30)
        self.proc.stdout.close()


def edit_line(text):
    """A line in the middle of the text that starts with a letter (a
    paragraph's, where one character more or less changes no block)."""
    lines = text.split("\n")
    middle = len(lines) // 2
    for number in list(range(middle, len(lines))) + list(range(middle)):
        if lines[number][:1].isalpha():
            return number
    return 0


class Editor:
    """One open document, edited one character at a time (an "x" inserted at
    the start of a line, then removed), so that every version but the
    inserted ones is the text first opened."""

    def __init__(self, server, text, uri=URI):
        self.server, self.uri = server, uri
        self.line = edit_line(text)
        self.version = 1
        self.inserted = False
        self.opened = server.open(text, uri)

    def edit(self):
        self.version += 1
        removed, inserted = (1, "") if self.inserted else (0, "x")
        self.inserted = not self.inserted
        return self.server.change(self.version, self.line, 0, removed, inserted, self.uri)[1]

    def restore(self):
        if self.inserted:
            self.edit()


def summary(times):
    return statistics.median(times) * 1e3, min(times) * 1e3


def corpus(server, text, runs):
    """The median and best, in ms, of each measure on the text."""
    editor = Editor(server, text)
    found = {"diagnostics": [], "foldingRange": [], "documentSymbol": [],
             "foldingRange after an edit": [], "documentSymbol after an edit": []}
    answers = {}
    for run in range(runs):
        found["diagnostics"].append(editor.edit())
        first = server.folding if run % 2 else server.symbols
        name = "foldingRange" if run % 2 else "documentSymbol"
        result, spent = first()
        found[f"{name} after an edit"].append(spent)
        editor.restore()
    for run in range(runs):
        result, spent = server.folding()
        answers["foldingRange"] = result
        found["foldingRange"].append(spent)
        result, spent = server.symbols()
        answers["documentSymbol"] = result
        found["documentSymbol"].append(spent)
    server.close()
    return {name: summary(times) for name, times in found.items()}, answers, editor.opened[0]


def count_symbols(symbols):
    stack, count = list(symbols), 0
    while stack:
        symbol = stack.pop()
        count += 1
        stack.extend(symbol.get("children") or ())
    return count


def family_times(server, texts, repeat, uris):
    """The best time, in seconds, of each measure on each text. The texts are
    open together and measured in turns, so that a moment of the machine's
    (or of the server's heap) counts alike for every size."""
    editors = [Editor(server, text, uri) for text, uri in zip(texts, uris)]
    found = [{"diagnostics": [], "foldingRange": [], "documentSymbol": []} for _ in texts]
    for _ in range(repeat):
        for editor, times in zip(editors, found):
            times["diagnostics"].append(editor.edit())
            times["foldingRange"].append(server.folding(editor.uri)[1])
            times["documentSymbol"].append(server.symbols(editor.uri)[1])
    for editor in editors:
        editor.restore()
        server.close(editor.uri)
    return [{name: min(spent) for name, spent in times.items()} for times in found]


def families(server, sizes, repeat):
    """Prints the table of every family at two sizes; returns the rows that miss the goal."""
    measures = ("diagnostics", "foldingRange", "documentSymbol")
    s1, s2 = sizes
    print(f"\nevery family at {s1:g} and {s2:g} MB: best of {repeat} ms, and the ratio per doubling "
          f"(goal <= {MAX_RATIO})")
    header = ["family"] + [f"{m} {s:g}" for m in measures for s in (s1, s2)] + [f"x {m}" for m in measures]
    print("  ".join(["family".ljust(20)] + [h.rjust(16) for h in header[1:7]] + [h.rjust(18) for h in header[7:]]))
    failed = []
    for name, build in FAMILIES.items():
        texts = [build(int(s * MB)).text for s in sizes]
        lengths = [len(t.encode()) for t in texts]
        found = family_times(server, texts, repeat, [f"file:///{name}-{i}.qlt" for i in range(len(texts))])
        ratios = []
        for m in measures:
            a, b = max(found[0][m], 1e-6), max(found[1][m], 1e-6)
            ratios.append((b / a) ** (1 / math.log2(lengths[1] / lengths[0])))
        bad = [m for m, r in zip(measures, ratios) if r > MAX_RATIO and found[1][m] >= NOISE_FLOOR]
        failed += [f"{name} ({m})" for m in bad]
        cells = [f"{found[i][m] * 1e3:.1f}" for m in measures for i in (0, 1)]
        cells += [f"{r:.2f}" + (" FAIL" if m in bad else "") for m, r in zip(measures, ratios)]
        print("  ".join([name.ljust(20)] + [c.rjust(16) for c in cells[:6]] + [c.rjust(18) for c in cells[6:]]),
              flush=True)
    return failed


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="1m", choices=sorted(SIZES), help="the corpus document (default 1m)")
    ap.add_argument("--runs", type=int, default=50, help="runs of each measure on the corpus (default 50)")
    ap.add_argument("--sizes", default="0.25,0.5", help="the two family sizes in MB (default 0.25,0.5)")
    ap.add_argument("--repeat", type=int, default=9, help="runs per family and size, best taken (default 9)")
    ap.add_argument("--no-families", action="store_true", help="the corpus only")
    args = ap.parse_args(argv)
    sizes = [float(s) for s in args.sizes.split(",")]
    if len(sizes) != 2 or not 0 < sizes[0] < sizes[1]:
        ap.error("--sizes needs two increasing positive sizes")

    text = generate(SIZES[args.size])[0]
    server = Server()
    try:
        found, answers, diagnostics = corpus(server, text, args.runs)
        symbols = answers["documentSymbol"]
        print(f"quillet lsp on the {args.size} corpus ({len(text.encode()):,} bytes), {args.runs} runs each; "
              f"load average {os.getloadavg()[0]:.2f}")
        print(f"answers: {len(diagnostics)} diagnostics, {len(answers['foldingRange'])} folding ranges, "
              f"{count_symbols(symbols)} symbols ({len(json.dumps(symbols)) // 1000} KB of JSON)")
        print(f"{'measure':32}{'median ms':>12}{'best ms':>12}{'goal ms':>10}")
        missed = []
        for name, (median, best) in found.items():
            goal = GOALS.get(name)
            mark = ""
            if goal is not None and args.size == "1m":
                mark = "ok" if median <= goal else "MISSED"
                if median > goal:
                    missed.append(name)
            print(f"{name:32}{median:12.1f}{best:12.1f}{goal if goal else '':>10}  {mark}")
        failed = [] if args.no_families else families(server, sizes, args.repeat)
    finally:
        server.stop()
    if missed or failed:
        print(f"\nmissed: {', '.join(missed + failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
