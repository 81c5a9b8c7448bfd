// rebuild(id, values...) and rebuild_image(image): the pyql objects a pickle describes (pyql/pickled.hpp
// gives the forms and the image).
//
// A pickle is data from outside: every value is checked for its type and range before an object is
// made, and anything else raises TypeError or ValueError. Child lists and metadata are taken as they
// come (a caller may put anything in them too); the writers check what they read.
#include "pickle.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contract.hpp"
#include "pyql/common.hpp"
#include "pyql/pickled.hpp"
#include "quillet/document.hpp"
#include "quillet/errors.hpp"
#include "quillet/utf8.hpp"

namespace quillet_native {
namespace {

using pyql::kTypeCount;
using pyql::NodeForm;
using pyql::Ref;
using pyql::TypeId;

// ---------------------------------------------------------------------------------- reading values

// The texts of the checks both readers make.
constexpr char kSpanStart[] = "a span's start must be an int in 0..2**32-1";
constexpr char kSpanEnd[] = "a span's end must be an int in 0..2**32-1";
constexpr char kLevel[] = "a heading's level must be an int in 1..6";
constexpr char kListKindValue[] = "a list's kind must be a ListKind value";
constexpr char kListStart[] = "a list's start must be None or an unsigned 64-bit int";
constexpr char kRowHeader[] = "a row's header must be a bool";
constexpr char kMathDisplay[] = "a math block's display must be a bool";
constexpr char kNotUtf8[] = "a text is not UTF-8";
constexpr char kChildren[] = "children must be a list or None";
constexpr char kMetadata[] = "metadata must be a dict or None";
constexpr char kProfileValue[] = "a document's profile must be a Profile value";
constexpr char kModuleValues[] = "a document's modules must be ModuleKind values";
constexpr char kErrorKind[] = "an error's kind must be a ParseErrorKind value";
constexpr char kResultDocument[] = "a result's document must be a Document";

constexpr uint8_t kProfileCount = uint8_t(quillet::Profile::MdStrict) + 1;
constexpr uint8_t kModuleCount = uint8_t(quillet::ModuleKind::Html) + 1;
constexpr uint8_t kErrorKindCount = uint8_t(quillet::ParseErrorKind::Other) + 1;
constexpr uint8_t kListKindCount = uint8_t(quillet::ListKind::Unordered) + 1;

bool bad(PyObject* kind, const char* what) {
    PyErr_Format(kind, "rebuild: %s", what);
    return false;
}

bool read_uint(PyObject* v, unsigned long long max, const char* what, unsigned long long& out) {
    if (!PyLong_Check(v) || PyBool_Check(v)) return bad(PyExc_TypeError, what);
    out = PyLong_AsUnsignedLongLong(v);
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return bad(PyExc_ValueError, what);
    }
    if (out > max) return bad(PyExc_ValueError, what);
    return true;
}

bool read_byte(PyObject* v, uint8_t count, const char* what, uint8_t& out) {
    unsigned long long value = 0;
    if (!read_uint(v, count - 1u, what, value)) return false;
    out = static_cast<uint8_t>(value);
    return true;
}

bool read_flag(PyObject* v, const char* what, bool& out) {
    if (!PyBool_Check(v)) return bad(PyExc_TypeError, what);
    out = v == Py_True;
    return true;
}

bool read_span(PyObject* start, PyObject* end, uint32_t& s, uint32_t& e) {
    unsigned long long a = 0, b = 0;
    constexpr auto kMax = std::numeric_limits<uint32_t>::max();
    if (!read_uint(start, kMax, kSpanStart, a) || !read_uint(end, kMax, kSpanEnd, b)) {
        return false;
    }
    if (a > b) return bad(PyExc_ValueError, "a span ends before it starts");
    s = static_cast<uint32_t>(a);
    e = static_cast<uint32_t>(b);
    return true;
}

// True when `s` is well-formed UTF-8, as Python's strict decoder reads it: no overlong forms, no
// surrogates, nothing past U+10FFFF.
bool valid_utf8(std::string_view s) {
    return quillet::is_valid_utf8(s);
}

// A text as UTF-8 (a str, or bytes of well-formed UTF-8), or absent (None) where `optional`.
bool read_text(PyObject* v, bool optional, std::optional<std::string_view>& out) {
    if (v == Py_None && optional) {
        out.reset();
        return true;
    }
    if (PyBytes_CheckExact(v)) {
        out = std::string_view(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v)));
        if (!valid_utf8(*out)) return bad(PyExc_ValueError, kNotUtf8);
        return true;
    }
    if (!PyUnicode_Check(v))
        return bad(PyExc_TypeError, optional ? "a text must be a str, bytes or None" : "a text must be a str or bytes");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(v, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

// A stored list (or dict): the object itself, or null for None.
bool read_stored(PyObject* v, bool dict, PyObject*& out) {
    if (v == Py_None) {
        out = nullptr;
        return true;
    }
    if (dict ? !PyDict_CheckExact(v) : !PyList_CheckExact(v)) {
        return bad(PyExc_TypeError, dict ? kMetadata : kChildren);
    }
    out = v;
    return true;
}

bool count_is(Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "rebuild: expected %zd values, got %zd", expected, nargs);
    return false;
}

