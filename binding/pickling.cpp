// __reduce__ of every class: the object as a call of quillet._native.rebuild, or of rebuild_image for a
// whole tree (pickled.hpp gives the forms and the image).
//
// The classes keep no constructor and no __setstate__: the functions that rebuild them live in the
// quillet package, imported here when the first object is pickled, and by pickle itself when one is loaded.
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyql/common.hpp"
#include "pyql/entry.hpp"
#include "pyql/layouts.hpp"
#include "pyql/pickled.hpp"

namespace pyql {
namespace {

// quillet._native's rebuild and rebuild_image, imported once (the module is refused in sub-interpreters,
// so one is enough).
PyObject* g_rebuild = nullptr;
PyObject* g_rebuild_image = nullptr;

PyObject* native_function(PyObject*& slot, const char* name) {
    if (slot == nullptr) {
        Ref module(PyImport_ImportModule("quillet._native"));
        if (!module) return nullptr;
        PyObject* f = PyObject_GetAttrString(module.get(), name);
        if (f == nullptr) return nullptr;
        if (slot == nullptr) {
            slot = f;  // kept for the process
        } else {
            Py_DECREF(f);  // the import released the GIL and another thread got there first
        }
    }
    return slot;
}

PyObject* rebuild_function() {
    return native_function(g_rebuild, "rebuild");
}

int type_id_of(PyObject* self) {
    for (int i = 0; i < kTypeCount; ++i) {
        if (g_types[i] == Py_TYPE(self)) return i;
    }
    return -1;
}

PyObject* uint_value(unsigned long long v) {
    return PyLong_FromUnsignedLongLong(v);
}

// A text as bytes of UTF-8 from protocol 3 on (pickle copies them as they are, where a str would be decoded
// here and encoded again by pickle), as a str before (protocol 2 has no plain bytes).
PyObject* text_value(PyObject* self, const TextRef& t, bool as_bytes) {
    if (t.size < 0) Py_RETURN_NONE;
    const char* data = reinterpret_cast<const char*>(self) + t.offset;
    return as_bytes ? PyBytes_FromStringAndSize(data, t.size) : PyUnicode_DecodeUTF8(data, t.size, nullptr);
}

// Fills `args` (a tuple of the right size) from position 1 on, after the id.
bool fill_node(PyObject* self, const NodeForm& form, PyObject* args, bool as_bytes) {
    const auto* head = reinterpret_cast<const NodeHead*>(self);
    Py_ssize_t i = 1;
    auto put = [&](PyObject* v) {
        if (v == nullptr) return false;
        PyTuple_SET_ITEM(args, i++, v);
        return true;
    };
    if (!put(uint_value(head->start)) || !put(uint_value(head->end))) return false;
    switch (form.extra) {
        case Extra::None:
            break;
        case Extra::Level:
            if (!put(uint_value(reinterpret_cast<const HeadingObject*>(self)->level))) return false;
            break;
        case Extra::KindAndStart: {
            const auto* list = reinterpret_cast<const ListObject*>(self);
            if (!put(uint_value(list->kind)) || !put(list->has_start ? uint_value(list->start) : new_ref(Py_None))) {
                return false;
            }
            break;
        }
        case Extra::Header:
            if (!put(PyBool_FromLong(reinterpret_cast<const TableRowObject*>(self)->header))) return false;
            break;
        case Extra::Display:
            if (!put(PyBool_FromLong(reinterpret_cast<const MathBlockObject*>(self)->display))) return false;
            break;
    }
    const auto* refs = reinterpret_cast<const TextRef*>(reinterpret_cast<const char*>(self) + form.text_at);
    for (uint8_t t = 0; t < form.texts; ++t) {
        if (!put(text_value(self, refs[t], as_bytes))) return false;
    }
    if (form.list) {
        PyObject* list = reinterpret_cast<const ListNode*>(self)->list;
        hand_out(self, list);
        if (!put(new_ref_or_none(list))) return false;
    }
    return true;
}

PyObject* error_values(PyObject* self) {
    const auto* e = reinterpret_cast<const ParseErrorObject*>(self);
    Ref message(
        PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(self) + sizeof(ParseErrorObject), Py_SIZE(self), nullptr));
    if (!message) return nullptr;
    if (!e->has_span) {
        return Py_BuildValue("(iOiOOO)", kParseError, message.get(), e->kind, Py_None, Py_None,
                             e->recoverable ? Py_True : Py_False);
    }
    return Py_BuildValue("(iOiIIO)", kParseError, message.get(), e->kind, static_cast<unsigned>(e->start),
                         static_cast<unsigned>(e->end), e->recoverable ? Py_True : Py_False);
}

PyObject* result_values(PyObject* self) {
    const auto* r = reinterpret_cast<const ParseResultObject*>(self);
    const size_t n = r->errors != nullptr ? r->errors->size() : 0;
    Ref errors(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!errors) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* error = new_parse_error((*r->errors)[i]);
        if (error == nullptr) return nullptr;
        PyTuple_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), error);
    }
    return Py_BuildValue("(iOO)", kParseResult, r->document != nullptr ? r->document : Py_None, errors.get());
}

