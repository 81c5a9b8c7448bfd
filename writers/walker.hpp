// One walk over a parsed tree, shared by every writer: depth first, in document order, without recursion.
//
// Every node gives an Enter event, then the events of its children, then a Leave event; a node without
// children gives its Leave right after its Enter. The walk keeps its own stack, so a tree nested as deep
// as memory allows (a caller's tree, rebuilt from Python objects) costs heap, not C stack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quillet/document.hpp"
#include "quillet/errors.hpp"
#include "quillet/model.hpp"

namespace quillet::writers {

// The node classes and their fields are described once, in the core's model.
using quillet::is_inline;
using quillet::kNodeTypeCount;
using quillet::NodeType;
using quillet::type_name;

// One node of any type: its type and the struct that holds it (Heading, ListItem, Inline, ...).
struct NodeRef {
    NodeType type = NodeType::Paragraph;
    const void* node = nullptr;

    template <class T>
    const T& as() const {
        return *static_cast<const T*>(node);
    }
    Span span() const;
};

// The walk's hot path is defined below the classes, inline: a writer calls it once or twice a node.
inline NodeRef node_ref(const Block& block);
inline NodeRef node_ref(const ListItem& item);
inline NodeRef node_ref(const TableRow& row);
inline NodeRef node_ref(const TableCell& cell);
inline NodeRef node_ref(const FootnoteDef& def);
inline NodeRef node_ref(const Inline& node);

// The children of a node: its content, blocks, items, rows, cells, defs or (Link) label.
inline size_t child_count(NodeRef node);
inline NodeRef child_at(NodeRef node, size_t i);

enum class Event : uint8_t { Enter, Leave };

class Walker {
public:
    // Walks `count` roots and everything below them; the roots are at depth 0.
    Walker(const NodeRef* roots, size_t count) : roots_(roots), root_count_(count) {}
    explicit Walker(const NodeRef& root) : Walker(&root, 1) {}

    // Moves to the next event; false once the walk is over.
    bool next();

    Event event() const { return event_; }
    NodeRef node() const { return node_; }
    // 0 for a root, 1 for its children, ...
    size_t depth() const { return depth_; }
    // The position of the current node among its siblings (or among the roots).
    size_t index() const { return index_; }
    // The node whose child the current one is; only meaningful when depth() > 0.
    NodeRef parent() const;
    // After an Enter: the next event is that node's Leave, its children are not visited.
    void skip_children();

private:
    struct Frame {
        NodeRef node;
        size_t index;  // the node's own position among its siblings
        size_t next;   // its next child to visit
        size_t count;  // its number of children
    };
    // The open nodes, the current one last while it is open. A writer makes a Walker per top-level node, so
    // the first few frames live inside the Walker, without an allocation; a deeper tree moves them all to
    // the heap, where they may grow as deep as memory allows.
    class Frames {
    public:
        Frames() = default;
        Frames(const Frames& other) : size_(other.size_), heap_(other.heap_) {
            if (heap_.empty()) std::memcpy(local_, other.local_, size_ * sizeof(Frame));
        }
        Frames& operator=(const Frames&) = delete;

        bool empty() const { return size_ == 0; }
        size_t size() const { return size_; }
        Frame& back() { return data()[size_ - 1]; }
        const Frame& operator[](size_t i) const { return data()[i]; }
        void pop_back() { --size_; }
        void push_back(const Frame& frame) {
            if (heap_.empty() && size_ == kLocalFrames) {
                heap_.resize(2 * kLocalFrames);
                std::memcpy(heap_.data(), local_, sizeof local_);
            } else if (!heap_.empty() && size_ == heap_.size()) {
                heap_.resize(2 * heap_.size());
            }
            new (data() + size_) Frame(frame);
            ++size_;
        }

    private:
        static constexpr size_t kLocalFrames = 16;
        Frame* data() { return heap_.empty() ? std::launder(reinterpret_cast<Frame*>(local_)) : heap_.data(); }
        const Frame* data() const {
            return heap_.empty() ? std::launder(reinterpret_cast<const Frame*>(local_)) : heap_.data();
        }

        // Raw bytes: a Walker is made per node, and default-made frames would cost their stores.
        alignas(Frame) unsigned char local_[kLocalFrames * sizeof(Frame)];
        size_t size_ = 0;
        std::vector<Frame> heap_;  // all the frames, once there are more than kLocalFrames
    };
    static_assert(std::is_trivially_copyable_v<Frame> && std::is_trivially_destructible_v<Frame>);

    void enter(NodeRef node, size_t index);