// The contract, loaded by rebuild_object before any object is made.
const pyql::Contract* g_pyql = nullptr;

PyTypeObject* pyql_type(TypeId id) {
    return g_pyql->types[id];
}

PyObject* alloc(TypeId id, Py_ssize_t items) {
    PyTypeObject* type = pyql_type(id);
    return type->tp_alloc(type, items);
}

// ------------------------------------------------------------------------------------------ objects

// The values of a node, read and checked.
struct NodeValues {
    uint32_t start = 0, end = 0;
    uint8_t level = 0, kind = 0;
    bool has_start = false, flag = false;
    uint64_t list_start = 0;
    std::optional<std::string_view> texts[3];
};

// A new node of class `id` holding `values` and `list` (a list, or null for None; a new reference is taken).
PyObject* make_node(TypeId id, const NodeForm& form, const NodeValues& values, PyObject* list) {
    Py_ssize_t text_bytes = 0;
    for (uint8_t t = 0; t < form.texts; ++t) {
        if (values.texts[t]) text_bytes += static_cast<Py_ssize_t>(values.texts[t]->size());
    }
    PyObject* obj = alloc(id, form.texts > 0 ? text_bytes : 0);
    if (obj == nullptr) return nullptr;
    char* base = reinterpret_cast<char*>(obj);
    auto* head = reinterpret_cast<pyql::NodeHead*>(obj);
    head->start = values.start;
    head->end = values.end;
    switch (form.extra) {
        case pyql::Extra::None:
            break;
        case pyql::Extra::Level:
            reinterpret_cast<pyql::HeadingObject*>(obj)->level = values.level;
            break;
        case pyql::Extra::KindAndStart: {
            auto* l = reinterpret_cast<pyql::ListObject*>(obj);
            l->kind = values.kind;
            l->has_start = values.has_start;
            l->start = values.list_start;
            break;
        }
        case pyql::Extra::Header:
            reinterpret_cast<pyql::TableRowObject*>(obj)->header = values.flag;
            break;
        case pyql::Extra::Display:
            reinterpret_cast<pyql::MathBlockObject*>(obj)->display = values.flag;
            break;
    }
    auto* refs = reinterpret_cast<pyql::TextRef*>(base + form.text_at);
    auto offset = static_cast<Py_ssize_t>(form.size);
    for (uint8_t t = 0; t < form.texts; ++t) {
        const std::optional<std::string_view>& text = values.texts[t];
        if (!text) {
            refs[t] = pyql::TextRef{0, -1};
            continue;
        }
        const auto size = static_cast<Py_ssize_t>(text->size());
        refs[t] = pyql::TextRef{offset, size};
        if (size > 0) std::memcpy(base + offset, text->data(), static_cast<size_t>(size));
        offset += size;
    }
    if (form.list) {
        Py_XINCREF(list);
        reinterpret_cast<pyql::ListNode*>(obj)->list = list;
    }
    return obj;
}

