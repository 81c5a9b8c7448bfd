#include "convert.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
    using quillet::NodeRole;
    const NodeRole role = quillet::node_info(t).role;
    switch (place) {
        case Place::Any:
            return true;
        case Place::Block:
            return role == NodeRole::Block;
        case Place::Inline:
            return role == NodeRole::Inline;
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

// The inline kind of an inline node type (kInlineTypes read backwards).
constexpr quillet::InlineKind inline_kind(NodeType t) {
    for (size_t k = 0; k < std::size(quillet::kInlineTypes); ++k) {
        if (quillet::kInlineTypes[k] == t) return quillet::InlineKind(k);
    }
    return quillet::InlineKind::Text;
}

// Where the items of a child sequence of each element type stand.
template <class Element>
constexpr Place place_of() {
    if constexpr (std::is_same_v<Element, quillet::Block>) return Place::Block;
    if constexpr (std::is_same_v<Element, quillet::Inline>) return Place::Inline;
    if constexpr (std::is_same_v<Element, quillet::ListItem>) return Place::Item;
    if constexpr (std::is_same_v<Element, quillet::TableRow>) return Place::Row;
    if constexpr (std::is_same_v<Element, quillet::TableCell>) return Place::Cell;
    if constexpr (std::is_same_v<Element, quillet::FootnoteDef>) return Place::Def;
}

quillet::Span span_of(PyObject* node) {
    const auto* h = reinterpret_cast<const pyql::NodeHead*>(node);
    return quillet::Span{h->start, h->end};
}

PyObject* list_of(PyObject* node) {
    return reinterpret_cast<const pyql::ListNode*>(node)->list;
}

// The child list of a node of type t, or null for a type that holds none. Every layout with a list
// begins with a ListNode.
PyObject* child_list(NodeType t, PyObject* node) {
    using T = NodeType;
    switch (t) {
        case T::Heading:
        case T::Paragraph:
        case T::List:
        case T::ListItem:
        case T::Callout:
        case T::Quote:
        case T::Table:
        case T::TableRow:
        case T::TableCell:
        case T::Footnotes:
        case T::FootnoteDef:
        case T::Emphasis:
        case T::Strong:
        case T::Strikethrough:
        case T::Link:
            return list_of(node);
        default:
            return nullptr;
    }
}

int node_type_of(const Classes& classes, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    for (size_t i = 0; i < kNodeTypeCount; ++i) {
        if (classes.nodes[i] == type) return static_cast<int>(i);
    }
    return -1;
}

// ------------------------------------------------------------------------------------------ parts

// An object that only one reference holds is held by its one container, so a walk meets it again only
// if it meets that container again. Sharing is found by keeping only the other objects, which a parsed
// tree hardly has, in a hash set.
class SeenSet {
public:
    // True the first time `o` is asked about, as far as the references to it tell.
    bool first_time(PyObject* o) { return Py_REFCNT(o) == 1 || seen_.insert(o).second; }

private:
    std::unordered_set<PyObject*> seen_;
};

uint64_t add_saturated(uint64_t a, uint64_t b) {
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max() - 1;
    return a > kMost - std::min(b, kMost) ? kMost : a + b;
}

// Counts the parts of a source (its nodes and the values of its metadata lists): the distinct ones, and
// how many a walk meets, each once for every place it has, without going through the places: a list or
// node held more than once is counted once and its count remembered. One met again inside itself counts
// nothing there (the conversion refuses it as such). Reads lists and nodes only, so no Python code runs
// and nothing changes meanwhile.
class PartCounter {
public:
    explicit PartCounter(const Classes& classes) : classes_(classes) {}

    Parts count(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == classes_.result) {
            obj = reinterpret_cast<const pyql::ParseResultObject*>(obj)->document;
            if (obj == nullptr) return parts_;
            type = Py_TYPE(obj);
        }
        if (type == classes_.document) {
            const auto* d = reinterpret_cast<const pyql::DocumentObject*>(obj);
            if (d->metadata != nullptr && PyDict_Check(d->metadata)) {
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                while (PyDict_Next(d->metadata, &pos, &key, &value)) {
                    if (PyList_Check(value)) add(parts_.expanded, list(value, true));
                }
            }
            if (d->blocks != nullptr && PyList_Check(d->blocks)) add(parts_.expanded, list(d->blocks, false));
        } else if (PyList_Check(obj)) {
            add(parts_.expanded, list(obj, false));
        } else if (node_type_of(classes_, obj) >= 0) {
            Ref one(PyList_New(1));
            if (!one) throw std::bad_alloc();
            PyList_SET_ITEM(one.get(), 0, pyql::new_ref(obj));
            add(parts_.expanded, list(one.get(), false));
        }
        return parts_;
    }

private:
    static constexpr uint64_t kOpen = std::numeric_limits<uint64_t>::max();  // being counted

    struct Frame {
        PyObject* list;
        PyObject* owner;  // the node whose child list this is, or null
        Py_ssize_t next;
        uint64_t met;  // the parts met in the list and below it so far
        bool values;   // a metadata list: each item is a part (a node list: each node)
    };

    static void add(uint64_t& to, uint64_t parts) { to = add_saturated(to, parts); }

    // The count of an object held more than once, if known; the first time, it is marked open.
    std::optional<uint64_t> remembered(PyObject* o) {
        if (Py_REFCNT(o) == 1) return std::nullopt;
        const auto [it, inserted] = counts_.try_emplace(o, kOpen);
        if (inserted) return std::nullopt;
        return it->second == kOpen ? 0 : it->second;
    }
    void remember(PyObject* o, uint64_t count) {
        if (Py_REFCNT(o) != 1) counts_[o] = count;
    }

    void open(PyObject* l, PyObject* owner, bool values) {
        const auto size = static_cast<uint64_t>(PyList_GET_SIZE(l));
        if (values) parts_.distinct += size;
        frames_.push_back(Frame{l, owner, 0, values ? size : 0, values});
    }

    // The parts met in the list `l` and below it.
    uint64_t list(PyObject* l, bool values) {
        if (const auto known = remembered(l)) return *known;
        open(l, nullptr, values);
        while (true) {
            Frame& f = frames_.back();
            if (f.next == PyList_GET_SIZE(f.list)) {
                const Frame done = f;
                frames_.pop_back();
                remember(done.list, done.met);
                uint64_t met = done.met;
                if (done.owner != nullptr) {  // the node that holds the list is one part more
                    add(met, 1);
                    remember(done.owner, met);
                }
                if (frames_.empty()) return met;
                add(frames_.back().met, met);
                continue;
            }
            PyObject* item = PyList_GET_ITEM(f.list, f.next);
            ++f.next;
            if (f.values) {
                if (!PyList_Check(item)) continue;
                if (const auto known = remembered(item)) {
                    add(f.met, *known);
                } else {
                    open(item, nullptr, true);  // f is not used again
                }
                continue;
            }
            const int type = node_type_of(classes_, item);
            if (type < 0) continue;
            if (const auto known = remembered(item)) {
                add(f.met, *known);
                continue;
            }
            ++parts_.distinct;
            PyObject* below = child_list(static_cast<NodeType>(type), item);
            if (below == nullptr || !PyList_Check(below)) {
                remember(item, 1);
                add(f.met, 1);
            } else if (const auto known = remembered(below)) {
                const uint64_t met = add_saturated(*known, 1);
                remember(item, met);
                add(f.met, met);
            } else {
                open(below, item, false);  // f is not used again
            }
        }
    }

    const Classes& classes_;
    std::unordered_map<PyObject*, uint64_t> counts_;
    std::vector<Frame> frames_;
    Parts parts_;
};

