"""The quillet tools against the parse they start from, in one run.

    python bench/tools.py [--size 1m,8m] [--repeat 5] [--tools sections,chunks,...]

On the corpus of bench/corpus.py, at each size:
  - the time of pyql.parse_with_recovery(text) and of each tool on the same
    text: sections, chunks(max_chars=2000), check, records, to_arrow and the
    writers to_text, to_json, to_html; process CPU time (waiting for a core
    that other processes hold does not count) and wall time, best and median
    of --repeat runs, after a warm-up run, with a collection before each run
    and the result dropped inside it (freeing what a tool returns is part of
    its cost). Each tool's ratio is its median CPU time over the parse's of
    the same run, printed beside its goal: sections at most 0.5x the parse,
    chunks and check 1x, records 1.5x, to_arrow 2x; the writers' ratios are
    printed to be compared between runs of two versions (goal: unchanged);
  - the first collection after a tool (gc after): the CPU time of
    gc.collect() while its result is still held, best of --repeat runs. A
    tool builds its result with the collector paused; what it leaves tracked
    is walked by the next collection, a cost its caller pays later;
  - two threads, each running the tool on its own text of the same size
    (another seed of the corpus), against one thread running it on both in
    turn: the wall-time speedup, best of --repeat runs of each (goal 1.6x:
    the native part of a str runs with the GIL released); the two threads live
    through all the runs, as a pool's workers do;
  - chunkers: quillet.chunks(text, max_chars=2000) against chonkie's
    RecursiveChunker(chunk_size=2000) (its default tokenizer, "character",
    counts characters, as max_chars does) and against LangChain's
    MarkdownHeaderTextSplitter (headings of every level) followed by
    RecursiveCharacterTextSplitter(chunk_size=2000, chunk_overlap=0) (no
    overlap: quillet's chunks have none), both on quillet.to_markdown(text)
    of the same document. Their ratio is their median CPU time over
    quillet.chunks': goals more than 1x for chonkie, at least 5x for
    LangChain. Skipped, with a note, where they are not installed (the bench
    extra installs them).

Ratios compare rows of the same run; the machine may be shared and noisy.
This is a report: it exits 0 whether the goals are met or not.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import os
import re
import statistics
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import pyql
import quillet

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402

Run = Callable[[str], Any]

# What each tool runs on a text of the corpus, in the order of the table.
TOOLS: Dict[str, Run] = {
    "parse": pyql.parse_with_recovery,
    "sections": quillet.sections,
    "chunks": lambda text: quillet.chunks(text, max_chars=2000),
    "check": quillet.check,
    "records": quillet.records,
    "to_arrow": quillet.to_arrow,
    "to_text": quillet.to_text,
    "to_json": quillet.to_json,
    "to_html": quillet.to_html,
}
CHUNKERS = ("chonkie", "langchain")

# The most each tool may take, as a multiple of the parse's time.
GOALS = {"sections": 0.5, "chunks": 1.0, "check": 1.0, "records": 1.5, "to_arrow": 2.0}
WRITERS = ("to_text", "to_json", "to_html")
THREADS_GOAL = 1.6
# Each thread of the two-thread ratio runs its text for about this many seconds
# a round (at most ROUND_RUNS times).
ROUND = 0.025
ROUND_RUNS = 20
ROUND_LEAST = 4
# Their time over quillet.chunks': more than CHONKIE_GOAL, at least LANGCHAIN_GOAL.
CHONKIE_GOAL = 1.0
LANGCHAIN_GOAL = 5.0

MAX_CHARS = 2000


def parse_size(word: str) -> int:
    """Bytes from "8m", "500k", "1.5m" or "20000"."""
    match = re.fullmatch(r"(\d+(?:\.\d+)?)([km]?)", word.strip().lower())
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {word!r} (say 1m, 500k or 20000)")
    number, unit = match.groups()
    return int(float(number) * {"": 1, "k": 1_000, "m": 1_000_000}[unit])


def parse_sizes(value: str) -> List[Tuple[str, int]]:
    return [(word.strip(), parse_size(word)) for word in value.split(",") if word.strip()]


def parse_tools(value: str) -> List[str]:
    names = [word.strip() for word in value.split(",") if word.strip()]
    unknown = [name for name in names if name not in TOOLS and name not in CHUNKERS]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown tool {', '.join(unknown)}: choose among {', '.join([*TOOLS, *CHUNKERS])}")
    return names


class Times:
    """CPU and wall seconds of the timed runs of one call."""

    def __init__(self, cpu: List[float], wall: List[float]) -> None:
        self.cpu = cpu
        self.wall = wall

    @property
    def median(self) -> float:
        return statistics.median(self.cpu)


def measure(run: Run, text: str, repeat: int) -> Times:
    """Times of run(text): a warm-up run, then `repeat` runs, each after a collection."""
    run(text)
    cpu, wall = [], []
    for _ in range(repeat):
        gc.collect()
        start_cpu, start_wall = time.process_time(), time.perf_counter()
        result = run(text)
        del result  # freeing what a tool returns is part of its cost
        wall.append(time.perf_counter() - start_wall)
        cpu.append(time.process_time() - start_cpu)
    return Times(cpu, wall)


def gc_after(run: Run, text: str, repeat: int) -> float:
    """The best CPU time of a full collection run while the result of run(text) is held."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        result = run(text)
        start = time.process_time()
        gc.collect()
        best = min(best, time.process_time() - start)
        del result
    return best