PyObject* document_values(PyObject* self) {
    const auto* d = reinterpret_cast<const DocumentObject*>(self);
    const Py_ssize_t n = Py_SIZE(self);
    const auto* bytes = reinterpret_cast<const uint8_t*>(self) + sizeof(DocumentObject);
    Ref modules(PyTuple_New(n));
    if (!modules) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = uint_value(bytes[i]);
        if (v == nullptr) return nullptr;
        PyTuple_SET_ITEM(modules.get(), i, v);
    }
    hand_out(self, d->blocks);
    return Py_BuildValue("(iIIiOOO)", kDocument, static_cast<unsigned>(d->h.start), static_cast<unsigned>(d->h.end),
                         d->profile, modules.get(), d->metadata != nullptr ? d->metadata : Py_None,
                         d->blocks != nullptr ? d->blocks : Py_None);
}

PyObject* values_of(PyObject* self, int id, bool as_bytes) {
    switch (id) {
        case kSpan: {
            const auto* s = reinterpret_cast<const SpanObject*>(self);
            return Py_BuildValue("(iII)", id, static_cast<unsigned>(s->start), static_cast<unsigned>(s->end));
        }
        case kProfile:
        case kModuleKind:
        case kParseErrorKind:
        case kListKind:
            return Py_BuildValue("(ii)", id, reinterpret_cast<const EnumObject*>(self)->value);
        case kParser:
            return Py_BuildValue("(ii)", id, reinterpret_cast<const ParserObject*>(self)->profile);
        case kParseError:
            return error_values(self);
        case kParseResult:
            return result_values(self);
        case kDocument:
            return document_values(self);
        default:
            break;
    }
    const NodeForm form = node_form(static_cast<TypeId>(id));
    Ref args(PyTuple_New(1 + node_value_count(form)));
    if (!args) return nullptr;
    PyObject* code = PyLong_FromLong(id);
    if (code == nullptr) return nullptr;
    PyTuple_SET_ITEM(args.get(), 0, code);
    if (!fill_node(self, form, args.get(), as_bytes)) return nullptr;
    return args.release();
}

// ------------------------------------------------------------------------------------------ the image

// The TypeId of a node class or of Document, or -1 for any other type.
int tree_type_id(PyTypeObject* type) {
    if (type == g_types[kDocument]) return kDocument;
    for (int i = kHeading; i < kTypeCount; ++i) {
        if (g_types[i] == type) return i == kListKind ? -1 : i;
    }
    return -1;
}

// The child list of a node or the blocks of a Document (null for none).
PyObject* child_list(PyObject* obj, int id) {
    if (id == kDocument) return reinterpret_cast<DocumentObject*>(obj)->blocks;
    return node_form(static_cast<TypeId>(id)).list ? reinterpret_cast<ListNode*>(obj)->list : nullptr;
}

// Whether a node's subtree holds kImageMinParts parts or more: the node, and every item of the child lists
// below it (a node inside itself reaches the count too). Looks at no more than that many parts.
bool has_many_parts(PyObject* node, int id) {
    PyObject* lists[kImageMinParts];  // each list pending is the child list of a part already counted
    size_t pending = 0, parts = 1;
    if (PyObject* list = child_list(node, id); list != nullptr && PyList_CheckExact(list)) lists[pending++] = list;
    while (pending > 0) {
        PyObject* list = lists[--pending];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (++parts >= kImageMinParts) return true;
            PyObject* item = PyList_GET_ITEM(list, i);
            const int item_id = tree_type_id(Py_TYPE(item));
            if (item_id < 0) continue;
            PyObject* below = child_list(item, item_id);
            if (below != nullptr && PyList_CheckExact(below)) lists[pending++] = below;
        }
    }
    return false;
}

