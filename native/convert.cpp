#include "convert.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "contract.hpp"
#include "pyql/layouts.hpp"
#include "pyql/pickled.hpp"

namespace quillet_native {
namespace {

using quillet::writers::kNodeTypeCount;
using quillet::writers::NodeRef;
using quillet::writers::NodeType;
using quillet::writers::Source;

// ------------------------------------------------------------------------------------------- classes

// Written once under the GIL; pyql's classes live as long as the process.
Classes g_classes;
bool g_loaded = false;

// pyql's class `id`, which must hold objects of `size` bytes: the layout this module reads.
bool load_class(const pyql::Contract& pyql, pyql::TypeId id, size_t size, PyTypeObject*& out) {
    PyTypeObject* type = pyql.types[id];
    if (type->tp_basicsize != static_cast<Py_ssize_t>(size)) {
        const std::string name(pyql::type_name_of(id));
        PyErr_Format(PyExc_ImportError,
                     "quillet._native cannot read pyql.%s objects: they are %zd bytes, this module reads %zu "
                     "(pyql and quillet come from different builds)",
                     name.c_str(), type->tp_basicsize, size);
        return false;
    }
    out = type;
    return true;
}

// ------------------------------------------------------------------------------------------- helpers

// type(o).__name__, as a new str.
PyObject* short_type_name(PyObject* o) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__");
}

// The objects (nodes, or metadata lists) on the path from the top, to find one inside itself. A parsed
// tree is a few levels deep, where a scan is cheapest; a caller's chain may be as deep as memory allows,
// and below kScanned levels the path is also kept in a hash set.
class PathSet {
public:
    static constexpr size_t kScanned = 16;

    bool contains(PyObject* o) const {
        const size_t scanned = path_.size() < kScanned ? path_.size() : kScanned;
        for (size_t i = 0; i < scanned; ++i) {
            if (path_[i] == o) return true;
        }
        return path_.size() > kScanned && deep_.count(o) != 0;
    }
    // `o` must not be on the path already.
    void push(PyObject* o) {
        if (path_.size() >= kScanned) deep_.insert(o);
        path_.push_back(o);
    }
    void pop() {
        if (path_.size() > kScanned) deep_.erase(path_.back());
        path_.pop_back();
    }

private:
    std::vector<PyObject*> path_;
    std::unordered_set<PyObject*> deep_;
};

// Which nodes a child list takes.
enum class Place : uint8_t { Any, Block, Inline, Item, Row, Cell, Def };

const char* expected(Place place) {
    switch (place) {
        case Place::Any:
            return "a node";
        case Place::Block:
            return "a block node";
        case Place::Inline:
            return "an inline node";
        case Place::Item:
            return "a ListItem";
        case Place::Row:
            return "a TableRow";
        case Place::Cell:
            return "a TableCell";
        case Place::Def:
            return "a FootnoteDef";
    }
    return "a node";
}

bool accepts(Place place, NodeType t) {
    switch (place) {
        case Place::Any:
            return true;
        case Place::Block:
            return !quillet::writers::is_inline(t) && t != NodeType::ListItem && t != NodeType::TableRow &&
                   t != NodeType::TableCell && t != NodeType::FootnoteDef;
        case Place::Inline:
            return quillet::writers::is_inline(t);
        case Place::Item:
            return t == NodeType::ListItem;
        case Place::Row:
            return t == NodeType::TableRow;
        case Place::Cell:
            return t == NodeType::TableCell;
        case Place::Def:
            return t == NodeType::FootnoteDef;
    }
    return false;
}

constexpr quillet::InlineKind inline_kind(NodeType t) {
    switch (t) {
        case NodeType::Emphasis:
            return quillet::InlineKind::Emphasis;
        case NodeType::Strong:
            return quillet::InlineKind::Strong;
        case NodeType::Strikethrough:
            return quillet::InlineKind::Strikethrough;
        case NodeType::CodeSpan:
            return quillet::InlineKind::CodeSpan;
        case NodeType::Link:
            return quillet::InlineKind::Link;
        case NodeType::AutoLink:
            return quillet::InlineKind::AutoLink;
        case NodeType::FootnoteRef:
            return quillet::InlineKind::FootnoteRef;
        case NodeType::HardBreak:
            return quillet::InlineKind::HardBreak;
        case NodeType::SoftBreak:
            return quillet::InlineKind::SoftBreak;
        default:
            return quillet::InlineKind::Text;
    }
}

quillet::Span span_of(PyObject* node) {
    const auto* h = reinterpret_cast<const pyql::NodeHead*>(node);
    return quillet::Span{h->start, h->end};
}

PyObject* const* list_items(PyObject* list) {
    return reinterpret_cast<PyListObject*>(list)->ob_item;
}

PyObject* list_of(PyObject* node) {
    return reinterpret_cast<const pyql::ListNode*>(node)->list;
}

// ----------------------------------------------------------------------------------------- converter

class Converter {
public:
    Converter(Converted& out, const Classes& classes, bool big_ints_as_text)
        : out_(out), arena_(out.arena), classes_(classes), big_ints_as_text_(big_ints_as_text) {}

