"""Realistic documents for bench/compare.py, as Quillet and as Markdown.

`generate(size, seed)` writes one document of about `size` UTF-8 bytes of
Quillet and, beside it, the same text and structure in Markdown (GitHub's
dialect: tables, strikethrough, footnotes), as far as Markdown can say it:

    Quillet                          Markdown
    --- meta --- ... ---             --- ... --- (front matter)
    # heading                        # heading
    paragraphs                       paragraphs
    *a* **a** ~~a~~ `a`              the same
    [[label|url]]  [[url]]           [label](url)  <url>
    <https://...>                    <https://...>
    [^n]                             [^n]
    ::list [ordered] ... ::          - item / 1. item
    ::table ... ::                   the same rows
    ```lang ... ```                  the same
    ::math ... ::                    ```math ... ```
    ::quote ... ::                   > lines
    ::callout type=tip ... ::        > [!TIP] then > lines
    ::figure src= alt= caption=      ![alt](src "caption")
    ::footnotes [^n]: text ::        [^n]: text

The documents are made of sections: a heading, a few paragraphs with inline
markup at a natural density (a span of markup every dozen words or so), and
now and then a list, a table, a code fence, a quote, a callout, a figure or
a math block; footnote definitions are gathered at the end. A few words in
every hundred are not ASCII (accented Latin, Greek, Japanese, an emoji).
The same size and seed always give the same two texts.

Run as a script, it writes the corpus files:

    python bench/corpus.py --out bench/corpus   # 10k, 1m and 10m, .qlt and .md
"""

import argparse
import os
import random

SIZES = {"10k": 10_000, "1m": 1_000_000, "10m": 10_000_000}
DEFAULT_SEED = 20261208

WORDS = (
    "the of and to in is that for it as with was on be by this are from at or an have not which but "
    "all were when we there can been has more if will one their what so out up about into than them "
    "parser document line block text value node tree span offset input output table list item quote "
    "heading paragraph markup reader writer format source byte string number error result function "
    "module package version release option default memory speed cache buffer stream record field "
    "simple quick small large early later often always never every other first last next between "
    "under over after before during while because though since until across along around within"
).split()

# Words that are not ASCII, two to four bytes per character.
FOREIGN = ("café", "naïve", "Zürich", "façade", "smörgåsbord", "λόγος", "δεδομένα", "日本語", "文書", "解析", "🙂", "€")

LANGS = ("python", "c", "rust", "json", "")
CALLOUT_KINDS = ("note", "tip", "warning", "important")


