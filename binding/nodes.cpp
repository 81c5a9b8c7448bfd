// Document and the 27 node classes, and the conversion of the core tree into them.
//
// Storage: a node keeps its span and its plain values (numbers, flags, enumeration bytes) in its own fixed
// part, and copies its texts as UTF-8 bytes behind the fixed part (one allocation per node); a text becomes
// a str only when it is read, and again on every read. Child sequences are stored as Python lists built
// once at conversion, so every read returns the same list. A node holds at most one such list, always at the
// same place, so one traverse/clear/dealloc serves every node class that holds one.
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "pyql/common.hpp"
#include "pyql/layouts.hpp"
#include "quillet/parser.hpp"

namespace pyql {
namespace {

// ------------------------------------------------------------------------------------------- getters

template <class T>
T& field_at(PyObject* self, void* closure) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + reinterpret_cast<uintptr_t>(closure));
}

PyObject* get_span(PyObject* self, void*) {
    const auto* h = reinterpret_cast<NodeHead*>(self);
    return new_span(quillet::Span{h->start, h->end});
}

PyObject* get_stored(PyObject* self, void* closure) {
    PyObject* stored = field_at<PyObject*>(self, closure);
    hand_out(self, stored);
    return new_ref_or_none(stored);
}

PyObject* get_text(PyObject* self, void* closure) {
    const TextRef& t = field_at<TextRef>(self, closure);
    if (t.size < 0) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(self) + t.offset, t.size, nullptr);
}

PyObject* get_small_int(PyObject* self, void* closure) {
    return PyLong_FromLong(field_at<uint8_t>(self, closure));
}

PyObject* get_flag(PyObject* self, void* closure) {
    return PyBool_FromLong(field_at<bool>(self, closure));
}

PyObject* get_list_kind(PyObject* self, void*) {
    return new_enum(kListKind, reinterpret_cast<ListObject*>(self)->kind);
}

PyObject* get_list_start(PyObject* self, void*) {
    const auto* list = reinterpret_cast<ListObject*>(self);
    if (!list->has_start) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(list->start);
}

DocumentObject* as_document(PyObject* self) {
    return reinterpret_cast<DocumentObject*>(self);
}

PyObject* document_profile(PyObject* self, void*) {
    return new_enum(kProfile, as_document(self)->profile);
}

PyObject* document_modules(PyObject* self, void*) {
    const Py_ssize_t n = Py_SIZE(self);
    const auto* bytes = reinterpret_cast<const uint8_t*>(self) + sizeof(DocumentObject);
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* member = new_enum(kModuleKind, bytes[i]);
        if (member == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, member);
    }
    return list.release();
}

#define AT(T, member) reinterpret_cast<void*>(offsetof(T, member))
#define SPAN_ATTR \
    { "span", get_span, nullptr, nullptr, nullptr }

PyGetSetDef document_getset[] = {
    {"profile", document_profile, nullptr, nullptr, nullptr},
    {"modules", document_modules, nullptr, nullptr, nullptr},
    {"metadata", get_stored, nullptr, nullptr, AT(DocumentObject, metadata)},
    {"blocks", get_stored, nullptr, nullptr, AT(DocumentObject, blocks)},
    SPAN_ATTR,
    {},
};

#undef SPAN_ATTR
#undef AT

// ------------------------------------------------------------------------------ lifecycle of the nodes

int list_node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ListNode*>(self)->list);
    return 0;
}

int list_node_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<ListNode*>(self)->list);
    return 0;
}

void list_node_release(PyObject* self) {
    list_node_clear(self);
}

int document_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_document(self)->metadata);
    Py_VISIT(as_document(self)->blocks);
    return 0;
}

int document_clear(PyObject* self) {
    Py_CLEAR(as_document(self)->metadata);
    Py_CLEAR(as_document(self)->blocks);
    return 0;
}

void document_release(PyObject* self) {
    document_clear(self);
}

Py_ssize_t document_length(PyObject* self) {
    return document_block_count(self);
}

PyObject* document_repr(PyObject* self) {
    const DocumentObject* d = as_document(self);
    return PyUnicode_FromFormat("Document(profile=%s, blocks=%zd, metadata=%s)", enum_member_name(kProfile, d->profile),
                                document_block_count(self), d->metadata != nullptr ? "true" : "false");
}

// ---------------------------------------------------------------------------------- type definitions

