"""Many documents: parse_files (a tool run in its workers), the worker
processes it shares with the command's -j, the tools' results across
processes, flat records and their tables, and the Dask recipe of docs/corpus.md on a
local cluster."""

import copy
import dataclasses
import functools
import gc
import importlib
import os
import pickle
import re
import subprocess
import sys
import threading

import pytest

import pyql
import quillet
from conftest import ROOT, SINK
from quillet import _native
from quillet._source import read_outline
from quillet.batch import broken_pool, ordered_map
from quillet.records import RECORD_FIELDS, arrow_schema

TOUR = (ROOT / "examples" / "tour.qlt").read_text(encoding="utf-8")


@pytest.fixture
def files(tmp_path):
    """Documents, an unreadable path and a file that is not UTF-8, in an order
    that is not the order of their names."""
    texts = {"b.qlt": TOUR, "a.qlt": "# Grüße\n\n::nope\nx\n::\n", "c.qlt": "\ufeff" + SINK}
    paths = []
    for name, text in texts.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
        paths.append(str(tmp_path / name))
    (tmp_path / "bad.qlt").write_bytes(b"ok \xff\n")
    return [paths[0], str(tmp_path / "missing.qlt"), paths[1], str(tmp_path / "bad.qlt"), paths[2]], texts


@pytest.mark.parametrize("jobs", [1, 2, 0, None])
def test_parse_files_in_order_with_input_errors(files, jobs):
    paths, texts = files
    got = list(quillet.parse_files(paths, jobs=jobs, profile=pyql.Profile.Md))
    assert [p for p, _ in got] == paths
    assert isinstance(got[1][1], FileNotFoundError) and isinstance(got[3][1], UnicodeDecodeError)
    for (path, result), text in zip([got[0], got[2], got[4]], texts.values()):
        expected = pyql.parse_with_recovery(text.lstrip("\ufeff"), pyql.Profile.Md)
        assert quillet.to_dict(result) == quillet.to_dict(expected), path


@pytest.mark.parametrize("kwargs, error", [
    ({"jobs": 1.5}, "TypeError: jobs must be an int or None, not float"),
    ({"jobs": "2"}, "TypeError: jobs must be an int or None, not str"),
    ({"jobs": True}, "TypeError: jobs must be an int or None, not bool"),
    ({"jobs": -1}, "ValueError: jobs must be at least 0, not -1"),
    ({"profile": "gfm"}, "ValueError: profile must be one of quillet, md, md-strict, not 'gfm'"),
    ({"profile": 1}, "TypeError: profile must be None, a pyql.Profile or its name, not int"),
    ({"paths": [3]}, "TypeError: paths must hold str or os.PathLike objects, not int"),
    ({"to": "tree"}, "ValueError: to must be one of json, dict, text, markdown, html, chunks, check, records, "
                     "not 'tree'"),
    ({"to": len}, "TypeError: to must be None or a tool's name, not builtin_function_or_method"),
    ({"max_chars": 5}, "TypeError: parse_files() got options for a tool without to=: max_chars"),
    ({"to": "chunks", "max_chars": -1}, "ValueError: max_chars"),
    ({"to": "text", "indent": 2}, "TypeError: to_text() got an unexpected keyword argument 'indent'"),
    ({"to": "records", "doc_id": "d"}, "TypeError: parse_files() gives doc_id itself: it takes no doc_id option"),
    ({"to": "chunks", "jobs": 2, "paths": ["a", "b"], "count_tokens": lambda s: 1},
     "TypeError: count_tokens must pickle to go to the worker processes (a function defined at the top level "
     "of a module, say), or pass jobs=1"),
])
def test_parse_files_refuses_bad_arguments_at_the_call(kwargs, error):
    with pytest.raises((TypeError, ValueError)) as info:
        quillet.parse_files(kwargs.pop("paths", []), **kwargs)
    assert f"{info.type.__name__}: {info.value}".startswith(error)


