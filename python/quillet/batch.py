"""Many documents at once: ``parse_files``, and the worker processes it
shares with the command's ``-j``.

Workers are given paths, never file contents: each reads, parses (and runs a
tool, or for the command writes) on its own, so only results or small
reports cross between processes.

The workers are ours, not a ``concurrent.futures`` pool: each has a pipe of
its own, on which it gets one job (a few items) at a time and sends back
that job's results. No lock is shared between processes, so a worker that
is killed, crashes or is stopped at any moment can hold up no other, and
ending the workers never waits on one: a worker whose pipe closes ends, and
one stopped early is killed.
"""

from __future__ import annotations

import functools
import importlib
import os
import pickle
import signal
import struct
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Generator, Iterable, TypeVar, Union, overload

import pyql
from quillet._files import decode, read_path
from quillet._source import gc_paused, profile_value

if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from multiprocessing.process import BaseProcess

__all__ = ["TOOLS", "WorkerLost", "broken_pool", "ordered_map", "parse_files"]

T = TypeVar("T")
R = TypeVar("R")

# The signals that end a run with the main process's cleanup (SIGINT comes as
# KeyboardInterrupt).
END_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name)
)

# The tools parse_files runs on each file, by the name its to= takes: the
# writers by their format's name (as the command's --to), the others by their
# own. The module is imported only when a tool is asked for. sections is not
# one: a section holds the document's nodes, the very objects to= spares
# sending.
TOOLS = {
    "json": ("quillet.writers", "to_json"),
    "dict": ("quillet.writers", "to_dict"),
    "text": ("quillet.writers", "to_text"),
    "markdown": ("quillet.writers", "to_markdown"),
    "html": ("quillet.html", "to_html"),
    "chunks": ("quillet.chunks", "chunks"),
    "check": ("quillet.check", "check"),
    "records": ("quillet.records", "records"),
}

# The arguments parse_files gives a tool itself: the text comes from the
# file, and doc_id (for the tools that take one) is the file's path.
_GIVEN = ("source", "text", "doc_id")

FileResult = Union["pyql.ParseResult", OSError, UnicodeDecodeError]


@overload
def parse_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    jobs: int | None = 0,
    profile: pyql.Profile | str | None = None,
    to: None = None,
) -> Generator[tuple[Any, FileResult], None, None]: ...
@overload
def parse_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    jobs: int | None = 0,
    profile: pyql.Profile | str | None = None,
    to: str,
    **options: Any,
) -> Generator[tuple[Any, Any], None, None]: ...
def parse_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    jobs: int | None = 0,
    profile: pyql.Profile | str | None = None,
    to: str | None = None,
    **options: Any,
) -> Generator[tuple[Any, Any], None, None]:
    """``(path, result)`` for each path, in input order: the file's
    ``ParseResult``, or the ``OSError`` or ``UnicodeDecodeError`` of a file
    that cannot be read or is not UTF-8. Files are read as the ``quillet``
    command reads them: only regular files (a directory, FIFO, device or
    socket is an ``OSError`` and is never opened, so no path can block the
    run), at most the parser's limit of bytes (an ``OSError`` with
    ``errno.EFBIG`` beyond), a leading byte-order mark dropped (spans, and a
    ``UnicodeDecodeError``'s positions, count from the byte after it).

    ``to`` names a tool of ``TOOLS`` to run on each file's text instead
    ("json", "dict", "text", "markdown", "html", "chunks", "check",
    "records"): the result is then what ``quillet.to_json(text, **options)``
    (and so on) returns, computed where the file is read, so that only that
    result crosses between processes. ``options`` are the tool's keyword
    options; a tool that takes ``doc_id`` gets the file's path.

    ``jobs`` worker processes read the files and send back the results (0
    or None: one per core); with ``jobs=1`` the files are read in this
    process, one after the other. ``profile`` is None, a ``pyql.Profile`` or
    its name. Bad arguments raise at the call, the tool's options too (they
    are tried on an empty text), and with workers, options that cannot be
    pickled."""
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int)):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    if jobs is not None and jobs < 0:
        raise ValueError(f"jobs must be at least 0, not {jobs}")
    paths = list(paths)
    for path in paths:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"paths must hold str or os.PathLike objects, not {type(path).__name__}")
    profile = profile_value(profile)
    workers = jobs or os.cpu_count() or 1
    if to is None:
        if options:
            raise TypeError(f"parse_files() got options for a tool without to=: {', '.join(options)}")
        work: Callable[[Any], Any] = functools.partial(_parse_file, profile=profile)
    else:
        doc_id = _check_tool(to, profile, options, workers > 1 and len(paths) > 1)
        work = functools.partial(_run_tool, tool=to, profile=profile, options=options, doc_id=doc_id)
    return _results(paths, work, workers)


