#include "facts.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "../core/src/block_util.hpp"
#include "../core/src/header.hpp"
#include "call.hpp"
#include "formats.hpp"
#include "pyql/common.hpp"
#include "pyql/entry.hpp"
#include "pyql/utf8.hpp"
#include "quillet/directives.hpp"
#include "quillet/errors.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet_native {
namespace {

using pyql::Ref;

PyObject* str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* names(std::span<const std::string_view> list) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
        PyObject* name = str(list[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

PyObject* directives() {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(std::size(quillet::kDirectives))));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < std::size(quillet::kDirectives); ++i) {
        const quillet::DirectiveInfo& d = quillet::kDirectives[i];
        PyObject* entry = Py_BuildValue("(NNN)", str(d.name), names(d.keys), names(d.words));
        if (entry == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return tuple.release();
}

}  // namespace

PyObject* error_code(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyLong_Check(args[0]) || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "error_code(kind, message) takes an int and a str");
        return nullptr;
    }
    const long kind = PyLong_AsLong(args[0]);
    if (kind == -1 && PyErr_Occurred()) return nullptr;
    Py_ssize_t size = 0;
    const char* message = PyUnicode_AsUTF8AndSize(args[1], &size);
    if (message == nullptr) return nullptr;
    if (kind < 0 || kind > long(quillet::ParseErrorKind::Other)) return str("parse-error");
    return str(quillet::error_code(quillet::ParseErrorKind(kind), std::string_view(message, size_t(size))));
}

// A part of `args` as (text, (start, end)), its offsets in bytes.
PyObject* part(std::string_view args, std::string_view p) {
    const size_t start = size_t(p.data() - args.data());
    return Py_BuildValue("(N(nn))", str(p), Py_ssize_t(start), Py_ssize_t(start + p.size()));
}

PyObject* read_attributes(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "read_attributes(args) takes a str");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (data == nullptr) return nullptr;
    const std::string_view args(data, size_t(size));
    Ref pairs(PyList_New(0));
    if (!pairs) return nullptr;
    bool failed = false;
    const quillet::AttributeListEnd end =
        quillet::read_attribute_list(args, [&](std::string_view key, std::string_view value) {
            if (failed) return;
            Ref pair(Py_BuildValue("(NN)", part(args, key), part(args, value)));
            failed = !pair || PyList_Append(pairs.get(), pair.get()) < 0;
        });
    if (failed) return nullptr;
    using Stop = quillet::AttributeListEnd::Stop;
    if (end.stop == Stop::End) return Py_BuildValue("(OO)", pairs.get(), Py_None);
    const char* reason = end.stop == Stop::NoPair ? "no-pair" : "unclosed-quote";
    PyObject* key = end.stop == Stop::NoPair ? pyql::new_ref(Py_None) : part(args, end.key);
    return Py_BuildValue("(O(sNN))", pairs.get(), reason, key, part(args, quillet::trim_end(end.rest)));
}

namespace {

PyObject* span(quillet::Span s) {
    return Py_BuildValue("(II)", s.start, s.end);
}

// The value of an enumeration member as an int, or None.
template <class E>
PyObject* member(const std::optional<E>& e) {
    return e ? PyLong_FromLong(long(*e)) : pyql::new_ref(Py_None);
}

PyObject* profile_line(const std::optional<quillet::ProfileLine>& p) {
    if (!p) return pyql::new_ref(Py_None);
    return Py_BuildValue("(NNNN)", span(p->span), str(p->name), span(p->name_span), member(p->profile));
}

PyObject* modules_line(const std::optional<quillet::ModulesLine>& m) {
    if (!m) return pyql::new_ref(Py_None);
    Ref names(PyTuple_New(static_cast<Py_ssize_t>(m->names.size())));
    if (!names) return nullptr;
    for (size_t i = 0; i < m->names.size(); ++i) {
        const quillet::ModuleName& n = m->names[i];
        PyObject* entry = Py_BuildValue("(NNN)", str(n.name), span(n.span), member(n.kind));
        if (entry == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return Py_BuildValue("(NNO)", span(m->span), span(m->list), names.get());
}

PyObject* metadata_lines(const std::optional<quillet::MetadataLines>& m) {
    if (!m) return pyql::new_ref(Py_None);
    return Py_BuildValue("(NO)", span(m->span), m->closed ? Py_True : Py_False);
}

}  // namespace

PyObject* read_header(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "read_header(text) takes a str");
        return nullptr;
    }
    pyql::Arguments input;
    if (!read_input(arg, input)) return nullptr;
    return header_tuple(std::string_view(input.input, size_t(input.input_size)));
}

