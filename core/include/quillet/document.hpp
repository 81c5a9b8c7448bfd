// The document model: the tree one parse produces.
//
// Every text value is a std::string_view. Texts cut from the input are views into it (the tree must not
// outlive the input); the few texts that are not slices of the input (default values) point at string
// literals. Every node carries the half-open range of UTF-8 byte offsets of its source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quillet/arena.hpp"

namespace quillet {

// The sequences of the tree. Those a parse builds take their memory from the Document's arena (see
// ArenaAllocator), so no part of a parsed tree may outlive its Document.
template <class T>
using Seq = std::vector<T, ArenaAllocator<T>>;

// A sequence written once, when its text has been parsed, and never resized: a view of nodes in the
// parse's arena. Nodes held this way are trivially copied and need no destruction.
template <class T>
class Nodes {
public:
    Nodes() = default;
    Nodes(const T* data, size_t size) : data_(data), size_(size) {}

    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](size_t i) const { return data_[i]; }
    const T& front() const { return data_[0]; }
    const T& back() const { return data_[size_ - 1]; }

    // An empty view that stands for nodes a streaming sink has taken already (BlockSink::take_inlines),
    // known to that sink by `token`. To everyone else it is just empty.
    static Nodes taken(const void* token) {
        Nodes nodes;
        nodes.data_ = static_cast<const T*>(token);
        return nodes;
    }
    // The sink's token of a view made by taken(), or null.
    const void* token() const { return size_ == 0 ? static_cast<const void*>(data_) : nullptr; }

private:
    const T* data_ = nullptr;
    size_t size_ = 0;
};

struct Span {
    uint32_t start = 0;
    uint32_t end = 0;

    // Saturates at 0 when end < start.
    uint32_t len() const { return end >= start ? end - start : 0; }
};

enum class Profile : uint8_t { Quillet = 0, Md = 1, MdStrict = 2 };

enum class ModuleKind : uint8_t {
    Tables = 0,
    Footnotes = 1,
    Math = 2,
    Tasks = 3,
    Strikethrough = 4,
    Autolink = 5,
    Html = 6,
};

enum class ListKind : uint8_t { Ordered = 0, Unordered = 1 };

using TextValue = std::string_view;
using OptText = std::optional<std::string_view>;

// ---------------------------------------------------------------------------------------------- inlines

// Tag order is fixed: the binding switches on it.
enum class InlineKind : uint8_t {
    Text = 0,
    Emphasis = 1,
    Strong = 2,
    CodeSpan = 3,
    Link = 4,
    AutoLink = 5,
    Strikethrough = 6,
    FootnoteRef = 7,
    HardBreak = 8,
    SoftBreak = 9,
};

// One record serves all ten variants; which fields mean something depends on `kind`:
//   Text, CodeSpan          text = content
//   Emphasis, Strong,
//   Strikethrough           children = content
//   Link                    children = label, text = url, title
//   AutoLink                text = url
//   FootnoteRef             text = label
//   HardBreak, SoftBreak    span only
struct Inline {
    InlineKind kind = InlineKind::Text;
    Span span;
    TextValue text;
    OptText title;
    Nodes<Inline> children;
};

using Inlines = Nodes<Inline>;
static_assert(std::is_trivially_copyable_v<Inline> && std::is_trivially_destructible_v<Inline>);

// ----------------------------------------------------------------------------------------------- blocks

struct Block;
using Blocks = Seq<Block>;

struct Heading {
    uint8_t level = 1;
    Inlines content;
    Span span;
};

struct Paragraph {
    Inlines content;
    Span span;
};

struct ListItem {
    Blocks blocks;
    Span span;
};

struct List {
    ListKind kind = ListKind::Unordered;
    std::optional<uint64_t> start;
    Seq<ListItem> items;
    Span span;
};

struct CodeBlock {
    TextValue lang;
    TextValue content;
    Span span;
};

struct Callout {
    TextValue kind;
    OptText title;
    Blocks blocks;
    Span span;
};

struct Quote {
    Blocks blocks;
    Span span;
};