    Status source(PyObject* obj);

private:
    // One open child list: its items are converted into `out` one by one.
    struct Frame {
        PyObject* const* items;  // the list's items (no Python code runs while nodes are read)
        Py_ssize_t next;
        Py_ssize_t count;
        Place place;
        bool owned;         // the frame's owner node is on path_
        const char* field;  // the list's name in paths: "blocks", "content", ...
        void* out;          // Blocks, Seq<ListItem>, ..., an array of Inline or of NodeRef
    };

    template <class T>
    T* arena_new() {
        return new (arena_.allocate(sizeof(T), alignof(T))) T{};
    }
    template <class T>
    quillet::Seq<T> arena_seq(Py_ssize_t reserve) {
        quillet::Seq<T> seq((quillet::ArenaAllocator<T>(&arena_)));
        seq.reserve(static_cast<size_t>(reserve));
        return seq;
    }
    void keep(PyObject* o) {
        out_.keep.push_back(o);
        Py_INCREF(o);
    }
    quillet::OptText text(PyObject* node, const pyql::TextRef& t) {
        if (t.size < 0) return std::nullopt;
        return std::string_view(reinterpret_cast<const char*>(node) + t.offset, static_cast<size_t>(t.size));
    }

    int node_type(PyObject* obj) const {
        PyTypeObject* type = Py_TYPE(obj);
        for (size_t i = 0; i < kNodeTypeCount; ++i) {
            if (classes_.nodes[i] == type) return static_cast<int>(i);
        }
        return -1;
    }

    std::string path() const;
    bool fail_not_node(PyObject* obj, Place place);
    bool fail_wrong_kind(NodeType t, Place place);

    bool push(PyObject* owner, PyObject* list, Place place, const char* field, void* out, Py_ssize_t& count);
    bool items(PyObject* list, PyObject* const*& items, Py_ssize_t& count);
    template <class T>
    bool open_seq(PyObject* owner, PyObject* list, Place place, const char* field, quillet::Seq<T>& seq);
    bool open_inlines(PyObject* owner, PyObject* list, quillet::Inlines& out);

    void* slot(Frame& f, Py_ssize_t i, NodeType t);
    bool fill(NodeType t, PyObject* obj, void* dst);
    bool run();

    Status document(PyObject* doc, const char* field);
    Status metadata(PyObject* dict, const quillet::Metadata*& out);
    Status value(PyObject* v, quillet::AttrValue& out);
    Status scalar(PyObject* v, quillet::AttrValue& out);
    bool utf8(PyObject* str, std::string_view& out);

    Converted& out_;
    quillet::Arena& arena_;
    const Classes& classes_;
    const bool big_ints_as_text_;
    std::vector<Frame> frames_;
    PathSet path_;
    bool single_ = false;  // the source is one node: the top frame adds nothing to paths
};

std::string Converter::path() const {
    std::string p;
    for (size_t k = 0; k < frames_.size(); ++k) {
        const Frame& f = frames_[k];
        if (*f.field != '\0') {
            if (!p.empty()) p += '.';
            p += f.field;
        }
        if (k == 0 && single_) continue;
        p += '[';
        p += std::to_string(f.next - 1);
        p += ']';
    }
    return p;
}

bool Converter::fail_not_node(PyObject* obj, Place place) {
    Ref name(short_type_name(obj));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "%s: cannot export a %U as a node (expected %s)", path().c_str(), name.get(),
                 expected(place));
    return false;
}