PyObject* rebuild_node(TypeId id, PyObject* const* v, Py_ssize_t n) {
    const NodeForm form = pyql::node_form(id);
    if (!count_is(n, pyql::node_value_count(form))) return nullptr;
    NodeValues values;
    if (!read_span(v[0], v[1], values.start, values.end)) return nullptr;
    Py_ssize_t i = 2;
    unsigned long long number = 0;
    switch (form.extra) {
        case pyql::Extra::None:
            break;
        case pyql::Extra::Level:
            if (!read_uint(v[i++], 6, kLevel, number)) return nullptr;
            if (number < 1) return bad(PyExc_ValueError, kLevel), nullptr;
            values.level = static_cast<uint8_t>(number);
            break;
        case pyql::Extra::KindAndStart:
            if (!read_byte(v[i++], kListKindCount, kListKindValue, values.kind)) return nullptr;
            values.has_start = v[i] != Py_None;
            if (values.has_start && !read_uint(v[i], std::numeric_limits<uint64_t>::max(), kListStart, number)) {
                return nullptr;
            }
            values.list_start = number;
            ++i;
            break;
        case pyql::Extra::Header:
            if (!read_flag(v[i++], kRowHeader, values.flag)) return nullptr;
            break;
        case pyql::Extra::Display:
            if (!read_flag(v[i++], kMathDisplay, values.flag)) return nullptr;
            break;
    }
    for (uint8_t t = 0; t < form.texts; ++t) {
        if (!read_text(v[i++], (form.optional >> t) & 1u, values.texts[t])) return nullptr;
    }
    PyObject* list = nullptr;
    if (form.list && !read_stored(v[i++], false, list)) return nullptr;
    return make_node(id, form, values, list);
}

// A new Document; `metadata` and `blocks` (null for None) get new references.
PyObject* make_document(uint32_t start, uint32_t end, uint8_t profile, const uint8_t* modules, Py_ssize_t count,
                        PyObject* metadata, PyObject* blocks) {
    PyObject* obj = alloc(pyql::kDocument, count);
    if (obj == nullptr) return nullptr;
    auto* d = reinterpret_cast<pyql::DocumentObject*>(obj);
    d->h.start = start;
    d->h.end = end;
    d->profile = profile;
    if (count > 0) std::memcpy(reinterpret_cast<char*>(obj) + sizeof(pyql::DocumentObject), modules, size_t(count));
    Py_XINCREF(metadata);
    d->metadata = metadata;
    Py_XINCREF(blocks);
    d->blocks = blocks;
    return obj;
}

PyObject* rebuild_document(PyObject* const* v, Py_ssize_t n) {
    if (!count_is(n, 6)) return nullptr;
    uint32_t start = 0, end = 0;
    uint8_t profile = 0;
    PyObject *metadata = nullptr, *blocks = nullptr;
    if (!read_span(v[0], v[1], start, end) || !read_byte(v[2], kProfileCount, kProfileValue, profile) ||
        !read_stored(v[4], true, metadata) || !read_stored(v[5], false, blocks)) {
        return nullptr;
    }
    if (!PyTuple_CheckExact(v[3])) return bad(PyExc_TypeError, "a document's modules must be a tuple"), nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(v[3]);
    std::vector<uint8_t> modules(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (!read_byte(PyTuple_GET_ITEM(v[3], k), kModuleCount, kModuleValues, modules[static_cast<size_t>(k)])) {
            return nullptr;
        }
    }
    return make_document(start, end, profile, modules.data(), count, metadata, blocks);
}

// The values of a ParseError, read into `out`.
bool read_error(PyObject* const* v, quillet::ParseError& out) {
    std::optional<std::string_view> message;
    uint8_t kind = 0;
    if (!read_text(v[0], false, message) || !read_byte(v[1], kErrorKindCount, kErrorKind, kind) ||
        !read_flag(v[4], "an error's recoverable must be a bool", out.recoverable)) {
        return false;
    }
    if ((v[2] == Py_None) != (v[3] == Py_None)) return bad(PyExc_ValueError, "an error's span is half given");
    if (v[2] != Py_None) {
        uint32_t s = 0, e = 0;
        if (!read_span(v[2], v[3], s, e)) return false;
        out.span = quillet::Span{s, e};
    }
    out.message.assign(message->data(), message->size());
    out.kind = static_cast<quillet::ParseErrorKind>(kind);
    return true;
}

PyObject* new_error(const quillet::ParseError& error) {
    const auto size = static_cast<Py_ssize_t>(error.message.size());
    PyObject* obj = alloc(pyql::kParseError, size);
    if (obj == nullptr) return nullptr;
    auto* e = reinterpret_cast<pyql::ParseErrorObject*>(obj);
    if (size > 0)
        std::memcpy(reinterpret_cast<char*>(obj) + sizeof(pyql::ParseErrorObject), error.message.data(),
                    error.message.size());
    e->has_span = error.span.has_value();
    if (error.span) {
        e->start = error.span->start;
        e->end = error.span->end;
    }
    e->kind = static_cast<uint8_t>(error.kind);
    e->recoverable = error.recoverable;
    return obj;
}