struct Figure {
    TextValue src;
    TextValue alt;
    OptText caption;
    Span span;
};

struct TableCell {
    Inlines content;
    Span span;
};

struct TableRow {
    Seq<TableCell> cells;
    bool header = false;
    Span span;
};

struct Table {
    Seq<TableRow> rows;
    Span span;
};

struct FootnoteDef {
    TextValue label;
    Blocks blocks;
    Span span;
};

struct Footnotes {
    Seq<FootnoteDef> defs;
    Span span;
};

struct MathBlock {
    bool display = false;
    TextValue content;
    Span span;
};

struct ThematicBreak {
    Span span;
};

struct HtmlBlock {
    TextValue content;
    Span span;
};

struct RawBlock {
    TextValue content;
    Span span;
};

// The variant index is the block's tag; the order is fixed (the binding switches on it).
enum class BlockKind : uint8_t {
    Heading = 0,
    Paragraph = 1,
    List = 2,
    CodeBlock = 3,
    Callout = 4,
    Quote = 5,
    Figure = 6,
    Table = 7,
    Footnotes = 8,
    MathBlock = 9,
    ThematicBreak = 10,
    HtmlBlock = 11,
    RawBlock = 12,
};

struct Block {
    using Variant = std::variant<Heading, Paragraph, List, CodeBlock, Callout, Quote, Figure, Table, Footnotes,
                                 MathBlock, ThematicBreak, HtmlBlock, RawBlock>;
    Variant value;

    template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, Block>) Block(T&& v) : value(std::forward<T>(v)) {}

    BlockKind kind() const { return static_cast<BlockKind>(value.index()); }
    Span span() const {
        return std::visit([](const auto& b) { return b.span; }, value);
    }
};

// ------------------------------------------------------------------------------------- metadata values

enum class AttrKind : uint8_t { String = 0, Bool = 1, Int = 2, Float = 3, List = 4 };

// A typed metadata value. Lists may nest without bound (`[[[[1]]]]`), so the destructor unrolls nested
// lists with a loop instead of recursing once per level.
struct AttrValue {
    AttrKind kind = AttrKind::String;
    bool boolean = false;
    int64_t integer = 0;
    double number = 0.0;
    TextValue string;
    Seq<AttrValue> list;

    AttrValue() = default;
    AttrValue(AttrValue&&) noexcept = default;
    AttrValue& operator=(AttrValue&&) noexcept = default;
    AttrValue(const AttrValue&) = delete;
    AttrValue& operator=(const AttrValue&) = delete;
    ~AttrValue();

    static AttrValue make_string(TextValue s) {
        AttrValue v;
        v.kind = AttrKind::String;
        v.string = s;
        return v;
    }
    static AttrValue make_bool(bool b) {
        AttrValue v;
        v.kind = AttrKind::Bool;
        v.boolean = b;
        return v;
    }
    static AttrValue make_int(int64_t i) {
        AttrValue v;
        v.kind = AttrKind::Int;
        v.integer = i;
        return v;
    }
    static AttrValue make_float(double d) {
        AttrValue v;
        v.kind = AttrKind::Float;
        v.number = d;
        return v;
    }
    // An empty list whose elements take their memory from `arena` (the heap when null).
    static AttrValue make_list(Arena* arena = nullptr) {
        AttrValue v;
        v.kind = AttrKind::List;
        v.list = Seq<AttrValue>(ArenaAllocator<AttrValue>(arena));
        return v;
    }
};

struct MetadataEntry {
    TextValue key;
    AttrValue value;
};

struct Metadata {
    Seq<MetadataEntry> entries;
    Span span;
};

// ---------------------------------------------------------------------------------------------- document

struct Document {
    // Holds the memory of the tree below; declared first, so it is released last.
    std::unique_ptr<Arena> arena;
    Profile profile = Profile::Quillet;
    std::vector<ModuleKind> modules;
    std::optional<Metadata> metadata;
    Blocks blocks;
    Span span;
};

}  // namespace quillet