bool Converter::fail_wrong_kind(NodeType t, Place place) {
    const std::string name(quillet::writers::type_name(t));
    PyErr_Format(PyExc_TypeError, "%s: expected %s, not a %s", path().c_str(), expected(place), name.c_str());
    return false;
}

bool Converter::items(PyObject* list, PyObject* const*& items, Py_ssize_t& count) {
    if (list == nullptr) {  // cleared by the cycle collector
        items = nullptr;
        count = 0;
        return true;
    }
    if (!PyList_Check(list)) {
        PyErr_Format(PyExc_TypeError, "%s: a node's children are not a list", path().c_str());
        return false;
    }
    items = list_items(list);
    count = PyList_GET_SIZE(list);
    return true;
}

// Opens the child list of `owner` (null at the top).
bool Converter::push(PyObject* owner, PyObject* list, Place place, const char* field, void* out, Py_ssize_t& count) {
    PyObject* const* its = nullptr;
    if (!items(list, its, count)) return false;
    if (owner != nullptr) path_.push(owner);  // run() has made sure it is not on the path yet
    frames_.push_back(Frame{its, 0, count, place, owner != nullptr, field, out});
    return true;
}

template <class T>
bool Converter::open_seq(PyObject* owner, PyObject* list, Place place, const char* field, quillet::Seq<T>& seq) {
    Py_ssize_t count = 0;
    if (!push(owner, list, place, field, &seq, count)) return false;
    seq = arena_seq<T>(count);
    return true;
}

bool Converter::open_inlines(PyObject* owner, PyObject* list, quillet::Inlines& out) {
    Py_ssize_t count = 0;
    if (!push(owner, list, Place::Inline, "content", nullptr, count)) return false;
    quillet::Inline* nodes = nullptr;
    if (count > 0) {
        // An empty view must hold null: a non-null one would read as nodes a streamed parse took.
        nodes = static_cast<quillet::Inline*>(
            arena_.allocate(sizeof(quillet::Inline) * size_t(count), alignof(quillet::Inline)));
        for (Py_ssize_t i = 0; i < count; ++i) new (nodes + i) quillet::Inline{};
    }
    frames_.back().out = nodes;
    out = quillet::Inlines(nodes, static_cast<size_t>(count));
    return true;
}

template <class T>
void* add_block(quillet::Blocks& blocks) {
    blocks.emplace_back(T{});
    return &std::get<T>(blocks.back().value);
}

