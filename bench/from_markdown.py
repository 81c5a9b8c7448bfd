"""quillet.from_markdown against markdown-it-py's own parse of the same text.

    python bench/from_markdown.py [--size 1m] [--repeat 5]

Times, on the Markdown of bench/corpus.py and on a hostile one (every line
full of characters Quillet would read as markup, so that each text is written
several ways and parsed back), markdown-it-py's parse with the converter's
plugins (what every conversion pays first) and the conversion's writing (what
from_markdown adds to the parse), the median of the runs in milliseconds (CPU
time of this process). The goal: writing costs no more than reading (the
reader dominates). Then the writing's time per doubling of the input, which
stays near 2 when it is linear.
"""

import argparse
import statistics
import sys

from agents import times
from corpus import SIZES, generate
from quillet._source import gc_paused
from quillet.from_markdown import _Converter, _reader


def writer(text, md, parsed={}):
    """The conversion after the parse: the tokens are read once per text, outside the timing."""
    if parsed.get("text") is not text:
        parsed.update(text=text, tokens=md.parse(text))
    with gc_paused():  # as from_markdown converts
        return _Converter(text).run(parsed["tokens"])


def hostile(size):
    line = "a*b*c \\*d `e` \\` [[f]] \\[^g] ~~h~~ \\~~i <http://j> *k **l** m* ***n***\n"
    return "".join(f"{line}\n" for _ in range(size // (len(line) + 1)))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", choices=SIZES, default="1m", help="corpus size (default 1m)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs (default 5)")
    args = ap.parse_args(argv)
    md = _reader(True)
    missed = False
    print(f"{'text':<10} {'MB':>6} {'parse ms':>10} {'writing ms':>11} {'writing/parse':>14}")
    for name, text in (("corpus", generate(SIZES[args.size])[1]), ("hostile", hostile(SIZES[args.size]))):
        parse = statistics.median(times(md.parse, text, args.repeat))
        writing = statistics.median(times(lambda t: writer(t, md), text, args.repeat))
        ratio = writing / parse
        missed |= ratio > 1
        print(f"{name:<10} {len(text.encode()) / 1e6:6.2f} {parse * 1e3:10.1f} {writing * 1e3:11.1f} "
              f"{ratio:13.2f}{'' if ratio <= 1 else ' MISS'}")
    print("writing time per doubling (the hostile text, the same lines repeated):")
    before = None
    for size in (SIZES[args.size] // 4, SIZES[args.size] // 2, SIZES[args.size]):
        spent = statistics.median(times(lambda t: writer(t, md), hostile(size), args.repeat))
        print(f"  {size:>9} bytes: {spent * 1e3:8.1f} ms" + (f"  x{spent / before:.2f}" if before else ""))
        before = spent
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