// ----------------------------------------------------------------------------------------- converter

// A conversion holds the GIL: every this many parts met, it lets Python run the signal handlers, so that
// Ctrl-C stops a large conversion.
constexpr uint64_t kSignalInterval = 1 << 16;

class Converter {
public:
    Converter(Converted& out, const Classes& classes, bool big_ints_as_text)
        : out_(out), arena_(out.arena), classes_(classes), big_ints_as_text_(big_ints_as_text) {}

    Status source(PyObject* obj);

private:
    // One open child list: its items are converted into `out` one by one.
    struct Frame {
        Ref list;  // held: a signal handler, which may run between two nodes, may drop it
        Py_ssize_t next;
        Py_ssize_t count;  // its length when opened, which `out` has room for
        Place place;
        bool owned;         // the frame's owner node is on path_
        bool repeated;      // met before: every node below is met again, none for the first time
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

    int node_type(PyObject* obj) const { return node_type_of(classes_, obj); }

    std::string path() const;
    bool fail_not_node(PyObject* obj, Place place);
    bool fail_wrong_kind(NodeType t, Place place);

    bool push(PyObject* owner, PyObject* list, Place place, const char* field, void* out, Py_ssize_t& count);
    template <class T>
    bool open_seq(PyObject* owner, PyObject* list, Place place, const char* field, quillet::Seq<T>& seq);
    bool open_inlines(PyObject* owner, PyObject* list, quillet::Inlines& out);