// A new struct for a node of type t, as the i-th child of the list `f`.
void* Converter::slot(Frame& f, Py_ssize_t i, NodeType t) {
    using T = NodeType;
    switch (f.place) {
        case Place::Inline: {
            quillet::Inline& in = static_cast<quillet::Inline*>(f.out)[i];
            in.kind = inline_kind(t);
            return &in;
        }
        case Place::Item: {
            auto& seq = *static_cast<quillet::Seq<quillet::ListItem>*>(f.out);
            return &seq.emplace_back();
        }
        case Place::Row: {
            auto& seq = *static_cast<quillet::Seq<quillet::TableRow>*>(f.out);
            return &seq.emplace_back();
        }
        case Place::Cell: {
            auto& seq = *static_cast<quillet::Seq<quillet::TableCell>*>(f.out);
            return &seq.emplace_back();
        }
        case Place::Def: {
            auto& seq = *static_cast<quillet::Seq<quillet::FootnoteDef>*>(f.out);
            return &seq.emplace_back();
        }
        case Place::Block: {
            auto& blocks = *static_cast<quillet::Blocks*>(f.out);
            switch (t) {
                case T::Heading:
                    return add_block<quillet::Heading>(blocks);
                case T::Paragraph:
                    return add_block<quillet::Paragraph>(blocks);
                case T::List:
                    return add_block<quillet::List>(blocks);
                case T::CodeBlock:
                    return add_block<quillet::CodeBlock>(blocks);
                case T::Callout:
                    return add_block<quillet::Callout>(blocks);
                case T::Quote:
                    return add_block<quillet::Quote>(blocks);
                case T::Figure:
                    return add_block<quillet::Figure>(blocks);
                case T::Table:
                    return add_block<quillet::Table>(blocks);
                case T::Footnotes:
                    return add_block<quillet::Footnotes>(blocks);
                case T::MathBlock:
                    return add_block<quillet::MathBlock>(blocks);
                case T::ThematicBreak:
                    return add_block<quillet::ThematicBreak>(blocks);
                case T::HtmlBlock:
                    return add_block<quillet::HtmlBlock>(blocks);
                default:
                    return add_block<quillet::RawBlock>(blocks);
            }
        }
        case Place::Any:
            break;
    }
    // A node of its own, at the top of a list of nodes or as the source itself.
    void* node = nullptr;
    switch (t) {
        case T::Heading:
            node = arena_new<quillet::Heading>();
            break;
        case T::Paragraph:
            node = arena_new<quillet::Paragraph>();
            break;
        case T::List:
            node = arena_new<quillet::List>();
            break;
        case T::ListItem:
            node = arena_new<quillet::ListItem>();
            break;
        case T::CodeBlock:
            node = arena_new<quillet::CodeBlock>();
            break;
        case T::Callout:
            node = arena_new<quillet::Callout>();
            break;
        case T::Quote:
            node = arena_new<quillet::Quote>();
            break;
        case T::Figure:
            node = arena_new<quillet::Figure>();
            break;
        case T::Table:
            node = arena_new<quillet::Table>();
            break;
        case T::TableRow:
            node = arena_new<quillet::TableRow>();
            break;
        case T::TableCell:
            node = arena_new<quillet::TableCell>();
            break;
        case T::Footnotes:
            node = arena_new<quillet::Footnotes>();
            break;
        case T::FootnoteDef:
            node = arena_new<quillet::FootnoteDef>();
            break;
        case T::MathBlock:
            node = arena_new<quillet::MathBlock>();
            break;
        case T::ThematicBreak:
            node = arena_new<quillet::ThematicBreak>();
            break;
        case T::HtmlBlock:
            node = arena_new<quillet::HtmlBlock>();
            break;
        case T::RawBlock:
            node = arena_new<quillet::RawBlock>();
            break;
        default: {
            auto* in = arena_new<quillet::Inline>();
            in->kind = inline_kind(t);
            node = in;
        }
    }
    static_cast<NodeRef*>(f.out)[i] = NodeRef{t, node};
    return node;
}

