// The pickled form of pyql's objects, shared by the two extension modules: pyql's __reduce__ writes it and
// quillet._native.rebuild reads it back.
//
// Every object pickles as the call rebuild(id, values...), with id the class's TypeId:
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

}  // namespace pyql