class _Writer:
    """Both forms of one document, written side by side."""

    def __init__(self, rng):
        self.rng = rng
        self.qlt = []
        self.md = []
        self.size = 0
        self.footnotes = 0

    def both(self, qlt, md=None):
        self.qlt.append(qlt)
        self.md.append(qlt if md is None else md)
        self.size += len(qlt.encode())

    # ---------------------------------------------------------------- inline text

    def word(self):
        rng = self.rng
        if rng.random() < 0.02:
            return rng.choice(FOREIGN)
        return rng.choice(WORDS)

    def words(self, lo, hi):
        return " ".join(self.word() for _ in range(self.rng.randint(lo, hi)))

    def inline(self):
        """One span of inline markup, as (quillet, markdown)."""
        rng = self.rng
        roll = rng.random()
        text = self.words(1, 3)
        if roll < 0.30:
            return f"*{text}*", f"*{text}*"
        if roll < 0.50:
            return f"**{text}**", f"**{text}**"
        if roll < 0.68:
            code = rng.choice(WORDS) + rng.choice(("()", "_id", ".py", "[0]", ""))
            return f"`{code}`", f"`{code}`"
        if roll < 0.80:
            url = f"https://example.org/{rng.choice(WORDS)}/{rng.randint(1, 999)}"
            return f"[[{text}|{url}]]", f"[{text}]({url})"
        if roll < 0.85:
            url = f"https://{rng.choice(WORDS)}.example.com/"
            return f"[[{url}]]", f"<{url}>"
        if roll < 0.90:
            url = f"https://docs.example.net/{rng.choice(WORDS)}"
            return f"<{url}>", f"<{url}>"
        if roll < 0.96:
            return f"~~{text}~~", f"~~{text}~~"
        self.footnotes += 1
        ref = f"[^{self.footnotes}]"
        return ref, ref

    def marked_words(self, lo, hi, rate):
        """lo to hi words, each a span of markup with probability `rate`, as (quillet words, markdown words)."""
        qlt, md = [], []
        for _ in range(self.rng.randint(lo, hi)):
            if self.rng.random() < rate:
                q, m = self.inline()
            else:
                q = m = self.word()
            qlt.append(q)
            md.append(m)
        return qlt, md

    def sentence(self):
        """A sentence of 8 to 20 words, with a span of markup in about one word of twenty."""
        qlt, md = self.marked_words(8, 20, 0.05)
        qlt[0], md[0] = (w[:1].upper() + w[1:] if w[:1].isalpha() else w for w in (qlt[0], md[0]))
        return " ".join(qlt) + ".", " ".join(md) + "."

    def paragraph_lines(self, sentences):
        """Sentences wrapped into lines of about 80 columns, as (quillet lines, markdown lines)."""
        qlines, mlines = [], []
        q_line, m_line = [], []
        width = 0
        for _ in range(sentences):
            q, m = self.sentence()
            for qw, mw in zip(q.split(" "), m.split(" ")):
                if width + len(qw) > 80 and q_line:
                    qlines.append(" ".join(q_line))
                    mlines.append(" ".join(m_line))
                    q_line, m_line, width = [], [], 0
                q_line.append(qw)
                m_line.append(mw)
                width += len(qw) + 1
        if q_line:
            qlines.append(" ".join(q_line))
            mlines.append(" ".join(m_line))
        return qlines, mlines

    def paragraph(self, prefix_md=""):
        qlines, mlines = self.paragraph_lines(self.rng.randint(2, 5))
        self.both("\n".join(qlines) + "\n", "\n".join(prefix_md + line for line in mlines) + "\n")

    # ------------------------------------------------------------------- blocks

    def metadata(self):
        lines = [
            "title: A generated document for benchmarks",
            'subtitle: "Headings, prose, lists, tables and more"',
            "draft: false",
            "version: 7",
            "ratio: 0.625",
            "tags: [bench, corpus, 'plain text', 3]",
            "authors: [Ada Lovelace, 'Alan Turing']",
            "grid: [[1], [2.5], [three]]",
        ]
        body = "\n".join(lines) + "\n"
        self.both("--- meta ---\n" + body + "---\n\n", "---\n" + body + "---\n\n")

    def heading(self, level):
        text = self.words(2, 6).capitalize()
        self.both(f"{'#' * level} {text}\n\n")

    def item_text(self):
        q, m = self.marked_words(4, 12, 0.1)
        return " ".join(q), " ".join(m)

    def list_block(self):
        rng = self.rng
        ordered = rng.random() < 0.35
        items = [self.item_text() for _ in range(rng.randint(3, 8))]
        qlt = "::list ordered\n" if ordered else "::list\n"
        qlt += "".join(f"- {q}\n" for q, _ in items) + "::\n\n"
        md = "".join(f"{i}. {m}\n" if ordered else f"- {m}\n" for i, (_, m) in enumerate(items, 1)) + "\n"
        self.both(qlt, md)

    def table_block(self):
        rng = self.rng
        columns = rng.randint(2, 5)
        header = [self.words(1, 2).capitalize() for _ in range(columns)]
        rows = []
        for _ in range(rng.randint(3, 10)):
            row_q, row_m = [], []
            for _ in range(columns):
                roll = rng.random()
                if roll < 0.3:
                    cell = str(rng.randint(0, 100_000))
                    row_q.append(cell)
                    row_m.append(cell)
                elif roll < 0.4:
                    q, m = self.inline()
                    row_q.append(q)
                    row_m.append(m)
                else:
                    cell = self.words(1, 4)
                    row_q.append(cell)
                    row_m.append(cell)
            rows.append((row_q, row_m))
        lines_q = ["| " + " | ".join(header) + " |", "|" + "---|" * columns]
        lines_m = list(lines_q)
        for q, m in rows:
            lines_q.append("| " + " | ".join(q) + " |")
            lines_m.append("| " + " | ".join(m) + " |")
        self.both("::table\n" + "\n".join(lines_q) + "\n::\n\n", "\n".join(lines_m) + "\n\n")

    def code_block(self):
        rng = self.rng
        lang = rng.choice(LANGS)
        lines = []
        for i in range(rng.randint(3, 14)):
            indent = "    " * rng.randint(0, 2)
            name = rng.choice(WORDS)
            lines.append(f"{indent}{name}_{i} = compute({rng.choice(WORDS)!r}, {rng.randint(0, 99)})  # *not* markup")
        self.both(f"```{lang}\n" + "\n".join(lines) + "\n```\n\n")

    def math_block(self):
        body = "\\sum_{i=1}^{n} x_i^2 = \\frac{n(n+1)(2n+1)}{6}"
        self.both(f"::math display\n{body}\n::\n\n", f"```math\n{body}\n```\n\n")

    def quote_block(self):
        qlines, mlines = self.paragraph_lines(self.rng.randint(1, 3))
        self.both("::quote\n" + "\n".join(qlines) + "\n::\n\n", "\n".join("> " + line for line in mlines) + "\n\n")

    def callout_block(self):
        rng = self.rng
        kind = rng.choice(CALLOUT_KINDS)
        title = self.words(2, 4).capitalize()
        qlines, mlines = self.paragraph_lines(rng.randint(1, 2))
        qlt = f'::callout type={kind} title="{title}"\n' + "\n".join(qlines) + "\n::\n\n"
        md = f"> [!{kind.upper()}]\n> **{title}**\n>\n" + "\n".join("> " + line for line in mlines) + "\n\n"
        self.both(qlt, md)

    def figure_block(self):
        name = self.rng.choice(WORDS)
        caption = self.words(3, 7).capitalize()
        self.both(
            f'::figure src=images/{name}.png alt="A {name} diagram" caption="{caption}"\n\n',
            f'![A {name} diagram](images/{name}.png "{caption}")\n\n',
        )

    def footnote_block(self):
        if not self.footnotes:
            return
        qlt, md = [], []
        for n in range(1, self.footnotes + 1):
            text = self.words(4, 12)  # no markup: it could add a reference without a definition
            qlt.append(f"[^{n}]: {text}")
            md.append(f"[^{n}]: {text}")
        self.both("::footnotes\n" + "\n".join(qlt) + "\n::\n", "\n".join(md) + "\n")

    def section(self):
        rng = self.rng
        self.heading(rng.choice((2, 2, 3, 3, 4)))
        for _ in range(rng.randint(2, 5)):
            self.paragraph()
            self.both("\n")
            roll = rng.random()
            if roll < 0.14:
                self.list_block()
            elif roll < 0.22:
                self.table_block()
            elif roll < 0.32:
                self.code_block()
            elif roll < 0.38:
                self.quote_block()
            elif roll < 0.43:
                self.callout_block()
            elif roll < 0.46:
                self.figure_block()
            elif roll < 0.48:
                self.math_block()


def generate(size, seed=DEFAULT_SEED):
    """(quillet, markdown): one document of about `size` bytes of Quillet, in both forms."""
    rng = random.Random(f"{seed}:{size}")
    w = _Writer(rng)
    w.both("@modules tables, footnotes, math, strikethrough, autolink\n\n", "")
    w.metadata()
    w.heading(1)
    w.paragraph()
    w.both("\n")
    # Footnote definitions take some room at the end: stop the sections a little short of `size`.
    while w.size < size * 0.97:
        w.section()
    w.footnote_block()
    return "".join(w.qlt), "".join(w.md)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write the benchmark corpus as .qlt and .md files.")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus"))
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--sizes", default=",".join(SIZES), help="comma-separated names among " + ", ".join(SIZES))
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    for name in args.sizes.split(","):
        qlt, md = generate(SIZES[name], args.seed)
        for ext, text in (("qlt", qlt), ("md", md)):
            path = os.path.join(args.out, f"{name}.{ext}")
            with open(path, "w", encoding="utf-8", newline="\n") as f:
                f.write(text)
            print(f"{path}: {len(text.encode()):,} bytes")


if __name__ == "__main__":
    main()