class Workers:
    """Threads that each run `run` on their own text, all at once, every time the
    object is called; they live until close(), as a pool's workers do. A thread
    started for each run would begin it with cold per-thread buffers (the str's
    UTF-8, the output) that the one calling thread has long had warm."""

    def __init__(self, run: Run, texts: Tuple[str, ...]) -> None:
        self.go = threading.Barrier(len(texts) + 1)
        self.done = threading.Barrier(len(texts) + 1)
        self.stopping = False
        self.error: Optional[BaseException] = None
        self.threads = [threading.Thread(target=self.work, args=(run, text), daemon=True) for text in texts]
        for thread in self.threads:
            thread.start()

    def work(self, run: Run, text: str) -> None:
        while True:
            self.go.wait()
            if self.stopping:
                return
            try:
                run(text)
            except BaseException as error:  # raised in the calling thread, after the run
                self.error = error
            self.done.wait()

    def __call__(self) -> None:
        self.go.wait()
        self.done.wait()
        if self.error is not None:
            raise self.error

    def close(self) -> None:
        self.stopping = True
        self.go.wait()
        for thread in self.threads:
            thread.join()


def threads_speedup(run: Run, texts: Tuple[str, str], repeat: int) -> float:
    """One thread running `run` on both texts in turn over two threads running
    it on one text each, at once (Workers): best wall time of `repeat` runs of
    each, after one untimed run of each. Each thread runs its text as many
    times in a row as take about ROUND seconds, as a pool's worker takes task
    after task: waking the workers costs tens of microseconds, on a small
    machine up to a third of a 2 ms call."""
    start = time.perf_counter()
    run(texts[0])
    times = max(ROUND_LEAST, min(ROUND_RUNS, round(ROUND / max(time.perf_counter() - start, 1e-6))))

    def each(text: str) -> None:
        for _ in range(times):
            run(text)

    def one() -> None:
        for text in texts:
            each(text)

    two = Workers(each, texts)
    try:
        best = {}
        for name, call in (("one", one), ("two", two)):
            call()
            spent = []
            for _ in range(repeat):
                gc.collect()
                start = time.perf_counter()
                call()
                spent.append(time.perf_counter() - start)
            best[name] = min(spent)
    finally:
        two.close()
    return best["one"] / best["two"]


def chunker(name: str) -> Tuple[Optional[Run], str]:
    """(a function chunking a Markdown text, its label), or (None, why not)."""
    if name == "chonkie":
        try:
            from chonkie import RecursiveChunker
        except ImportError:
            return None, "chonkie: not installed (pip install chonkie, or the bench extra)"
        # The default tokenizer is "character": chunk_size counts characters, as max_chars does.
        chonkie_chunker = RecursiveChunker(chunk_size=MAX_CHARS)
        return chonkie_chunker.chunk, "chonkie RecursiveChunker"
    try:
        from langchain_text_splitters import MarkdownHeaderTextSplitter, RecursiveCharacterTextSplitter
    except ImportError:
        return None, "langchain: not installed (pip install langchain-text-splitters, or the bench extra)"
    headers = MarkdownHeaderTextSplitter([("#" * level, f"h{level}") for level in range(1, 7)])
    splitter = RecursiveCharacterTextSplitter(chunk_size=MAX_CHARS, chunk_overlap=0)

    def split(markdown: str) -> Any:
        return splitter.split_documents(headers.split_text(markdown))

    return split, "langchain MD headers+recursive"


def cell_ms(seconds: List[float]) -> str:
    return f"{min(seconds) * 1e3:9.1f} {statistics.median(seconds) * 1e3:9.1f}"


def verdict(ok: bool, goal: str) -> str:
    return f"{goal} {'ok' if ok else 'MISS'}"


