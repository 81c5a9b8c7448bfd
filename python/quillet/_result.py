"""What the tools' result classes share: pickling and copying.

A result is a frozen dataclass with ``__slots__``: it has no ``__dict__``,
and the state a pickle (or ``copy``) gives it by default is set back field by
field through ``setattr``, which a frozen class refuses. ``Result``, the base
of every such class (``class Chunk(Result):``, one line), keeps the fields'
values as one tuple in the dataclass's order and sets them back with
``object.__setattr__``, as the dataclass's own ``__init__`` does.
``maker(cls)`` builds such objects in bulk, at half the cost of that
``__init__``.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, TypeVar

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
    their order, and sets each with its slot's own setter: the frozen
    dataclass's ``__init__`` goes through ``object.__setattr__`` per field, at
    twice the cost, and a tool makes thousands of results per document. The
    function is written out for the class (as dataclasses writes ``__init__``),
    one setter call per slot, no loop."""
    slots: tuple[str, ...] = tuple(cls.__slots__)
    setters = [f"_set{i}" for i in range(len(slots))]
    params = ", ".join(slots)
    body = "".join(f"        {setter}(made, {name})\n" for setter, name in zip(setters, slots))
    source = (
        f"def factory(_new, _cls, {', '.join(setters)}):\n"
        f"    def make({params}):\n"
        f"        made = _new(_cls)\n{body}"
        f"        return made\n"
        f"    return make\n"
    )
    namespace: dict[str, Any] = {}
    exec(source, namespace)  # noqa: S102 - the text is made of the class's own slot names
    factory = namespace["factory"]
    make: Callable[..., _R] = factory(object.__new__, cls, *(getattr(cls, name).__set__ for name in slots))
    make.__qualname__ = make.__name__ = f"new_{cls.__name__.lower()}"
    return make