// Copies the fields of `obj` into `dst` and opens its child list, if it has one.
bool Converter::fill(NodeType t, PyObject* obj, void* dst) {
    using T = NodeType;
    const quillet::Span span = span_of(obj);
    switch (t) {
        case T::Heading: {
            auto& b = *static_cast<quillet::Heading*>(dst);
            b.span = span;
            b.level = reinterpret_cast<const pyql::HeadingObject*>(obj)->level;
            return open_inlines(obj, list_of(obj), b.content);
        }
        case T::Paragraph: {
            auto& b = *static_cast<quillet::Paragraph*>(dst);
            b.span = span;
            return open_inlines(obj, list_of(obj), b.content);
        }
        case T::List: {
            auto& b = *static_cast<quillet::List*>(dst);
            const auto* o = reinterpret_cast<const pyql::ListObject*>(obj);
            b.span = span;
            b.kind = static_cast<quillet::ListKind>(o->kind);
            if (o->has_start) b.start = o->start;
            return open_seq(obj, o->n.list, Place::Item, "items", b.items);
        }
        case T::ListItem: {
            auto& b = *static_cast<quillet::ListItem*>(dst);
            b.span = span;
            return open_seq(obj, list_of(obj), Place::Block, "blocks", b.blocks);
        }
        case T::CodeBlock: {
            auto& b = *static_cast<quillet::CodeBlock*>(dst);
            const auto* o = reinterpret_cast<const pyql::TextNode2*>(obj);
            b.span = span;
            b.lang = text(obj, o->text[pyql::kCodeLang]).value_or("");
            b.content = text(obj, o->text[pyql::kCodeContent]).value_or("");
            keep(obj);
            return true;
        }
        case T::Callout: {
            auto& b = *static_cast<quillet::Callout*>(dst);
            const auto* o = reinterpret_cast<const pyql::ListTextNode2*>(obj);
            b.span = span;
            b.kind = text(obj, o->text[pyql::kCalloutKind]).value_or("");
            b.title = text(obj, o->text[pyql::kCalloutTitle]);
            keep(obj);
            return open_seq(obj, o->n.list, Place::Block, "blocks", b.blocks);
        }
        case T::Quote: {
            auto& b = *static_cast<quillet::Quote*>(dst);
            b.span = span;
            return open_seq(obj, list_of(obj), Place::Block, "blocks", b.blocks);
        }
        case T::Figure: {
            auto& b = *static_cast<quillet::Figure*>(dst);
            const auto* o = reinterpret_cast<const pyql::TextNode3*>(obj);
            b.span = span;
            b.src = text(obj, o->text[pyql::kFigureSrc]).value_or("");
            b.alt = text(obj, o->text[pyql::kFigureAlt]).value_or("");
            b.caption = text(obj, o->text[pyql::kFigureCaption]);
            keep(obj);
            return true;
        }
        case T::Table: {
            auto& b = *static_cast<quillet::Table*>(dst);
            b.span = span;
            return open_seq(obj, list_of(obj), Place::Row, "rows", b.rows);
        }
        case T::TableRow: {
            auto& b = *static_cast<quillet::TableRow*>(dst);
            const auto* o = reinterpret_cast<const pyql::TableRowObject*>(obj);
            b.span = span;
            b.header = o->header;
            return open_seq(obj, o->n.list, Place::Cell, "cells", b.cells);
        }
        case T::TableCell: {
            auto& b = *static_cast<quillet::TableCell*>(dst);
            b.span = span;
            return open_inlines(obj, list_of(obj), b.content);
        }
        case T::Footnotes: {
            auto& b = *static_cast<quillet::Footnotes*>(dst);
            b.span = span;
            return open_seq(obj, list_of(obj), Place::Def, "defs", b.defs);
        }
        case T::FootnoteDef: {
            auto& b = *static_cast<quillet::FootnoteDef*>(dst);
            const auto* o = reinterpret_cast<const pyql::ListTextNode1*>(obj);
            b.span = span;
            b.label = text(obj, o->text[0]).value_or("");
            keep(obj);
            return open_seq(obj, o->n.list, Place::Block, "blocks", b.blocks);
        }
        case T::MathBlock: {
            auto& b = *static_cast<quillet::MathBlock*>(dst);
            const auto* o = reinterpret_cast<const pyql::MathBlockObject*>(obj);
            b.span = span;
            b.display = o->display;
            b.content = text(obj, o->text[0]).value_or("");
            keep(obj);
            return true;
        }
        case T::ThematicBreak:
            static_cast<quillet::ThematicBreak*>(dst)->span = span;
            return true;
        case T::HtmlBlock:
        case T::RawBlock: {
            const auto* o = reinterpret_cast<const pyql::TextNode1*>(obj);
            const quillet::TextValue content = text(obj, o->text[0]).value_or("");
            keep(obj);
            if (t == T::HtmlBlock) {
                *static_cast<quillet::HtmlBlock*>(dst) = quillet::HtmlBlock{content, span};
            } else {
                *static_cast<quillet::RawBlock*>(dst) = quillet::RawBlock{content, span};
            }
            return true;
        }
        default:
            break;
    }
    // An inline node.
    auto& in = *static_cast<quillet::Inline*>(dst);
    in.span = span;
    switch (t) {
        case T::Text:
        case T::CodeSpan:
        case T::AutoLink:
        case T::FootnoteRef:
            in.text = text(obj, reinterpret_cast<const pyql::TextNode1*>(obj)->text[0]).value_or("");
            keep(obj);
            return true;
        case T::Link: {
            const auto* o = reinterpret_cast<const pyql::ListTextNode2*>(obj);
            in.text = text(obj, o->text[pyql::kLinkUrl]).value_or("");
            in.title = text(obj, o->text[pyql::kLinkTitle]);
            keep(obj);
            if (!open_inlines(obj, o->n.list, in.children)) return false;
            frames_.back().field = "label";
            return true;
        }
        case T::Emphasis:
        case T::Strong:
        case T::Strikethrough:
            return open_inlines(obj, list_of(obj), in.children);
        default:  // HardBreak, SoftBreak
            return true;
    }
}