PyType_Slot document_slots[] = {
    {Py_tp_doc, const_cast<char*>("A parsed Quillet document.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<document_release>)},
    {Py_tp_traverse, reinterpret_cast<void*>(document_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(document_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(document_repr)},
    {Py_mp_length, reinterpret_cast<void*>(document_length)},
    {Py_tp_getset, document_getset},
    {Py_tp_methods, kPickleMethods},
    {0, nullptr},
};

PyType_Spec document_def = {.name = "builtins.Document",
                            .basicsize = sizeof(DocumentObject),
                            .itemsize = 1,
                            .flags = kTypeFlags | Py_TPFLAGS_HAVE_GC,
                            .slots = document_slots};

// The attribute of one field of a node class, by the field's type and the class's layout.
PyGetSetDef field_attribute(const quillet::FieldInfo& field, const NodeLayout& layout, size_t text_place) {
    using quillet::FieldType;
    const auto at = [](size_t offset) { return reinterpret_cast<void*>(offset); };
    PyGetSetDef def{field.name.data(), nullptr, nullptr, nullptr, nullptr};  // a literal: NUL-terminated
    switch (field.type) {
        case FieldType::Children:
            def.get = get_stored;
            def.closure = at(offsetof(ListNode, list));
            break;
        case FieldType::Text:
        case FieldType::OptText:
            def.get = get_text;
            def.closure = at(layout.text_offset + text_place * sizeof(TextRef));
            break;
        case FieldType::Level:
            def.get = get_small_int;
            def.closure = at(offsetof(HeadingObject, level));
            break;
        case FieldType::Kind:
            def.get = get_list_kind;
            break;
        case FieldType::Start:
            def.get = get_list_start;
            break;
        case FieldType::Flag:
            def.get = get_flag;
            def.closure = at(layout.flag_offset);
            break;
    }
    return def;
}

// The type definitions of the node classes, made from the model on first use (PyType_FromSpec keeps
// pointers into them, so they live as long as the process).
struct NodeTypeDef {
    char name[48];
    PyGetSetDef getset[quillet::kMaxFields + 2];  // the fields, the span, the sentinel
    PyType_Slot slots[8];
    PyType_Spec def;
};
NodeTypeDef node_type_defs[quillet::kNodeTypeCount];

PyType_Spec* fill_node_type_def(quillet::NodeType type) {
    const quillet::NodeInfo& info = quillet::node_info(type);
    const NodeLayout& layout = kNodeLayouts[size_t(type)];
    NodeTypeDef& s = node_type_defs[size_t(type)];
    PyOS_snprintf(s.name, sizeof s.name, "builtins.%.*s", int(info.name.size()), info.name.data());
    size_t n_attrs = 0, text_place = 0;
    for (const quillet::FieldInfo& field : info) {
        s.getset[n_attrs++] = field_attribute(field, layout, text_place);
        text_place += field.is_text() ? 1 : 0;
    }
    s.getset[n_attrs++] = {"span", get_span, nullptr, nullptr, nullptr};
    s.getset[n_attrs] = {};
    int n = 0;
    s.slots[n++] = {Py_tp_doc, const_cast<char*>(info.doc.data())};  // a literal: NUL-terminated
    s.slots[n++] = {Py_tp_new, reinterpret_cast<void*>(no_constructor)};
    s.slots[n++] = {Py_tp_getset, s.getset};
    s.slots[n++] = {Py_tp_methods, kPickleMethods};
    if (layout.holds_list) {
        s.slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<list_node_release>)};
        s.slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(list_node_traverse)};
        s.slots[n++] = {Py_tp_clear, reinterpret_cast<void*>(list_node_clear)};
    } else {
        s.slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)};
    }
    s.slots[n] = {0, nullptr};
    const unsigned flags = kTypeFlags | (layout.holds_list ? Py_TPFLAGS_HAVE_GC : 0);
    // Classes whose texts follow the fixed part have items of one byte.
    const int itemsize = info.text_count() > 0 ? 1 : 0;
    s.def = {.name = s.name, .basicsize = int(layout.size), .itemsize = itemsize, .flags = flags, .slots = s.slots};
    return &s.def;
}

// ---------------------------------------------------------------------------------------- conversion

// A new node of class `id` with room for `text_bytes` bytes behind its fixed part, its span set; every field
// is zero until set. A node that holds a list is born untracked (born_untracked), the Document tracked.
template <class T>
T* new_node(TypeId id, quillet::Span span, Py_ssize_t text_bytes = 0) {
    PyTypeObject* type = type_of(id);
    PyObject* obj = type->tp_alloc(type, text_bytes);
    if (obj == nullptr) return nullptr;
    if (id != kDocument) born_untracked(obj);
    auto* head = reinterpret_cast<NodeHead*>(obj);
    head->start = span.start;
    head->end = span.end;
    return reinterpret_cast<T*>(obj);
}