// Writes the image of a tree (pickled.hpp) into a buffer: depth first with a stack of its own, so a tree
// nested as deep as memory allows costs heap, never C stack. Reads the objects' memory and runs no Python
// code, so nothing changes under it.
class ImageWriter {
public:
    enum class Status { Written, Unsupported, Failed };

    Status write(PyObject* root, int id) {
        out_.append(kImageMagic, sizeof kImageMagic);
        out_.push_back(static_cast<char>(kImageVersion));
        out_.append(5, '\0');  // the flags and the slot count, known at the end
        Status status;
        if (id == kParseResult) {
            const auto* r = reinterpret_cast<const ParseResultObject*>(root);
            byte(kTagResult);
            status = walk(r->document != nullptr ? r->document : Py_None);
            if (status == Status::Written && r->errors != nullptr) {
                varint(r->errors->size());
                for (const quillet::ParseError& e : *r->errors) write_error(e);
            } else if (status == Status::Written) {
                varint(0);
            }
        } else {
            status = walk(root);
        }
        out_[sizeof kImageMagic + 1] = static_cast<char>(shared_ ? kImageShared : 0);
        const auto slots = static_cast<uint32_t>(memo_.size());
        for (int i = 0; i < 4; ++i) out_[sizeof kImageMagic + 2 + i] = static_cast<char>((slots >> (8 * i)) & 0xff);
        return status;
    }

    const std::string& bytes() const { return out_; }

private:
    enum class Todo : uint8_t { Value, Items, Entries };
    struct Pending {
        PyObject* obj;
        Py_ssize_t next;  // Items: the next index; Entries: PyDict_Next's position
        Todo todo;
    };

    static constexpr Py_ssize_t kPrefetch = 8;

    void byte(uint8_t b) { out_.push_back(static_cast<char>(b)); }

    // tree_type_id, remembering the last few types met (a tree holds a handful of classes).
    int type_id(PyTypeObject* type) {
        Seen& seen = seen_[(reinterpret_cast<uintptr_t>(type) >> 4) % std::size(seen_)];
        if (seen.type != type) seen = Seen{type, tree_type_id(type)};
        return seen.id;
    }

    void varint(uint64_t v) {
        char buf[10];
        size_t n = 0;
        while (v >= 0x80) {
            buf[n++] = static_cast<char>((v & 0x7f) | 0x80);
            v >>= 7;
        }
        buf[n++] = static_cast<char>(v);
        out_.append(buf, n);
    }

    void signed_varint(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }

    void text(const char* data, size_t size) {
        varint(size);
        out_.append(data, size);
    }

    void span(uint32_t start, uint32_t end) {
        signed_varint(int64_t(start) - int64_t(cursor_));
        varint(end >= start ? end - start : 0);
        cursor_ = start;
    }

    void write_error(const quillet::ParseError& e) {
        byte(static_cast<uint8_t>((e.span ? kErrorHasSpan : 0) | (e.recoverable ? kErrorRecoverable : 0)));
        byte(static_cast<uint8_t>(e.kind));
        text(e.message.data(), e.message.size());
        if (e.span) {
            varint(e.span->start);
            varint(e.span->end - e.span->start);
        }
    }

    Status walk(PyObject* root) {
        Status status = value(root);
        while (status == Status::Written && !stack_.empty()) {
            Pending& top = stack_.back();
            switch (top.todo) {
                case Todo::Value: {
                    PyObject* obj = top.obj;
                    stack_.pop_back();
                    status = value(obj);
                    break;
                }
                case Todo::Items: {
                    PyObject* list = top.obj;
                    const Py_ssize_t i = top.next++;
                    if (i + kPrefetch < PyList_GET_SIZE(list)) __builtin_prefetch(PyList_GET_ITEM(list, i + kPrefetch));
                    if (top.next == PyList_GET_SIZE(list)) stack_.pop_back();
                    status = value(PyList_GET_ITEM(list, i));
                    break;
                }
                case Todo::Entries: {
                    PyObject *key = nullptr, *item = nullptr;
                    if (!PyDict_Next(top.obj, &top.next, &key, &item)) {
                        stack_.pop_back();
                        break;
                    }
                    stack_.push_back({item, 0, Todo::Value});  // written once the key is
                    status = value(key);
                    break;
                }
            }
        }
        return status;
    }

