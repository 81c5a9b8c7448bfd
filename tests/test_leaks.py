"""No leaks: parsing a large mixed corpus over and over keeps the process flat,
reference cycles through the tree are collected, and every failing call gives
back what it took. (Repeated parses of one small document, single-node cycles
and allocation failures are covered in test_binding.py.)"""

import copy
import ctypes
import gc
import operator
import os
import sys
import types
import weakref
from pathlib import Path

import pytest

import pyql
from pyql import Profile

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
CLASSES = [c for c in vars(pyql).values() if isinstance(c, type)]
NODE_CLASSES = {c for c in CLASSES if "span" in vars(c)} - {pyql.ParseError}


def section(i):
    """Every block and inline construct once, with the four kinds of error."""
    return (
        f"{'#' * (i % 6 + 1)} Section {i}: *em* **strong** ~~gone~~ `code`\n\n"
        f"Text with [[https://e.org/{i}]] and [[a label|https://e.org/l{i}]], a note[^n{i}],\n"
        f"<https://auto.org/{i}> <mailto:x{i}@e.org>, **nested *em* ~~x~~**, Grüße 日本,\n"
        f"an unclosed *opener, **another and ~~a third.\n\n"
        f"::list ordered start={i}\n- item *{i}*\n  | continued\n\n- second\n::\n\n"
        f"::list unordered\n- one\nnot an item\n\n"                 # invalid syntax in list item
        f"::list\n- two\n# A heading ends it\n\n"                   # unclosed ::list
        f"::table\n| h{i} | v |\n|---|---|\n| *a* | `b` |\n::\n\n"
        f"::table\n| open |\n\n"                                     # unclosed ::table
        f"::quote\nquoted {i}\n\nagain\n::\n\n"
        f'::callout type=tip title="T {i}"\nbody **{i}**\n::\n\n'
        f"::callout\nno title\n::\n\n"
        f'::figure src=f{i}.png alt="A {i}" caption="C {i}"\n\n'
        f"::footnotes\n[^n{i}]: note *{i}*\n::\n\n"
        f"::math display\nx^{i}\n::\n\n::math\ny\n::\n\n"
        f"```py\nprint({i})\n```\n\n```\nplain\n```\n\n"
        f"::html\n<p>{i}</p>\n::\n\n---\n\n"
        f"::nope{i}\nkept raw\n::\n\n"                               # unknown directive
    )


MIX = (
    "@profile md\n@modules html, tables, math\n--- meta ---\n"
    + "".join(f"k{i}: [{i}, 'q{i}', [{i}.5, [true, [\"deep\", []]]], plain {i}]\n"
              for i in range(200))
    + "---\n" + "".join(section(i) for i in range(200))
)
CORPUS = [(EXAMPLES / "tour.qlt").read_text("utf-8"),
          (EXAMPLES / "errors.qlt").read_text("utf-8"), MIX]

GETTERS = {c: [n for n, a in vars(c).items() if isinstance(a, types.GetSetDescriptorType)
                 and not n.startswith("_")] for c in CLASSES}
touched = set()


def touch(obj):
    """Reads every attribute of obj and of everything below it (metadata, texts,
    spans, enumerations, errors); returns how many nodes it met."""
    nodes, stack = 0, [obj]
    while stack:
        obj = stack.pop()
        cls = type(obj)
        if cls is list:
            stack += obj
        elif cls is dict:
            stack += obj.values()
        elif cls in GETTERS:
            touched.add(cls)
            nodes += cls in NODE_CLASSES
            repr(obj), str(obj)
            stack += [getattr(obj, name) for name in GETTERS[cls]]
    return nodes


CALLS = [pyql.parse_with_recovery, pyql.Parser(Profile.MdStrict).parse_with_recovery,
         pyql.parse, pyql.Parser().parse]


def parse_corpus():
    """One round: the corpus through every entry point, every node read. Returns
    (nodes read, errors recorded)."""
    nodes = errors = 0
    for text in CORPUS:
        for call in CALLS:
            try:
                out = call(text)
            except ValueError as exc:
                str(exc)
                continue
            nodes += touch(out)
            errors += len(getattr(out, "errors", ()))
    return nodes, errors