    const NodeRef* roots_;
    size_t root_count_;
    size_t next_root_ = 0;
    Frames stack_;
    NodeRef node_;
    size_t index_ = 0;
    size_t depth_ = 0;
    Event event_ = Event::Leave;
    bool pending_leave_ = false;  // a childless node was entered: its Leave comes next
};

// ------------------------------------------------------------------------------ the walk's hot path, inline

inline NodeRef node_ref(const Block& block) {
    return std::visit([&](const auto& b) { return NodeRef{kBlockTypes[block.value.index()], &b}; }, block.value);
}
inline NodeRef node_ref(const ListItem& item) {
    return {NodeType::ListItem, &item};
}
inline NodeRef node_ref(const TableRow& row) {
    return {NodeType::TableRow, &row};
}
inline NodeRef node_ref(const TableCell& cell) {
    return {NodeType::TableCell, &cell};
}
inline NodeRef node_ref(const FootnoteDef& def) {
    return {NodeType::FootnoteDef, &def};
}
inline NodeRef node_ref(const Inline& node) {
    return {kInlineTypes[size_t(node.kind)], &node};
}

template <NodeType T>
inline constexpr bool kHasChildren = !std::is_null_pointer_v<std::remove_cv_t<decltype(CoreNode<T>::children)>>;

// The walk asks a node for its children once or twice per node: one function per class, reached through a
// table indexed by the NodeType, where a visit_type would compare the type with every class in turn.
namespace walker_detail {
template <NodeType T>
using Core = typename CoreNode<T>::type;

template <NodeType T>
size_t count_of(const void* node) {
    if constexpr (kHasChildren<T>) {
        return (static_cast<const Core<T>*>(node)->*CoreNode<T>::children).size();
    } else {
        return 0;
    }
}

template <NodeType T>
NodeRef child_of(const void* node, size_t i) {
    if constexpr (kHasChildren<T>) {
        return node_ref((static_cast<const Core<T>*>(node)->*CoreNode<T>::children)[i]);
    } else {
        return {};
    }
}

template <NodeType T>
Span span_of(const void* node) {
    return static_cast<const Core<T>*>(node)->span;
}

template <NodeType T>
OptText text_of(const void* node, size_t place) {
    const auto& core = *static_cast<const Core<T>*>(node);
    OptText text;
    std::apply(
        [&](auto... member) {
            size_t i = 0;
            ((i++ == place ? (void)(text = OptText(core.*member)) : void()), ...);
        },
        CoreNode<T>::texts);
    return text;
}

// One entry per NodeType, in its order.
template <template <NodeType> class Entry, size_t... I>
constexpr auto table_of(std::index_sequence<I...>) {
    return std::array{Entry<NodeType(I)>::value...};
}
template <NodeType T>
struct HasChildren {
    static constexpr bool value = kHasChildren<T>;
};
template <NodeType T>
struct CountOf {
    static constexpr auto value = &count_of<T>;
};
template <NodeType T>
struct ChildOf {
    static constexpr auto value = &child_of<T>;
};
template <NodeType T>
struct SpanOf {
    static constexpr auto value = &span_of<T>;
};
template <NodeType T>
struct TextOf {
    static constexpr auto value = &text_of<T>;
};
using Types = std::make_index_sequence<kNodeTypeCount>;
inline constexpr auto kHasChildrenOf = table_of<HasChildren>(Types{});
inline constexpr auto kCountOf = table_of<CountOf>(Types{});
inline constexpr auto kChildOf = table_of<ChildOf>(Types{});
inline constexpr auto kSpanOf = table_of<SpanOf>(Types{});
inline constexpr auto kTextOf = table_of<TextOf>(Types{});
}  // namespace walker_detail

inline Span NodeRef::span() const {
    return walker_detail::kSpanOf[size_t(type)](node);
}

inline size_t child_count(NodeRef node) {
    // Most nodes are leaves (texts): they need no call.
    if (!walker_detail::kHasChildrenOf[size_t(node.type)]) return 0;
    return walker_detail::kCountOf[size_t(node.type)](node.node);
}

inline NodeRef child_at(NodeRef node, size_t i) {
    return walker_detail::kChildOf[size_t(node.type)](node.node, i);
}

// The text field at `place` (its position among the texts of the node's class); nothing for an absent
// optional text.
inline OptText text_at(NodeRef node, size_t place) {
    return walker_detail::kTextOf[size_t(node.type)](node.node, place);
}

// The node's one scalar field of type U: a heading's level (uint8_t), a list's kind (ListKind) or start
// (std::optional<uint64_t>), a row's header or a math block's display (bool); U{} when it has none.
template <class U>
inline U scalar_of(NodeRef node) {
    return visit_type(node.type, [&](auto type) -> U {
        using C = CoreNode<decltype(type)::value>;
        const auto& core = node.as<typename C::type>();
        U value{};
        std::apply(
            [&](auto... member) {
                [[maybe_unused]] const auto take = [&](auto m) {
                    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(core.*m)>, U>) value = core.*m;
                };
                (take(member), ...);
            },
            C::scalars);
        return value;
    });
}

inline void Walker::enter(NodeRef node, size_t index) {
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

inline NodeRef Walker::parent() const {
    return depth_ > 0 ? stack_[depth_ - 1].node : NodeRef{};
}

inline bool Walker::next() {
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

// ---------------------------------------------------------------------------------------- what is written

// A document's parts, wherever they live: a parsed Document (view_of), or a tree rebuilt from Python objects.
struct DocumentView {
    Profile profile = Profile::Quillet;
    const ModuleKind* modules = nullptr;
    size_t module_count = 0;
    const Metadata* metadata = nullptr;  // null when the document has no metadata block
    const Block* blocks = nullptr;
    size_t block_count = 0;
    Span span;
};
DocumentView view_of(const Document& doc);

// What one write covers, in the shapes the Python objects come in.
struct Source {
    enum class Form : uint8_t {
        Result,    // a ParseResult: the document, then the errors
        Document,  // a Document
        Error,     // one ParseError (errors[0])
        Node,      // one node (nodes[0])
        Nodes,     // a list of nodes
    };
    Form form = Form::Document;
    DocumentView document;
    const ParseError* errors = nullptr;
    size_t error_count = 0;
    const NodeRef* nodes = nullptr;
    size_t node_count = 0;
};

}  // namespace quillet::writers
