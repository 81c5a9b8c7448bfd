"""Hostile inputs for bench/scaling.py and tests/test_pathological.py.

Every family builds a document of about `size` UTF-8 bytes from one repeated
shape that attacks one part of the parser (or of a tool that reads the text,
such as the language server's completion): an opener whose closer is never
found (or is found only at the very end), a construct nested as deep as the
text allows, a line, word, row or list far longer than any real one, or a
block count far higher. `prose` is ordinary text with a natural density of
inline markup: the yardstick the others are measured against.

Each builder returns a `Case`: the text and what a parse of it must show
(see `summarize`), so that a test cannot pass by parsing the wrong thing.
The builders are deterministic: the same size always gives the same text.
"""

import random
from collections import Counter, namedtuple

MB = 1_000_000

# The text, and the expected values of some keys of `summarize` (keys not
# named are not checked).
Case = namedtuple("Case", "text expect")


def utf8_len(text):
    return len(text.encode())


def times(unit, size):
    """How many copies of unit make about size bytes (at least one)."""
    return max(1, size // utf8_len(unit))


def summarize(result):
    """A compact, family-independent account of a ParseResult: enough to
    tell that the whole input was read and read as intended."""
    doc = result.document
    blocks = doc.blocks
    inlines = Counter()
    rows = cells = items = paragraphs = 0
    for block in blocks:
        kind = type(block).__name__
        if kind in ("Paragraph", "Heading"):
            inlines.update(type(node).__name__ for node in block.content)
        elif kind == "Table":
            rows += len(block.rows)
            cells += sum(len(row.cells) for row in block.rows)
        elif kind == "List":
            items += len(block.items)
        elif kind in ("Quote", "Callout"):
            paragraphs += len(block.blocks)
    meta = None
    if doc.metadata is not None:
        meta = {}
        for key, value in doc.metadata.items():
            length = len(value) if isinstance(value, list) else None
            depth = 0
            while isinstance(value, list):  # a loop: the nesting may be very deep
                depth += 1
                value = value[0] if value else None
            meta[key] = [length, depth]
    return {
        "end": doc.span.end,
        "last_end": blocks[-1].span.end if blocks else None,
        "blocks": dict(Counter(type(b).__name__ for b in blocks)),
        "errors": dict(Counter(e.message for e in result.errors)),
        "inlines": dict(inlines),
        "rows": rows,
        "cells": cells,
        "items": items,
        "paragraphs": paragraphs,
        "meta": meta,
    }


# The attributes of a node that hold its child nodes.
_CHILDREN = ("blocks", "content", "items", "rows", "cells", "defs", "label")


def count_nodes(result):
    """The number of Python objects the parse built for the document: its
    nodes, plus the values of its metadata (lists count with their elements).
    A loop over an explicit stack, as trees and lists may be very deep."""
    count = 0
    stack = list(result.document.blocks)
    if result.document.metadata:
        stack += result.document.metadata.values()
    while stack:
        node = stack.pop()
        count += 1
        if isinstance(node, list):
            stack += node
            continue
        for name in _CHILDREN:
            children = getattr(node, name, None)
            if isinstance(children, list):
                stack += children
    return count


def one_paragraph(text, **expect):
    """A case whose text is one paragraph holding only text (every opener in
    it is unclosed)."""
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n, "blocks": {"Paragraph": 1},
                       "errors": {}, "inlines": {"Text": 1}, **expect})


# --- prose ----------------------------------------------------------------

_WORDS = (
    "the of and to in is that it for as with was on be by this are from or "
    "an at which but not have they one all were can has more their if will "
    "would there been when who into only other some time could these two may "
    "then first any like new over such our also most after where well back "
    "parser document line block paragraph heading table list item cell span "
    "offset input output error value record reader writer number text word "
    "between before under about through during without within along across "
    "quickly slowly clearly rarely often never always exactly roughly nearly "
    "café naïve über façade jalapeño smörgåsbord 東京 データ résumé déjà"
).split()


def _marked(rng, words):
    """One word or a short phrase, now and then wrapped in inline markup with
    about the density of ordinary technical writing."""
    w = rng.choice(words)
    r = rng.random()
    if r < 0.030:
        return f"*{w} {rng.choice(words)}*"
    if r < 0.050:
        return f"**{w}**"
    if r < 0.070:
        return f"`{w}()`"
    if r < 0.080:
        return f"[[{w}|https://x.org/{w}]]"
    if r < 0.085:
        return f"~~{w}~~"
    if r < 0.090:
        return f"{w}[^{rng.randrange(1, 20)}]"
    if r < 0.093:
        return f"<https://x.org/{rng.randrange(1000)}>"
    return w