def rss():
    """The resident set size in bytes (0 where there is no /proc)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def _malloc_in_use():
    """A function giving the bytes malloc has handed out and not got back, which
    is where the parser's own C++ allocations live; and whether AddressSanitizer
    counts them.

    The sanitizer (its runtime preloaded) replaces malloc, and glibc's count then
    stays at zero. It also keeps freed memory aside for a while (its quarantine,
    up to 256 MiB) to catch late uses, so the process grows while nothing leaks;
    its own count leaves that memory out."""
    libc = ctypes.CDLL(None)
    try:
        count = libc.__sanitizer_get_current_allocated_bytes
        count.restype = ctypes.c_size_t
        return count, True
    except AttributeError:
        pass
    libc.mallinfo2.restype = _MallInfo2
    return (lambda: libc.mallinfo2().uordblks), False


try:
    malloc_in_use, SANITIZED = _malloc_in_use()
except (OSError, AttributeError, TypeError):  # neither the sanitizer nor glibc
    malloc_in_use, SANITIZED = None, False

# With Python's own allocator off (PYTHONMALLOC=malloc, as in the sanitized
# run) the interpreter counts no blocks. The sanitizer's exact count of bytes
# stands in for them then, a block counted as this many bytes (a Span, the
# smallest object the binding makes, takes 24). glibc's count cannot: it
# includes the chunks its per-thread caches keep.
OBJECTS_IN_SANITIZER = SANITIZED and sys.getallocatedblocks() == 0
BLOCK = 32


def heap():
    """What the interpreter holds, in blocks of its own allocator or in
    BLOCK-sized pieces of what the sanitizer holds."""
    if OBJECTS_IN_SANITIZER:
        return malloc_in_use() // BLOCK
    return sys.getallocatedblocks()


ROUNDS = 8


def test_parsing_a_corpus_repeatedly_keeps_memory_flat():
    # The first two rounds fill the interpreter's caches and free lists.
    nodes, errors = parse_corpus()
    assert touched >= NODE_CLASSES - {pyql.HardBreak, pyql.SoftBreak}
    parse_corpus()
    gc.collect()
    type_refs = [sys.getrefcount(c) for c in CLASSES]
    blocks, resident = heap(), rss()
    in_use = malloc_in_use() if malloc_in_use else 0
    for _ in range(ROUNDS):
        parse_corpus()
    gc.collect()
    grown_blocks, grown_rss = heap() - blocks, rss() - resident
    grown_malloc = malloc_in_use() - in_use if malloc_in_use else 0

    # Every instance owns a reference to its class: a node never freed, or a
    # deallocation that forgets its class, shows here exactly.
    assert [sys.getrefcount(c) for c in CLASSES] == type_refs
    # Python objects, exact: a round makes and frees some 40,000 nodes, with as
    # many spans, texts and lists. A leak of one object per node would keep
    # 320,000 blocks, of one per call 96 (12 calls a round); the interpreter's
    # own caches settle within a few.
    assert nodes > 30_000 and grown_blocks < 50, grown_blocks
    # The whole process, coarse (pages come and go by hundreds of KiB): one
    # leaked 32-byte block per node (the smallest object a node makes, a span)
    # would keep nodes * ROUNDS * 32 bytes, about 10 MiB. Under the sanitizer
    # the process grows by its quarantine, and its exact count below stands in.
    limit = 4 << 20
    assert nodes * ROUNDS * 32 > 2 * limit
    if not SANITIZED:
        assert grown_rss < limit, grown_rss
    # The parser's C++ heap, exact: the errors a result holds (some 1,600 a
    # round, 100 bytes each with their messages) would keep 1.3 MB if never
    # freed; a whole document tree far more.
    if malloc_in_use:
        limit = 256 << 10
        assert errors * ROUNDS * 100 > 4 * limit and grown_malloc < limit, grown_malloc


# ------------------------------------------------------------------ cycles


class Marker:
    """pyql's classes take no weak references; a marker put into a cycle is
    freed exactly when the cycle is."""
    __slots__ = ("__weakref__",)


def first(src, *path):
    node = pyql.parse_with_recovery(src).document
    for attr, index in zip(path[::2], path[1::2]):
        node = getattr(node, attr)[index]
    return node


def ring(make, link, n):
    head = tail = make()
    for _ in range(n):
        nxt = make()
        link(tail).append(nxt)
        tail = nxt
    link(tail).append(head)
    return head


# Each builds a cycle through the parsed tree that holds `m`.
CYCLES = {
    "list through its item": lambda m: (
        lambda lst: lst.items[0].blocks.extend([lst, m]))(first("::list\n- a\n::\n", "blocks", 0)),
    "table through a cell": lambda m: (
        lambda t: t.rows[1].cells[0].content.extend([t, m]))(first("::table\n| a |\n| b |\n::\n", "blocks", 0)),
    "footnotes through a definition": lambda m: (
        lambda f: f.defs[0].blocks.extend([f, m]))(first("::footnotes\n[^a]: x\n::\n", "blocks", 0)),
    "callout through its paragraph": lambda m: (
        lambda c: c.blocks[0].content.extend([c, m]))(first("::callout\nx\n::\n", "blocks", 0)),
    "document through a nested inline": lambda m: (
        lambda d: d.blocks[0].content[0].content[0].content.extend([d, m]))(first("**~~x~~**")),
    "document through nested metadata": lambda m: (
        lambda d: d.metadata["k"][1][0].extend([d, m]))(first("--- meta ---\nk: [1, [[2]]]\n---\n")),
    "two results": lambda m: (
        lambda a, b: (a.document.blocks.extend([b, m]), b.document.blocks.append(a)))(
        pyql.parse_with_recovery("::x\n"), pyql.parse_with_recovery("a")),
    # A tree is born untracked by the collector: each way a stored list leaves its node must track both.
    "a paragraph through its own content": lambda m: (
        lambda p: p.content.extend([p, m]))(first("a *b*", "blocks", 0)),
    "a list shared by copy.copy": lambda m: (
        lambda p: copy.copy(p).content.extend([p, m]))(first("a *b*", "blocks", 0)),
    "a list met through __reduce_ex__": lambda m: (
        lambda p: p.__reduce_ex__(4)[1][-1].extend([p, m]))(first("# h *b*", "blocks", 0)),
    "blocks met through the document's __reduce_ex__": lambda m: (
        lambda d: d.__reduce_ex__(4)[1][-1].extend([d, m]))(first("a\n\nb")),
    "ring of 20,000 documents": lambda m: (
        ring(lambda: pyql.parse(""), lambda d: d.blocks, 20_000).blocks.append(m)),
}


def test_a_parsed_tree_is_not_tracked_until_its_lists_are_handed_out():
    gc.collect()
    before = len(gc.get_objects())
    doc = pyql.parse("# h *e*\n\n" + "::list\n- a\n- b\n::\n" * 1000)
    assert len(gc.get_objects()) - before < 10  # the document, not its 10,000 nodes and lists
    item = doc.blocks[1].items[0]
    assert (gc.is_tracked(doc.blocks), gc.is_tracked(doc.blocks[1]), gc.is_tracked(item)) == (True, True, False)
    assert [gc.is_tracked(o) for o in (item.blocks, item)] == [True, True]


def live_pyql_objects():
    return sum(1 for o in gc.get_objects() if type(o) in CLASSES)


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_cycles_through_the_tree_are_collected(make):
    make(Marker())  # warm up
    gc.collect()
    live, blocks = live_pyql_objects(), heap()
    for _ in range(3):
        marker = Marker()
        freed = weakref.ref(marker)
        gc.disable()  # no collection before the check below
        try:
            make(marker)
            del marker
            assert freed() is not None  # reference counting alone cannot free a cycle
        finally:
            gc.enable()
        gc.collect()
        assert freed() is None
    assert live_pyql_objects() == live
    assert heap() - blocks < 20


# ------------------------------------------------------------- failing calls


class Other:
    pass


class BadIndex:
    def __index__(self):
        raise RuntimeError("no index")


class HugeIndex:
    def __index__(self):
        return 1 << 70


# Fresh objects (not shared with the interpreter) whose reference counts the
# calls below must leave as they found them.
TEXT = "".join(["**a** ", "b ", "日本"])
ERRONEOUS = "".join(["::nope\n", "x\n::\n" * 1000])
SURROGATE = "".join(["ok ", "\ud800", " ok"])
BIG, OBJ, KEY = 10 ** 30, Other(), "".join(["bo", "gus"])
P = pyql.Parser()

FAILING = [
    # argument errors of the five callables
    *[(f, (), {}, TypeError) for f in (pyql.parse, P.parse_with_recovery)],
    *[(f, (BIG,), {}, TypeError) for f in (pyql.parse, pyql.parse_with_recovery, P.parse)],
    *[(f, (OBJ,), {}, TypeError) for f in (pyql.parse_with_recovery, P.parse_with_recovery)],
    (pyql.parse, (b"bytes",), {}, TypeError),
    (pyql.parse, (TEXT, OBJ, OBJ), {}, TypeError),
    (P.parse, (TEXT, OBJ), {}, TypeError),
    (pyql.parse, (TEXT,), {KEY: OBJ}, TypeError),
    (P.parse_with_recovery, (TEXT,), {"profile": Profile.Md}, TypeError),
    (pyql.parse_with_recovery, (TEXT,), {"input": TEXT}, TypeError),
    (pyql.parse, (TEXT, Profile.Md), {"profile": Profile.Md}, TypeError),
    # bad profiles
    (pyql.parse, (TEXT, "md"), {}, TypeError),
    (pyql.parse_with_recovery, (TEXT,), {"profile": BIG}, TypeError),
    (pyql.parse, (TEXT, pyql.ListKind.Ordered), {}, TypeError),
    (pyql.parse, (TEXT, Profile), {}, TypeError),
    (pyql.Parser, (OBJ,), {}, TypeError),
    (pyql.Parser, (), {"profile": BIG}, TypeError),
    (pyql.Parser, (Profile.Md, OBJ), {}, TypeError),
    (pyql.Parser, (), {"input": TEXT}, TypeError),
    (pyql.Parser, (Profile.Md,), {"profile": Profile.Md}, TypeError),
    # a method on something that is not a Parser; classes without constructors
    (pyql.Parser.parse, (OBJ, TEXT), {}, TypeError),
    (pyql.Document, (TEXT,), {"x": OBJ}, TypeError),
    (pyql.Profile, (BIG,), {}, TypeError),
    # the first recorded error, and an input with no UTF-8 form
    *[(f, (ERRONEOUS,), {}, ValueError) for f in (pyql.parse, P.parse)],
    *[(f, (SURROGATE,), {}, UnicodeEncodeError)
      for f in (pyql.parse, pyql.parse_with_recovery, P.parse, P.parse_with_recovery)],
    # comparisons whose integer conversion fails are answered, not raised
    *[(operator.eq, (Profile.Md, x), {}, None) for x in (BadIndex(), HugeIndex(), BIG, OBJ)],
]


@pytest.mark.parametrize("call, args, kwargs, outcome", FAILING, ids=[
    f"{i}-{c.__qualname__}-{o.__name__ if o else 'answered'}" for i, (c, _, _, o) in enumerate(FAILING)])
def test_failing_calls_give_back_what_they_took(call, args, kwargs, outcome):
    def attempt():
        try:
            call(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - the type is checked below
            return type(exc)
        return None

    assert attempt() is outcome
    gc.collect()
    refs = [sys.getrefcount(o) for o in (*args, *kwargs.values())]
    blocks = heap()
    for _ in range(300):
        attempt()
    gc.collect()
    grown = heap() - blocks  # one object per call would be 300
    assert [sys.getrefcount(o) for o in (*args, *kwargs.values())] == refs
    # CPython 3.10 holds a few dozen blocks more or less after a run of raised TypeErrors, however many
    # (41, then 2, then 81 after 300, 3,000 and 30,000 calls): noise of its own, far below one per call.
    assert grown < 100, grown


@pytest.mark.parametrize("call", [pyql.parse, P.parse])
def test_the_value_error_holds_only_its_message(call):
    gc.collect()
    live, refs = live_pyql_objects(), sys.getrefcount(ERRONEOUS)
    with pytest.raises(ValueError) as info:
        call(ERRONEOUS)
    exc = info.value
    assert exc.args == ("unknown directive: nope at bytes 0..6",)
    assert exc.__context__ is None and exc.__cause__ is None
    assert sys.getrefcount(ERRONEOUS) == refs and live_pyql_objects() == live