// The result is made by pyql, which owns the errors it holds.
PyObject* rebuild_result(PyObject* const* v, Py_ssize_t n) {
    if (!count_is(n, 2)) return nullptr;
    PyObject* document = v[0];
    if (document != Py_None && Py_TYPE(document) != pyql_type(pyql::kDocument)) {
        return bad(PyExc_TypeError, kResultDocument), nullptr;
    }
    if (!PyTuple_CheckExact(v[1])) return bad(PyExc_TypeError, "a result's errors must be a tuple"), nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(v[1]); ++k) {
        if (Py_TYPE(PyTuple_GET_ITEM(v[1], k)) != pyql_type(pyql::kParseError)) {
            return bad(PyExc_TypeError, "a result's errors must be ParseErrors"), nullptr;
        }
    }
    return g_pyql->new_result(document != Py_None ? document : nullptr, v[1]);
}

PyObject* rebuild_object(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) return bad(PyExc_TypeError, "no class id"), nullptr;
    unsigned long long code = 0;
    if (!read_uint(args[0], kTypeCount - 1, "unknown class id", code)) return nullptr;
    if ((g_pyql = pyql_contract()) == nullptr) return nullptr;
    const auto id = static_cast<TypeId>(code);
    PyObject* const* v = args + 1;
    const Py_ssize_t n = nargs - 1;
    switch (id) {
        case pyql::kSpan: {
            uint32_t start = 0, end = 0;
            if (!count_is(n, 2) || !read_span(v[0], v[1], start, end)) return nullptr;
            PyObject* obj = alloc(id, 0);
            if (obj == nullptr) return nullptr;
            reinterpret_cast<pyql::SpanObject*>(obj)->start = start;
            reinterpret_cast<pyql::SpanObject*>(obj)->end = end;
            return obj;
        }
        case pyql::kProfile:
        case pyql::kModuleKind:
        case pyql::kParseErrorKind:
        case pyql::kListKind:
        case pyql::kParser: {
            uint8_t count = kProfileCount;
            if (id == pyql::kModuleKind) count = kModuleCount;
            if (id == pyql::kParseErrorKind) count = kErrorKindCount;
            if (id == pyql::kListKind) count = kListKindCount;
            uint8_t value = 0;
            if (!count_is(n, 1) || !read_byte(v[0], count, "an enumeration value out of range", value)) return nullptr;
            PyObject* obj = alloc(id, 0);
            if (obj == nullptr) return nullptr;
            if (id == pyql::kParser) {
                reinterpret_cast<pyql::ParserObject*>(obj)->profile = value;
            } else {
                reinterpret_cast<pyql::EnumObject*>(obj)->value = value;
            }
            return obj;
        }
        case pyql::kParseError: {
            quillet::ParseError error;
            if (!count_is(n, 5) || !read_error(v, error)) return nullptr;
            return new_error(error);
        }
        case pyql::kParseResult:
            return rebuild_result(v, n);
        case pyql::kDocument:
            return rebuild_document(v, n);
        default:
            return rebuild_node(id, v, n);
    }
}

// ------------------------------------------------------------------------------------------- the image

// The class of a pyql object, or kTypeCount for any other object.
TypeId tree_id(PyObject* obj) {
    for (int i = 0; i < kTypeCount; ++i) {
        if (Py_TYPE(obj) == pyql_type(TypeId(i))) return TypeId(i);
    }
    return TypeId(kTypeCount);
}

// Reads an image (pyql/pickled.hpp) back into objects, depth first with a stack of its own. Each object is
// placed in its container as soon as it is made, so everything made is reachable from the root (or from the
// slots, which hold a reference each) and an image that fails half-way frees all of it. Every count is
// checked against the bytes left before anything is allocated for it, every value as rebuild checks it.
// An image that shares nothing gives nodes and lists born untracked, as a parse does.
class ImageReader {
public:
    ImageReader(const uint8_t* data, size_t size) : begin_(data), p_(data), end_(data + size) {}
    ~ImageReader() {
        for (PyObject* obj : memo_) Py_DECREF(obj);
    }
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    PyObject* read() {
        if (!need(pyql::kImageHeaderSize)) return nullptr;
        if (std::memcmp(p_, pyql::kImageMagic, sizeof pyql::kImageMagic) != 0) {
            return fail(PyExc_ValueError, "not an image of pyql objects"), nullptr;
        }
        if (p_[sizeof pyql::kImageMagic] != pyql::kImageVersion) {
            return fail(PyExc_ValueError, "an image of another version"), nullptr;
        }
        const uint8_t flags = p_[sizeof pyql::kImageMagic + 1];
        if ((flags & ~pyql::kImageShared) != 0) return fail(PyExc_ValueError, "the image's flags are unknown"), nullptr;
        shared_ = (flags & pyql::kImageShared) != 0;
        uint64_t slots = 0;
        for (int i = 0; i < 4; ++i) slots |= uint64_t(p_[sizeof pyql::kImageMagic + 2 + i]) << (8 * i);
        p_ += pyql::kImageHeaderSize;
        if (slots > left()) return fail(PyExc_ValueError, kCountTooLarge), nullptr;
        slots_ = slots;
        memo_.reserve(slots);
        Ref root;
        at_ = offset();
        if (p_ < end_ && *p_ == pyql::kTagResult) {
            ++p_;
            root = Ref(result());
        } else {
            root = Ref(tree(false));
            if (root && !is_tree(root.get())) {
                return fail(PyExc_TypeError, "the image holds no Document or node"), nullptr;
            }
        }
        if (!root) return nullptr;
        if (p_ != end_) {
            at_ = offset();
            return fail(PyExc_ValueError, "bytes follow the end of the image"), nullptr;
        }
        return root.release();
    }

private:
    static constexpr char kCountTooLarge[] = "a count exceeds the bytes left";

