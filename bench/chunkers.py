"""quillet.chunks beside LangChain's and chonkie's chunkers: what each makes of
the same document, and what each costs on the corpus.

    python bench/chunkers.py [--size 8m] [--max-chars 2000] [--repeat 5] [--show 300]

Needs (installs nothing itself): pyql built from this tree, and for the peers
`langchain-text-splitters` (MarkdownHeaderTextSplitter, then
RecursiveCharacterTextSplitter with chunk_overlap=0) and `chonkie`
(RecursiveChunker, whose default tokenizer counts characters); a peer that is
not installed is skipped with a note (`pip install ".[bench]"` has both).
The peers read `quillet.to_markdown(text)` of the same document, since
Markdown is what they split.

First, a short hand-written document is chunked by each with --show as the
budget, and each chunk printed on a line: its size and its first and last
characters. Then, on the corpus of bench/corpus.py at --size: the number of
chunks, how many exceed the budget (and the largest), how many are only white
space or hold only headings, and the median process CPU time of --repeat runs
over pyql.parse_with_recovery's of the same text (for the peers, their time
does not include to_markdown).
"""

import argparse
import gc
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpus  # noqa: E402

import pyql  # noqa: E402
import quillet  # noqa: E402

SIZES = {"1m": 1_000_000, "8m": 8_000_000}

SAMPLE = """--- meta ---
title: Field notes
---
# Field notes

## Incidents
### Flooding on the lower path
The river rose overnight. Two bridges are closed; the ford is passable at low water only. Walkers
should take the ridge route, which adds an hour. See the [[map of the ridge|https://example.org/ridge-map]].

```sh
# not a heading: a comment in a code fence
curl -s https://example.org/levels | jq .river
```

### Fallen trees
A single long line follows. """ + "It goes on without a break, one clause after another, " * 12 + """and ends.

## Contacts
Call the warden.
"""


def quillet_chunker(max_chars):
    return lambda text: [c.text for c in quillet.chunks(text, max_chars=max_chars)], "quillet"


def langchain_chunker(max_chars):
    try:
        from langchain_text_splitters import MarkdownHeaderTextSplitter, RecursiveCharacterTextSplitter
    except ImportError:
        return None, "langchain: not installed (pip install langchain-text-splitters)"
    headers = MarkdownHeaderTextSplitter([("#" * level, f"h{level}") for level in range(1, 7)],
                                         strip_headers=False)
    splitter = RecursiveCharacterTextSplitter(chunk_size=max_chars, chunk_overlap=0)

    def split(markdown):
        return [d.page_content for d in splitter.split_documents(headers.split_text(markdown))]

    return split, "langchain"


def chonkie_chunker(max_chars):
    try:
        from chonkie import RecursiveChunker
    except ImportError:
        return None, "chonkie: not installed (pip install chonkie)"
    chunker = RecursiveChunker(chunk_size=max_chars)
    return lambda markdown: [c.text for c in chunker.chunk(markdown)], "chonkie"


PEERS = (quillet_chunker, langchain_chunker, chonkie_chunker)


def heading_only(chunk):
    lines = [line for line in chunk.splitlines() if line.strip()]
    return bool(lines) and all(line.lstrip().startswith("#") for line in lines)


def cpu(call, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.process_time()
        call()
        times.append(time.process_time() - start)
    return statistics.median(times)


def show(max_chars):
    markdown = quillet.to_markdown(SAMPLE)
    print(f"## The sample ({len(SAMPLE)} characters), max {max_chars} characters a chunk\n")
    for make in PEERS:
        split, name = make(max_chars)
        if split is None:
            print(f"- {name}\n")
            continue
        parts = split(SAMPLE if name == "quillet" else markdown)
        print(f"{name}: {len(parts)} chunks")
        for part in parts:
            flag = " OVER" if len(part) > max_chars else (" BLANK" if not part.strip() else "")
            flag += " HEADINGS-ONLY" if heading_only(part) else ""
            print(f"  {len(part):4}{flag}  {part[:40]!r} .. {part[-24:]!r}")
        print()


def measure(size, max_chars, repeat):
    text = corpus.generate(SIZES[size])[0]
    markdown = quillet.to_markdown(text)
    parse = cpu(lambda: pyql.parse_with_recovery(text), repeat)
    print(f"## The corpus, {size} ({len(text):,} characters), max {max_chars} characters a chunk\n")
    print("| chunker | chunks | over budget (largest) | white space only | headings only | CPU | over the parse |")
    print("|---|--:|--:|--:|--:|--:|--:|")
    for make in PEERS:
        split, name = make(max_chars)
        if split is None:
            print(f"| {name} | | | | | | |")
            continue
        source = text if name == "quillet" else markdown
        parts = split(source)
        over = [len(p) for p in parts if len(p) > max_chars]
        spent = cpu(lambda: split(source), repeat)
        largest = f" ({max(over):,})" if over else ""
        print(f"| {name} | {len(parts):,} | {len(over):,}{largest} | {sum(not p.strip() for p in parts):,} | "
              f"{sum(map(heading_only, parts)):,} | {spent:.3f} s | {spent / parse:.2f}x |")
    ours = cpu(lambda: quillet.chunks(text, max_chars=max_chars, footnotes=False), repeat)
    print(f"| quillet, footnotes=False | | | | | {ours:.3f} s | {ours / parse:.2f}x |")
    print(f"\npyql.parse_with_recovery: {parse:.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="8m", choices=sorted(SIZES))
    parser.add_argument("--max-chars", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--show", type=int, default=300, help="the budget for the sample (0: skip it)")
    args = parser.parse_args()
    if args.show:
        show(args.show)
    measure(args.size, args.max_chars, args.repeat)


if __name__ == "__main__":
    main()
