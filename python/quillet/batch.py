"""Many documents at once: ``parse_files``, and the worker processes it
shares with the command's ``-j``.

Workers are given paths, never file contents: each reads, parses (and, for
the command, writes) on its own, so only results or small reports cross
between processes.
"""

from __future__ import annotations

import functools
import gc
import os
import pickle
import signal
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Generator, Iterable, TypeVar, Union

import pyql
from quillet._files import decode, read_path
from quillet._source import profile_value

if TYPE_CHECKING:
    from concurrent.futures import ProcessPoolExecutor

__all__ = ["broken_pool", "ordered_map", "parse_files"]

T = TypeVar("T")
R = TypeVar("R")

# The signals that end a run with the main process's cleanup (SIGINT comes as
# KeyboardInterrupt).
END_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name)
)

FileResult = Union["pyql.ParseResult", OSError, UnicodeDecodeError]


def parse_files(
    paths: Iterable[str | os.PathLike[str]], *, jobs: int | None = 0, profile: pyql.Profile | str | None = None
) -> Generator[tuple[Any, FileResult], None, None]:
    """``(path, result)`` for each path, in input order: the file's
    ``ParseResult``, or the ``OSError`` or ``UnicodeDecodeError`` of a file
    that cannot be read or is not UTF-8. Files are read as the ``quillet``
    command reads them: only regular files (a directory, FIFO, device or
    socket is an ``OSError`` and is never opened, so no path can block the
    run), at most the parser's limit of bytes (an ``OSError`` with
    ``errno.EFBIG`` beyond), a leading byte-order mark dropped (spans, and a
    ``UnicodeDecodeError``'s positions, count from the byte after it).

    ``jobs`` worker processes read and parse the files and send back the
    pickled results (0 or None: one per core); with ``jobs=1`` the files are
    parsed in this process, one after the other. ``profile`` is None, a
    ``pyql.Profile`` or its name. Bad arguments raise at the call."""
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
    return _results(paths, workers, profile)


def _results(paths: list[Any], workers: int, profile: Any) -> Generator[tuple[Any, FileResult], None, None]:
    if workers <= 1 or len(paths) < 2:
        yield from zip(paths, (_parse_file(path, profile) for path in paths))
        return
    pickled = ordered_map(functools.partial(_parse_file_pickled, profile=profile), paths, workers)
    try:
        for path, result in zip(paths, pickled):
            yield path, _loads(result) if isinstance(result, bytes) else result
    finally:
        pickled.close()


def _parse_file(path: str | os.PathLike[str], profile: pyql.Profile | None) -> FileResult:
    try:
        text = decode(read_path(path))
    except (OSError, UnicodeDecodeError) as exc:
        return exc
    return pyql.parse_with_recovery(text, profile)


def _parse_file_pickled(
    path: str | os.PathLike[str], profile: pyql.Profile | None
) -> bytes | OSError | UnicodeDecodeError:
    """A worker's result: a ParseResult pickled by the worker itself, so that
    the main process unpickles it with the cycle collector paused (_loads)."""
    result = _parse_file(path, profile)
    if isinstance(result, (OSError, UnicodeDecodeError)):
        return result
    return pickle.dumps(result, pickle.HIGHEST_PROTOCOL)


def _loads(data: bytes) -> Any:
    """pickle.loads with the cycle collector paused, as pyql pauses it while it
    builds a tree: every object made is reachable from the tree, so a
    collection could find nothing, yet each would walk the documents loaded
    so far again."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        return pickle.loads(data)
    finally:
        if enabled:
            gc.enable()


def ordered_map(fn: Callable[[T], R], items: list[T], workers: int) -> Generator[R, None, None]:
    """fn(item) for each item, in order, computed in up to ``workers``
    processes (never more than items) while finished results are handed out.
    Where no process pool can be made, in this process. Closing the
    generator early ends the workers at once."""
    if len(items) <= 1:
        # One job gains nothing from another process, and starting one costs time.
        yield from map(fn, items)
        return
    # Imported only when there are workers: a run of one process starts sooner.
    from concurrent.futures import ProcessPoolExecutor

    try:
        # Linux workers are forked from this process, so that they can watch
        # it as their parent (a fork server would stand between them); a
        # process running other threads is not forked (a lock one of them
        # holds would stay locked in the child) but uses a fork server.
        context = None
        watched: int | None = None  # the parent a worker watches
        if sys.platform.startswith("linux"):
            import multiprocessing

            forked = threading.active_count() == 1
            context = multiprocessing.get_context("fork" if forked else "forkserver")
            watched = os.getpid() if forked else None
        pool = ProcessPoolExecutor(
            max_workers=max(1, min(workers, len(items))),
            mp_context=context,
            initializer=_init_worker,
            initargs=(watched,),
        )
    except (OSError, ValueError, NotImplementedError, ImportError):
        # No working multiprocessing here (no semaphores, say): one process.
        yield from map(fn, items)
        return
    finished = False
    try:
        chunk = max(1, min(64, len(items) // (workers * 8)))
        yield from pool.map(fn, items, chunksize=chunk)
        finished = True
    finally:
        if not finished:
            # Stopped early (a signal, a closed output, a failure): what the
            # workers are doing is of no use any more.
            _stop_workers(pool)
        pool.shutdown(wait=True, cancel_futures=True)


class _NoPool(Exception):
    """Never raised: what broken_pool() gives when no pool was made."""


def broken_pool() -> type[BaseException]:
    """The exception of a pool whose worker died, once a pool was made."""
    module = sys.modules.get("concurrent.futures.process")
    return getattr(module, "BrokenProcessPool", _NoPool)


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
    (SIGKILL runs no cleanup): a worker would otherwise wait for its next
    job forever, since it holds the job pipe's writing end too."""
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


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    """End the pool's processes now rather than after their current jobs.
    The executor has no public way to do this before Python 3.14."""
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        try:
            process.terminate()
        except (OSError, ValueError, AttributeError):
            pass