    // Where a value goes: the root, the items of a list, the keys and values of a dict, a node's child list,
    // a Document's metadata or blocks.
    enum class Into : uint8_t { Root, Items, Entries, Children, Metadata, Blocks };
    struct Frame {
        Into into;
        PyObject* target;
        Py_ssize_t index;
        Py_ssize_t count;
        Ref key;  // Entries: the key read, waiting for its value
    };
    // What a value just made holds, still to be read.
    enum class Holds : uint8_t { Nothing, Items, Entries, Children, Parts };

    size_t left() const { return size_t(end_ - p_); }
    Py_ssize_t offset() const { return p_ - begin_; }

    bool fail(PyObject* kind, const char* what) const {
        PyErr_Format(kind, "rebuild_image: %s (at byte %zd)", what, at_);
        return false;
    }

    bool need(size_t n) const { return n <= left() || fail(PyExc_ValueError, "the image ends inside a value"); }

    bool u8(uint8_t& out) {
        if (!need(1)) return false;
        out = *p_++;
        return true;
    }

    bool varint(uint64_t& out) {
        out = 0;
        for (int i = 0; i < 10; ++i) {
            if (!need(1)) return false;
            const uint8_t b = *p_++;
            if (i == 9 && b > 1) return fail(PyExc_ValueError, "a number exceeds 64 bits");
            out |= uint64_t(b & 0x7f) << (7 * i);
            if ((b & 0x80) == 0) return true;
        }
        return fail(PyExc_ValueError, "a number exceeds 64 bits");
    }

    // A count of things that take at least `bytes_each` bytes each.
    bool count(uint64_t& n, size_t bytes_each) {
        if (!varint(n)) return false;
        return n <= left() / bytes_each || fail(PyExc_ValueError, kCountTooLarge);
    }

    // `size` bytes of well-formed UTF-8.
    bool utf8(uint64_t size, std::string_view& out) {
        if (size > left()) return fail(PyExc_ValueError, kCountTooLarge);
        out = std::string_view(reinterpret_cast<const char*>(p_), size_t(size));
        p_ += size;
        return valid_utf8(out) || fail(PyExc_ValueError, kNotUtf8);
    }

    bool span(uint32_t& start, uint32_t& end) {
        constexpr int64_t kMax = std::numeric_limits<uint32_t>::max();
        uint64_t zigzag = 0, length = 0;
        if (!varint(zigzag)) return false;
        const auto delta = static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
        if (delta < -kMax || delta > kMax || int64_t(cursor_) + delta < 0 || int64_t(cursor_) + delta > kMax) {
            return fail(PyExc_ValueError, kSpanStart);
        }
        start = static_cast<uint32_t>(int64_t(cursor_) + delta);
        if (!varint(length)) return false;
        if (length > uint64_t(kMax) - start) return fail(PyExc_ValueError, kSpanEnd);
        end = static_cast<uint32_t>(start + length);
        cursor_ = start;
        return true;
    }

    bool byte_below(uint8_t count, PyObject* kind, const char* what, uint8_t& out) {
        return u8(out) && (out < count || fail(kind, what));
    }

    bool flag(const char* what, bool& out) {
        uint8_t b = 0;
        if (!byte_below(2, PyExc_TypeError, what, b)) return false;
        out = b == 1;
        return true;
    }

