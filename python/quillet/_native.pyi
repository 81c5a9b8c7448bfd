# The C++ writers and to_dict; quillet.writers is their typed face. Both return NotImplemented when only
# the Python export (quillet.export) can handle the source: its metadata holds an int outside int64.
from typing import Any

def write(source: object, format: str, options: dict[str, Any] | None, profile: object = None) -> Any: ...
def to_dict(source: object, profile: object) -> Any: ...
def rebuild(id: int, *values: object) -> Any: ...
NODE_CLASSES: tuple[tuple[str, str, tuple[tuple[str, str], ...], str | None], ...]
PROFILE_NAMES: tuple[str, ...]
MODULE_NAMES: tuple[str, ...]
DIRECTIVES: tuple[tuple[str, tuple[str, ...], tuple[str, ...]], ...]

def error_code(kind: int, message: str) -> str: ...

_Part = tuple[str, tuple[int, int]]

def read_attributes(
    args: str,
) -> tuple[list[tuple[_Part, _Part]], tuple[str, _Part | None, _Part] | None]: ...
