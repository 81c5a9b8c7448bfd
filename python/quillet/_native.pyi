# The C++ writers and to_dict; quillet.writers is their typed face. Both return NotImplemented when only
# the Python export (quillet.export) can handle the source: its metadata holds an int outside int64.
from typing import Any, Callable, Literal, Optional, Sequence, TypeVar, final, overload

from _typeshed import ReadableBuffer

_T = TypeVar("_T")

def write(source: object, format: str, options: dict[str, Any] | None, profile: object = None) -> Any: ...
def to_dict(source: object, profile: object) -> Any: ...
def check_expansion(source: object) -> None: ...
def rebuild(id: int, *values: object) -> Any: ...
def rebuild_image(image: ReadableBuffer, /) -> Any: ...

# A parse error as write_fd gives it: message, kind, start, end (None without a span), recoverable.
_Error = tuple[str, str, Optional[int], Optional[int], bool]

# The command's writer: the document of the UTF-8 bytes data in format ("json", "text", "markdown", "html",
# "html-page"; HTML with options as quillet.to_html passes them), written to the file descriptor fd after
# prefix; the parse errors. With fd -1, the errors and the output instead. (-1 is an int too: the first
# overload wins for it, as typeshed's open() does for its literal modes.)
@overload
def write_fd(  # type: ignore[overload-overlap]
    data: ReadableBuffer,
    fd: Literal[-1],
    format: str,
    profile: str | None,
    prefix: bytes,
    options: dict[str, Any] | None = None,
) -> tuple[list[_Error], bytes]: ...
@overload
def write_fd(
    data: ReadableBuffer, fd: int, format: str, profile: str | None, prefix: bytes, options: dict[str, Any] | None = None
) -> list[_Error]: ...

# The model, as the core describes it (see native/model.hpp).
NODE_CLASSES: tuple[tuple[str, str, tuple[tuple[str, str], ...], str | None], ...]
PROFILE_NAMES: tuple[str, ...]
MODULE_NAMES: tuple[str, ...]
DIRECTIVES: tuple[tuple[str, tuple[str, ...], tuple[str, ...]], ...]
# The URL schemes the HTML writer allows by default, and the indexes of the URLs it refuses with them (as a
# figure's image with image=True).
HTML_SCHEMES: tuple[str, ...]

def refused_urls(urls: list[str], image: bool, /) -> list[int]: ...
def maker(cls: type[_T], /) -> Callable[..., _T]: ...
def section_tree(outline: Outline, make: Callable[..., _T], nodes: object, total: int, length: int | None, /) -> list[_T]: ...
def chunk_runs(
    layout: object, max_chars: int, make: Callable[..., Any], context_of: Callable[[tuple[str, ...]], str],
    doc_id: str | None, doc_metadata: tuple[tuple[str, Any], ...], /
) -> object: ...
def chunk_run(runs: object, i: int, out: list[Any], /) -> int: ...
def find_all(data: bytes, needle: bytes, limit: int, /) -> list[int]: ...
def links_to_check(outline: Outline, data: bytes, /) -> list[tuple[str, int, int, int, bool]]: ...

def error_code(kind: int, message: str) -> str: ...

_Part = tuple[str, tuple[int, int]]

def read_attributes(
    args: str,
) -> tuple[list[tuple[_Part, _Part]], tuple[str, _Part | None, _Part] | None]: ...

_Span = tuple[int, int]

def read_header(
    text: str,
) -> tuple[
    tuple[_Span, str, _Span, int | None] | None,
    tuple[_Span, _Span, tuple[tuple[str, _Span, int | None], ...]] | None,
    tuple[_Span, bool] | None,
]: ...

# The outline of a document: one row per block at every depth, in document order (each block before the
# blocks inside it), and what the tools read of its inline text, header and errors.
_Header = tuple[
    tuple[_Span, str, _Span, int | None] | None,
    tuple[_Span, _Span, tuple[tuple[str, _Span, int | None], ...]] | None,
    tuple[_Span, bool] | None,
]

@final
class Outline:
    @property
    def size(self) -> int: ...
    @property
    def length(self) -> int | None: ...
    @property
    def profile(self) -> str: ...
    @property
    def modules(self) -> tuple[str, ...]: ...
    @property
    def has_text(self) -> bool: ...
    @property
    def top_only(self) -> bool: ...
    @property
    def inline(self) -> bool: ...
    @property
    def plain(self) -> bool: ...
    @property
    def render(self) -> str | None: ...
    def __len__(self) -> int: ...
    def column(self, name: str, top: bool = False, *, type: str | None = None) -> list[Any]: ...
    def footnote_refs(self) -> list[tuple[str, int, int, int]]: ...
    def links(self) -> list[tuple[str, int, int, int, bool]]: ...
    def code_spans(self) -> list[tuple[int, int, int]]: ...
    def footnote_defs(self) -> list[tuple[str, int, int, int, int | None, int | None]]: ...
    def figures(self) -> list[tuple[str, int, int, int]]: ...
    def unopened_links(self) -> list[int]: ...
    def errors(self) -> list[tuple[int, str, str, tuple[int, int] | None]]: ...
    def header(self) -> _Header | None: ...
    def heading_paths(self) -> dict[int, tuple[str, ...]]: ...

def outline(
    source: object,  # a str or its UTF-8 bytes, or a parsed source (read_outline's)
    /,
    *,
    profile: object = None,
    text: str | None = None,
    plain: bool = False,
    render: str | None = None,
    top_only: bool = False,
    inline: bool = False,
) -> Outline: ...

# quillet.records and quillet.to_arrow: an outline's rows as dicts of the keys given, or as Arrow buffers in
# batches of rows (rows, one tuple of buffers per key; see native/records.hpp).
def records(
    outline: Outline, keys: tuple[str, ...], doc_id: str | None, paths: dict[int, tuple[str, ...]], /
) -> list[dict[str, Any]]: ...
def record_columns(
    outline: Outline, keys: tuple[str, ...], doc_id: str | None, paths: dict[int, tuple[str, ...]], limit: int, /
) -> list[tuple[int, tuple[tuple[Any, ...], ...]]]: ...

# The language server's (line, character) of each byte offset into data: lines end at line feeds, characters
# count UTF-16 code units (bytes with utf8=True).
def lsp_positions(data: bytes, offsets: Sequence[int], utf8: bool, /) -> list[tuple[int, int]]: ...
