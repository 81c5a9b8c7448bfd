#include "to_dict.hpp"

#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pyql/common.hpp"

namespace quillet_native {
namespace {

using pyql::Ref;
using quillet::writers::NodeRef;
using quillet::writers::NodeType;
using quillet::writers::Source;

using quillet::name_at;

// A str of one of the model's names (a string literal).
PyObject* name_str(std::string_view name) {
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// The dict keys of documents and errors, made once per call (the nodes' keys are their fields' names).
enum Key : size_t {
    kType,
    kSpan,
    kKind,
    kProfile,
    kModules,
    kMetadata,
    kBlocks,
    kDocument,
    kErrors,
    kMessage,
    kRecoverable,
    kKeyCount,
};
constexpr const char* kKeyNames[kKeyCount] = {
    "type", "span", "kind", "profile", "modules", "metadata", "blocks", "document", "errors", "message", "recoverable",
};

PyObject* text(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* opt_text(const quillet::OptText& s) {
    return s ? text(*s) : pyql::new_ref(Py_None);
}

PyObject* span_list(quillet::Span span) {
    Ref list(PyList_New(2));
    if (!list) return nullptr;
    PyObject* start = PyLong_FromUnsignedLong(span.start);
    if (start == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), 0, start);
    PyObject* end = PyLong_FromUnsignedLong(span.end);
    if (end == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), 1, end);
    return list.release();
}

// A metadata value that is not a list. A float that is not finite is None: JSON has no such number.
PyObject* scalar(const quillet::AttrValue& v) {
    using K = quillet::AttrKind;
    switch (v.kind) {
        case K::String:
            // A lone surrogate a caller put in a str came here as its three bytes.
            return PyUnicode_DecodeUTF8(v.string.data(), static_cast<Py_ssize_t>(v.string.size()), "surrogatepass");
        case K::Bool:
            return PyBool_FromLong(v.boolean);
        case K::Int:
            return PyLong_FromLongLong(v.integer);
        case K::Float:
            return std::isfinite(v.number) ? PyFloat_FromDouble(v.number) : pyql::new_ref(Py_None);
        case K::List:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "quillet._native: a list where a scalar was expected");
    return nullptr;
}

// A metadata value; nested lists are built with a stack of their own.
PyObject* attr_value(const quillet::AttrValue& value) {
    if (value.kind != quillet::AttrKind::List) return scalar(value);
    struct Open {
        const quillet::AttrValue* value;
        size_t next;
        PyObject* out;  // borrowed: held by its parent, or by root
    };
    Ref root(PyList_New(static_cast<Py_ssize_t>(value.list.size())));
    if (!root) return nullptr;
    std::vector<Open> stack{Open{&value, 0, root.get()}};
    while (!stack.empty()) {
        Open& top = stack.back();
        if (top.next == top.value->list.size()) {
            stack.pop_back();
            continue;
        }
        const size_t i = top.next++;
        const quillet::AttrValue& element = top.value->list[i];
        if (element.kind == quillet::AttrKind::List) {
            PyObject* child = PyList_New(static_cast<Py_ssize_t>(element.list.size()));
            if (child == nullptr) return nullptr;
            PyList_SET_ITEM(top.out, static_cast<Py_ssize_t>(i), child);
            stack.push_back(Open{&element, 0, child});  // top is not used again
            continue;
        }
        PyObject* item = scalar(element);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(top.out, static_cast<Py_ssize_t>(i), item);
    }
    return root.release();
}

class Builder {
public:
    bool init() {
        for (size_t i = 0; i < kKeyCount; ++i) {
            keys_[i].reset(PyUnicode_InternFromString(kKeyNames[i]));
            if (!keys_[i]) return false;
        }
        for (size_t i = 0; i < quillet::kNodeTypeCount; ++i) {
            const quillet::NodeInfo& info = quillet::kNodeInfo[i];
            types_[i].reset(name_str(info.name));
            if (!types_[i]) return false;
            for (size_t f = 0; f < info.field_count; ++f) {
                field_keys_[i][f].reset(PyUnicode_InternFromString(std::string(info.field_array[f].name).c_str()));
                if (!field_keys_[i][f]) return false;
            }
        }
        return true;
    }

