// The node model described once: every node class with its role, its description and its fields in
// declaration order, and where the core's structs keep each field.
//
// Everything that lists node classes derives its list from here: the walk over the core tree, the writers'
// field tables, the Python classes of the binding and their getters, pickling, the reader of Python trees
// and the table the Python tools read (quillet._native exports it). Adding a node class or a field means
// adding it here, in document.hpp, and in what a format does with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "quillet/document.hpp"
#include "quillet/errors.hpp"

namespace quillet {

// The node classes, in the order of the field table below. Records inside blocks (ListItem, TableRow,
// TableCell, FootnoteDef) are nodes like any other.
enum class NodeType : uint8_t {
    Heading,
    Paragraph,
    List,
    ListItem,
    CodeBlock,
    Callout,
    Quote,
    Figure,
    Table,
    TableRow,
    TableCell,
    Footnotes,
    FootnoteDef,
    MathBlock,
    ThematicBreak,
    HtmlBlock,
    RawBlock,
    Text,
    Emphasis,
    Strong,
    Strikethrough,
    CodeSpan,
    Link,
    AutoLink,
    FootnoteRef,
    HardBreak,
    SoftBreak,
};
inline constexpr size_t kNodeTypeCount = size_t(NodeType::SoftBreak) + 1;

// Where a node may stand: in a block sequence, only inside its one container (a list's items, a table's
// rows, a row's cells, the footnote definitions), or in inline content.
enum class NodeRole : uint8_t { Block, Record, Inline };

// What one field holds.
enum class FieldType : uint8_t {
    Children,  // the node's one child sequence: blocks, records or inlines
    Text,      // a text
    OptText,   // a text, or nothing
    Level,     // a small unsigned number (a heading's level, 1 to 6)
    Kind,      // a ListKind
    Start,     // an unsigned 64-bit number, or nothing
    Flag,      // a bool
};

struct FieldInfo {
    std::string_view name;
    FieldType type = FieldType::Text;

    constexpr bool is_text() const { return type == FieldType::Text || type == FieldType::OptText; }
};

inline constexpr size_t kMaxFields = 3;

struct NodeInfo {
    std::string_view name;
    NodeRole role = NodeRole::Block;
    std::string_view doc;  // the class's one-line description
    std::array<FieldInfo, kMaxFields> field_array{};
    size_t field_count = 0;

    constexpr const FieldInfo* begin() const { return field_array.data(); }
    constexpr const FieldInfo* end() const { return field_array.data() + field_count; }

