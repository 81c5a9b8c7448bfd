// The pickled form of pyql's objects, shared by the two extension modules: pyql's __reduce__ writes it and
// quillet._native.rebuild reads it back.
//
// Every object pickles (below protocol 3, or when it is small) as the call rebuild(id, values...), with id
// the class's TypeId:
//   Span               start, end
//   an enumeration     value
//   Parser             profile value
//   ParseError         message, kind value, start or None, end or None (no span), recoverable
//   ParseResult        document or None, a tuple of ParseErrors
//   Document           start, end, profile value, a tuple of module values, metadata dict or None,
//                      block list or None
//   a node             start, end, its extra values (NodeForm::extra), its texts in TextRef order (str, or
//                      None where absent), its child list (or None) when it holds one
// Stored dicts and lists are the objects' own, so pickle's memo keeps a node reached twice one object
// and rebuilds a list that holds its own owner.
//
// From protocol 3 on, a Document, a ParseResult and a node of kImageMinParts parts or more reduce instead to
// rebuild_image(source), the source an object of pyql's own that holds the tree; pickled, the source is
// rebuild_image(image), the image (below) describing the whole tree in one bytes object, and the outer call
// passes the tree on. copy.copy calls rebuild_image(source) itself: a new object holding the same lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "common.hpp"
#include "layouts.hpp"

namespace pyql {

// The class name of each TypeId: the node classes' from the model.
constexpr std::string_view type_name_of(TypeId id) {
    constexpr std::string_view kOthers[] = {"Span",     "Profile",     "ModuleKind",     "Parser",
                                            "Document", "ParseResult", "ParseErrorKind", "ParseError"};
    static_assert(std::size(kOthers) == kHeading);
    if (const auto type = node_type_of(id)) return quillet::type_name(*type);
    if (id == kListKind) return "ListKind";
    return id >= 0 && id < kHeading ? kOthers[id] : std::string_view("?");
}

// The values a node keeps beside its span, its texts and its list.
enum class Extra : uint8_t {
    None,
    Level,         // Heading: level, 1 to 6
    KindAndStart,  // List: kind value, start (None or an unsigned 64-bit int)
    Header,        // TableRow: header, a bool
    Display,       // MathBlock: display, a bool
};

struct NodeForm {
    bool is_node = false;
    size_t size = 0;  // tp_basicsize
    Extra extra = Extra::None;
    uint8_t texts = 0;     // TextRefs, at text_at
    uint8_t optional = 0;  // bit i: text i may be absent
    size_t text_at = 0;
    bool list = false;  // holds ListNode::list
};

constexpr NodeForm node_form(TypeId id) {
    using quillet::FieldType;
    const auto type = node_type_of(id);
    if (!type) return {};
    const quillet::NodeInfo& info = quillet::node_info(*type);
    const NodeLayout& layout = kNodeLayouts[size_t(*type)];
    NodeForm f{true, size_t(layout.size), Extra::None,      uint8_t(info.text_count()),
               0,    layout.text_offset,  layout.holds_list};
    uint8_t place = 0;
    for (const quillet::FieldInfo& field : info) {
        if (field.type == FieldType::OptText) f.optional |= uint8_t(1u << place);
        place += field.is_text() ? 1 : 0;
    }
    if (info.has(FieldType::Level)) f.extra = Extra::Level;
    if (info.has(FieldType::Kind)) f.extra = Extra::KindAndStart;
    if (info.has(FieldType::Flag)) f.extra = info.has_children() ? Extra::Header : Extra::Display;
    return f;
}

// How many values follow the id in a node's pickled form.
constexpr Py_ssize_t node_value_count(const NodeForm& f) {
    Py_ssize_t n = 2 + f.texts + (f.list ? 1 : 0);
    if (f.extra == Extra::KindAndStart) return n + 2;
    return f.extra == Extra::None ? n : n + 1;
}

// ------------------------------------------------------------------------------------------ the image
//
// One bytes object for a whole tree, written by pyql's __reduce_ex__ and read by quillet._native's
// rebuild_image. Numbers are unsigned LEB128 varints unless said otherwise; a signed one is zigzag coded.
//
//   image     "QLI", kImageVersion, the flags (kImageShared), the slot count (4 bytes, little-endian),
//             then the root: a value (a
//             Document or a node), or kTagResult, the document (a value: a Document or None), the error
//             count and each error; nothing after it
//   error     flags (bit 0: it has a span, bit 1: recoverable), kind value, message (text), then with a
//             span: start, length
//   value     a tag byte, then by tag:
//     None, False, True   nothing
//     Int                 a signed varint (what fits 64 bits)
//     BigInt              a text of hexadecimal digits, "-" first when negative (any other int)
//     Float               8 bytes, the IEEE double little-endian
//     Str                 a text
//     Ref                 a slot: the object that took it, again
//     List                a count, then as many values
//     Dict                a count, then as many key and value pairs of values
//     Document            span, profile value, module count and one byte each, metadata value, blocks value
//     kTagNode + NodeType span, the extra values (Extra below: a level byte; a list's kind byte, a has-start
//                         byte and the start; a flag byte), each text (optional where its field is), the
//                         child list value
//   span      the start as a signed difference from the span read before it (0 before the first), then the
//             length (end - start)
//   text      a byte count then the UTF-8 bytes; an optional text counts one more, and 0 means absent
//
// A list, dict, Document or node with kTagMemo set takes the next slot (slots are counted from 0 in the
// order the objects appear), so a Ref can name it later: an object the tree reaches twice (shared, or
// holding itself) is written once and comes back as one object. The writer gives slots only to objects
// referenced more than once. The reader holds every slotted object until the end, checks every count
// against the bytes left before it allocates, and every value as rebuild checks it.
//
// An image without a Ref (kImageShared clear: a tree that shares nothing, as every parse gives) holds no
// cycle, so its nodes that hold a list, and their lists, are born untracked by the cycle collector, as a
// parse makes them (pyql/common.hpp's hand_out tracks them when a getter hands a list out); a Ref in it is
// refused. An image with one leaves every object tracked.
inline constexpr char kImageMagic[3] = {'Q', 'L', 'I'};
inline constexpr uint8_t kImageVersion = 1;
inline constexpr size_t kImageHeaderSize = 9;
inline constexpr uint8_t kImageShared = 1;  // the flag of an image that holds a Ref

enum ImageTag : uint8_t {
    kTagNone,
    kTagFalse,
    kTagTrue,
    kTagInt,
    kTagBigInt,
    kTagFloat,
    kTagStr,
    kTagRef,
    kTagList,
    kTagDict,
    kTagDocument,
    kTagResult,
    kTagNode = 0x10,  // + the NodeType
    kTagMemo = 0x80,  // on a List, Dict, Document or node tag: the object takes the next slot
};
static_assert(kTagNode + quillet::kNodeTypeCount <= kTagMemo);

// The error flags of the image.
inline constexpr uint8_t kErrorHasSpan = 1;
inline constexpr uint8_t kErrorRecoverable = 2;

// A node pickles as an image when its subtree holds this many parts (the node, and every item of the child
// lists below it) or more. An image costs about two rebuild calls more than what it holds (its source object,
// its bytes, a second call), so a node of fewer parts is as cheap in the old form, and keeps it: pickle's memo
// then also shares it with the objects a caller pickles beside it. From four parts on, the image is twice as
// fast to dump and load, and the gap grows by about two rebuild calls a part.
inline constexpr size_t kImageMinParts = 4;

}  // namespace pyql