    // Writes one value, or its tag and fixed part with what it holds pushed on the stack.
    Status value(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) {
            byte(kTagNone);
            return Status::Written;
        }
        if (obj == Py_False || obj == Py_True) {
            byte(obj == Py_True ? kTagTrue : kTagFalse);
            return Status::Written;
        }
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyUnicode_Type) return str(obj);
        if (type == &PyLong_Type) return integer(obj);
        if (type == &PyFloat_Type) {
            const double d = PyFloat_AS_DOUBLE(obj);
            uint64_t bits = 0;
            std::memcpy(&bits, &d, sizeof bits);
            byte(kTagFloat);
            for (int i = 0; i < 8; ++i) byte(static_cast<uint8_t>(bits >> (8 * i)));
            return Status::Written;
        }
        int id = -1;
        if (type != &PyList_Type && type != &PyDict_Type && (id = type_id(type)) < 0) return Status::Unsupported;
        uint8_t memo = 0;
        if (Py_REFCNT(obj) > 1) {
            // Reached from more than one place, or held by the caller too: the first meeting takes a slot.
            // An object with one reference is met once, so it needs no look-up.
            const auto [it, fresh] = memo_.try_emplace(obj, static_cast<uint32_t>(memo_.size()));
            if (!fresh) {
                shared_ = true;
                byte(kTagRef);
                varint(it->second);
                return Status::Written;
            }
            if (memo_.size() > UINT32_MAX) return Status::Unsupported;
            memo = kTagMemo;
        }
        if (type == &PyList_Type) {
            byte(kTagList | memo);
            const Py_ssize_t n = PyList_GET_SIZE(obj);
            varint(static_cast<uint64_t>(n));
            if (n > 0) stack_.push_back({obj, 0, Todo::Items});
            // The items are read next, from memory no cache holds yet (a parse makes them one by one).
            for (Py_ssize_t i = 0; i < n && i < kPrefetch; ++i) __builtin_prefetch(PyList_GET_ITEM(obj, i));
        } else if (type == &PyDict_Type) {
            byte(kTagDict | memo);
            varint(static_cast<uint64_t>(PyDict_GET_SIZE(obj)));
            if (PyDict_GET_SIZE(obj) > 0) stack_.push_back({obj, 0, Todo::Entries});
        } else if (id == kDocument) {
            document(obj, memo);
        } else {
            node(obj, static_cast<TypeId>(id), memo);
        }
        return Status::Written;
    }

    Status str(PyObject* obj) {
        if (PyUnicode_IS_COMPACT_ASCII(obj)) {
            byte(kTagStr);
            text(static_cast<const char*>(PyUnicode_DATA(obj)), static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
            return Status::Written;
        }
        Ref utf8(PyUnicode_AsUTF8String(obj));
        if (!utf8) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Status::Failed;
            PyErr_Clear();  // a lone surrogate: only pickle's own form keeps it
            return Status::Unsupported;
        }
        byte(kTagStr);
        text(PyBytes_AS_STRING(utf8.get()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.get())));
        return Status::Written;
    }

    Status integer(PyObject* obj) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (v == -1 && PyErr_Occurred()) return Status::Failed;
            byte(kTagInt);
            signed_varint(v);
            return Status::Written;
        }
        // Base 16 is not bounded by sys.set_int_max_str_digits, in either direction.
        Ref hex(PyNumber_ToBase(obj, 16));
        if (!hex) return Status::Failed;
        std::string_view digits(static_cast<const char*>(PyUnicode_DATA(hex.get())),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(hex.get())));  // ASCII: [-]0x...
        const bool negative = digits.front() == '-';
        digits.remove_prefix(negative ? 3 : 2);
        byte(kTagBigInt);
        varint(digits.size() + (negative ? 1 : 0));
        if (negative) out_.push_back('-');
        out_.append(digits);
        return Status::Written;
    }

    void document(PyObject* obj, uint8_t memo) {
        const auto* d = reinterpret_cast<const DocumentObject*>(obj);
        byte(kTagDocument | memo);
        span(d->h.start, d->h.end);
        byte(d->profile);
        const auto modules = static_cast<size_t>(Py_SIZE(obj));
        varint(modules);
        out_.append(reinterpret_cast<const char*>(obj) + sizeof(DocumentObject), modules);
        stack_.push_back({d->blocks, 0, Todo::Value});
        stack_.push_back({d->metadata, 0, Todo::Value});  // first
    }

    void node(PyObject* obj, TypeId id, uint8_t memo) {
        const NodeForm form = node_form(id);
        const auto* head = reinterpret_cast<const NodeHead*>(obj);
        byte(static_cast<uint8_t>(kTagNode + static_cast<int>(*node_type_of(id))) | memo);
        span(head->start, head->end);
        switch (form.extra) {
            case Extra::None:
                break;
            case Extra::Level:
                byte(reinterpret_cast<const HeadingObject*>(obj)->level);
                break;
            case Extra::KindAndStart: {
                const auto* list = reinterpret_cast<const ListObject*>(obj);
                byte(list->kind);
                byte(list->has_start ? 1 : 0);
                if (list->has_start) varint(list->start);
                break;
            }
            case Extra::Header:
                byte(reinterpret_cast<const TableRowObject*>(obj)->header ? 1 : 0);
                break;
            case Extra::Display:
                byte(reinterpret_cast<const MathBlockObject*>(obj)->display ? 1 : 0);
                break;
        }
        const char* base = reinterpret_cast<const char*>(obj);
        const auto* refs = reinterpret_cast<const TextRef*>(base + form.text_at);
        for (uint8_t t = 0; t < form.texts; ++t) {
            if (refs[t].size < 0) {
                varint(0);
                continue;
            }
            const bool optional = (form.optional >> t) & 1u;
            varint(static_cast<uint64_t>(refs[t].size) + (optional ? 1 : 0));
            out_.append(base + refs[t].offset, static_cast<size_t>(refs[t].size));
        }
        if (form.list) stack_.push_back({reinterpret_cast<const ListNode*>(obj)->list, 0, Todo::Value});
    }

    struct Seen {
        PyTypeObject* type = nullptr;
        int id = -1;
    };
    Seen seen_[16];
    std::string out_;
    std::vector<Pending> stack_;
    std::unordered_map<PyObject*, uint32_t> memo_;
    uint32_t cursor_ = 0;
    bool shared_ = false;  // a Ref was written
};