PyObject* header_tuple(std::string_view text) {
    const quillet::Header header = quillet::read_header(text);
    return Py_BuildValue("(NNN)", profile_line(header.profile), modules_line(header.modules),
                         metadata_lines(header.metadata));
}

PyObject* refused_urls(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyList_Check(args[0]) || !PyBool_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "refused_urls(urls, image) takes a list of str and a bool");
        return nullptr;
    }
    static const quillet::writers::HtmlOptions defaults;
    const bool image = args[1] == Py_True;
    Ref refused(PyList_New(0));
    if (!refused) return nullptr;
    // The list is read item by item: nothing here runs Python code that could change it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[0]); ++i) {
        PyObject* item = PyList_GET_ITEM(args[0], i);
        if (!PyUnicode_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "refused_urls(urls, image) takes a list of str and a bool");
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char* url = PyUnicode_AsUTF8AndSize(item, &size);
        if (url == nullptr) return nullptr;
        if (quillet::writers::url_allowed(std::string_view(url, size_t(size)), defaults.allowed_schemes, image)) {
            continue;
        }
        Ref index(PyLong_FromSsize_t(i));
        if (!index || PyList_Append(refused.get(), index.get()) < 0) return nullptr;
    }
    return refused.release();
}

namespace {

// Where `needle` (two bytes or more) first occurs in data[from, end), or npos: the candidates, places of its
// first two bytes, are found sixteen at a time with SSE2.
size_t find_from(std::string_view data, std::string_view needle, size_t from) {
    const size_t n = data.size(), m = needle.size();
    if (m > n) return std::string_view::npos;
    const size_t last = n - m;  // the last place an occurrence may start
    size_t i = from;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i second = _mm_set1_epi8(needle[1]);
    while (i + 17 <= n && i <= last) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data.data() + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data.data() + i + 1));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
        while (mask != 0) {
            const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
            if (at > last) return std::string_view::npos;
            if (std::memcmp(data.data() + at + 2, needle.data() + 2, m - 2) == 0) return at;
            mask &= mask - 1;
        }
        i += 16;
    }
#endif
    for (; i <= last; ++i) {
        if (data[i] == needle[0] && std::memcmp(data.data() + i + 1, needle.data() + 1, m - 1) == 0) return i;
    }
    return std::string_view::npos;
}

}  // namespace

PyObject* find_all(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1]) || PyBytes_GET_SIZE(args[1]) < 2 ||
        !PyLong_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "find_all(data, needle, limit) takes bytes, bytes of 2 or more and an int");
        return nullptr;
    }
    const Py_ssize_t limit = PyLong_AsSsize_t(args[2]);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    const std::string_view data(PyBytes_AS_STRING(args[0]), static_cast<size_t>(PyBytes_GET_SIZE(args[0])));
    const std::string_view needle(PyBytes_AS_STRING(args[1]), static_cast<size_t>(PyBytes_GET_SIZE(args[1])));
    Ref found(PyList_New(0));
    if (!found) return nullptr;
    for (size_t at = 0; PyList_GET_SIZE(found.get()) < limit;) {
        at = find_from(data, needle, at);
        if (at == std::string_view::npos) break;
        Ref offset(PyLong_FromSize_t(at));
        if (!offset || PyList_Append(found.get(), offset.get()) < 0) return nullptr;
        at += needle.size();
    }
    return found.release();
}

int add_facts(PyObject* module) {
    Ref value(directives());
    if (!value || PyModule_AddObject(module, "DIRECTIVES", value.get()) < 0) return -1;
    value.release();
    const std::vector<std::string>& schemes = quillet::writers::HtmlOptions{}.allowed_schemes;
    value = Ref(PyTuple_New(static_cast<Py_ssize_t>(schemes.size())));
    if (!value) return -1;
    for (size_t i = 0; i < schemes.size(); ++i) {
        PyObject* name = str(schemes[i]);
        if (name == nullptr) return -1;
        PyTuple_SET_ITEM(value.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (PyModule_AddObject(module, "HTML_SCHEMES", value.get()) < 0) return -1;
    value.release();
    return 0;
}

}  // namespace quillet_native