// Converts every node of the open frames, depth first. Reading nodes runs no Python code, so the lists
// stay as they are meanwhile.
bool Converter::run() {
    while (!frames_.empty()) {
        Frame& f = frames_.back();
        if (f.next == f.count) {
            if (f.owned) path_.pop();
            frames_.pop_back();
            continue;
        }
        const Py_ssize_t i = f.next++;
        PyObject* obj = f.items[i];
        const int type = node_type(obj);
        if (type < 0) return fail_not_node(obj, f.place);
        const auto t = static_cast<NodeType>(type);
        // A node inside itself is refused as such, even where its kind does not belong either.
        if (path_.contains(obj)) {
            const std::string name(quillet::writers::type_name(t));
            PyErr_Format(PyExc_ValueError, "%s: cannot export a %s that contains itself", path().c_str(), name.c_str());
            return false;
        }
        if (!accepts(f.place, t)) return fail_wrong_kind(t, f.place);
        void* dst = slot(f, i, t);
        if (!fill(t, obj, dst)) return false;  // may push a frame: f is not used again
    }
    return true;
}

// ---------------------------------------------------------------------------------------- metadata

bool Converter::utf8(PyObject* str, std::string_view& out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) return false;
#endif
    if (PyUnicode_IS_ASCII(str)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
        keep(str);
        return true;
    }
    // A lone surrogate is kept as its three bytes; the writers' output is decoded the same way.
    Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out = std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    out_.keep.push_back(bytes.release());
    return true;
}

// A value that is not a list, as int(), str() and float() would give it for a subclass.
Status Converter::scalar(PyObject* v, quillet::AttrValue& out) {
    if (v == Py_None) {
        // The core has no None; a NaN is written as null everywhere, as None is.
        out = quillet::AttrValue::make_float(std::numeric_limits<double>::quiet_NaN());
        return Status::Ok;
    }
    if (PyBool_Check(v)) {
        out = quillet::AttrValue::make_bool(v == Py_True);
        return Status::Ok;
    }
    if (PyLong_Check(v)) {
        Ref exact(PyLong_CheckExact(v) ? pyql::new_ref(v) : PyNumber_Long(v));
        if (!exact) return Status::Failed;
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(exact.get(), &overflow);
        if (n == -1 && PyErr_Occurred()) return Status::Failed;
        if (overflow == 0) {
            out = quillet::AttrValue::make_int(n);
            return Status::Ok;
        }
        if (!big_ints_as_text_) return Status::NeedsPython;
        Ref digits(PyObject_Str(exact.get()));
        std::string_view text;
        if (!digits || !utf8(digits.get(), text)) return Status::Failed;
        out = quillet::AttrValue::make_string(text);
        return Status::Ok;
    }
    if (PyUnicode_Check(v)) {
        Ref exact(PyUnicode_CheckExact(v) ? pyql::new_ref(v) : PyObject_Str(v));
        std::string_view text;
        if (!exact || !utf8(exact.get(), text)) return Status::Failed;
        out = quillet::AttrValue::make_string(text);
        return Status::Ok;
    }
    if (PyFloat_Check(v)) {
        Ref exact(PyFloat_CheckExact(v) ? pyql::new_ref(v) : PyNumber_Float(v));
        if (!exact) return Status::Failed;
        out = quillet::AttrValue::make_float(PyFloat_AS_DOUBLE(exact.get()));
        return Status::Ok;
    }
    Ref name(short_type_name(v));
    if (name) PyErr_Format(PyExc_TypeError, "cannot export a value of type %U", name.get());
    return Status::Failed;
}

