// The value classes that are not document nodes: Span, ParseError and ParseResult.
//
// None of them defines comparison or hashing: they compare and hash by identity.
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "pyql/common.hpp"
#include "pyql/layouts.hpp"
#include "unicode_tables.hpp"

namespace pyql {
namespace {

// ------------------------------------------------------------------------------------------------ Span

SpanObject* as_span(PyObject* self) {
    return reinterpret_cast<SpanObject*>(self);
}

PyObject* span_start(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_span(self)->start);
}
PyObject* span_end(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_span(self)->end);
}
PyObject* span_len(PyObject* self, void*) {
    const SpanObject* s = as_span(self);
    return PyLong_FromUnsignedLong(s->end >= s->start ? s->end - s->start : 0);
}

PyObject* span_repr(PyObject* self) {
    return PyUnicode_FromFormat("Span(%u, %u)", static_cast<unsigned>(as_span(self)->start),
                                static_cast<unsigned>(as_span(self)->end));
}

PyGetSetDef span_getset[] = {
    {"start", span_start, nullptr, nullptr, nullptr},
    {"end", span_end, nullptr, nullptr, nullptr},
    {"len", span_len, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot span_slots[] = {
    {Py_tp_methods, kPickleMethods},
    {Py_tp_doc, const_cast<char*>("Source location in the input text (byte offsets).")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(span_repr)},
    {Py_tp_getset, span_getset},
    {0, nullptr},
};

PyType_Spec span_def = {
    .name = "builtins.Span", .basicsize = sizeof(SpanObject), .itemsize = 0, .flags = kTypeFlags, .slots = span_slots};

// ------------------------------------------------------------------------------------------ ParseError

ParseErrorObject* as_error(PyObject* self) {
    return reinterpret_cast<ParseErrorObject*>(self);
}

const char* message_bytes(PyObject* self) {
    return reinterpret_cast<const char*>(self) + sizeof(ParseErrorObject);
}

PyObject* decode_message(PyObject* self) {
    return PyUnicode_DecodeUTF8(message_bytes(self), Py_SIZE(self), nullptr);
}

PyObject* error_message(PyObject* self, void*) {
    return decode_message(self);
}

PyObject* error_span(PyObject* self, void*) {
    const ParseErrorObject* e = as_error(self);
    if (!e->has_span) Py_RETURN_NONE;
    return new_span(quillet::Span{e->start, e->end});
}

PyObject* error_kind(PyObject* self, void*) {
    return new_enum(kParseErrorKind, as_error(self)->kind);
}

PyObject* error_recoverable(PyObject* self, void*) {
    return PyBool_FromLong(as_error(self)->recoverable);
}

PyObject* error_str(PyObject* self) {
    Ref message(decode_message(self));
    if (!message) return nullptr;
    const ParseErrorObject* e = as_error(self);
    if (!e->has_span) return message.release();
    const std::string where = quillet::at_bytes(quillet::Span{e->start, e->end});
    return PyUnicode_FromFormat("%U%s", message.get(), where.c_str());
}

// The message between double quotes, every character that would not read back unambiguously escaped:
// quotes, backslashes and the common control characters by their short escapes; anything not printable
// (str.isprintable) and every grapheme extender (a combining mark standing alone would fuse with the
// quote) as \u{HEX}.
PyObject* quote_message(PyObject* message) {
    const int kind = PyUnicode_KIND(message);
    const void* data = PyUnicode_DATA(message);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(message);
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n) + 2);
    auto put_ascii = [&out](const char* s) {
        for (; *s != '\0'; ++s) out.push_back(static_cast<unsigned char>(*s));
    };
    out.push_back('"');
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
            case '"':
                put_ascii("\\\"");
                continue;
            case '\\':
                put_ascii("\\\\");
                continue;
            case '\t':
                put_ascii("\\t");
                continue;
            case '\r':
                put_ascii("\\r");
                continue;
            case '\n':
                put_ascii("\\n");
                continue;
            case '\0':
                put_ascii("\\0");
                continue;
            default:
                break;
        }
        if (is_grapheme_extend(c) || !Py_UNICODE_ISPRINTABLE(c)) {
            char hex[16];
            PyOS_snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
            put_ascii(hex);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* error_repr(PyObject* self) {
    try {
        Ref message(decode_message(self));
        if (!message) return nullptr;
        Ref quoted(quote_message(message.get()));
        if (!quoted) return nullptr;
        return PyUnicode_FromFormat("ParseError(%U, %s)", quoted.get(),
                                    enum_member_name(kParseErrorKind, as_error(self)->kind));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyGetSetDef error_getset[] = {
    {"message", error_message, nullptr, nullptr, nullptr},
    {"span", error_span, nullptr, nullptr, nullptr},
    {"kind", error_kind, nullptr, nullptr, nullptr},
    {"recoverable", error_recoverable, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot error_slots[] = {
    {Py_tp_methods, kPickleMethods},
    {Py_tp_doc, const_cast<char*>("A parse error.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(error_repr)},
    {Py_tp_str, reinterpret_cast<void*>(error_str)},
    {Py_tp_getset, error_getset},
    {0, nullptr},
};

PyType_Spec error_def = {.name = "builtins.ParseError",
                         .basicsize = sizeof(ParseErrorObject),
                         .itemsize = 1,
                         .flags = kTypeFlags,
                         .slots = error_slots};

// ----------------------------------------------------------------------------------------- ParseResult

ParseResultObject* as_result(PyObject* self) {
    return reinterpret_cast<ParseResultObject*>(self);
}

size_t error_count(PyObject* self) {
    const auto* errors = as_result(self)->errors;
    return errors != nullptr ? errors->size() : 0;
}

PyObject* result_document(PyObject* self, void*) {
    return new_ref_or_none(as_result(self)->document);
}

PyObject* result_errors(PyObject* self, void*) {
    const size_t n = error_count(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* error = new_parse_error((*as_result(self)->errors)[i]);
        if (error == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), error);
    }
    return list.release();
}

PyObject* result_ok(PyObject* self, void*) {
    return PyBool_FromLong(error_count(self) == 0);
}

PyObject* result_repr(PyObject* self) {
    const PyObject* document = as_result(self)->document;
    const Py_ssize_t blocks = document != nullptr ? document_block_count(as_result(self)->document) : 0;
    const size_t errors = error_count(self);
    return PyUnicode_FromFormat("ParseResult(ok=%s, blocks=%zd, errors=%zu)", errors == 0 ? "true" : "false", blocks,
                                errors);
}

int result_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_result(self)->document);
    return 0;
}

int result_clear(PyObject* self) {
    Py_CLEAR(as_result(self)->document);
    return 0;
}

void result_release(PyObject* self) {
    result_clear(self);
    delete as_result(self)->errors;
}

PyGetSetDef result_getset[] = {
    {"document", result_document, nullptr, nullptr, nullptr},
    {"errors", result_errors, nullptr, nullptr, nullptr},
    {"ok", result_ok, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot result_slots[] = {
    {Py_tp_methods, kPickleMethods},
    {Py_tp_doc, const_cast<char*>("Result of parsing with error recovery.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<result_release>)},
    {Py_tp_traverse, reinterpret_cast<void*>(result_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(result_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_def = {.name = "builtins.ParseResult",
                          .basicsize = sizeof(ParseResultObject),
                          .itemsize = 0,
                          .flags = kTypeFlags | Py_TPFLAGS_HAVE_GC,
                          .slots = result_slots};

}  // namespace

PyType_Spec* result_type_def(TypeId id) {
    switch (id) {
        case kSpan:
            return &span_def;
        case kParseError:
            return &error_def;
        case kParseResult:
            return &result_def;
        default:
            return nullptr;
    }
}

PyObject* new_span(quillet::Span span) {
    PyTypeObject* type = type_of(kSpan);
    auto* obj = reinterpret_cast<SpanObject*>(type->tp_alloc(type, 0));
    if (obj == nullptr) return nullptr;
    obj->start = span.start;
    obj->end = span.end;
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* new_parse_error(const quillet::ParseError& error) {
    PyTypeObject* type = type_of(kParseError);
    const auto size = static_cast<Py_ssize_t>(error.message.size());
    auto* obj = reinterpret_cast<ParseErrorObject*>(type->tp_alloc(type, size));
    if (obj == nullptr) return nullptr;
    if (size > 0) {
        memcpy(reinterpret_cast<char*>(obj) + sizeof(ParseErrorObject), error.message.data(),
               static_cast<size_t>(size));
    }
    obj->has_span = error.span.has_value();
    if (error.span) {
        obj->start = error.span->start;
        obj->end = error.span->end;
    }
    obj->kind = static_cast<uint8_t>(error.kind);
    obj->recoverable = error.recoverable;
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* new_parse_result(PyObject* document, std::vector<quillet::ParseError>&& errors) {
    Ref doc(document);
    auto* held = new (std::nothrow) std::vector<quillet::ParseError>(std::move(errors));
    if (held == nullptr) return PyErr_NoMemory();
    PyTypeObject* type = type_of(kParseResult);
    auto* obj = reinterpret_cast<ParseResultObject*>(type->tp_alloc(type, 0));
    if (obj == nullptr) {
        delete held;
        return nullptr;
    }
    obj->errors = held;
    obj->document = doc.release();
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace pyql