# Each tool by its to= name, its options, and how its result reads for a comparison.
TOOLS = [
    ("json", {"indent": 1}, quillet.to_json),
    ("dict", {}, quillet.to_dict),
    ("text", {"link_urls": True}, quillet.to_text),
    ("markdown", {}, quillet.to_markdown),
    ("html", {"heading_ids": True}, quillet.to_html),
    ("chunks", {"max_chars": 300, "count_tokens": len}, quillet.chunks),
    ("check", {}, quillet.check),
    ("records", {}, quillet.records),
]


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("to, options, tool", TOOLS, ids=[t[0] for t in TOOLS])
def test_parse_files_runs_a_tool_on_each_file(files, jobs, to, options, tool):
    paths, texts = files
    got = list(quillet.parse_files(paths, jobs=jobs, profile="md", to=to, **options))
    assert [p for p, _ in got] == paths
    assert isinstance(got[1][1], FileNotFoundError) and isinstance(got[3][1], UnicodeDecodeError)
    for (path, result), text in zip([got[0], got[2], got[4]], texts.values()):
        extra = {"doc_id": path} if to in ("records", "chunks") else {}
        assert result == tool(text.lstrip("\ufeff"), profile="md", **options, **extra), path


# One result of every class the tools return, as a tool makes it.
RESULTS = {
    quillet.Chunk: lambda: quillet.chunks(TOUR, max_chars=400)[3],
    quillet.Diagnostic: lambda: quillet.check("::callout kind=tip\nx\n::\n")[0],
    quillet.Section: lambda: quillet.sections(TOUR)[0],  # a heading, blocks and children
    quillet.ConversionResult: lambda: quillet.from_markdown('# A\n\n[b](c "d")\n'),  # text and a diagnostic
}
COPIES = {
    **{f"pickle{p}": functools.partial(lambda o, p: pickle.loads(pickle.dumps(o, p)), p=p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def test_every_result_class_is_covered():
    exported = (getattr(quillet, name) for name in quillet.__all__)
    frozen = {v for v in exported if dataclasses.is_dataclass(v) and v.__dataclass_params__.frozen}
    assert frozen == set(RESULTS)


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("cls", RESULTS, ids=lambda c: c.__name__)
def test_results_pickle_and_copy(cls, how):
    result = RESULTS[cls]()
    copied = COPIES[how](result)
    assert type(copied) is cls and not hasattr(copied, "__dict__")
    assert copied.as_dict() == result.as_dict()
    assert [type(getattr(copied, f.name)) for f in dataclasses.fields(cls)] == [
        type(getattr(result, f.name)) for f in dataclasses.fields(cls)]
    with pytest.raises(dataclasses.FrozenInstanceError):
        copied.span = (0, 0)


@pytest.mark.parametrize("cls, args, error", [
    (quillet.Section, (1,), "Section\\(\\) takes 9 positional arguments \\(1 given\\)"),
    (int, (), "int has no __slots__"),
    (type("Odd", (), {"__slots__": ("a", "__dict__")}), (), "'__dict__' is not an object slot of Odd"),
    (3, (), "takes a class"),
])
def test_the_maker_refuses_what_it_cannot_make(cls, args, error):
    from quillet._result import maker

    with pytest.raises(TypeError, match=error):
        maker(cls)(*args)


def test_the_maker_fills_every_slot():
    from quillet._result import maker

    made = maker(quillet.Diagnostic)("code", "warning", "m", (1, 2), 1, 2, 1, 2, "h")
    assert made == quillet.Diagnostic("code", "warning", "m", (1, 2), 1, 2, 1, 2, "h")
    assert gc.is_tracked(made)


# ordered_map's workers: results in order, an item's exception where its
# result would be (after the results before it), a worker that dies.
@pytest.mark.parametrize("fn, items, expected, error", [
    (functools.partial(divmod, 100), list(range(1, 60)), [divmod(100, i) for i in range(1, 60)], None),
    (functools.partial(divmod, 100), [5, 4, 0, 3], [(20, 0), (25, 0)], ZeroDivisionError),
    (os._exit, [3, 3, 3], [], "lost"),
])
def test_ordered_map_in_workers(fn, items, expected, error):
    got = []
    results = ordered_map(fn, items, 2)
    try:
        got.extend(results)
    except Exception as exc:
        assert type(exc) is (broken_pool() if error == "lost" else error), exc
        # What happened in the worker: the exception's traceback, or how the worker ended.
        assert "Traceback" in str(exc.__cause__) if error is ZeroDivisionError else "exit status 3" in str(exc)
    else:
        assert error is None
    assert got == expected


@pytest.mark.parametrize("mode", ["json", "text", "tree"])
def test_command_outputs_are_the_same_whatever_the_workers(files, tmp_path, mode):
    paths = [p for p in files[0] if "missing" not in p and "bad" not in p]
    outputs = []
    for jobs in ("1", "2", "3"):
        out = tmp_path / f"out{jobs}"
        subprocess.run([sys.executable, "-m", "quillet.cli", "--to", mode, "-o", str(out), "-j", jobs, *paths],
                       capture_output=True, timeout=120)
        outputs.append({p.name: p.read_bytes() for p in out.iterdir()})
    assert len(outputs[0]) == 3 and outputs[0] == outputs[1] == outputs[2]


def test_records_against_to_dict():
    text = "Grüße\n\n" + SINK
    rows = quillet.records(text, doc_id="d")
    data = [n for n in _walk_dicts(quillet.to_dict(pyql.parse_with_recovery(text))["document"]["blocks"])]
    assert [(r["type"], [r["byte_start"], r["byte_end"]]) for r in rows] == [(d["type"], d["span"]) for d in data]
    encoded = text.encode()
    for row, node in zip(rows, data):
        assert list(row) == [name for name, _ in RECORD_FIELDS] and row["doc_id"] == "d"
        assert text[row["char_start"]:row["char_end"]] == encoded[row["byte_start"]:row["byte_end"]].decode()
        assert (row["line"], row["column"]) == quillet.line_col(text, row["byte_start"])
        own = {k: v for k, v in node.items() if k in row and k != "type" and not isinstance(v, list)}
        assert {k: row[k] for k in own} == own
        if row["parent"] is not None:
            parent = rows[row["parent"]]
            assert parent["depth"] == row["depth"] - 1 and parent["byte_start"] <= row["byte_start"]
    heading = next(r for r in rows if r["type"] == "Heading")
    title = next(s.title for s in quillet.sections(text) if s.level)  # a footnote reference is no part of it
    assert heading["heading_path"] == [title] and rows[-1]["heading_path"] == [title]
    tree_rows = quillet.records(pyql.parse(TOUR).blocks and pyql.parse_with_recovery(TOUR))
    assert tree_rows[0]["char_start"] is None
    assert quillet.records(pyql.parse_with_recovery(TOUR), text=TOUR) == quillet.records(TOUR)


def _walk_dicts(nodes):
    inline_content = {"Heading", "Paragraph", "TableCell"}
    for node in nodes:
        yield node
        if node["type"] in inline_content:
            continue
        for key in ("items", "blocks", "rows", "cells", "defs"):
            if key in node:
                yield from _walk_dicts(node[key])


def test_tables_load_into_pandas_and_duckdb():
    pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    duckdb = pytest.importorskip("duckdb")
    rows = quillet.records(TOUR, doc_id="tour") + quillet.records(SINK, doc_id="sink")
    blocks = quillet.to_arrow(rows)
    assert blocks.schema == arrow_schema() and blocks.num_rows == len(rows)
    assert quillet.to_arrow(TOUR, doc_id="tour").to_pylist() == rows[:len(quillet.records(TOUR))]
    frame = pd.DataFrame(rows)
    counts = duckdb.sql("select type, count(*) as n from blocks group by type order by type").fetchall()
    assert dict(counts) == frame.groupby("type").size().to_dict() == blocks.to_pandas().groupby("type").size().to_dict()


# Sources of one text and what their records are beside those of the str: the same, or with the positions
# (which need the text) None. to_arrow builds its columns from the outline, never from the rows.
WIDE = "# Grüße 日本 [^n]\n\n::list start=3\n- é *x* \U0001f642\n::\n::table\n| a | ü |\n::\n"
PLACED = ("char_start", "char_end", "line", "column")


ARROW_SOURCES = [
    ("str", lambda t: (t, {}), True),
    ("result and text", lambda t: (pyql.parse_with_recovery(t), {"text": t}), True),
    ("document and text", lambda t: (pyql.parse_with_recovery(t).document, {"text": t}), True),
    ("outline", lambda t: (read_outline(t, plain=True), {}), True),
    ("document", lambda t: (pyql.parse_with_recovery(t).document, {}), False),
    ("blocks", lambda t: (list(pyql.parse_with_recovery(t).document.blocks), {}), False),
]


@pytest.mark.parametrize("text", [WIDE, SINK, "", "--- meta ---\nbig: 99999999999999999999\n---\n# t\n"])
@pytest.mark.parametrize("name, make, placed", ARROW_SOURCES, ids=[s[0] for s in ARROW_SOURCES])
def test_records_and_tables_of_every_source(text, name, make, placed):
    pa = pytest.importorskip("pyarrow")
    source, kwargs = make(text)
    expected = quillet.records(text, doc_id="d")
    if not placed:
        expected = [{**row, **dict.fromkeys(PLACED)} for row in expected]
    assert quillet.records(source, doc_id="d", **kwargs) == expected
    if name == "blocks":  # to_arrow reads a list as rows
        return
    table = quillet.to_arrow(source, doc_id="d", **kwargs)
    table.validate(full=True)
    assert table.schema == arrow_schema() and table.to_pylist() == expected
    assert table.equals(pa.Table.from_pylist(expected, schema=arrow_schema()))


def test_tables_of_shared_nodes_and_in_batches(monkeypatch):
    pytest.importorskip("pyarrow")
    doc = pyql.parse(WIDE + "\nlast\n")
    doc.blocks.extend([doc.blocks[-1]] * 2)  # one paragraph in three places: a row for each
    rows = quillet.records(doc)
    n = len(rows)
    assert quillet.to_arrow(doc).to_pylist() == rows and rows[-2:] == [{**rows[-3], "index": i} for i in (n - 2, n - 1)]
    whole = quillet.to_arrow(WIDE)
    # Arrow's 32-bit offsets: past the limit of bytes per string column, a table comes in several batches.
    monkeypatch.setattr(importlib.import_module("quillet.records"), "_ARROW_BATCH_LIMIT", 20)
    table = quillet.to_arrow(WIDE, doc_id="é")
    assert len(table.to_batches()) > 2 and table.equals(whole.set_column(0, "doc_id", table.column(0)))
    assert table.to_pylist() == quillet.records(WIDE, doc_id="é")
    with pytest.raises(ValueError, match="too long for an Arrow string column"):
        quillet.to_arrow("# " + "a" * 21 + "\n")


def test_tables_of_one_outline_in_threads():
    pytest.importorskip("pyarrow")
    outline = read_outline(SINK * 200, plain=True)
    expected = quillet.to_arrow(outline)
    tables = []
    threads = [threading.Thread(target=lambda: tables.append(quillet.to_arrow(outline))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert len(tables) == 4 and all(t.equals(expected) for t in tables)


@pytest.mark.parametrize("args, error", [
    (("x", ("type",), None, {}), "TypeError: records(outline"),
    ((None, ["type"], None, {}), "TypeError: records(outline"),
    ((None, ("nope",), None, {}), "ValueError: no record column 'nope'"),
    ((None, (1,), None, {}), "TypeError: keys must be str, not int"),
    ((None, ("heading_path",), None, {}), "KeyError: 0"),
    ((None, ("heading_path",), None, {0: ["a"]}), "TypeError: a heading path must be a tuple, not list"),
])
def test_native_records_refuse_bad_arguments(args, error):
    args = (_native.outline("# a\n"), *args[1:]) if args[0] is None else args
    for call, extra in ((_native.records, ()), (_native.record_columns, (100,))):
        with pytest.raises((TypeError, ValueError, KeyError)) as info:
            call(*args, *extra)
        assert f"{info.type.__name__}: {info.value}".startswith(error.replace("records(", call.__name__ + "("))
    with pytest.raises(ValueError, match="'text' needs an outline built with plain=True"):
        _native.records(_native.outline("# a\n"), ("text",), None, {})


# Long enough that positions pass 2**12 many times: values that share their low bits are told apart.
@pytest.mark.parametrize("text", [WIDE + "::callout tip\nx\n::\n", (WIDE + "::quote\nq\n::\n") * 400])
def test_native_records_read_the_outline_columns_by_their_names(text):
    outline = _native.outline(text, plain=True, render="text")
    names = [n for n, _ in RECORD_FIELDS if n not in ("doc_id", "heading_path")]
    names += ["end_line", "heading_title", "section", "rows", "cols", "rendered"]
    rows = _native.records(outline, tuple(names), None, {})
    assert {n: [r[n] for r in rows] for n in names} == {n: outline.column(n) for n in names}


def test_records_rows_are_dicts_of_their_own():
    rows = quillet.records(WIDE, doc_id="d")
    first, second = rows[0], rows[1]
    first["level"], first["extra"] = 9, 1
    del first["doc_id"]
    assert type(first) is dict and list(first)[-1] == "extra" and "doc_id" not in first
    assert second == quillet.records(WIDE, doc_id="d")[1]
    assert pickle.loads(pickle.dumps(rows)) == rows and copy.deepcopy(rows) == rows


def test_to_arrow_without_pyarrow_says_what_to_install():
    code = ("import sys; sys.modules['pyarrow'] = None\nimport quillet\n"
            "try:\n    quillet.to_arrow('# a')\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "pip install 'quillet-parser[arrow]'" in out.stdout, out.stderr


def test_readme_dask_recipe_on_a_local_cluster(tmp_path):
    pytest.importorskip("dask.distributed")
    readme = (ROOT / "docs" / "corpus.md").read_text(encoding="utf-8")
    code = re.search(r"# Corpus-scale processing.*?```python\n(.*?)```", readme, re.S).group(1)
    (tmp_path / "docs" / "sub").mkdir(parents=True)
    (tmp_path / "docs" / "sub" / "tour.qlt").write_text(TOUR, encoding="utf-8")
    (tmp_path / "docs" / "errors.qlt").write_text((ROOT / "examples" / "errors.qlt").read_text(), encoding="utf-8")
    (tmp_path / "docs" / "sink.qlt").write_text(SINK, encoding="utf-8")
    (tmp_path / "recipe.py").write_text(code, encoding="utf-8")
    run = subprocess.run([sys.executable, "recipe.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    lines = run.stdout.splitlines()
    expected, errors = {}, 0
    for name in ("docs/errors.qlt", "docs/sink.qlt", "docs/sub/tour.qlt"):
        text = (tmp_path / name).read_text(encoding="utf-8")
        errors += len(pyql.parse_with_recovery(text).errors)
        for row in quillet.records(text):
            expected[row["type"]] = expected.get(row["type"], 0) + 1
    assert lines[0] == f"3 documents, {errors} errors"
    counts = dict(line.split() for line in lines[2:])
    assert {k: int(v) for k, v in counts.items()} == expected


# A run in a child process: the workers' ends as the command meets them.
# "all": every result taken, then the results closed (as the command closes
# them): each worker that did a job ends on its own, which its exit hook
# records. "stop": closed after the first result while the other workers
# ignore SIGTERM and sleep: closing must not wait for them.
WORKERS_END = """
import os, signal, sys, time
from multiprocessing import util
from quillet.batch import ordered_map
mode, marks = sys.argv[1:]

def job(item):
    if not hasattr(job, "pid"):
        job.pid = os.getpid()
        util.Finalize(None, lambda: open(os.path.join(marks, str(job.pid)), "w").close(), exitpriority=0)
    if mode == "stop":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if item:
            time.sleep(600)
    return item, job.pid

results = ordered_map(job, [0, 1, 1] if mode == "stop" else list(range(40)), 3)
got = [next(results) for _ in range(1 if mode == "stop" else 40)]
results.close()
print([item for item, _ in got] == list(range(len(got))), sorted({pid for _, pid in got}))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="forks its workers")
@pytest.mark.parametrize("mode", ["all", "stop"])
def test_workers_end_without_holding_up_the_run(tmp_path, mode):
    run = subprocess.run([sys.executable, "-c", WORKERS_END, mode, str(tmp_path)], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0 and run.stdout.startswith("True"), run.stderr[-2000:]
    if mode == "all":
        assert run.stdout.split(None, 1)[1].strip() == str(sorted(int(p) for p in os.listdir(tmp_path)))