// A new node whose texts (T::text, in order) are copied behind its fixed part.
template <class T, size_t N>
T* new_text_node(TypeId id, quillet::Span span, const std::array<quillet::OptText, N>& texts) {
    static_assert(sizeof(T::text) == N * sizeof(TextRef));
    Py_ssize_t total = 0;
    for (const auto& t : texts) {
        if (t) total += static_cast<Py_ssize_t>(t->size());
    }
    T* obj = new_node<T>(id, span, total);
    if (obj == nullptr) return nullptr;
    char* base = reinterpret_cast<char*>(obj);
    auto offset = static_cast<Py_ssize_t>(sizeof(T));
    for (size_t i = 0; i < N; ++i) {
        if (!texts[i]) {
            obj->text[i] = TextRef{0, -1};
            continue;
        }
        const auto size = static_cast<Py_ssize_t>(texts[i]->size());
        obj->text[i] = TextRef{offset, size};
        if (size > 0) memcpy(base + offset, texts[i]->data(), static_cast<size_t>(size));
        offset += size;
    }
    return obj;
}

// A list a node (or the Document) is born holding: untracked until a getter hands it out.
PyObject* held(PyObject* list) {
    born_untracked(list);
    return list;
}

PyObject* as_object(void* node) {
    return reinterpret_cast<PyObject*>(node);
}

// A node of class `id` holding `list` (consumed, also on failure).
PyObject* new_list_node(TypeId id, quillet::Span span, PyObject* list) {
    Ref owned(list);
    if (!owned) return nullptr;
    auto* node = new_node<ListNode>(id, span);
    if (node == nullptr) return nullptr;
    node->list = held(owned.release());
    return as_object(node);
}

// A node of class `id` (layout T) with the texts `texts`, holding `list` (consumed, also on failure).
template <class T, size_t N>
PyObject* new_list_text_node(TypeId id, quillet::Span span, const std::array<quillet::OptText, N>& texts,
                             PyObject* list) {
    Ref owned(list);
    if (!owned) return nullptr;
    T* node = new_text_node<T, N>(id, span, texts);
    if (node == nullptr) return nullptr;
    node->n.list = held(owned.release());
    return as_object(node);
}

PyObject* new_text1(TypeId id, quillet::Span span, quillet::TextValue text) {
    return as_object(new_text_node<TextNode1, 1>(id, span, {text}));
}

// The texts of a node, each put at its named place.
template <size_t N>
std::array<quillet::OptText, N> texts(const std::pair<size_t, quillet::OptText> (&placed)[N]) {
    std::array<quillet::OptText, N> out;
    for (const auto& [place, text] : placed) out[place] = text;
    return out;
}

// A new list of convert(item) for every item of `items`, in order.
template <class Seq, class Convert>
PyObject* build_list(const Seq& items, Convert convert) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* obj = convert(item);
        if (obj == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, obj);
    }
    return list.release();
}

