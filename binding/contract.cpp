// What pyql exports for quillet._native (contract.hpp): the fingerprint of its layouts, its classes and the
// functions that build what holds pyql's own C++ memory.
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "pyql/contract.hpp"

namespace pyql {
namespace {

// A ParseError object read back into a core error.
quillet::ParseError error_of(PyObject* obj) {
    const auto* e = reinterpret_cast<const ParseErrorObject*>(obj);
    quillet::ParseError out;
    out.message.assign(reinterpret_cast<const char*>(obj) + sizeof(ParseErrorObject),
                       static_cast<size_t>(Py_SIZE(obj)));
    if (e->has_span) out.span = quillet::Span{e->start, e->end};
    out.kind = static_cast<quillet::ParseErrorKind>(e->kind);
    out.recoverable = e->recoverable;
    return out;
}

PyObject* result_from(PyObject* document, PyObject* errors) noexcept {
    if ((document != nullptr && Py_TYPE(document) != type_of(kDocument)) || !PyTuple_CheckExact(errors)) {
        PyErr_SetString(PyExc_TypeError, "a ParseResult holds a Document or None and a tuple of ParseErrors");
        return nullptr;
    }
    try {
        std::vector<quillet::ParseError> held;
        held.reserve(static_cast<size_t>(PyTuple_GET_SIZE(errors)));
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(errors); ++k) {
            PyObject* error = PyTuple_GET_ITEM(errors, k);
            if (Py_TYPE(error) != type_of(kParseError)) {
                PyErr_SetString(PyExc_TypeError, "a ParseResult holds a Document or None and a tuple of ParseErrors");
                return nullptr;
            }
            held.push_back(error_of(error));
        }
        if (document != nullptr) Py_INCREF(document);
        return new_parse_result(document, std::move(held));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "pyql: internal error: %s", e.what());
        return nullptr;
    }
}

}  // namespace
}  // namespace pyql

// Found by name (pyql::kContractSymbol) with dlsym; the one symbol pyql exports besides PyInit_pyql.
extern "C" __attribute__((visibility("default"))) const pyql::Contract pyql_contract = {
    pyql::kLayoutFingerprint,
    pyql::g_types,
    pyql::result_from,
    pyql::copy_of_image_source,
};