    void* slot(Frame& f, Py_ssize_t i, NodeType t);
    bool fill(NodeType t, PyObject* obj, void* dst);
    template <NodeType T>
    bool fill_as(PyObject* obj, void* dst);
    static void read_scalar(uint8_t& level, PyObject* obj, const pyql::NodeLayout& layout);
    static void read_scalar(quillet::ListKind& kind, PyObject* obj, const pyql::NodeLayout& layout);
    static void read_scalar(std::optional<uint64_t>& start, PyObject* obj, const pyql::NodeLayout& layout);
    static void read_scalar(bool& flag, PyObject* obj, const pyql::NodeLayout& layout);
    bool meet(bool first_time);
    bool signals();
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

    // The parts met so far, and those met for the first time: while the first are within the limit of
    // the second, they are within the tree's limit. Beyond, the tree's parts are counted (once).
    PyObject* root_ = nullptr;
    SeenSet seen_;
    bool repeating_ = false;  // the node being filled was met before
    uint64_t met_ = 0;
    uint64_t distinct_ = 0;
    uint64_t limit_ = 0;  // the exact limit, once the count above is not enough to tell
    uint64_t until_signals_ = kSignalInterval;
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

// Opens the child list of `owner` (null at the top).
bool Converter::push(PyObject* owner, PyObject* list, Place place, const char* field, void* out, Py_ssize_t& count) {
    count = 0;
    if (list != nullptr && !PyList_Check(list)) {
        PyErr_Format(PyExc_TypeError, "%s: a node's children are not a list", path().c_str());
        return false;
    }
    // Null once the cycle collector has cleared the owner: no children.
    if (list != nullptr) count = PyList_GET_SIZE(list);
    const bool repeated = repeating_ || (list != nullptr && !seen_.first_time(list));
    if (owner != nullptr) path_.push(owner);  // run() has made sure it is not on the path yet
    frames_.push_back(Frame{Ref(list != nullptr ? pyql::new_ref(list) : nullptr), 0, count, place, owner != nullptr,
                            repeated, field, out});
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

// A new struct for a node of type t, as the i-th child of the list `f`.
void* Converter::slot(Frame& f, Py_ssize_t i, NodeType t) {
    return quillet::visit_type(t, [&](auto type) -> void* {
        constexpr NodeType T = decltype(type)::value;
        using Core = typename quillet::CoreNode<T>::type;
        switch (f.place) {
            case Place::Inline: {
                quillet::Inline& in = static_cast<quillet::Inline*>(f.out)[i];
                in.kind = inline_kind(T);
                return &in;
            }
            case Place::Block:
                if constexpr (quillet::node_info(T).role == quillet::NodeRole::Block) {
                    auto& blocks = *static_cast<quillet::Blocks*>(f.out);
                    blocks.emplace_back(Core{});
                    return &std::get<Core>(blocks.back().value);
                }
                break;  // accepts() lets no other node in
            case Place::Item:
            case Place::Row:
            case Place::Cell:
            case Place::Def:
                if constexpr (quillet::node_info(T).role == quillet::NodeRole::Record) {
                    return &static_cast<quillet::Seq<Core>*>(f.out)->emplace_back();
                }
                break;
            case Place::Any:
                break;
        }
        // A node of its own, at the top of a list of nodes or as the source itself.
        Core* node = arena_new<Core>();
        if constexpr (std::is_same_v<Core, quillet::Inline>) node->kind = inline_kind(T);
        static_cast<NodeRef*>(f.out)[i] = NodeRef{T, node};
        return node;
    });
}

// Copies the fields of `obj` into `dst` and opens its child list, if it has one.
bool Converter::fill(NodeType t, PyObject* obj, void* dst) {
    return quillet::visit_type(t, [&](auto type) { return fill_as<decltype(type)::value>(obj, dst); });
}

// The fields of a node of type T, read from its object by the layout of its class (the model decides both).
template <NodeType T>
bool Converter::fill_as(PyObject* obj, void* dst) {
    using C = quillet::CoreNode<T>;
    const pyql::NodeLayout& layout = pyql::kNodeLayouts[size_t(T)];
    constexpr const quillet::NodeInfo& info = quillet::node_info(T);
    auto& core = *static_cast<typename C::type*>(dst);
    const char* base = reinterpret_cast<const char*>(obj);
    core.span = span_of(obj);
    std::apply(
        [&](auto... member) {
            size_t place = 0;
            [[maybe_unused]] const auto read = [&](auto m) {
                const auto& ref = *reinterpret_cast<const pyql::TextRef*>(base + layout.text_offset +
                                                                          place++ * sizeof(pyql::TextRef));
                const quillet::OptText value = text(obj, ref);
                if constexpr (std::is_same_v<std::remove_cvref_t<decltype(core.*m)>, quillet::OptText>) {
                    core.*m = value;
                } else {
                    core.*m = value.value_or("");
                }
            };
            (read(member), ...);
        },
        C::texts);
    if constexpr (info.text_count() > 0) keep(obj);
    std::apply([&](auto... member) { (read_scalar(core.*member, obj, layout), ...); }, C::scalars);
    if constexpr (!std::is_null_pointer_v<std::remove_cv_t<decltype(C::children)>>) {
        auto& children = core.*C::children;
        PyObject* list = reinterpret_cast<const pyql::ListNode*>(obj)->list;
        const char* field = info.field_array[info.children()].name.data();  // a literal: NUL-terminated
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(children)>, quillet::Inlines>) {
            if (!open_inlines(obj, list, children)) return false;
            frames_.back().field = field;
            return true;
        } else {
            using Element = typename std::remove_cvref_t<decltype(children)>::value_type;
            return open_seq(obj, list, place_of<Element>(), field, children);
        }
    }
    return true;
}

// The scalar fields, each from the place its class's layout keeps it.
void Converter::read_scalar(uint8_t& level, PyObject* obj, const pyql::NodeLayout&) {
    level = reinterpret_cast<const pyql::HeadingObject*>(obj)->level;
}
void Converter::read_scalar(quillet::ListKind& kind, PyObject* obj, const pyql::NodeLayout&) {
    kind = static_cast<quillet::ListKind>(reinterpret_cast<const pyql::ListObject*>(obj)->kind);
}
void Converter::read_scalar(std::optional<uint64_t>& start, PyObject* obj, const pyql::NodeLayout&) {
    const auto* o = reinterpret_cast<const pyql::ListObject*>(obj);
    if (o->has_start) start = o->start;
}
void Converter::read_scalar(bool& flag, PyObject* obj, const pyql::NodeLayout& layout) {
    flag = *reinterpret_cast<const bool*>(reinterpret_cast<const char*>(obj) + layout.flag_offset);
}

// Counts a part met (for the first time or again); false with ValueError once the tree expands beyond
// its limit.
bool Converter::meet(bool first_time) {
    ++met_;
    distinct_ += first_time;
    if (met_ <= expansion_limit(distinct_)) return true;
    if (limit_ == 0) {
        const Parts parts = count_parts(root_, classes_);
        limit_ = expansion_limit(parts.distinct);
        if (parts.expanded > limit_) return refuse_expansion();
    }
    return met_ <= limit_ || refuse_expansion();
}

// Every kSignalInterval calls, runs the signal handlers; false with the exception one raised. A handler
// is Python code: call it only where no borrowed reference is held.
bool Converter::signals() {
    if (--until_signals_ != 0) return true;
    until_signals_ = kSignalInterval;
    return PyErr_CheckSignals() == 0;
}

// Converts every node of the open frames, depth first. Reading nodes runs no Python code, but a signal
// handler may run between two nodes (signals): the lists are held and their length checked at every step.
bool Converter::run() {
    while (!frames_.empty()) {
        if (!signals()) return false;
        Frame& f = frames_.back();
        if (f.next == f.count) {
            if (f.owned) path_.pop();
            frames_.pop_back();
            continue;
        }
        if (PyList_GET_SIZE(f.list.get()) != f.count) {
            PyErr_Format(PyExc_RuntimeError, "%s: a list changed size while it was written", path().c_str());
            return false;
        }
        const Py_ssize_t i = f.next++;
        PyObject* obj = PyList_GET_ITEM(f.list.get(), i);
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
        repeating_ = f.repeated || !seen_.first_time(obj);
        if (!meet(!repeating_)) return false;
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

// A value that is not a list. A subclass of int, str or float gives the value it holds, as json.dumps reads
// it, whatever its __int__, __index__, __str__ or __float__ say: no Python code runs.
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
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) return Status::Failed;
        if (overflow == 0) {
            out = quillet::AttrValue::make_int(n);
            return Status::Ok;
        }
        if (!big_ints_as_text_) return Status::NeedsPython;
        Ref digits(PyLong_Type.tp_repr(v));
        std::string_view text;
        if (!digits || !utf8(digits.get(), text)) return Status::Failed;
        out = quillet::AttrValue::make_string(text);
        return Status::Ok;
    }
    if (PyUnicode_Check(v)) {
        std::string_view text;
        if (!utf8(v, text)) return Status::Failed;
        out = quillet::AttrValue::make_string(text);
        return Status::Ok;
    }
    if (PyFloat_Check(v)) {
        out = quillet::AttrValue::make_float(PyFloat_AS_DOUBLE(v));
        return Status::Ok;
    }
    Ref name(short_type_name(v));
    if (name) PyErr_Format(PyExc_TypeError, "cannot export a value of type %U", name.get());
    return Status::Failed;
}

// A metadata value; nested lists are walked with a stack of their own. A signal handler may run Python
// code that changes a list meanwhile: lists are held and their length read again at every step.
Status Converter::value(PyObject* v, quillet::AttrValue& out) {
    if (!PyList_Check(v)) return scalar(v, out);
    struct Open {
        Ref list;
        quillet::AttrValue* out;
        Py_ssize_t next;
        bool repeated;  // met before: so is every value below
    };
    std::vector<Open> stack;
    PathSet path;
    out = quillet::AttrValue::make_list(&arena_);
    out.list.reserve(static_cast<size_t>(PyList_GET_SIZE(v)));
    const bool repeated = !seen_.first_time(v);
    stack.push_back(Open{Ref(pyql::new_ref(v)), &out, 0, repeated});
    path.push(v);
    while (!stack.empty()) {
        if (!signals()) return Status::Failed;
        Open& top = stack.back();
        if (top.next >= PyList_GET_SIZE(top.list.get())) {
            path.pop();
            stack.pop_back();
            continue;
        }
        PyObject* borrowed = PyList_GET_ITEM(top.list.get(), top.next);
        const bool item_repeated = top.repeated || (PyList_Check(borrowed) && !seen_.first_time(borrowed));
        Ref item(pyql::new_ref(borrowed));
        ++top.next;
        if (!meet(!top.repeated)) return Status::Failed;
        if (PyList_Check(item.get())) {
            if (path.contains(item.get())) {
                PyErr_SetString(PyExc_ValueError, "cannot export a metadata list that contains itself");
                return Status::Failed;
            }
            top.out->list.push_back(quillet::AttrValue::make_list(&arena_));
            quillet::AttrValue* child = &top.out->list.back();
            child->list.reserve(static_cast<size_t>(PyList_GET_SIZE(item.get())));
            path.push(item.get());
            stack.push_back(Open{std::move(item), child, 0, item_repeated});  // top is not used again
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
    // Metadata first, then the nodes; neither runs Python code but the signal handlers.
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
    root_ = obj;
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
    Ref list;
    if (PyList_Check(obj)) {
        source.form = Source::Form::Nodes;
        list.reset(pyql::new_ref(obj));
    } else if (node_type(obj) >= 0) {
        source.form = Source::Form::Node;
        single_ = true;
        list.reset(PyList_New(1));
        if (!list) return Status::Failed;
        PyList_SET_ITEM(list.get(), 0, pyql::new_ref(obj));
    } else {
        return Status::NotASource;
    }
    const Py_ssize_t count = PyList_GET_SIZE(list.get());
    auto* nodes = static_cast<NodeRef*>(arena_.allocate(sizeof(NodeRef) * size_t(count), alignof(NodeRef)));
    frames_.push_back(Frame{std::move(list), 0, count, Place::Any, false, false, "", nodes});
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

Parts count_parts(PyObject* obj, const Classes& classes) {
    return PartCounter(classes).count(obj);
}

bool refuse_expansion() {
    PyErr_Format(PyExc_ValueError,
                 "the tree shares nodes so often that it expands to more than %llu times its distinct nodes and "
                 "metadata values, plus %llu",
                 static_cast<unsigned long long>(kMaxExpansion), static_cast<unsigned long long>(kExpansionFloor));
    return false;
}

Status convert(PyObject* obj, Converted& out, bool big_ints_as_text) {
    const Classes* classes = pyql_classes();
    if (classes == nullptr) return Status::Failed;
    return Converter(out, *classes, big_ints_as_text).source(obj);
}

}  // namespace quillet_native