    static bool is_tree(PyObject* obj) {
        const TypeId id = tree_id(obj);
        return id == pyql::kDocument || pyql::node_type_of(id);
    }

    // The root of a ParseResult: its document (a value), then its errors.
    PyObject* result() {
        Ref document(tree(true));
        if (!document) return nullptr;
        at_ = offset();
        uint64_t n = 0;
        if (!count(n, 3)) return nullptr;  // flags, kind, message size
        Ref errors(PyTuple_New(Py_ssize_t(n)));
        if (!errors) return nullptr;
        for (uint64_t k = 0; k < n; ++k) {
            at_ = offset();
            uint8_t flags = 0, kind = 0;
            uint64_t size = 0;
            std::string_view message;
            if (!u8(flags) || !byte_below(kErrorKindCount, PyExc_ValueError, kErrorKind, kind) || !varint(size) ||
                !utf8(size, message)) {
                return nullptr;
            }
            if ((flags & ~(pyql::kErrorHasSpan | pyql::kErrorRecoverable)) != 0) {
                return fail(PyExc_ValueError, "an error's flags are unknown"), nullptr;
            }
            quillet::ParseError error;
            if (flags & pyql::kErrorHasSpan) {
                uint64_t start = 0, length = 0;
                if (!varint(start)) return nullptr;
                if (start > std::numeric_limits<uint32_t>::max()) return fail(PyExc_ValueError, kSpanStart), nullptr;
                if (!varint(length)) return nullptr;
                if (length > std::numeric_limits<uint32_t>::max() - start) {
                    return fail(PyExc_ValueError, kSpanEnd), nullptr;
                }
                error.span = quillet::Span{uint32_t(start), uint32_t(start + length)};
            }
            error.message.assign(message.data(), message.size());
            error.kind = static_cast<quillet::ParseErrorKind>(kind);
            error.recoverable = (flags & pyql::kErrorRecoverable) != 0;
            PyObject* e = new_error(error);
            if (e == nullptr) return nullptr;
            PyTuple_SET_ITEM(errors.get(), Py_ssize_t(k), e);
        }
        return g_pyql->new_result(document.get() != Py_None ? document.get() : nullptr, errors.get());
    }

    // Reads one value and everything it holds. `document`: the value is a result's document.
    PyObject* tree(bool document) {
        Ref root;
        frames_.clear();
        frames_.push_back(Frame{Into::Root, nullptr, 0, 1, Ref()});
        while (!frames_.empty()) {
            if (frames_.back().index == frames_.back().count) {
                frames_.pop_back();
                continue;
            }
            at_ = offset();
            Holds holds = Holds::Nothing;
            Py_ssize_t n = 0;
            Ref value = read_value(holds, n);
            if (!value) return nullptr;
            PyObject* obj = value.get();
            Frame& f = frames_.back();
            const Py_ssize_t i = f.index++;
            switch (f.into) {
                case Into::Root:
                    if (document && obj != Py_None && Py_TYPE(obj) != pyql_type(pyql::kDocument)) {
                        return fail(PyExc_TypeError, kResultDocument), nullptr;
                    }
                    root = std::move(value);
                    break;
                case Into::Items:
                    PyList_SET_ITEM(f.target, i, value.release());
                    break;
                case Into::Entries:
                    if (i % 2 == 0) {
                        f.key = std::move(value);
                    } else {
                        if (PyDict_SetItem(f.target, f.key.get(), obj) < 0) return nullptr;
                        f.key.reset();
                    }
                    break;
                case Into::Children:
                case Into::Blocks:
                    if (obj != Py_None && !PyList_CheckExact(obj)) return fail(PyExc_TypeError, kChildren), nullptr;
                    if (!shared_) pyql::born_untracked(obj);
                    (f.into == Into::Children ? reinterpret_cast<pyql::ListNode*>(f.target)->list
                                              : reinterpret_cast<pyql::DocumentObject*>(f.target)->blocks) =
                        obj != Py_None ? value.release() : nullptr;
                    break;
                case Into::Metadata:
                    if (obj != Py_None && !PyDict_CheckExact(obj)) return fail(PyExc_TypeError, kMetadata), nullptr;
                    reinterpret_cast<pyql::DocumentObject*>(f.target)->metadata =
                        obj != Py_None ? value.release() : nullptr;
                    break;
            }
            switch (holds) {
                case Holds::Nothing:
                    break;
                case Holds::Items:
                    frames_.push_back(Frame{Into::Items, obj, 0, n, Ref()});
                    break;
                case Holds::Entries:
                    frames_.push_back(Frame{Into::Entries, obj, 0, 2 * n, Ref()});
                    break;
                case Holds::Children:
                    frames_.push_back(Frame{Into::Children, obj, 0, 1, Ref()});
                    break;
                case Holds::Parts:
                    frames_.push_back(Frame{Into::Blocks, obj, 0, 1, Ref()});
                    frames_.push_back(Frame{Into::Metadata, obj, 0, 1, Ref()});  // first
                    break;
            }
        }
        return root.release();
    }