// The image of `obj` as bytes; None (a new reference) when the tree holds what only pickle's own forms
// keep (an object of another class, a subclass of list or str, a lone surrogate); null with an exception.
PyObject* image_of(PyObject* obj, int id) {
    return without_exceptions("pyql", [&]() -> PyObject* {
        ImageWriter writer;
        switch (writer.write(obj, id)) {
            case ImageWriter::Status::Failed:
                return nullptr;
            case ImageWriter::Status::Unsupported:
                return new_ref(Py_None);
            case ImageWriter::Status::Written:
                break;
        }
        const std::string& bytes = writer.bytes();
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

// Whether `self` pickles as an image: a whole Document or ParseResult, or a node with many parts.
bool wants_image(PyObject* self, int id) {
    if (id == kDocument || id == kParseResult) return true;
    return node_type_of(static_cast<TypeId>(id)) && has_many_parts(self, id);
}

// The old form: rebuild(id, values...).
PyObject* old_form(PyObject* self, int id, bool as_bytes) {
    PyObject* rebuild = rebuild_function();
    if (rebuild == nullptr) return nullptr;
    Ref values(values_of(self, id, as_bytes));
    if (!values) return nullptr;
    return PyTuple_Pack(2, rebuild, values.get());
}

// ---------------------------------------------------------------------------------- the image source

// What a tree that pickles as an image reduces to: rebuild_image(source), the source holding the tree. The
// image is written only when the source itself is pickled (or deep-copied), which makes it the call
// rebuild_image(image), whose result the outer call passes on. copy.copy makes no such pickle: it calls
// rebuild_image(source) at once, and gets a new object holding the same lists, as from the old form (a
// copy made from the image would copy them too). The type is pyql's own and reachable from no module: the
// classes stay as they are, with no __copy__ of their own.
struct ImageSourceObject {
    PyObject ob_base;
    PyObject* tree;
};

void image_source_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<ImageSourceObject*>(self)->tree);
    type->tp_free(self);
    Py_DECREF(type);
}

// The image of the tree from protocol 3 on, or its old form when it holds what no image holds.
PyObject* image_source_reduce_ex(PyObject* self, PyObject* protocol) {
    const long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred()) return nullptr;
    PyObject* tree = reinterpret_cast<ImageSourceObject*>(self)->tree;
    const int id = type_id_of(tree);
    if (p >= 3) {
        PyObject* rebuild_image = native_function(g_rebuild_image, "rebuild_image");
        if (rebuild_image == nullptr) return nullptr;
        Ref image(image_of(tree, id));
        if (!image) return nullptr;
        if (image.get() != Py_None) return Py_BuildValue("O(O)", rebuild_image, image.get());
    }
    return old_form(tree, id, p >= 3);
}

