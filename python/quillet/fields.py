"""The node classes of pyql and their fields, and one walk over trees of them.

``NODE_SHAPES`` is the node classes as the Python tools see them, read from
the one description of the model that the native module exports
(``quillet._native.NODE_CLASSES``): the export writes each node's fields in
its order, and the command's tree view writes the same fields in the same
order except the field of child nodes, whose nodes follow on lines of their
own. ``walk`` is the one way the two go through a tree.
"""

from __future__ import annotations

from typing import Any, Container, Iterable, Iterator, NamedTuple

import pyql
from quillet import _native

__all__ = ["NODE_SHAPES", "NodeCycleError", "NodeShape", "shapes_by_class", "walk"]


class NodeShape(NamedTuple):
    """One node class: its name in pyql, its fields in declaration order (the
    span, which every node has, left out), and which of them holds the child
    nodes: a list, the same one on every read. A class has at most one."""

    name: str
    fields: tuple[str, ...]
    children: str | None = None


# Blocks, then the records inside them, then inlines, as the model lists them.
NODE_SHAPES: tuple[NodeShape, ...] = tuple(
    NodeShape(name, tuple(field for field, _ in fields), children)
    for name, _role, fields, children in _native.NODE_CLASSES
)

_BY_CLASS: dict[type, NodeShape] = {getattr(pyql, shape.name): shape for shape in NODE_SHAPES}


def shapes_by_class() -> dict[type, NodeShape]:
    """The shapes keyed by the pyql classes themselves."""
    return _BY_CLASS


class NodeCycleError(ValueError):
    """A node met again below itself: a walk through it would never end."""

    def __init__(self, name: str) -> None:
        super().__init__(f"a {name} that contains itself")
        self.name = name


def walk(
    nodes: Iterable[Any], skip: Container[str] = (), check: bool = True
) -> Iterator[tuple[Any, NodeShape | None, int]]:
    """Every node of nodes and every node below them, depth first in order,
    as (node, its shape, depth), the nodes given being at depth 0. An object
    of no node class comes with the shape None and is not entered; nor are
    the nodes of the classes named in skip.

    The walk keeps its own stack: parsed trees are shallow, but node lists are
    ordinary mutable lists, so a caller may chain nodes as deep as memory
    allows, or put a node inside itself (NodeCycleError, raised once the node
    has been handed out a second time), or in many places, each of which the
    walk goes through. Unless ``check`` is false (the caller has checked a
    whole that holds nodes), a list of nodes or a node that expands beyond
    what the writers write (``quillet._native.check_expansion``) is refused
    with their ValueError before the first node."""
    if check:
        _native.check_expansion(nodes)
    shapes = shapes_by_class()
    stack: list[tuple[Iterator[Any], Any]] = [(iter(nodes), None)]
    open_nodes: set[int] = set()  # the nodes on the path from the top
    while stack:
        items, owner = stack[-1]
        for node in items:
            shape = shapes.get(type(node))
            yield node, shape, len(stack) - 1
            if shape is not None and shape.children is not None and shape.name not in skip:
                if id(node) in open_nodes:
                    raise NodeCycleError(shape.name)
                open_nodes.add(id(node))
                # The stack holds the node, so its id is not reused meanwhile.
                stack.append((iter(getattr(node, shape.children)), node))
                break
        else:
            stack.pop()
            if owner is not None:
                open_nodes.discard(id(owner))