    // The position of the child field among the fields, or field_count when the class has none.
    constexpr size_t children() const {
        for (size_t i = 0; i < field_count; ++i) {
            if (field_array[i].type == FieldType::Children) return i;
        }
        return field_count;
    }
    constexpr bool has_children() const { return children() < field_count; }
    constexpr bool has(FieldType type) const {
        for (const FieldInfo& f : *this) {
            if (f.type == type) return true;
        }
        return false;
    }
    // How many of the fields are texts; a text's place is its position among them.
    constexpr size_t text_count() const {
        size_t n = 0;
        for (const FieldInfo& f : *this) n += f.is_text() ? 1 : 0;
        return n;
    }
    // The place of the text field `name` among the texts (text_count() when there is none).
    constexpr size_t text_place(std::string_view name) const {
        size_t place = 0;
        for (const FieldInfo& f : *this) {
            if (f.name == name) return f.is_text() ? place : text_count();
            place += f.is_text() ? 1 : 0;
        }
        return text_count();
    }
    // The type of the field with `name`, for the static checks of the binding's layouts.
    constexpr bool has_field(std::string_view name, FieldType type) const {
        for (const FieldInfo& f : *this) {
            if (f.name == name && f.type == type) return true;
        }
        return false;
    }
};

namespace model_detail {
template <class... F>
constexpr NodeInfo node(std::string_view name, NodeRole role, std::string_view doc, F... fields) {
    static_assert(sizeof...(F) <= kMaxFields);
    return NodeInfo{name, role, doc, {FieldInfo(fields)...}, sizeof...(F)};
}
constexpr FieldInfo children(std::string_view name) {
    return {name, FieldType::Children};
}
constexpr FieldInfo text(std::string_view name) {
    return {name, FieldType::Text};
}
constexpr FieldInfo opt_text(std::string_view name) {
    return {name, FieldType::OptText};
}
}  // namespace model_detail

// Every node class, in NodeType's order: its Python class name, its role, its description and its fields
// in declaration order (the span, which every node has, left out).
inline constexpr NodeInfo kNodeInfo[] = {
    // clang-format off: one class a line
    model_detail::node("Heading", NodeRole::Block, "Section heading.", FieldInfo{"level", FieldType::Level},
                       model_detail::children("content")),
    model_detail::node("Paragraph", NodeRole::Block, "Text paragraph.", model_detail::children("content")),
    model_detail::node("List", NodeRole::Block, "Ordered or unordered list.", FieldInfo{"kind", FieldType::Kind},
                       FieldInfo{"start", FieldType::Start}, model_detail::children("items")),
    model_detail::node("ListItem", NodeRole::Record, "List item.", model_detail::children("blocks")),
    model_detail::node("CodeBlock", NodeRole::Block, "Fenced code block.", model_detail::text("lang"),
                       model_detail::text("content")),
    model_detail::node("Callout", NodeRole::Block, "Callout/admonition.", model_detail::text("kind"),
                       model_detail::opt_text("title"), model_detail::children("blocks")),
    model_detail::node("Quote", NodeRole::Block, "Block quote.", model_detail::children("blocks")),
    model_detail::node("Figure", NodeRole::Block, "Figure with image.", model_detail::text("src"),
                       model_detail::text("alt"), model_detail::opt_text("caption")),
    model_detail::node("Table", NodeRole::Block, "Data table.", model_detail::children("rows")),
    model_detail::node("TableRow", NodeRole::Record, "Table row.", model_detail::children("cells"),
                       FieldInfo{"header", FieldType::Flag}),
    model_detail::node("TableCell", NodeRole::Record, "Table cell.", model_detail::children("content")),
    model_detail::node("Footnotes", NodeRole::Block, "Footnotes container.", model_detail::children("defs")),
    model_detail::node("FootnoteDef", NodeRole::Record, "Footnote definition.", model_detail::text("label"),
                       model_detail::children("blocks")),
    model_detail::node("MathBlock", NodeRole::Block, "Math block.", FieldInfo{"display", FieldType::Flag},
                       model_detail::text("content")),
    model_detail::node("ThematicBreak", NodeRole::Block, "Thematic break (horizontal rule)."),
    model_detail::node("HtmlBlock", NodeRole::Block, "Raw HTML block.", model_detail::text("content")),
    model_detail::node("RawBlock", NodeRole::Block, "Unparsed block (error recovery).", model_detail::text("content")),
    model_detail::node("Text", NodeRole::Inline, "Plain text.", model_detail::text("content")),
    model_detail::node("Emphasis", NodeRole::Inline, "Emphasis (italic).", model_detail::children("content")),
    model_detail::node("Strong", NodeRole::Inline, "Strong (bold).", model_detail::children("content")),
    model_detail::node("Strikethrough", NodeRole::Inline, "Strikethrough.", model_detail::children("content")),
    model_detail::node("CodeSpan", NodeRole::Inline, "Inline code.", model_detail::text("content")),
    model_detail::node("Link", NodeRole::Inline, "Hyperlink.", model_detail::children("label"),
                       model_detail::text("url"), model_detail::opt_text("title")),
    model_detail::node("AutoLink", NodeRole::Inline, "Auto-detected URL.", model_detail::text("url")),
    model_detail::node("FootnoteRef", NodeRole::Inline, "Footnote reference.", model_detail::text("label")),
    model_detail::node("HardBreak", NodeRole::Inline, "Hard line break."),
    model_detail::node("SoftBreak", NodeRole::Inline, "Soft line break."),
    // clang-format on
};
static_assert(std::size(kNodeInfo) == kNodeTypeCount);

constexpr const NodeInfo& node_info(NodeType type) {
    return kNodeInfo[size_t(type)];
}

// The class name of a node type: "Heading".
constexpr std::string_view type_name(NodeType type) {
    return node_info(type).name;
}

constexpr bool is_inline(NodeType type) {
    return node_info(type).role == NodeRole::Inline;
}

// The node type of each block kind, in BlockKind's order.
inline constexpr NodeType kBlockTypes[] = {
    NodeType::Heading,       NodeType::Paragraph, NodeType::List,     NodeType::CodeBlock, NodeType::Callout,
    NodeType::Quote,         NodeType::Figure,    NodeType::Table,    NodeType::Footnotes, NodeType::MathBlock,
    NodeType::ThematicBreak, NodeType::HtmlBlock, NodeType::RawBlock,
};
static_assert(std::size(kBlockTypes) == std::variant_size_v<Block::Variant>);

// The node type of each inline kind, in InlineKind's order.
inline constexpr NodeType kInlineTypes[] = {
    NodeType::Text,     NodeType::Emphasis,      NodeType::Strong,      NodeType::CodeSpan,  NodeType::Link,
    NodeType::AutoLink, NodeType::Strikethrough, NodeType::FootnoteRef, NodeType::HardBreak, NodeType::SoftBreak,
};
static_assert(std::size(kInlineTypes) == size_t(InlineKind::SoftBreak) + 1);

// ------------------------------------------------------------------------------ the enumerations

// The member names of each enumeration, indexed by the core's value (each a string literal, so data() is
// NUL-terminated), and the names the header lines write.
inline constexpr std::string_view kProfileMembers[] = {"Quillet", "Md", "MdStrict"};
inline constexpr std::string_view kProfileNames[] = {"quillet", "md", "md-strict"};  // "@profile md-strict"
inline constexpr std::string_view kModuleKindMembers[] = {"Tables",        "Footnotes", "Math", "Tasks",
                                                          "Strikethrough", "Autolink",  "Html"};
inline constexpr std::string_view kModuleNames[] = {"tables",        "footnotes", "math", "tasks",
                                                    "strikethrough", "autolink",  "html"};  // "@modules math"
inline constexpr std::string_view kListKindMembers[] = {"Ordered", "Unordered"};
inline constexpr std::string_view kParseErrorKindMembers[] = {"UnexpectedEof",    "UnclosedDelimiter", "InvalidSyntax",
                                                              "UnknownDirective", "InvalidMetadata",   "Other"};
static_assert(std::size(kProfileMembers) == size_t(Profile::MdStrict) + 1 &&
              std::size(kProfileNames) == std::size(kProfileMembers));
static_assert(std::size(kModuleKindMembers) == size_t(ModuleKind::Html) + 1 &&
              std::size(kModuleNames) == std::size(kModuleKindMembers));
static_assert(std::size(kListKindMembers) == size_t(ListKind::Unordered) + 1);
static_assert(std::size(kParseErrorKindMembers) == size_t(ParseErrorKind::Other) + 1);

// The name at `value`, or "?" when out of range (a value read from a caller's object).
template <size_t N>
constexpr std::string_view name_at(const std::string_view (&names)[N], size_t value) {
    return value < N ? names[value] : std::string_view("?");
}

// ------------------------------------------------------------------------------ the core's structs

// Where the core keeps a node of each class: the struct (`type`), its child sequence (`children`, a member
// pointer, or nullptr), its texts in the order of the class's text fields (`texts`, member pointers to
// TextValue or OptText) and its other fields in declaration order (`scalars`).
template <NodeType T>
struct CoreNode;

#define QUILLET_CORE_NODE(Class, Struct, Children, Texts, Scalars) \
    template <>                                                    \
    struct CoreNode<NodeType::Class> {                             \
        using type = Struct;                                       \
        static constexpr auto children = Children;                 \
        static constexpr auto texts = std::make_tuple Texts;       \
        static constexpr auto scalars = std::make_tuple Scalars;   \
    };
QUILLET_CORE_NODE(Heading, Heading, &Heading::content, (), (&Heading::level))
QUILLET_CORE_NODE(Paragraph, Paragraph, &Paragraph::content, (), ())
QUILLET_CORE_NODE(List, List, &List::items, (), (&List::kind, &List::start))
QUILLET_CORE_NODE(ListItem, ListItem, &ListItem::blocks, (), ())
QUILLET_CORE_NODE(CodeBlock, CodeBlock, nullptr, (&CodeBlock::lang, &CodeBlock::content), ())
QUILLET_CORE_NODE(Callout, Callout, &Callout::blocks, (&Callout::kind, &Callout::title), ())
QUILLET_CORE_NODE(Quote, Quote, &Quote::blocks, (), ())
QUILLET_CORE_NODE(Figure, Figure, nullptr, (&Figure::src, &Figure::alt, &Figure::caption), ())
QUILLET_CORE_NODE(Table, Table, &Table::rows, (), ())
QUILLET_CORE_NODE(TableRow, TableRow, &TableRow::cells, (), (&TableRow::header))
QUILLET_CORE_NODE(TableCell, TableCell, &TableCell::content, (), ())
QUILLET_CORE_NODE(Footnotes, Footnotes, &Footnotes::defs, (), ())
QUILLET_CORE_NODE(FootnoteDef, FootnoteDef, &FootnoteDef::blocks, (&FootnoteDef::label), ())
QUILLET_CORE_NODE(MathBlock, MathBlock, nullptr, (&MathBlock::content), (&MathBlock::display))
QUILLET_CORE_NODE(ThematicBreak, ThematicBreak, nullptr, (), ())
QUILLET_CORE_NODE(HtmlBlock, HtmlBlock, nullptr, (&HtmlBlock::content), ())
QUILLET_CORE_NODE(RawBlock, RawBlock, nullptr, (&RawBlock::content), ())
// One record serves every inline class (see Inline).
QUILLET_CORE_NODE(Text, Inline, nullptr, (&Inline::text), ())
QUILLET_CORE_NODE(Emphasis, Inline, &Inline::children, (), ())
QUILLET_CORE_NODE(Strong, Inline, &Inline::children, (), ())
QUILLET_CORE_NODE(Strikethrough, Inline, &Inline::children, (), ())
QUILLET_CORE_NODE(CodeSpan, Inline, nullptr, (&Inline::text), ())
QUILLET_CORE_NODE(Link, Inline, &Inline::children, (&Inline::text, &Inline::title), ())
QUILLET_CORE_NODE(AutoLink, Inline, nullptr, (&Inline::text), ())
QUILLET_CORE_NODE(FootnoteRef, Inline, nullptr, (&Inline::text), ())
QUILLET_CORE_NODE(HardBreak, Inline, nullptr, (), ())
QUILLET_CORE_NODE(SoftBreak, Inline, nullptr, (), ())
#undef QUILLET_CORE_NODE

namespace model_detail {
template <NodeType T>
constexpr bool core_matches_model() {
    using C = CoreNode<T>;
    const NodeInfo& info = node_info(T);
    const bool children = std::is_same_v<std::remove_cv_t<decltype(C::children)>, std::nullptr_t>;
    return info.has_children() != children && std::tuple_size_v<decltype(C::texts)> == info.text_count() &&
           std::tuple_size_v<decltype(C::scalars)> + info.text_count() + (info.has_children() ? 1 : 0) ==
               info.field_count;
}
template <size_t... I>
constexpr bool all_core_nodes_match(std::index_sequence<I...>) {
    return (core_matches_model<NodeType(I)>() && ...);
}
}  // namespace model_detail
static_assert(model_detail::all_core_nodes_match(std::make_index_sequence<kNodeTypeCount>{}),
              "a CoreNode differs from its class's fields in kNodeInfo");

// Calls f(std::integral_constant<NodeType, T>{}) for the node type t: a switch generated over every class.
template <class F>
constexpr decltype(auto) visit_type(NodeType t, F&& f) {
    using Tag = std::integral_constant<NodeType, NodeType::Heading>;
    using R = decltype(f(Tag{}));
    return [&]<size_t... I>(std::index_sequence<I...>)->R {
        if constexpr (std::is_void_v<R>) {
            (void)((size_t(t) == I ? (f(std::integral_constant<NodeType, NodeType(I)>{}), true) : false) || ...);
        } else {
            R result{};
            (void)((size_t(t) == I ? (result = f(std::integral_constant<NodeType, NodeType(I)>{}), true) : false) ||
                   ...);
            return result;
        }
    }
    (std::make_index_sequence<kNodeTypeCount>{});
}

}  // namespace quillet