def _tool(name: str) -> Callable[..., Any]:
    module, function = TOOLS[name]
    return getattr(importlib.import_module(module), function)  # type: ignore[no-any-return]


def _check_tool(to: Any, profile: pyql.Profile | None, options: dict[str, Any], pickled: bool) -> bool:
    """Refuse, at the call, a tool that is not one of TOOLS, options it
    does not take or values it refuses (the tool is run on an empty text
    here), and, when the options go to workers, options pickle cannot
    send. Whether the tool takes a doc_id."""
    if not isinstance(to, str):
        raise TypeError(f"to must be None or a tool's name, not {type(to).__name__}")
    if to not in TOOLS:
        raise ValueError(f"to must be one of {', '.join(TOOLS)}, not {to!r}")
    for name in _GIVEN:
        if name in options:
            raise TypeError(f"parse_files() gives {name} itself: it takes no {name} option")
    import inspect

    tool = _tool(to)
    doc_id = "doc_id" in inspect.signature(tool).parameters
    tool("", profile=profile, **({"doc_id": ""} if doc_id else {}), **options)
    if pickled:
        for name, value in options.items():
            try:
                pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
            except Exception as exc:
                raise TypeError(
                    f"{name} must pickle to go to the worker processes (a function defined at the top "
                    f"level of a module, say), or pass jobs=1: {exc}"
                ) from None
    return doc_id


def _results(
    paths: list[Any], work: Callable[[Any], Any], workers: int
) -> Generator[tuple[Any, Any], None, None]:
    results = ordered_map(work, paths, workers)
    try:
        yield from zip(paths, results)
    finally:
        results.close()


def _read(path: str | os.PathLike[str]) -> str:
    return decode(read_path(path))


def _parse_file(path: str | os.PathLike[str], profile: pyql.Profile | None) -> FileResult:
    try:
        text = _read(path)
    except (OSError, UnicodeDecodeError) as exc:
        return exc
    return pyql.parse_with_recovery(text, profile)


def _run_tool(
    path: str | os.PathLike[str], tool: str, profile: pyql.Profile | None, options: dict[str, Any], doc_id: bool
) -> Any:
    try:
        text = _read(path)
    except (OSError, UnicodeDecodeError) as exc:
        return exc
    if doc_id:
        options = {**options, "doc_id": os.fsdecode(path)}
    return _tool(tool)(text, profile=profile, **options)


# ---------------------------------------------------------------------------
# The worker processes


class WorkerLost(RuntimeError):
    """A worker process ended before it sent back the results of its job
    (killed, crashed, out of memory)."""


class _RemoteTraceback(Exception):
    """The traceback of an exception raised in a worker, as its __cause__."""

    def __str__(self) -> str:
        return str(self.args[0])


def broken_pool() -> type[BaseException]:
    """The exception of a run whose worker died."""
    return WorkerLost