PyObject* decode(quillet::TextValue text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* convert_inline(const quillet::Inline& in) {
    using K = quillet::InlineKind;
    switch (in.kind) {
        case K::Text:
            return new_text1(kText, in.span, in.text);
        case K::Emphasis:
            return new_list_node(kEmphasis, in.span, convert_inlines(in.children));
        case K::Strong:
            return new_list_node(kStrong, in.span, convert_inlines(in.children));
        case K::CodeSpan:
            return new_text1(kCodeSpan, in.span, in.text);
        case K::Link:
            return new_list_text_node<ListTextNode2, 2>(
                kLink, in.span, texts<2>({{kLinkUrl, in.text}, {kLinkTitle, in.title}}), convert_inlines(in.children));
        case K::AutoLink:
            return new_text1(kAutoLink, in.span, in.text);
        case K::Strikethrough:
            return new_list_node(kStrikethrough, in.span, convert_inlines(in.children));
        case K::FootnoteRef:
            return new_text1(kFootnoteRef, in.span, in.text);
        case K::HardBreak:
            return as_object(new_node<NodeHead>(kHardBreak, in.span));
        case K::SoftBreak:
            return as_object(new_node<NodeHead>(kSoftBreak, in.span));
    }
    PyErr_Format(PyExc_SystemError, "pyql: unknown inline kind %d", static_cast<int>(in.kind));
    return nullptr;
}

PyObject* convert_table_cell(const quillet::TableCell& cell) {
    return new_list_node(kTableCell, cell.span, convert_inlines(cell.content));
}

// One function per block variant; std::visit picks it by the variant's tag.
struct BlockConverter {
    // The converted children of a container whose parts came one by one (borrowed), or null.
    PyObject* parts = nullptr;

    // A new reference to the container's list of children: the parts taken already, or a conversion of
    // `seq`.
    template <class Seq, class Convert>
    PyObject* children(const Seq& seq, Convert convert) const {
        return parts != nullptr ? new_ref(parts) : build_list(seq, convert);
    }

    PyObject* operator()(const quillet::Heading& b) const {
        Ref content(convert_inlines(b.content));
        if (!content) return nullptr;
        auto* node = new_node<HeadingObject>(kHeading, b.span);
        if (node == nullptr) return nullptr;
        node->level = b.level;
        node->n.list = held(content.release());
        return as_object(node);
    }
    PyObject* operator()(const quillet::Paragraph& b) const {
        return new_list_node(kParagraph, b.span, convert_inlines(b.content));
    }
    PyObject* operator()(const quillet::List& b) const {
        Ref items(children(b.items, convert_list_item));
        if (!items) return nullptr;
        auto* node = new_node<ListObject>(kList, b.span);
        if (node == nullptr) return nullptr;
        node->kind = static_cast<uint8_t>(b.kind);
        node->has_start = b.start.has_value();
        node->start = b.start.value_or(0);
        node->n.list = held(items.release());
        return as_object(node);
    }
    PyObject* operator()(const quillet::CodeBlock& b) const {
        return as_object(new_text_node<TextNode2, 2>(kCodeBlock, b.span,
                                                     texts<2>({{kCodeLang, b.lang}, {kCodeContent, b.content}})));
    }
    PyObject* operator()(const quillet::Callout& b) const {
        return new_list_text_node<ListTextNode2, 2>(kCallout, b.span,
                                                    texts<2>({{kCalloutKind, b.kind}, {kCalloutTitle, b.title}}),
                                                    parts != nullptr ? new_ref(parts) : convert_blocks(b.blocks));
    }
    PyObject* operator()(const quillet::Quote& b) const {
        return new_list_node(kQuote, b.span, parts != nullptr ? new_ref(parts) : convert_blocks(b.blocks));
    }
    PyObject* operator()(const quillet::Figure& b) const {
        return as_object(new_text_node<TextNode3, 3>(
            kFigure, b.span, texts<3>({{kFigureSrc, b.src}, {kFigureAlt, b.alt}, {kFigureCaption, b.caption}})));
    }
    PyObject* operator()(const quillet::Table& b) const {
        return new_list_node(kTable, b.span, children(b.rows, convert_table_row));
    }
    PyObject* operator()(const quillet::Footnotes& b) const {
        return new_list_node(kFootnotes, b.span, children(b.defs, convert_footnote_def));
    }
    PyObject* operator()(const quillet::MathBlock& b) const {
        auto* node = new_text_node<MathBlockObject, 1>(kMathBlock, b.span, {b.content});
        if (node == nullptr) return nullptr;
        node->display = b.display;
        return as_object(node);
    }
    PyObject* operator()(const quillet::ThematicBreak& b) const {
        return as_object(new_node<NodeHead>(kThematicBreak, b.span));
    }
    PyObject* operator()(const quillet::HtmlBlock& b) const { return new_text1(kHtmlBlock, b.span, b.content); }
    PyObject* operator()(const quillet::RawBlock& b) const { return new_text1(kRawBlock, b.span, b.content); }
};

// An AttrValue that is not a list.
PyObject* convert_scalar(const quillet::AttrValue& v) {
    using K = quillet::AttrKind;
    switch (v.kind) {
        case K::String:
            return decode(v.string);
        case K::Bool:
            return PyBool_FromLong(v.boolean);
        case K::Int:
            return PyLong_FromLongLong(v.integer);
        case K::Float:
            return PyFloat_FromDouble(v.number);
        case K::List:
            break;
    }
    PyErr_Format(PyExc_SystemError, "pyql: unexpected metadata value kind %d", static_cast<int>(v.kind));
    return nullptr;
}

// Builds the Python value that a metadata reader's calls describe. Each list is put into its parent as soon
// as it opens, so nesting a million levels deep needs no recursion, and dropping the root on failure
// releases everything built so far.
class PyValueBuilder final : public quillet::AttrReader {
public:
    void scalar(quillet::AttrValue value) override { add(convert_scalar(value), false); }
    void begin_list() override { add(PyList_New(0), true); }
    void end_list() override {
        if (!open_.empty()) open_.pop_back();
    }
    // The value, or null with an exception set when building it failed.
    PyObject* take() { return failed_ ? nullptr : root_.release(); }

private:
    void add(PyObject* object, bool opens) {
        Ref value(object);
        if (failed_) return;
        if (!value) {
            failed_ = true;
            return;
        }
        PyObject* borrowed = value.get();  // kept alive by its parent list, or by root_
        if (open_.empty()) {
            root_ = std::move(value);
        } else if (PyList_Append(open_.back(), borrowed) < 0) {
            failed_ = true;
            return;
        }
        if (opens) open_.push_back(borrowed);
    }

    Ref root_;
    std::vector<PyObject*> open_;  // the lists still open, innermost last
    bool failed_ = false;
};

}  // namespace

