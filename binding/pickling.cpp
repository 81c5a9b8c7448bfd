// __reduce__ of every class: the object as a call of quillet._native.rebuild (pickled.hpp gives the form).
//
// The classes keep no constructor and no __setstate__: the function that rebuilds them lives in the
// quillet package, imported here when the first object is pickled, and by pickle itself when one is loaded.
#include "pyql/common.hpp"
#include "pyql/layouts.hpp"
#include "pyql/pickled.hpp"

namespace pyql {
namespace {

// quillet._native.rebuild, imported once (the module is refused in sub-interpreters, so one is enough).
PyObject* g_rebuild = nullptr;

PyObject* rebuild_function() {
    if (g_rebuild == nullptr) {
        Ref module(PyImport_ImportModule("quillet._native"));
        if (!module) return nullptr;
        PyObject* f = PyObject_GetAttrString(module.get(), "rebuild");
        if (f == nullptr) return nullptr;
        if (g_rebuild == nullptr) {
            g_rebuild = f;  // kept for the process
        } else {
            Py_DECREF(f);  // the import released the GIL and another thread got there first
        }
    }
    return g_rebuild;
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

}  // namespace

namespace {

PyObject* reduce(PyObject* self, bool as_bytes) {
    const int id = type_id_of(self);
    if (id < 0) {
        PyErr_Format(PyExc_TypeError, "cannot pickle %s objects", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* rebuild = rebuild_function();
    if (rebuild == nullptr) return nullptr;
    Ref values(values_of(self, id, as_bytes));
    if (!values) return nullptr;
    return PyTuple_Pack(2, rebuild, values.get());
}

}  // namespace

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