    PyObject* source(const Source& source);

private:
    // d[key] = value, the value's reference consumed.
    bool put(PyObject* d, Key key, PyObject* value) {
        Ref owned(value);
        return owned && PyDict_SetItem(d, keys_[key].get(), owned.get()) == 0;
    }
    // d[key] = a new list of `count` empty slots, returned borrowed (the dict holds it).
    PyObject* put_children(PyObject* d, Key key, size_t count) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
        return put(d, key, list) ? list : nullptr;
    }

    PyObject* node(NodeRef n, PyObject*& children);
    PyObject* nodes(const NodeRef* roots, size_t count);
    PyObject* document(const quillet::writers::DocumentView& doc);
    PyObject* metadata(const quillet::Metadata& md);
    PyObject* error(const quillet::ParseError& e);

    Ref keys_[kKeyCount];
    Ref types_[quillet::kNodeTypeCount];
    Ref field_keys_[quillet::kNodeTypeCount][quillet::kMaxFields];
};

// A new dict for one node, fields in the order of the node's class; `children` is set to the (borrowed)
// list its children go into, or null.
PyObject* Builder::node(NodeRef n, PyObject*& children) {
    using quillet::FieldType;
    children = nullptr;
    Ref d(PyDict_New());
    if (!d || !put(d.get(), kType, pyql::new_ref(types_[size_t(n.type)].get()))) return nullptr;
    PyObject* o = d.get();
    const quillet::NodeInfo& info = quillet::node_info(n.type);
    size_t text_place = 0;
    for (size_t f = 0; f < info.field_count; ++f) {
        PyObject* value = nullptr;
        switch (info.field_array[f].type) {
            case FieldType::Children:
                value = children = PyList_New(static_cast<Py_ssize_t>(quillet::writers::child_count(n)));
                break;
            case FieldType::Text:
                value = text(quillet::writers::text_at(n, text_place++).value_or(""));
                break;
            case FieldType::OptText:
                value = opt_text(quillet::writers::text_at(n, text_place++));
                break;
            case FieldType::Level:
                value = PyLong_FromLong(quillet::writers::scalar_of<uint8_t>(n));
                break;
            case FieldType::Kind:
                value = name_str(
                    name_at(quillet::kListKindMembers, size_t(quillet::writers::scalar_of<quillet::ListKind>(n))));
                break;
            case FieldType::Start: {
                const auto start = quillet::writers::scalar_of<std::optional<uint64_t>>(n);
                value = start ? PyLong_FromUnsignedLongLong(*start) : pyql::new_ref(Py_None);
                break;
            }
            case FieldType::Flag:
                value = PyBool_FromLong(quillet::writers::scalar_of<bool>(n));
                break;
        }
        Ref owned(value);
        if (!owned || PyDict_SetItem(o, field_keys_[size_t(n.type)][f].get(), owned.get()) < 0) return nullptr;
    }
    if (!put(o, kSpan, span_list(n.span()))) return nullptr;
    return d.release();
}

// A new list of the dicts of `roots` and of everything below them, built in one walk.
PyObject* Builder::nodes(const NodeRef* roots, size_t count) {
    Ref root(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!root) return nullptr;
    // open[d] takes the nodes at depth d + 1: the children of the last node entered at depth d.
    std::vector<PyObject*> open;
    quillet::writers::Walker walk(roots, count);
    while (walk.next()) {
        if (walk.event() != quillet::writers::Event::Enter) continue;
        PyObject* children = nullptr;
        PyObject* d = node(walk.node(), children);
        if (d == nullptr) return nullptr;
        const size_t depth = walk.depth();
        PyObject* parent = depth == 0 ? root.get() : open[depth - 1];
        PyList_SET_ITEM(parent, static_cast<Py_ssize_t>(walk.index()), d);
        if (children != nullptr) {
            if (open.size() <= depth) open.resize(depth + 1);
            open[depth] = children;
        }
    }
    return root.release();
}

PyObject* Builder::metadata(const quillet::Metadata& md) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const quillet::MetadataEntry& entry : md.entries) {
        Ref key(PyUnicode_DecodeUTF8(entry.key.data(), static_cast<Py_ssize_t>(entry.key.size()), "surrogatepass"));
        if (!key) return nullptr;
        Ref value(attr_value(entry.value));
        if (!value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* Builder::document(const quillet::writers::DocumentView& doc) {
    Ref d(PyDict_New());
    if (!d || !put(d.get(), kType, PyUnicode_FromString("Document")) ||
        !put(d.get(), kProfile, name_str(name_at(quillet::kProfileMembers, size_t(doc.profile))))) {
        return nullptr;
    }
    Ref modules(PyList_New(static_cast<Py_ssize_t>(doc.module_count)));
    if (!modules) return nullptr;
    for (size_t i = 0; i < doc.module_count; ++i) {
        PyObject* name = name_str(name_at(quillet::kModuleKindMembers, size_t(doc.modules[i])));
        if (name == nullptr) return nullptr;
        PyList_SET_ITEM(modules.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (!put(d.get(), kModules, modules.release()) ||
        !put(d.get(), kMetadata, doc.metadata ? metadata(*doc.metadata) : pyql::new_ref(Py_None))) {
        return nullptr;
    }
    std::vector<NodeRef> roots;
    roots.reserve(doc.block_count);
    for (size_t i = 0; i < doc.block_count; ++i) roots.push_back(quillet::writers::node_ref(doc.blocks[i]));
    if (!put(d.get(), kBlocks, nodes(roots.data(), roots.size())) || !put(d.get(), kSpan, span_list(doc.span))) {
        return nullptr;
    }
    return d.release();
}

PyObject* Builder::error(const quillet::ParseError& e) {
    Ref d(PyDict_New());
    if (!d || !put(d.get(), kMessage, text(e.message)) ||
        !put(d.get(), kKind, name_str(name_at(quillet::kParseErrorKindMembers, size_t(e.kind)))) ||
        !put(d.get(), kSpan, e.span ? span_list(*e.span) : pyql::new_ref(Py_None)) ||
        !put(d.get(), kRecoverable, PyBool_FromLong(e.recoverable))) {
        return nullptr;
    }
    return d.release();
}

PyObject* Builder::source(const Source& source) {
    switch (source.form) {
        case Source::Form::Document:
            return document(source.document);
        case Source::Form::Result: {
            Ref d(PyDict_New());
            if (!d || !put(d.get(), kDocument, document(source.document))) return nullptr;
            Ref errors(PyList_New(static_cast<Py_ssize_t>(source.error_count)));
            if (!errors) return nullptr;
            for (size_t i = 0; i < source.error_count; ++i) {
                PyObject* e = error(source.errors[i]);
                if (e == nullptr) return nullptr;
                PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), e);
            }
            if (!put(d.get(), kErrors, errors.release())) return nullptr;
            return d.release();
        }
        case Source::Form::Error:
            return error(source.errors[0]);
        case Source::Form::Node: {
            Ref list(nodes(source.nodes, 1));
            if (!list) return nullptr;
            return pyql::new_ref(PyList_GET_ITEM(list.get(), 0));
        }
        case Source::Form::Nodes:
            return nodes(source.nodes, source.node_count);
    }
    PyErr_SetString(PyExc_SystemError, "quillet._native: unknown source form");
    return nullptr;
}

}  // namespace

PyObject* to_dict(const Source& source) {
    // Every object made is reachable from the data being built and no Python code runs meanwhile: a
    // collection could find no garbage, yet would walk the growing data again and again.
    pyql::GcPause pause;
    Builder builder;
    if (!builder.init()) return nullptr;
    return builder.source(source);
}

}  // namespace quillet_native