    // One value: a new reference; what it holds, still to be read, in `holds` (and `n`, its count).
    Ref read_value(Holds& holds, Py_ssize_t& n) {
        uint8_t tag = 0;
        if (!u8(tag)) return Ref();
        const bool memo = (tag & pyql::kTagMemo) != 0;
        const uint8_t base = tag & ~pyql::kTagMemo;
        const bool container = base == pyql::kTagList || base == pyql::kTagDict || base == pyql::kTagDocument ||
                               (base >= pyql::kTagNode && base < pyql::kTagNode + quillet::kNodeTypeCount);
        if (memo && !container) return fail(PyExc_ValueError, "an unknown tag"), Ref();
        Ref obj;
        uint64_t number = 0;
        switch (base) {
            case pyql::kTagNone:
                return Ref(pyql::new_ref(Py_None));
            case pyql::kTagFalse:
                return Ref(pyql::new_ref(Py_False));
            case pyql::kTagTrue:
                return Ref(pyql::new_ref(Py_True));
            case pyql::kTagInt:
                if (!varint(number)) return Ref();
                return Ref(PyLong_FromLongLong(static_cast<int64_t>(number >> 1) ^ -static_cast<int64_t>(number & 1)));
            case pyql::kTagBigInt:
                return big_int();
            case pyql::kTagFloat: {
                if (!need(8)) return Ref();
                for (int i = 0; i < 8; ++i) number |= uint64_t(*p_++) << (8 * i);
                double d = 0;
                std::memcpy(&d, &number, sizeof d);
                return Ref(PyFloat_FromDouble(d));
            }
            case pyql::kTagStr: {
                std::string_view text;
                if (!varint(number) || !utf8(number, text)) return Ref();
                return Ref(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr));
            }
            case pyql::kTagRef:
                if (!shared_) return fail(PyExc_ValueError, "a reference in an image that declares none"), Ref();
                if (!varint(number)) return Ref();
                if (number >= memo_.size())
                    return fail(PyExc_ValueError, "a reference to an object not read yet"), Ref();
                return Ref(pyql::new_ref(memo_[size_t(number)]));
            case pyql::kTagList:
                if (!count(number, 1)) return Ref();
                n = Py_ssize_t(number);
                obj = Ref(PyList_New(n));
                holds = n > 0 ? Holds::Items : Holds::Nothing;
                break;
            case pyql::kTagDict:
                if (!count(number, 2)) return Ref();
                n = Py_ssize_t(number);
                obj = Ref(PyDict_New());
                holds = n > 0 ? Holds::Entries : Holds::Nothing;
                break;
            case pyql::kTagDocument:
                obj = Ref(document());
                holds = Holds::Parts;
                break;
            case pyql::kTagResult:
                return fail(PyExc_ValueError, "a ParseResult stands only at the root of an image"), Ref();
            default: {
                if (!container) return fail(PyExc_ValueError, "an unknown tag"), Ref();
                const TypeId id = pyql::type_id(quillet::NodeType(base - pyql::kTagNode));
                obj = Ref(node(id));
                holds = pyql::node_form(id).list ? Holds::Children : Holds::Nothing;
                break;
            }
        }
        if (!obj) return Ref();
        if (memo) {
            if (memo_.size() == slots_) return fail(PyExc_ValueError, "more objects take a slot than it has"), Ref();
            memo_.push_back(pyql::new_ref(obj.get()));
        }
        return obj;
    }

    // Hexadecimal digits, "-" first when negative (base 16 is not bounded by sys.set_int_max_str_digits).
    Ref big_int() {
        uint64_t size = 0;
        if (!count(size, 1)) return Ref();
        std::string digits(reinterpret_cast<const char*>(p_), size_t(size));
        p_ += size;
        const size_t first = !digits.empty() && digits[0] == '-' ? 1 : 0;
        bool ok = digits.size() > first;
        for (size_t i = first; ok && i < digits.size(); ++i) {
            const char c = digits[i];
            ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        }
        if (!ok) return fail(PyExc_ValueError, "an int is not hexadecimal digits"), Ref();
        return Ref(PyLong_FromString(digits.c_str(), nullptr, 16));
    }

    PyObject* document() {
        uint32_t start = 0, end = 0;
        uint8_t profile = 0;
        uint64_t count_of_modules = 0;
        if (!span(start, end) || !byte_below(kProfileCount, PyExc_ValueError, kProfileValue, profile) ||
            !count(count_of_modules, 1)) {
            return nullptr;
        }
        const uint8_t* modules = p_;
        p_ += count_of_modules;
        for (uint64_t k = 0; k < count_of_modules; ++k) {
            if (modules[k] >= kModuleCount) return fail(PyExc_ValueError, kModuleValues), nullptr;
        }
        return make_document(start, end, profile, modules, Py_ssize_t(count_of_modules), nullptr, nullptr);
    }

    PyObject* node(TypeId id) {
        const NodeForm form = pyql::node_form(id);
        NodeValues values;
        if (!span(values.start, values.end)) return nullptr;
        switch (form.extra) {
            case pyql::Extra::None:
                break;
            case pyql::Extra::Level:
                if (!u8(values.level)) return nullptr;
                if (values.level < 1 || values.level > 6) return fail(PyExc_ValueError, kLevel), nullptr;
                break;
            case pyql::Extra::KindAndStart: {
                uint8_t has_start = 0;
                if (!byte_below(kListKindCount, PyExc_ValueError, kListKindValue, values.kind) ||
                    !byte_below(2, PyExc_ValueError, kListStart, has_start)) {
                    return nullptr;
                }
                values.has_start = has_start == 1;
                if (values.has_start && !varint(values.list_start)) return nullptr;
                break;
            }
            case pyql::Extra::Header:
                if (!flag(kRowHeader, values.flag)) return nullptr;
                break;
            case pyql::Extra::Display:
                if (!flag(kMathDisplay, values.flag)) return nullptr;
                break;
        }
        for (uint8_t t = 0; t < form.texts; ++t) {
            uint64_t size = 0;
            if (!varint(size)) return nullptr;
            if ((form.optional >> t) & 1u) {
                if (size == 0) continue;  // absent
                --size;
            }
            std::string_view text;
            if (!utf8(size, text)) return nullptr;
            values.texts[t] = text;
        }
        PyObject* obj = make_node(id, form, values, nullptr);
        if (!shared_) pyql::born_untracked(obj);
        return obj;
    }

    const uint8_t* const begin_;
    const uint8_t* p_;
    const uint8_t* const end_;
    Py_ssize_t at_ = 0;    // where the value being read starts, for the errors
    uint32_t cursor_ = 0;  // the start of the span read last
    bool shared_ = false;  // the image may hold Refs: everything stays tracked
    size_t slots_ = 0;
    std::vector<PyObject*> memo_;  // a reference to each object that took a slot
    std::vector<Frame> frames_;
};

