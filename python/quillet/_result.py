"""What the tools' result classes share: pickling and copying.

A result is a frozen dataclass with ``__slots__``: it has no ``__dict__``,
and the state a pickle (or ``copy``) gives it by default is set back field by
field through ``setattr``, which a frozen class refuses. ``Result``, the base
of every such class (``class Chunk(Result):``, one line), keeps the fields'
values as one tuple in the dataclass's order and sets them back with
``object.__setattr__``, as the dataclass's own ``__init__`` does.
``maker(cls)`` builds such objects in bulk, in C, at a fraction of the
cost of that ``__init__``.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, TypeVar

from quillet import _native

__all__ = ["Result", "maker"]

_R = TypeVar("_R", bound="Result")

# The field names of each result class, read once.
_NAMES: dict[type, tuple[str, ...]] = {}


def _names(cls: type) -> tuple[str, ...]:
    names = _NAMES.get(cls)
    if names is None:
        names = _NAMES[cls] = tuple(field.name for field in dataclasses.fields(cls))
    return names


class Result:
    """The base of the frozen result dataclasses: pickles (every protocol),
    ``copy.copy`` and ``copy.deepcopy``."""

    __slots__ = ()

    def __getstate__(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in _names(type(self)))

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        names = _names(type(self))
        if not isinstance(state, tuple) or len(state) != len(names):
            raise TypeError(f"{type(self).__name__} takes a tuple of {len(names)} field values to unpickle")
        for name, value in zip(names, state):
            object.__setattr__(self, name, value)


def maker(cls: type[_R]) -> Callable[..., _R]:
    """A constructor of ``cls`` that takes the values of its ``__slots__``, in
    their order, and stores each in its slot (``quillet._native.maker``):
    the frozen dataclass's ``__init__`` goes through ``object.__setattr__``
    per field, at several times the cost, and a tool makes thousands of
    results per document."""
    make: Callable[..., _R] = _native.maker(cls)
    return make