HEADER = (f"{'size':<6} {'tool':<32} {'cpu best':>9} {'cpu med':>9} {'wall best':>9} {'wall med':>9} "
          f"{'ratio':>7}  {'goal':<13} {'gc after':>8} {'2 threads':>9}  goal")


def bench_size(label: str, size: int, tools: List[str], repeat: int, notes: List[str]) -> None:
    text = corpus.generate(size)[0]
    other = corpus.generate(size, corpus.DEFAULT_SEED + 1)[0]
    texts = (text, other)
    notes.append(f"{label}: {len(text.encode()) / 1e6:.2f} MB of Quillet, "
                 f"{len(quillet.chunks(text, max_chars=MAX_CHARS))} quillet chunks")

    def row(tool: str, times: Times, ratio: str, goal: str, collect: str, threads: str) -> None:
        print(f"{label:<6} {tool:<32} {cell_ms(times.cpu)} {cell_ms(times.wall)} {ratio:>7}  {goal:<13} "
              f"{collect:>8} {threads}", flush=True)

    wanted = [name for name in CHUNKERS if name in tools]
    # The parse, for every ratio; chunks, for the chunkers' (its two threads only when asked for).
    timed = {*tools, "parse", *(["chunks"] if wanted else [])}
    parse = measure(TOOLS["parse"], text, repeat)
    chunks_times: Optional[Times] = None
    for tool in TOOLS:
        if tool not in timed:
            continue
        if tool == "to_arrow":
            if importlib.util.find_spec("pyarrow") is None:
                notes.append(f"{label}: to_arrow: not installed: pyarrow (pip install 'pyql[arrow]')")
                continue
        run = TOOLS[tool]
        times = parse if tool == "parse" else measure(run, text, repeat)
        if tool == "chunks":
            chunks_times = times
        ratio = times.median / parse.median
        if tool in GOALS:
            goal = verdict(ratio <= GOALS[tool], f"<={GOALS[tool]:g}x")
        elif tool in WRITERS:
            goal = "unchanged"
        else:
            goal = ""
        collect = f"{gc_after(run, text, repeat) * 1e3:8.1f}" if tool in tools else ""
        threads = ""
        if tool in tools:
            speedup = threads_speedup(run, texts, repeat)
            threads = f"{speedup:8.2f}x"
            if tool != "parse":  # the goal is the tools'; the parse builds its objects holding the GIL
                threads += f"  {verdict(speedup >= THREADS_GOAL, f'>={THREADS_GOAL:g}x')}"
        row(tool, times, f"{ratio:6.2f}x", goal, collect, threads)

    if chunks_times is None:
        return
    markdown = quillet.to_markdown(text)
    for name in wanted:
        split, what = chunker(name)
        if split is None:
            notes.append(f"{label}: {what}")
            continue
        times = measure(split, markdown, repeat)
        ratio = times.median / chunks_times.median
        goal = (verdict(ratio > CHONKIE_GOAL, f">{CHONKIE_GOAL:g}x") if name == "chonkie"
                else verdict(ratio >= LANGCHAIN_GOAL, f">={LANGCHAIN_GOAL:g}x"))
        row(what, times, f"{ratio:6.2f}x", goal, "", "")
        notes.append(f"{label}: {what}: {len(split(markdown))} chunks of quillet.to_markdown(text), "
                     f"{len(markdown.encode()) / 1e6:.2f} MB")


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("--size", type=parse_sizes, default=parse_sizes("1m,8m"),
                    help="corpus sizes, comma-separated: 1m, 500k, 20000 (default 1m,8m)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs of each (default 5)")
    ap.add_argument("--tools", type=parse_tools, default=[*TOOLS, *CHUNKERS],
                    help=f"comma-separated, among {', '.join([*TOOLS, *CHUNKERS])} (default all); "
                         "the parse is always timed, as every ratio needs it")
    args = ap.parse_args(argv)
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    print("times in ms, best and median of", args.repeat, "runs; ratio: median CPU time over the parse's "
          "(chunkers: over quillet.chunks'); gc after: CPU ms of gc.collect() with the result held; "
          "2 threads: one thread's wall time over two threads'", flush=True)
    print(HEADER)
    notes: List[str] = []
    for label, size in args.size:
        bench_size(label, size, args.tools, args.repeat, notes)
    for note in notes:
        print(note)
    # Two threads can only run faster than one with a second core free.
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"load average at the end: {load:.1f} on {os.cpu_count()} cores")
    return 0


if __name__ == "__main__":
    sys.exit(main())