def ordered_map(fn: Callable[[T], R], items: list[T], workers: int) -> Generator[R, None, None]:
    """fn(item) for each item, in order, computed in up to ``workers``
    processes (never more than items) while finished results are handed out.
    An exception fn raises is raised where its item's result would come
    (``WorkerLost`` where a worker died). Where no process can be started,
    in this process. Closing the generator before the last result ends the
    workers at once."""
    if len(items) <= 1 or workers <= 1:
        # One job gains nothing from another process, and starting one costs time.
        yield from map(fn, items)
        return
    count = max(1, min(workers, len(items)))
    # Items go in jobs of a few, so that many small files cost few messages.
    size = max(1, min(64, len(items) // (count * 8)))
    jobs = [items[i : i + size] for i in range(0, len(items), size)]
    try:
        pool = _Pool(fn, count)
    except (OSError, ValueError, NotImplementedError, ImportError, AssertionError):
        # No working multiprocessing here (no pipes left, say; a daemonic
        # worker of another pool may start none): one process.
        yield from map(fn, items)
        return
    handed = 0
    try:
        for results in pool.results(jobs):
            for result in results:
                handed += 1
                yield result
    finally:
        # Once every result is out the workers are idle, and their pipes
        # closing ends them; else (a signal, a closed output, a failure)
        # what they are doing is of no use any more.
        pool.close(stop=handed < len(items))


# This process's ends of the pipes of every pool alive: a forked worker closes
# them all, so that no pipe of one pool stays open in the workers of another.
_OPEN_ENDS: set[Connection] = set()


class _Worker:
    __slots__ = ("process", "conn", "job")

    def __init__(self, process: BaseProcess, conn: Connection) -> None:
        self.process = process
        self.conn = conn  # this process's end of the worker's pipe
        self.job = -1  # the job it is doing, -1 when idle


class _Pool:
    """Worker processes, each with its own pipe, doing one job at a time."""

    # How many jobs may be done ahead of the first one not handed out yet, per
    # worker: a slow file holds up the results after it in memory, not beyond.
    AHEAD = 4
    # How long stopped workers get to end before they are killed, and how
    # long idle workers get to end once their pipes are closed.
    STOP_GRACE = 0.5
    CLOSE_GRACE = 10.0

    def __init__(self, fn: Callable[[Any], Any], count: int) -> None:
        import multiprocessing

        # Linux workers are forked from this process, so that they can watch
        # it as their parent (a fork server would stand between them); a
        # process running other threads is not forked (a lock one of them
        # holds would stay locked in the child) but uses a fork server.
        context: Any = multiprocessing.get_context()
        watched: int | None = None  # the parent a worker watches
        forked = False
        if sys.platform.startswith("linux"):
            forked = threading.active_count() == 1
            context = multiprocessing.get_context("fork" if forked else "forkserver")
            watched = os.getpid() if forked else None
        self.workers: list[_Worker] = []
        try:
            for _ in range(count):
                ours, theirs = context.Pipe()
                # A forked worker closes the ends of the pipes it inherits
                # from this process: the pipe's other end then sees the end
                # of a worker, and the worker the end of this process.
                _OPEN_ENDS.add(ours)
                inherited = list(_OPEN_ENDS) if forked else []
                process = context.Process(
                    target=_work, args=(theirs, fn, watched, inherited), name="quillet-worker", daemon=True
                )
                try:
                    process.start()
                except BaseException:
                    ours.close()
                    _OPEN_ENDS.discard(ours)
                    raise
                finally:
                    theirs.close()
                self.workers.append(_Worker(process, ours))
        except BaseException:
            self.close(stop=True)
            raise

    def results(self, jobs: list[list[Any]]) -> Generator[list[Any], None, None]:
        """The results of each job, in order; the exception of a job whose
        item raised, after the results of the items before it."""
        from multiprocessing.connection import wait

        done: dict[int, bytes | bytearray] = {}
        ahead = self.AHEAD * len(self.workers)
        sent = 0
        for wanted in range(len(jobs)):
            while wanted not in done:
                for worker in self.workers:
                    if worker.job < 0 and sent < len(jobs) and sent < wanted + ahead:
                        job = pickle.dumps(jobs[sent], pickle.HIGHEST_PROTOCOL)
                        try:
                            worker.conn.send_bytes(job)
                        except OSError:
                            raise _lost(worker) from None
                        worker.job = sent
                        sent += 1
                busy = {worker.conn: worker for worker in self.workers if worker.job >= 0}
                for conn in wait(list(busy)):
                    worker = busy[conn]  # type: ignore[index]
                    try:
                        done[worker.job] = _receive(worker.conn)
                    except (EOFError, OSError):
                        raise _lost(worker) from None
                    worker.job = -1
            with gc_paused():
                # Every object a result holds is new and none is in a cycle:
                # a collection during the load could find nothing.
                results, error, trace = pickle.loads(done.pop(wanted))
            if error is not None:
                yield results
                if trace:
                    error.__cause__ = _RemoteTraceback(trace)
                raise error
            yield results

    def close(self, stop: bool) -> None:
        """End the workers: idle ones by closing their pipes, all at once
        when stop. Never waits on a worker longer than the grace."""
        for worker in self.workers:
            if stop:
                _signal(worker.process, "terminate")
            worker.conn.close()
            _OPEN_ENDS.discard(worker.conn)
        deadline = time.monotonic() + (self.STOP_GRACE if stop else self.CLOSE_GRACE)
        for worker in self.workers:
            worker.process.join(max(0.0, deadline - time.monotonic()))
            if worker.process.exitcode is None:
                # A worker forked a moment before it was stopped can miss
                # SIGTERM (its handlers were not set yet); SIGKILL is not missed.
                _signal(worker.process, "kill")
                worker.process.join()
        for worker in self.workers:
            try:
                worker.process.close()
            except ValueError:
                pass
        self.workers = []


def _signal(process: BaseProcess, how: str) -> None:
    try:
        getattr(process, how)()
    except (OSError, ValueError, AttributeError):
        pass


def _lost(worker: _Worker) -> WorkerLost:
    worker.process.join(1.0)  # its pipe is closed: it is ending
    code = worker.process.exitcode
    if code is None:
        how = "its pipe closed"
    elif code < 0:
        try:
            how = f"ended by {signal.Signals(-code).name}"
        except ValueError:
            how = f"ended by signal {-code}"
    else:
        how = f"exit status {code}"
    return WorkerLost(f"a worker process ended before it finished its job ({how})")


def _work(conn: Connection, fn: Callable[[Any], Any], main_pid: int | None, inherited: list[Connection]) -> None:
    """A worker's life: jobs from its pipe until the pipe closes; for each,
    the results of its items, up to the first that raises and its
    exception. A pipe closed by the main process (a stopped run) ends the
    worker quietly."""
    _init_worker(main_pid)
    for other in inherited:
        other.close()
    while True:
        try:
            data = conn.recv_bytes()
        except (EOFError, OSError):
            return
        items = pickle.loads(data)
        results: list[Any] = []
        error: BaseException | None = None
        for item in items:
            try:
                results.append(fn(item))
            except Exception as exc:
                error = exc
                break
        try:
            _send(conn, _message(results, error))
        except OSError:
            return
        del data, items, results, error


# A result can be large (a writer's output is several times its input):
# where the pipe is a file descriptor, it goes as its length and its bytes,
# read straight into a buffer of that length (Connection.recv_bytes gathers a
# long message in a BytesIO that it grows, copying, read after read).
_RAW = os.name == "posix"
_LENGTH = struct.Struct("!Q")


def _send(conn: Connection, data: bytes) -> None:
    if not _RAW:
        conn.send_bytes(data)
        return
    fd = conn.fileno()
    view = memoryview(_LENGTH.pack(len(data)) + data) if len(data) < 4096 else None
    parts = [memoryview(_LENGTH.pack(len(data))), memoryview(data)] if view is None else [view]
    while parts:
        written = os.writev(fd, parts)
        while parts and written >= len(parts[0]):
            written -= len(parts[0])
            parts.pop(0)
        if parts:
            parts[0] = parts[0][written:]


def _receive(conn: Connection) -> bytes | bytearray:
    if not _RAW:
        return conn.recv_bytes()
    fd = conn.fileno()
    (size,) = _LENGTH.unpack(_read_exactly(fd, _LENGTH.size))
    return _read_exactly(fd, size)


def _read_exactly(fd: int, size: int) -> bytearray:
    data = bytearray(size)
    view = memoryview(data)
    done = 0
    while done < size:
        count = os.readv(fd, [view[done:]])
        if not count:
            raise EOFError
        done += count
    return data


def _message(results: list[Any], error: BaseException | None) -> bytes:
    """A job's results, its item's exception and that one's traceback,
    pickled; a result or exception pickle cannot take becomes a TypeError
    that says so, in its item's place."""
    import traceback

    trace = "".join(traceback.format_exception(type(error), error, error.__traceback__)) if error else ""
    try:
        return pickle.dumps((results, error, trace), pickle.HIGHEST_PROTOCOL)
    except Exception as exc:
        problem = exc
    for index, result in enumerate(results):
        try:
            pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
        except Exception as exc:
            failure = TypeError(f"a worker's result ({type(result).__name__}) cannot be pickled: {exc}")
            return pickle.dumps((results[:index], failure, ""), pickle.HIGHEST_PROTOCOL)
    failure = TypeError(f"a worker's exception ({type(error).__name__}: {error}) cannot be pickled: {problem}")
    return pickle.dumps((results, failure, trace), pickle.HIGHEST_PROTOCOL)


def _init_worker(main_pid: int | None) -> None:
    # Ctrl-C reaches every process of the terminal's group: the main process
    # handles it and stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for signum in END_SIGNALS:  # not the main process's handlers
        signal.signal(signum, signal.SIG_DFL)
    if main_pid is not None:
        _end_with(main_pid)


def _end_with(main_pid: int) -> None:
    """Make this worker end when the main process does, however it ends
    (SIGKILL runs no cleanup): a worker busy with a file that never ends
    (a FIFO) would otherwise outlive it."""
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            pr_set_pdeathsig = 1
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.prctl(pr_set_pdeathsig, ctypes.c_ulong(signal.SIGKILL), 0, 0, 0) == 0:
                if os.getppid() != main_pid:  # it ended before the request
                    os._exit(1)
                return
        except (ImportError, OSError, AttributeError):
            pass

    def watch() -> None:
        while os.getppid() == main_pid:
            time.sleep(1.0)
        os._exit(1)

    threading.Thread(target=watch, name="quillet-watch-main", daemon=True).start()
