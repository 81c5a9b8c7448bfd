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

// The node type of each block kind, in BlockKind's order.
constexpr NodeType kBlockTypes[] = {
    NodeType::Heading,       NodeType::Paragraph, NodeType::List,     NodeType::CodeBlock, NodeType::Callout,
    NodeType::Quote,         NodeType::Figure,    NodeType::Table,    NodeType::Footnotes, NodeType::MathBlock,
    NodeType::ThematicBreak, NodeType::HtmlBlock, NodeType::RawBlock,
};
static_assert(std::size(kBlockTypes) == std::variant_size_v<Block::Variant>);

// The node type of each inline kind, in InlineKind's order.
constexpr NodeType kInlineTypes[] = {
    NodeType::Text,     NodeType::Emphasis,      NodeType::Strong,      NodeType::CodeSpan,  NodeType::Link,
    NodeType::AutoLink, NodeType::Strikethrough, NodeType::FootnoteRef, NodeType::HardBreak, NodeType::SoftBreak,
};
static_assert(std::size(kInlineTypes) == size_t(InlineKind::SoftBreak) + 1);

template <class Seq>
size_t size_of(const Seq& seq) {
    return seq.size();
}

}  // namespace

std::string_view type_name(NodeType type) {
    return kTypeNames[size_t(type)];
}

bool is_inline(NodeType type) {
    return type >= NodeType::Text;
}

NodeRef node_ref(const Block& block) {
    return std::visit([&](const auto& b) { return NodeRef{kBlockTypes[block.value.index()], &b}; }, block.value);
}
NodeRef node_ref(const ListItem& item) {
    return {NodeType::ListItem, &item};
}
NodeRef node_ref(const TableRow& row) {
    return {NodeType::TableRow, &row};
}
NodeRef node_ref(const TableCell& cell) {
    return {NodeType::TableCell, &cell};
}
NodeRef node_ref(const FootnoteDef& def) {
    return {NodeType::FootnoteDef, &def};
}
NodeRef node_ref(const Inline& node) {
    return {kInlineTypes[size_t(node.kind)], &node};
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

size_t child_count(NodeRef node) {
    switch (node.type) {
        case NodeType::Heading:
            return node.as<Heading>().content.size();
        case NodeType::Paragraph:
            return node.as<Paragraph>().content.size();
        case NodeType::List:
            return node.as<List>().items.size();
        case NodeType::ListItem:
            return node.as<ListItem>().blocks.size();
        case NodeType::Callout:
            return node.as<Callout>().blocks.size();
        case NodeType::Quote:
            return node.as<Quote>().blocks.size();
        case NodeType::Table:
            return node.as<Table>().rows.size();
        case NodeType::TableRow:
            return node.as<TableRow>().cells.size();
        case NodeType::TableCell:
            return node.as<TableCell>().content.size();
        case NodeType::Footnotes:
            return node.as<Footnotes>().defs.size();
        case NodeType::FootnoteDef:
            return node.as<FootnoteDef>().blocks.size();
        case NodeType::Emphasis:
        case NodeType::Strong:
        case NodeType::Strikethrough:
        case NodeType::Link:
            return node.as<Inline>().children.size();
        default:
            return 0;
    }
}

NodeRef child_at(NodeRef node, size_t i) {
    switch (node.type) {
        case NodeType::Heading:
            return node_ref(node.as<Heading>().content[i]);
        case NodeType::Paragraph:
            return node_ref(node.as<Paragraph>().content[i]);
        case NodeType::List:
            return node_ref(node.as<List>().items[i]);
        case NodeType::ListItem:
            return node_ref(node.as<ListItem>().blocks[i]);
        case NodeType::Callout:
            return node_ref(node.as<Callout>().blocks[i]);
        case NodeType::Quote:
            return node_ref(node.as<Quote>().blocks[i]);
        case NodeType::Table:
            return node_ref(node.as<Table>().rows[i]);
        case NodeType::TableRow:
            return node_ref(node.as<TableRow>().cells[i]);
        case NodeType::TableCell:
            return node_ref(node.as<TableCell>().content[i]);
        case NodeType::Footnotes:
            return node_ref(node.as<Footnotes>().defs[i]);
        case NodeType::FootnoteDef:
            return node_ref(node.as<FootnoteDef>().blocks[i]);
        default:
            return node_ref(node.as<Inline>().children[i]);
    }
}

void Walker::enter(NodeRef node, size_t index) {
    event_ = Event::Enter;
    node_ = node;
    index_ = index;
    depth_ = stack_.size();
    if (const size_t count = child_count(node); count > 0) {
        stack_.push_back(Frame{node, index, 0, count});
    } else {
        pending_leave_ = true;
    }
}

bool Walker::next() {
    if (pending_leave_) {
        pending_leave_ = false;
        event_ = Event::Leave;
        return true;
    }
    if (stack_.empty()) {
        if (next_root_ == root_count_) return false;
        const size_t i = next_root_++;
        enter(roots_[i], i);
        return true;
    }
    Frame& top = stack_.back();
    if (top.next < top.count) {
        const size_t i = top.next++;
        enter(child_at(top.node, i), i);
        return true;
    }
    event_ = Event::Leave;
    node_ = top.node;
    index_ = top.index;
    stack_.pop_back();
    depth_ = stack_.size();
    return true;
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
