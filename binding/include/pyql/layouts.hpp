// The memory layouts of pyql's objects, shared by the two extension modules: pyql builds its objects with
// them, and quillet._native reads those objects' fields straight from memory with the same definitions.
//
// A change here changes both modules at once; the fingerprint of contract.hpp covers every size and offset
// here, and quillet._native refuses a pyql whose fingerprint differs from its own, so a pyql built from other
// definitions is refused instead of misread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillet/errors.hpp"
#include "quillet/model.hpp"

namespace pyql {

// ------------------------------------------------------------------------------------------- nodes

// Where one text attribute's bytes sit: `size` bytes at `offset` from the start of the object; size -1
// stands for an absent optional text, which reads as None.
struct TextRef {
    Py_ssize_t offset;
    Py_ssize_t size;
};

// The start of every node and of Document. ob_size counts the bytes that follow the fixed part.
struct NodeHead {
    PyVarObject ob_base;
    uint32_t start;
    uint32_t end;
};

// A node with one stored list: content, blocks, items, rows, cells, defs or (for Link) label. The list
// is null only once the cycle collector has cleared the node.
struct ListNode {
    NodeHead h;
    PyObject* list;
};

template <size_t N>
struct TextNode {
    NodeHead h;
    TextRef text[N];
};

template <size_t N>
struct ListTextNode {
    ListNode n;
    TextRef text[N];
};

struct HeadingObject {
    ListNode n;
    uint8_t level;
};

struct TableRowObject {
    ListNode n;
    bool header;
};

struct ListObject {
    ListNode n;
    uint64_t start;
    uint8_t kind;
    bool has_start;
};

struct MathBlockObject {
    NodeHead h;
    bool display;
    TextRef text[1];
};

// The module bytes of `modules` follow the fixed part (ob_size of them).
struct DocumentObject {
    NodeHead h;
    PyObject* metadata;  // a dict, or null when the document has no metadata block
    PyObject* blocks;
    uint8_t profile;
};

using TextNode1 = TextNode<1>;
using TextNode2 = TextNode<2>;
using TextNode3 = TextNode<3>;
using ListTextNode1 = ListTextNode<1>;
using ListTextNode2 = ListTextNode<2>;

// The layout of a node class's objects follows from its fields in the model: a level, a list's kind and
// start, or a flag each have a struct of their own; otherwise the child list (ListNode) and the texts
// (TextRefs after the fixed part) decide.
template <quillet::NodeType T>
constexpr auto object_layout() {
    using quillet::FieldType;
    constexpr const quillet::NodeInfo& info = quillet::node_info(T);
    constexpr size_t texts = info.text_count();
    if constexpr (info.has(FieldType::Level)) {
        return std::type_identity<HeadingObject>{};
    } else if constexpr (info.has(FieldType::Kind)) {
        return std::type_identity<ListObject>{};
    } else if constexpr (info.has(FieldType::Flag)) {
        if constexpr (info.has_children()) {
            return std::type_identity<TableRowObject>{};
        } else {
            return std::type_identity<MathBlockObject>{};
        }
    } else if constexpr (info.has_children()) {
        if constexpr (texts > 0) {
            return std::type_identity<ListTextNode<texts>>{};
        } else {
            return std::type_identity<ListNode>{};
        }
    } else if constexpr (texts > 0) {
        return std::type_identity<TextNode<texts>>{};
    } else {
        return std::type_identity<NodeHead>{};
    }
}
template <quillet::NodeType T>
using ObjectOf = typename decltype(object_layout<T>())::type;

// Where a node class's fields sit in its objects, for the classes that the getters, pickling and the reader
// of Python trees handle alike.
struct NodeLayout {
    Py_ssize_t size = 0;      // tp_basicsize
    size_t text_offset = 0;   // of text[0], when the class has texts
    size_t flag_offset = 0;   // of the flag, when the class has one
    bool holds_list = false;  // ListNode::list, at the same place in every class that has it
};

namespace layout_detail {
template <quillet::NodeType T>
constexpr NodeLayout layout() {
    using O = ObjectOf<T>;
    NodeLayout l;
    l.size = sizeof(O);
    if constexpr (requires { O::text; }) l.text_offset = offsetof(O, text);
    if constexpr (std::is_same_v<O, TableRowObject>) l.flag_offset = offsetof(O, header);
    if constexpr (std::is_same_v<O, MathBlockObject>) l.flag_offset = offsetof(O, display);
    l.holds_list = quillet::node_info(T).has_children();
    return l;
}
template <size_t... I>
constexpr std::array<NodeLayout, sizeof...(I)> layouts(std::index_sequence<I...>) {
    return {layout<quillet::NodeType(I)>()...};
}
}  // namespace layout_detail

inline constexpr std::array<NodeLayout, quillet::kNodeTypeCount> kNodeLayouts =
    layout_detail::layouts(std::make_index_sequence<quillet::kNodeTypeCount>{});

// The offset of the text field `name` of class T in its objects.
template <quillet::NodeType T>
constexpr size_t text_offset(std::string_view name) {
    return kNodeLayouts[size_t(T)].text_offset + quillet::node_info(T).text_place(name) * sizeof(TextRef);
}

// The places of the texts behind the nodes that hold more than one, by the model's field names; their
// getters, their converters and their readers all go by these names.
using quillet::NodeType;
inline constexpr size_t kCodeLang = quillet::node_info(NodeType::CodeBlock).text_place("lang");
inline constexpr size_t kCodeContent = quillet::node_info(NodeType::CodeBlock).text_place("content");
inline constexpr size_t kCalloutKind = quillet::node_info(NodeType::Callout).text_place("kind");
inline constexpr size_t kCalloutTitle = quillet::node_info(NodeType::Callout).text_place("title");
inline constexpr size_t kFigureSrc = quillet::node_info(NodeType::Figure).text_place("src");
inline constexpr size_t kFigureAlt = quillet::node_info(NodeType::Figure).text_place("alt");
inline constexpr size_t kFigureCaption = quillet::node_info(NodeType::Figure).text_place("caption");
inline constexpr size_t kLinkUrl = quillet::node_info(NodeType::Link).text_place("url");
inline constexpr size_t kLinkTitle = quillet::node_info(NodeType::Link).text_place("title");

// ------------------------------------------------------------------------------------------- values

struct SpanObject {
    PyObject ob_base;
    uint32_t start;
    uint32_t end;
};

// The message's UTF-8 bytes follow the fixed part; Py_SIZE is their count.
struct ParseErrorObject {
    PyVarObject ob_base;
    uint32_t start;
    uint32_t end;
    uint8_t kind;
    bool has_span;
    bool recoverable;
};

// Holds the Document object and the errors as plain values; every read of `errors` makes new objects.
struct ParseResultObject {
    PyObject ob_base;
    PyObject* document;
    std::vector<quillet::ParseError>* errors;  // owned; null only in a half-built object
};

// An instance of any enumeration class (Profile, ModuleKind, ParseErrorKind, ListKind).
struct EnumObject {
    PyObject ob_base;
    uint8_t value;
};

struct ParserObject {
    PyObject ob_base;
    uint8_t profile;
};

}  // namespace pyql