PyMethodDef image_source_methods[] = {
    {"__reduce_ex__", image_source_reduce_ex, METH_O, "Helper for pickle and copy: the image of the tree."},
    {},
};

PyType_Slot image_source_slots[] = {
    {Py_tp_doc, const_cast<char*>("A tree to pickle as an image (internal).")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(image_source_dealloc)},
    {Py_tp_methods, image_source_methods},
    {0, nullptr},
};

PyType_Spec image_source_def = {.name = "pyql._ImageSource",
                                .basicsize = sizeof(ImageSourceObject),
                                .itemsize = 0,
                                .flags = kTypeFlags,
                                .slots = image_source_slots};

PyTypeObject* g_image_source = nullptr;  // made on first use, kept for the process

PyObject* new_image_source(PyObject* tree) {
    if (g_image_source == nullptr) {
        g_image_source = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&image_source_def));
        if (g_image_source == nullptr) return nullptr;
    }
    PyObject* source = g_image_source->tp_alloc(g_image_source, 0);
    if (source == nullptr) return nullptr;
    reinterpret_cast<ImageSourceObject*>(source)->tree = new_ref(tree);
    return source;
}

// The old form, or from protocol 3 on (`as_bytes`) rebuild_image(source) for what wants an image.
PyObject* reduce(PyObject* self, bool as_bytes) {
    const int id = type_id_of(self);
    if (id < 0) {
        PyErr_Format(PyExc_TypeError, "cannot pickle %s objects", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    if (as_bytes && wants_image(self, id)) {
        PyObject* rebuild_image = native_function(g_rebuild_image, "rebuild_image");
        if (rebuild_image == nullptr) return nullptr;
        Ref source(new_image_source(self));
        if (!source) return nullptr;
        return Py_BuildValue("O(O)", rebuild_image, source.get());
    }
    return old_form(self, id, as_bytes);
}

}  // namespace

PyObject* copy_of_image_source(PyObject* source) noexcept {
    if (g_image_source == nullptr || Py_TYPE(source) != g_image_source) return nullptr;
    return without_exceptions("pyql", [&]() -> PyObject* {
        PyObject* tree = reinterpret_cast<ImageSourceObject*>(source)->tree;
        PyObject* rebuild = rebuild_function();
        if (rebuild == nullptr) return nullptr;
        Ref values(values_of(tree, type_id_of(tree), true));
        if (!values) return nullptr;
        return PyObject_Call(rebuild, values.get(), nullptr);
    });
}

PyObject* pickle_reduce(PyObject* self, PyObject*) {
    return reduce(self, false);
}

PyObject* pickle_reduce_ex(PyObject* self, PyObject* protocol) {
    const long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred()) return nullptr;
    return reduce(self, p >= 3);
}

PyMethodDef kPickleMethods[] = {
    {"__reduce_ex__", pickle_reduce_ex, METH_O, "Helper for pickle and copy."},
    {"__reduce__", pickle_reduce, METH_NOARGS, "Helper for pickle and copy."},
    {},
};

}  // namespace pyql