def _prose_paragraphs(size, seed):
    """Paragraphs of 3 to 7 sentences, as lists of words, until about size
    bytes are made."""
    rng = random.Random(seed)
    made = 0
    while made < size:
        para = []
        for _ in range(rng.randint(3, 7)):
            sentence = [_marked(rng, _WORDS) for _ in range(rng.randint(6, 18))]
            sentence[0] = sentence[0][:1].upper() + sentence[0][1:]
            sentence[-1] += rng.choice(".....?!")
            para += sentence
        made += sum(utf8_len(w) + 1 for w in para)
        yield para


def _wrap(words, width=78):
    lines, line = [], ""
    for w in words:
        if line and len(line) + 1 + len(w) > width:
            lines.append(line)
            line = w
        else:
            line = f"{line} {w}" if line else w
    lines.append(line)
    return "\n".join(lines)


def prose(size):
    """Realistic paragraphs wrapped at 78 columns, a heading every tenth."""
    parts, heads, paras = [], 0, 0
    for i, para in enumerate(_prose_paragraphs(size, seed=4)):
        if i % 10 == 0:
            parts.append(f"## Section {i // 10 + 1}: {' '.join(para[:3])}")
            heads += 1
        parts.append(_wrap(para))
        paras += 1
    text = "\n\n".join(parts) + "\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {},
                       "blocks": {"Heading": heads, "Paragraph": paras}})


def long_line(size):
    """The prose above as one paragraph line, without a single line feed."""
    words = [w for para in _prose_paragraphs(size, seed=5) for w in para]
    text = " ".join(words)
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n, "errors": {}, "blocks": {"Paragraph": 1}})


def long_word(size):
    """One word as long as the text, then a ':', where an editor asks for
    completions: a search for the name that ends at the cursor, started
    again at every position of the word, would be quadratic."""
    return one_paragraph("x" * (size - 1) + ":")


# --- unclosed inline openers ----------------------------------------------
# Each opener's closer search fails (or, for the autolinks, succeeds only at
# the far end and is then refused): a parser that searched to the end once
# per opener would be quadratic. Where that search is a single byte search,
# the openers are packed as densely as they go, so that such a parser is
# slow enough to notice even at 1 MB.

def star(size):
    return one_paragraph("*a " * times("*a ", size))


def double_star(size):
    return one_paragraph("**a " * times("**a ", size))


def double_tilde(size):
    return one_paragraph("~~a " * times("~~a ", size))


def backtick(size):
    """Backticks: they pair up into many small code spans; an odd count
    leaves the last one unclosed."""
    k = times("`a ", size) | 1
    text = "`a " * k
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n, "errors": {}, "blocks": {"Paragraph": 1},
                       "inlines": {"CodeSpan": k // 2, "Text": max(1, k // 2)}})


def mixed_openers(size):
    """Every kind of opener, none of them closed, so that the searches for
    different closers interleave."""
    unit = "*a **b ~~c [[d [^e <f "
    return one_paragraph("`" + unit * times(unit, size))


def double_bracket(size):
    return one_paragraph("[[" * times("[[", size))


def single_brackets(size):
    """Link openers among many single `]`, each a candidate that fails."""
    return one_paragraph("[[a] " * times("[[a] ", size))


def caret_bracket(size):
    return one_paragraph("[^" * times("[^", size))


def angle(size):
    """`<` with no `>` anywhere."""
    return one_paragraph("<" * size)


def angle_spaced(size):
    """Every `<` finds the one `>` at the very end, and its candidate holds
    spaces (and no "://"), so it is refused."""
    return one_paragraph("< " * times("< ", size) + ">")


def angle_unspaced(size):
    """Every `<` finds the one `>` at the very end; no candidate holds a
    space or a "://", so each is refused for want of a scheme."""
    return one_paragraph("<x" * times("<x", size) + ">")


def nested(size):
    """Alternating `**` and `~~` openers, then their closers in reverse."""
    k = times("**~~~~**", size)
    text = "**~~" * k + "a" + "~~**" * k
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n, "errors": {}, "blocks": {"Paragraph": 1}})


# --- lines and blocks -----------------------------------------------------

def tiny_lines(size):
    """One paragraph of one-letter lines."""
    text = "a\n" * times("a\n", size)
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {},
                       "blocks": {"Paragraph": 1}, "inlines": {"Text": 1}})