// ------------------------------------------------------------------------------------ public functions

PyObject* read_metadata_value(std::string_view text) {
    PyValueBuilder builder;
    quillet::read_attr_value(text, builder);
    return builder.take();
}

PyType_Spec* node_type_def(TypeId id) {
    if (id == kDocument) return &document_def;
    if (const auto type = node_type_of(id)) return fill_node_type_def(*type);
    return nullptr;
}

Py_ssize_t document_block_count(PyObject* document) {
    PyObject* blocks = as_document(document)->blocks;
    return blocks != nullptr && PyList_Check(blocks) ? PyList_GET_SIZE(blocks) : 0;
}

// Blocks and inlines nest only a few levels deep in any document the core builds; the recursion guard turns
// a tree deeper than the interpreter's recursion limit into RecursionError instead of a stack overflow.
PyObject* convert_blocks(const quillet::Blocks& blocks) {
    if (Py_EnterRecursiveCall(" while converting blocks")) return nullptr;
    PyObject* list = build_list(blocks, [](const quillet::Block& block) { return convert_block(block); });
    Py_LeaveRecursiveCall();
    return list;
}

bool append_inlines(PyObject* list, const quillet::Inlines& batch) {
    for (const quillet::Inline& in : batch) {
        const Ref node(convert_inline(in));
        if (!node || PyList_Append(list, node.get()) < 0) return false;
    }
    return true;
}

PyObject* convert_inlines(const quillet::Inlines& inlines) {
    // Nodes a streamed parse converted already, batch by batch, into the list its token names.
    if (const void* token = inlines.token()) return new_ref(static_cast<PyObject*>(const_cast<void*>(token)));
    if (Py_EnterRecursiveCall(" while converting inline nodes")) return nullptr;
    PyObject* list = build_list(inlines, convert_inline);
    Py_LeaveRecursiveCall();
    return list;
}

PyObject* convert_list_item(const quillet::ListItem& item) {
    return new_list_node(kListItem, item.span, convert_blocks(item.blocks));
}

PyObject* convert_table_row(const quillet::TableRow& row) {
    Ref cells(build_list(row.cells, convert_table_cell));
    if (!cells) return nullptr;
    auto* node = new_node<TableRowObject>(kTableRow, row.span);
    if (node == nullptr) return nullptr;
    node->header = row.header;
    node->n.list = held(cells.release());
    return as_object(node);
}

PyObject* convert_footnote_def(const quillet::FootnoteDef& def) {
    return new_list_text_node<ListTextNode1, 1>(kFootnoteDef, def.span, {def.label}, convert_blocks(def.blocks));
}

PyObject* convert_block(const quillet::Block& block, PyObject* parts) {
    return std::visit(BlockConverter{parts}, block.value);
}

PyObject* new_document(const quillet::Document& document, PyObject* block_list, PyObject* metadata_dict) {
    Ref blocks(block_list);
    if (!blocks) return nullptr;
    Ref metadata;
    if (document.metadata) {
        metadata.reset(metadata_dict != nullptr ? new_ref(metadata_dict) : PyDict_New());
        if (!metadata) return nullptr;
    }
    const auto module_count = static_cast<Py_ssize_t>(document.modules.size());
    auto* doc = new_node<DocumentObject>(kDocument, document.span, module_count);
    if (doc == nullptr) return nullptr;
    auto* module_bytes = reinterpret_cast<uint8_t*>(doc) + sizeof(DocumentObject);
    for (Py_ssize_t i = 0; i < module_count; ++i) {
        module_bytes[i] = static_cast<uint8_t>(document.modules[static_cast<size_t>(i)]);
    }
    doc->profile = static_cast<uint8_t>(document.profile);
    doc->metadata = metadata.release();
    doc->blocks = held(blocks.release());
    return as_object(doc);
}

}  // namespace pyql
