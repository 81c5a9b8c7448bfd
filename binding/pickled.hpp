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

#include "common.hpp"
#include "layouts.hpp"

namespace pyql {

// The class names, by TypeId.
inline constexpr const char* kTypeNames[] = {
    "Span",           "Profile",    "ModuleKind", "Parser",      "Document",  "ParseResult",
    "ParseErrorKind", "ParseError", "Heading",    "Paragraph",   "List",      "ListItem",
    "ListKind",       "CodeBlock",  "Callout",    "Quote",       "Figure",    "Table",
    "TableRow",       "TableCell",  "Footnotes",  "FootnoteDef", "MathBlock", "ThematicBreak",
    "HtmlBlock",      "RawBlock",   "Text",       "Emphasis",    "Strong",    "Strikethrough",
    "CodeSpan",       "Link",       "AutoLink",   "FootnoteRef", "HardBreak", "SoftBreak",
};
static_assert(std::size(kTypeNames) == kTypeCount);

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

template <class T>
constexpr NodeForm list_form(Extra extra = Extra::None) {
    return {true, sizeof(T), extra, 0, 0, 0, true};
}
template <class T>
constexpr NodeForm text_form(uint8_t texts, uint8_t optional = 0) {
    return {true, sizeof(T), Extra::None, texts, optional, offsetof(T, text), false};
}

constexpr NodeForm node_form(TypeId id) {
    switch (id) {
        case kHeading:
            return list_form<HeadingObject>(Extra::Level);
        case kParagraph:
        case kListItem:
        case kQuote:
        case kTable:
        case kTableCell:
        case kFootnotes:
        case kEmphasis:
        case kStrong:
        case kStrikethrough:
            return list_form<ListNode>();
        case kList:
            return list_form<ListObject>(Extra::KindAndStart);
        case kTableRow:
            return list_form<TableRowObject>(Extra::Header);
        case kCodeBlock:
            return text_form<TextNode2>(2);
        case kCallout:
            return {true, sizeof(ListTextNode2), Extra::None, 2, 1u << kCalloutTitle, offsetof(ListTextNode2, text),
                    true};
        case kLink:
            return {true, sizeof(ListTextNode2), Extra::None, 2, 1u << kLinkTitle, offsetof(ListTextNode2, text), true};
        case kFootnoteDef:
            return {true, sizeof(ListTextNode1), Extra::None, 1, 0, offsetof(ListTextNode1, text), true};
        case kFigure:
            return text_form<TextNode3>(3, 1u << kFigureCaption);
        case kMathBlock:
            return {true, sizeof(MathBlockObject), Extra::Display, 1, 0, offsetof(MathBlockObject, text), false};
        case kHtmlBlock:
        case kRawBlock:
        case kText:
        case kCodeSpan:
        case kAutoLink:
        case kFootnoteRef:
            return text_form<TextNode1>(1);
        case kThematicBreak:
        case kHardBreak:
        case kSoftBreak:
            return {true, sizeof(NodeHead), Extra::None, 0, 0, 0, false};
        default:
            return {};
    }
}

// How many values follow the id in a node's pickled form.
constexpr Py_ssize_t node_value_count(const NodeForm& f) {
    Py_ssize_t n = 2 + f.texts + (f.list ? 1 : 0);
    if (f.extra == Extra::KindAndStart) return n + 2;
    return f.extra == Extra::None ? n : n + 1;
}

}  // namespace pyql