// A contiguous buffer, released when it goes out of scope.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
};

}  // namespace

PyObject* rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return rebuild_object(args, nargs);
}

PyObject* rebuild_image(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "rebuild_image: expected 1 value, got %zd", nargs);
        return nullptr;
    }
    if ((g_pyql = pyql_contract()) == nullptr) return nullptr;
    PyObject* arg = args[0];
    if (!PyObject_CheckBuffer(arg)) {
        // A pickle holds rebuild_image(rebuild_image(image)): the tree the inner call made passes through.
        const TypeId id = tree_id(arg);
        if (id == pyql::kDocument || id == pyql::kParseResult || pyql::node_type_of(id)) return pyql::new_ref(arg);
        // copy.copy calls rebuild_image(source) with the source the tree reduced to.
        if (PyObject* copy = g_pyql->copy_of_image_source(arg); copy != nullptr || PyErr_Occurred()) return copy;
        PyErr_SetString(PyExc_TypeError, "rebuild_image: the image must be bytes");
        return nullptr;
    }
    Buffer image;
    if (PyObject_GetBuffer(arg, &image.view, PyBUF_SIMPLE) < 0) return nullptr;
    image.held = true;
    // Every object made is reachable from the tree being built, and no Python code runs: no collection
    // could find garbage, and each would walk the growing tree again.
    pyql::GcPause pause;
    ImageReader reader(static_cast<const uint8_t*>(image.view.buf), size_t(image.view.len));
    return reader.read();
}

}  // namespace quillet_native