def tiny_blocks(size):
    """One-letter paragraphs separated by blank lines."""
    k = times("a\n\n", size)
    text = "a\n\n" * k
    return Case(text, {"end": utf8_len(text), "last_end": utf8_len(text) - 2, "errors": {},
                       "blocks": {"Paragraph": k}, "inlines": {"Text": k}})


def wide_table(size, width=2000):
    """A table whose rows hold thousands of bars: cells of one letter, and
    rows of bars alone (which hold no cell)."""
    full = "|" + "a|" * width + "\n"
    bare = "|" * (2 * width + 1) + "\n"
    pairs = max(1, size // (len(full) + len(bare)))
    text = "::table\n" + (full + bare) * pairs + "::\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"Table": 1},
                       "rows": 2 * pairs, "cells": pairs * width})


def long_meta_list(size):
    """A metadata value that is a list of very many elements."""
    elements = ("1", "two", "'q, r'", "3.5", "true", '"s"', "[x]")
    k = len(elements) * times(", ".join(elements) + ", ", size)
    items = ", ".join(elements[i % len(elements)] for i in range(k))
    text = f"--- meta ---\nitems: [{items}]\n---\nbody\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"Paragraph": 1},
                       "meta": {"items": [k, 1]}})


def nested_meta_list(size):
    """A metadata value nested as deep as the text allows: "[" * k + "]" * k."""
    k = max(1, size // 2)
    text = "--- meta ---\ndeep: " + "[" * k + "]" * k + "\n---\n"
    return Case(text, {"end": utf8_len(text), "last_end": None, "errors": {}, "blocks": {},
                       "meta": {"deep": [1, k]}})


def list_items(size):
    """One list of very many items, each with some markup."""
    unit = "- an item with *some* `code` and a [[link|https://x.org]]\n"
    k = times(unit, size)
    text = "::list\n" + unit * k + "::\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"List": 1},
                       "items": k})


def table_rows(size):
    """One table of very many one-cell rows: the most objects per byte a
    container gives."""
    k = times("|a\n", size)
    text = "::table\n" + "|a\n" * k + "::\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"Table": 1},
                       "rows": k, "cells": k})


def short_items(size):
    """One list of very many one-letter items."""
    k = times("- a\n", size)
    text = "::list\n" + "- a\n" * k + "::\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"List": 1},
                       "items": k})


def failing_containers(size):
    """Lists and tables opened again and again, each ended by an error: a
    list by a table opener, a table by a blank line, a list by plain text."""
    unit = "::list\n- a\n::table\n| b |\n\n::list\n- c\nplain words\n"
    k = times(unit, size)
    text = unit * k
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1,
                       "blocks": {"List": 2 * k, "Table": k, "Paragraph": k},
                       "errors": {"unclosed ::list": k, "unclosed ::table": k,
                                  "invalid syntax in list item": k},
                       "items": 2 * k, "rows": k})


def quote_body(size):
    """A quote never closed, holding very many short paragraphs."""
    unit = "a *quoted* line\n\n"
    k = times(unit, size)
    text = "::quote\n" + unit * k
    n = utf8_len(text)
    # The quote ends with the empty line after the last line feed but one.
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"Quote": 1},
                       "paragraphs": k})


def long_attributes(size):
    """A callout whose opener line holds a very long attribute list, the
    same key again and again."""
    unit = 'title="a b" type=x '
    k = times(unit, size)
    text = "::callout " + unit * k + "\nbody\n::\n"
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "errors": {}, "blocks": {"Callout": 1},
                       "paragraphs": 1})


def unknown_directives(size):
    """Very many unknown directives, each recorded as an error."""
    unit = "::note\nkept as written\n::\n"
    k = times(unit, size)
    text = unit * k
    n = utf8_len(text)
    return Case(text, {"end": n, "last_end": n - 1, "blocks": {"RawBlock": k},
                       "errors": {"unknown directive: note": k}})


# The yardstick first, then the families in the order the table shows them.
FAMILIES = {f.__name__: f for f in (
    prose, star, double_star, double_tilde, backtick, mixed_openers, double_bracket,
    single_brackets, caret_bracket, angle, angle_spaced, angle_unspaced, nested, long_line, long_word,
    tiny_lines, tiny_blocks, wide_table, table_rows, long_meta_list, nested_meta_list, list_items, short_items,
    failing_containers, quote_body, long_attributes, unknown_directives,
)}
