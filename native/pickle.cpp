// rebuild(id, values...): the pyql object a pickle describes (pyql/pickled.hpp gives the forms).
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
#include "pyql/pickled.hpp"
#include "quillet/document.hpp"
#include "quillet/errors.hpp"
#include "quillet/utf8.hpp"

namespace quillet_native {
namespace {

using pyql::kTypeCount;
using pyql::NodeForm;
using pyql::TypeId;

// ---------------------------------------------------------------------------------- reading values

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
    if (!read_uint(start, kMax, "a span's start must be an int in 0..2**32-1", a) ||
        !read_uint(end, kMax, "a span's end must be an int in 0..2**32-1", b)) {
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
        if (!valid_utf8(*out)) return bad(PyExc_ValueError, "a text is not UTF-8");
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
        return bad(PyExc_TypeError, dict ? "metadata must be a dict or None" : "children must be a list or None");
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

PyObject* rebuild_node(TypeId id, PyObject* const* v, Py_ssize_t n) {
    const NodeForm form = pyql::node_form(id);
    if (!count_is(n, pyql::node_value_count(form))) return nullptr;
    uint32_t start = 0, end = 0;
    if (!read_span(v[0], v[1], start, end)) return nullptr;
    Py_ssize_t i = 2;
    unsigned long long level = 0, list_start = 0;
    uint8_t kind = 0;
    bool has_start = false, flag = false;
    switch (form.extra) {
        case pyql::Extra::None:
            break;
        case pyql::Extra::Level:
            if (!read_uint(v[i++], 6, "a heading's level must be an int in 1..6", level)) return nullptr;
            if (level < 1) return bad(PyExc_ValueError, "a heading's level must be an int in 1..6"), nullptr;
            break;
        case pyql::Extra::KindAndStart:
            if (!read_byte(v[i++], uint8_t(quillet::ListKind::Unordered) + 1, "a list's kind must be a ListKind value",
                           kind)) {
                return nullptr;
            }
            has_start = v[i] != Py_None;
            if (has_start && !read_uint(v[i], std::numeric_limits<uint64_t>::max(),
                                        "a list's start must be None or an unsigned 64-bit int", list_start)) {
                return nullptr;
            }
            ++i;
            break;
        case pyql::Extra::Header:
            if (!read_flag(v[i++], "a row's header must be a bool", flag)) return nullptr;
            break;
        case pyql::Extra::Display:
            if (!read_flag(v[i++], "a math block's display must be a bool", flag)) return nullptr;
            break;
    }
    std::optional<std::string_view> texts[3];
    Py_ssize_t text_bytes = 0;
    for (uint8_t t = 0; t < form.texts; ++t) {
        if (!read_text(v[i++], (form.optional >> t) & 1u, texts[t])) return nullptr;
        if (texts[t]) text_bytes += static_cast<Py_ssize_t>(texts[t]->size());
    }
    PyObject* list = nullptr;
    if (form.list && !read_stored(v[i++], false, list)) return nullptr;

    PyObject* obj = alloc(id, form.texts > 0 ? text_bytes : 0);
    if (obj == nullptr) return nullptr;
    char* base = reinterpret_cast<char*>(obj);
    auto* head = reinterpret_cast<pyql::NodeHead*>(obj);
    head->start = start;
    head->end = end;
    switch (form.extra) {
        case pyql::Extra::None:
            break;
        case pyql::Extra::Level:
            reinterpret_cast<pyql::HeadingObject*>(obj)->level = static_cast<uint8_t>(level);
            break;
        case pyql::Extra::KindAndStart: {
            auto* l = reinterpret_cast<pyql::ListObject*>(obj);
            l->kind = kind;
            l->has_start = has_start;
            l->start = list_start;
            break;
        }
        case pyql::Extra::Header:
            reinterpret_cast<pyql::TableRowObject*>(obj)->header = flag;
            break;
        case pyql::Extra::Display:
            reinterpret_cast<pyql::MathBlockObject*>(obj)->display = flag;
            break;
    }
    auto* refs = reinterpret_cast<pyql::TextRef*>(base + form.text_at);
    auto offset = static_cast<Py_ssize_t>(form.size);
    for (uint8_t t = 0; t < form.texts; ++t) {
        if (!texts[t]) {
            refs[t] = pyql::TextRef{0, -1};
            continue;
        }
        const auto size = static_cast<Py_ssize_t>(texts[t]->size());
        refs[t] = pyql::TextRef{offset, size};
        if (size > 0) std::memcpy(base + offset, texts[t]->data(), static_cast<size_t>(size));
        offset += size;
    }
    if (form.list) {
        Py_XINCREF(list);
        reinterpret_cast<pyql::ListNode*>(obj)->list = list;
    }
    return obj;
}

PyObject* rebuild_document(PyObject* const* v, Py_ssize_t n) {
    if (!count_is(n, 6)) return nullptr;
    uint32_t start = 0, end = 0;
    uint8_t profile = 0;
    PyObject *metadata = nullptr, *blocks = nullptr;
    if (!read_span(v[0], v[1], start, end) ||
        !read_byte(v[2], uint8_t(quillet::Profile::MdStrict) + 1, "a document's profile must be a Profile value",
                   profile) ||
        !read_stored(v[4], true, metadata) || !read_stored(v[5], false, blocks)) {
        return nullptr;
    }
    if (!PyTuple_CheckExact(v[3])) return bad(PyExc_TypeError, "a document's modules must be a tuple"), nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(v[3]);
    std::vector<uint8_t> modules(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (!read_byte(PyTuple_GET_ITEM(v[3], k), uint8_t(quillet::ModuleKind::Html) + 1,
                       "a document's modules must be ModuleKind values", modules[static_cast<size_t>(k)])) {
            return nullptr;
        }
    }
    PyObject* obj = alloc(pyql::kDocument, count);
    if (obj == nullptr) return nullptr;
    auto* d = reinterpret_cast<pyql::DocumentObject*>(obj);
    d->h.start = start;
    d->h.end = end;
    d->profile = profile;
    if (count > 0)
        std::memcpy(reinterpret_cast<char*>(obj) + sizeof(pyql::DocumentObject), modules.data(), modules.size());
    Py_XINCREF(metadata);
    d->metadata = metadata;
    Py_XINCREF(blocks);
    d->blocks = blocks;
    return obj;
}

// The values of a ParseError, read into `out`.
bool read_error(PyObject* const* v, quillet::ParseError& out) {
    std::optional<std::string_view> message;
    uint8_t kind = 0;
    if (!read_text(v[0], false, message) ||
        !read_byte(v[1], uint8_t(quillet::ParseErrorKind::Other) + 1, "an error's kind must be a ParseErrorKind value",
                   kind) ||
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
        return bad(PyExc_TypeError, "a result's document must be a Document"), nullptr;
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
            uint8_t count = uint8_t(quillet::Profile::MdStrict) + 1;
            if (id == pyql::kModuleKind) count = uint8_t(quillet::ModuleKind::Html) + 1;
            if (id == pyql::kParseErrorKind) count = uint8_t(quillet::ParseErrorKind::Other) + 1;
            if (id == pyql::kListKind) count = uint8_t(quillet::ListKind::Unordered) + 1;
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

}  // namespace

PyObject* rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return rebuild_object(args, nargs);
}

}  // namespace quillet_native
