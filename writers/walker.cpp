#include "walker.hpp"

#include <variant>

namespace quillet::writers {
namespace {

constexpr std::string_view kTypeNames[kNodeTypeCount] = {
    "Heading",       "Paragraph", "List",     "ListItem",    "CodeBlock", "Callout",     "Quote",
    "Figure",        "Table",     "TableRow", "TableCell",   "Footnotes", "FootnoteDef", "MathBlock",
    "ThematicBreak", "HtmlBlock", "RawBlock", "Text",        "Emphasis",  "Strong",      "Strikethrough",
    "CodeSpan",      "Link",      "AutoLink", "FootnoteRef", "HardBreak", "SoftBreak",
};

template <class Seq>
size_t size_of(const Seq& seq) {
    return seq.size();
}

}  // namespace

std::string_view type_name(NodeType type) {
    return kTypeNames[size_t(type)];
}

Span NodeRef::span() const {
    switch (type) {
        case NodeType::Heading:
            return as<Heading>().span;
        case NodeType::Paragraph:
            return as<Paragraph>().span;
        case NodeType::List:
            return as<List>().span;
        case NodeType::ListItem:
            return as<ListItem>().span;
        case NodeType::CodeBlock:
            return as<CodeBlock>().span;
        case NodeType::Callout:
            return as<Callout>().span;
        case NodeType::Quote:
            return as<Quote>().span;
        case NodeType::Figure:
            return as<Figure>().span;
        case NodeType::Table:
            return as<Table>().span;
        case NodeType::TableRow:
            return as<TableRow>().span;
        case NodeType::TableCell:
            return as<TableCell>().span;
        case NodeType::Footnotes:
            return as<Footnotes>().span;
        case NodeType::FootnoteDef:
            return as<FootnoteDef>().span;
        case NodeType::MathBlock:
            return as<MathBlock>().span;
        case NodeType::ThematicBreak:
            return as<ThematicBreak>().span;
        case NodeType::HtmlBlock:
            return as<HtmlBlock>().span;
        case NodeType::RawBlock:
            return as<RawBlock>().span;
        default:
            return as<Inline>().span;
    }
}

NodeRef Walker::parent() const {
    return depth_ > 0 ? stack_[depth_ - 1].node : NodeRef{};
}

void Walker::skip_children() {
    if (event_ == Event::Enter && !pending_leave_ && !stack_.empty()) stack_.back().next = stack_.back().count;
}

DocumentView view_of(const Document& doc) {
    DocumentView view;
    view.profile = doc.profile;
    view.modules = doc.modules.data();
    view.module_count = doc.modules.size();
    view.metadata = doc.metadata ? &*doc.metadata : nullptr;
    view.blocks = doc.blocks.data();
    view.block_count = doc.blocks.size();
    view.span = doc.span;
    return view;
}

}  // namespace quillet::writers
