# Type stubs of the compiled module pyql.
#
# Every class here is built by the parser only (calling one raises TypeError, except Parser), cannot be
# subclassed and has read-only attributes. The aliases whose names begin with an underscore exist for type
# checkers only; import them under `if TYPE_CHECKING:`.

from typing import ClassVar, Final, final

from typing_extensions import Self, TypeAlias

_Block: TypeAlias = (
    Heading
    | Paragraph
    | List
    | CodeBlock
    | Callout
    | Quote
    | Figure
    | Table
    | Footnotes
    | MathBlock
    | ThematicBreak
    | HtmlBlock
    | RawBlock
)
_Inline: TypeAlias = (
    Text | Emphasis | Strong | Strikethrough | CodeSpan | Link | AutoLink | FootnoteRef | HardBreak | SoftBreak
)
# A metadata value: a quoted or plain string, a boolean, an integer, a float, or a list of such values.
_MetadataValue: TypeAlias = str | bool | int | float | list[_MetadataValue]

# ------------------------------------------------------------------------------------------ values

@final
class Span:
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def len(self) -> int: ...

# ------------------------------------------------------------------------------------ enumerations
#
# Plain classes, not enum.Enum: a member compares equal to a member of the same class with the same value
# and to an int of that value; members are neither ordered nor hashable.

@final
class Profile:
    Quillet: Final[Profile]
    Md: Final[Profile]
    MdStrict: Final[Profile]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...

@final
class ModuleKind:
    Tables: Final[ModuleKind]
    Footnotes: Final[ModuleKind]
    Math: Final[ModuleKind]
    Tasks: Final[ModuleKind]
    Strikethrough: Final[ModuleKind]
    Autolink: Final[ModuleKind]
    Html: Final[ModuleKind]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...

@final
class ParseErrorKind:
    UnexpectedEof: Final[ParseErrorKind]
    UnclosedDelimiter: Final[ParseErrorKind]
    InvalidSyntax: Final[ParseErrorKind]
    UnknownDirective: Final[ParseErrorKind]
    InvalidMetadata: Final[ParseErrorKind]
    Other: Final[ParseErrorKind]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...

@final
class ListKind:
    Ordered: Final[ListKind]
    Unordered: Final[ListKind]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...

# ---------------------------------------------------------------------------- parser and results

@final
class Parser:
    def __new__(cls, profile: Profile | None = None) -> Self: ...
    def parse(self, input: str) -> Document: ...
    def parse_with_recovery(self, input: str) -> ParseResult: ...

@final
class Document:
    @property
    def profile(self) -> Profile: ...
    @property
    def modules(self) -> list[ModuleKind]: ...
    @property
    def metadata(self) -> dict[str, _MetadataValue] | None: ...
    @property
    def blocks(self) -> list[_Block]: ...
    @property
    def span(self) -> Span: ...
    def __len__(self) -> int: ...

@final
class ParseResult:
    @property
    def document(self) -> Document: ...
    @property
    def errors(self) -> list[ParseError]: ...
    @property
    def ok(self) -> bool: ...

@final
class ParseError:
    @property
    def message(self) -> str: ...
    @property
    def span(self) -> Span | None: ...
    @property
    def kind(self) -> ParseErrorKind: ...
    @property
    def recoverable(self) -> bool: ...

# ------------------------------------------------------------------------------------------ blocks

@final
class Heading:
    @property
    def level(self) -> int: ...
    @property
    def content(self) -> list[_Inline]: ...
    @property
    def span(self) -> Span: ...

@final
class Paragraph:
    @property
    def content(self) -> list[_Inline]: ...
    @property
    def span(self) -> Span: ...

@final
class List:
    @property
    def kind(self) -> ListKind: ...
    @property
    def start(self) -> int | None: ...
    @property
    def items(self) -> list[ListItem]: ...
    @property
    def span(self) -> Span: ...

@final
class ListItem:
    @property
    def blocks(self) -> list[_Block]: ...
    @property
    def span(self) -> Span: ...

@final
class CodeBlock:
    @property
    def lang(self) -> str: ...
    @property
    def content(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class Callout:
    @property
    def kind(self) -> str: ...
    @property
    def title(self) -> str | None: ...
    @property
    def blocks(self) -> list[_Block]: ...
    @property
    def span(self) -> Span: ...

@final
class Quote:
    @property
    def blocks(self) -> list[_Block]: ...
    @property
    def span(self) -> Span: ...

@final
class Figure:
    @property
    def src(self) -> str: ...
    @property
    def alt(self) -> str: ...
    @property
    def caption(self) -> str | None: ...
    @property
    def span(self) -> Span: ...

@final
class Table:
    @property
    def rows(self) -> list[TableRow]: ...
    @property
    def span(self) -> Span: ...

@final
class TableRow:
    @property
    def cells(self) -> list[TableCell]: ...
    @property
    def header(self) -> bool: ...
    @property
    def span(self) -> Span: ...

@final
class TableCell:
    @property
    def content(self) -> list[_Inline]: ...
    @property
    def span(self) -> Span: ...

@final
class Footnotes:
    @property
    def defs(self) -> list[FootnoteDef]: ...
    @property
    def span(self) -> Span: ...

@final
class FootnoteDef:
    @property
    def label(self) -> str: ...
    @property
    def blocks(self) -> list[_Block]: ...
    @property
    def span(self) -> Span: ...

@final
class MathBlock:
    @property
    def display(self) -> bool: ...
    @property
    def content(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class ThematicBreak:
    @property
    def span(self) -> Span: ...

@final
class HtmlBlock:
    @property
    def content(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class RawBlock:
    @property
    def content(self) -> str: ...
    @property
    def span(self) -> Span: ...

# ----------------------------------------------------------------------------------------- inlines

@final
class Text:
    @property
    def content(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class Emphasis:
    @property
    def content(self) -> list[_Inline]: ...
    @property
    def span(self) -> Span: ...

@final
class Strong:
    @property
    def content(self) -> list[_Inline]: ...
    @property
    def span(self) -> Span: ...

@final
class Strikethrough:
    @property
    def content(self) -> list[_Inline]: ...
    @property
    def span(self) -> Span: ...

@final
class CodeSpan:
    @property
    def content(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class Link:
    @property
    def label(self) -> list[_Inline]: ...
    @property
    def url(self) -> str: ...
    @property
    def title(self) -> str | None: ...
    @property
    def span(self) -> Span: ...

@final
class AutoLink:
    @property
    def url(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class FootnoteRef:
    @property
    def label(self) -> str: ...
    @property
    def span(self) -> Span: ...

@final
class HardBreak:
    @property
    def span(self) -> Span: ...

@final
class SoftBreak:
    @property
    def span(self) -> Span: ...

# --------------------------------------------------------------------------------------- functions

def parse(input: str, profile: Profile | None = None) -> Document: ...
def parse_with_recovery(input: str, profile: Profile | None = None) -> ParseResult: ...