// A metadata value; nested lists are walked with a stack of their own. A str or number subclass may run
// Python code that changes a list meanwhile: lists are held and their length read again at every step.
Status Converter::value(PyObject* v, quillet::AttrValue& out) {
    if (!PyList_Check(v)) return scalar(v, out);
    struct Open {
        Ref list;
        quillet::AttrValue* out;
        Py_ssize_t next;
    };
    std::vector<Open> stack;
    PathSet path;
    out = quillet::AttrValue::make_list(&arena_);
    out.list.reserve(static_cast<size_t>(PyList_GET_SIZE(v)));
    stack.push_back(Open{Ref(pyql::new_ref(v)), &out, 0});
    path.push(v);
    while (!stack.empty()) {
        Open& top = stack.back();
        if (top.next >= PyList_GET_SIZE(top.list.get())) {
            path.pop();
            stack.pop_back();
            continue;
        }
        Ref item(pyql::new_ref(PyList_GET_ITEM(top.list.get(), top.next)));
        ++top.next;
        if (PyList_Check(item.get())) {
            if (path.contains(item.get())) {
                PyErr_SetString(PyExc_ValueError, "cannot export a metadata list that contains itself");
                return Status::Failed;
            }
            top.out->list.push_back(quillet::AttrValue::make_list(&arena_));
            quillet::AttrValue* child = &top.out->list.back();
            child->list.reserve(static_cast<size_t>(PyList_GET_SIZE(item.get())));
            path.push(item.get());
            stack.push_back(Open{std::move(item), child, 0});  // top is not used again
            continue;
        }
        quillet::AttrValue element;
        if (const Status s = scalar(item.get(), element); s != Status::Ok) return s;
        top.out->list.push_back(std::move(element));
    }
    return Status::Ok;
}

Status Converter::metadata(PyObject* dict, const quillet::Metadata*& out) {
    if (dict == nullptr || dict == Py_None) {
        out = nullptr;
        return Status::Ok;
    }
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "a Document's metadata is not a dict");
        return Status::Failed;
    }
    // A snapshot: converting a value may run Python code that changes the dict.
    Ref entries(PyDict_Items(dict));
    if (!entries) return Status::Failed;
    auto* md = arena_new<quillet::Metadata>();
    md->entries = arena_seq<quillet::MetadataEntry>(PyList_GET_SIZE(entries.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        PyObject* key = PyTuple_GET_ITEM(entry, 0);
        if (!PyUnicode_Check(key)) {
            Ref name(short_type_name(key));
            if (name) PyErr_Format(PyExc_TypeError, "cannot export a metadata key of type %U", name.get());
            return Status::Failed;
        }
        std::string_view key_text;
        if (!utf8(key, key_text)) return Status::Failed;
        md->entries.push_back(quillet::MetadataEntry{key_text, quillet::AttrValue{}});
        if (const Status s = value(PyTuple_GET_ITEM(entry, 1), md->entries.back().value); s != Status::Ok) {
            return s;
        }
    }
    out = md;
    return Status::Ok;
}

// --------------------------------------------------------------------------------------- sources

Status Converter::document(PyObject* doc, const char* field) {
    const auto* d = reinterpret_cast<const pyql::DocumentObject*>(doc);
    quillet::writers::DocumentView& view = out_.source.document;
    view.profile = static_cast<quillet::Profile>(d->profile);
    view.span = span_of(doc);
    const Py_ssize_t module_count = Py_SIZE(doc);
    if (module_count > 0) {
        auto* modules = static_cast<quillet::ModuleKind*>(arena_.allocate(size_t(module_count), 1));
        const auto* bytes = reinterpret_cast<const uint8_t*>(doc) + sizeof(pyql::DocumentObject);
        for (Py_ssize_t i = 0; i < module_count; ++i) modules[i] = static_cast<quillet::ModuleKind>(bytes[i]);
        view.modules = modules;
        view.module_count = static_cast<size_t>(module_count);
    }
    // Metadata first: converting it may run Python code (a str subclass's __str__), reading the nodes none.
    if (const Status s = metadata(d->metadata, view.metadata); s != Status::Ok) return s;
    auto* blocks = arena_new<quillet::Blocks>();
    Py_ssize_t count = 0;
    if (!push(nullptr, d->blocks, Place::Block, field, blocks, count)) return Status::Failed;
    *blocks = arena_seq<quillet::Block>(count);
    if (!run()) return Status::Failed;
    view.blocks = blocks->data();
    view.block_count = blocks->size();
    return Status::Ok;
}

Status Converter::source(PyObject* obj) {
    Source& source = out_.source;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == classes_.document) {
        source.form = Source::Form::Document;
        return document(obj, "blocks");
    }
    if (type == classes_.result) {
        const auto* r = reinterpret_cast<const pyql::ParseResultObject*>(obj);
        if (r->document == nullptr || Py_TYPE(r->document) != classes_.document) {
            PyErr_SetString(PyExc_ValueError, "cannot export a ParseResult without its Document");
            return Status::Failed;
        }
        source.form = Source::Form::Result;
        keep(obj);  // holds the errors, read in place
        if (r->errors != nullptr) {
            source.errors = r->errors->data();
            source.error_count = r->errors->size();
        }
        return document(r->document, "document.blocks");
    }
    if (type == classes_.error) {
        const auto* e = reinterpret_cast<const pyql::ParseErrorObject*>(obj);
        quillet::ParseError error;
        error.message.assign(reinterpret_cast<const char*>(obj) + sizeof(pyql::ParseErrorObject),
                             static_cast<size_t>(Py_SIZE(obj)));
        if (e->has_span) error.span = quillet::Span{e->start, e->end};
        error.kind = static_cast<quillet::ParseErrorKind>(e->kind);
        error.recoverable = e->recoverable;
        out_.own_errors.push_back(std::move(error));
        source.form = Source::Form::Error;
        source.errors = out_.own_errors.data();
        source.error_count = 1;
        return Status::Ok;
    }
    PyObject* const* items = nullptr;
    Py_ssize_t count = 0;
    if (PyList_Check(obj)) {
        source.form = Source::Form::Nodes;
        items = list_items(obj);
        count = PyList_GET_SIZE(obj);
    } else if (node_type(obj) >= 0) {
        source.form = Source::Form::Node;
        single_ = true;
        items = &obj;
        count = 1;
    } else {
        return Status::NotASource;
    }
    auto* nodes = static_cast<NodeRef*>(arena_.allocate(sizeof(NodeRef) * size_t(count), alignof(NodeRef)));
    frames_.push_back(Frame{items, 0, count, Place::Any, false, "", nodes});
    if (!run()) return Status::Failed;
    source.nodes = nodes;
    source.node_count = static_cast<size_t>(count);
    return Status::Ok;
}

}  // namespace

const Classes* pyql_classes() {
    if (g_loaded) return &g_classes;
    const pyql::Contract* pyql = pyql_contract();
    if (pyql == nullptr) return nullptr;
    Classes classes{};
    for (size_t i = 0; i < kNodeTypeCount; ++i) {
        const auto type = static_cast<NodeType>(i);
        if (!load_class(*pyql, pyql::type_id(type), size_t(pyql::kNodeLayouts[i].size), classes.nodes[i])) {
            return nullptr;
        }
    }
    if (!load_class(*pyql, pyql::kDocument, sizeof(pyql::DocumentObject), classes.document) ||
        !load_class(*pyql, pyql::kParseResult, sizeof(pyql::ParseResultObject), classes.result) ||
        !load_class(*pyql, pyql::kParseError, sizeof(pyql::ParseErrorObject), classes.error) ||
        !load_class(*pyql, pyql::kProfile, sizeof(pyql::EnumObject), classes.profile)) {
        return nullptr;
    }
    g_classes = classes;
    g_loaded = true;
    return &g_classes;
}

Status convert(PyObject* obj, Converted& out, bool big_ints_as_text) {
    const Classes* classes = pyql_classes();
    if (classes == nullptr) return Status::Failed;
    return Converter(out, *classes, big_ints_as_text).source(obj);
}

}  // namespace quillet_native
