// The module quillet._native: the C++ writers and to_dict, for the quillet package. pyql stays as it is:
// this module parses a str on its own without building a pyql object, and reads a tree of pyql objects
// (convert.hpp) into a core tree that the same writers write.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "call.hpp"
#include "convert.hpp"
#include "facts.hpp"
#include "files.hpp"
#include "formats.hpp"
#include "lsp_positions.hpp"
#include "model.hpp"
#include "outline_type.hpp"
#include "pickle.hpp"
#include "pyql/entry.hpp"
#include "pyql/layouts.hpp"
#include "pyql/utf8.hpp"
#include "records.hpp"
#include "str_from_utf8.hpp"
#include "to_dict.hpp"

namespace {

using pyql::new_ref;
using pyql::Ref;
using quillet::writers::Output;
using quillet::writers::Writer;
using quillet_native::read_input;
using quillet_native::read_profile;
using quillet_native::without_gil;

// The option `name` of `options` (a dict, or null), or null when absent; borrowed.
PyObject* option(PyObject* options, const char* name) {
    return options == nullptr ? nullptr : PyDict_GetItemString(options, name);
}

bool flag_option(PyObject* options, const char* name, bool fallback, bool& out) {
    PyObject* value = option(options, name);
    if (value == nullptr) {
        out = fallback;
        return true;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool text_option(PyObject* options, const char* name, std::string& out) {
    PyObject* value = option(options, name);
    if (value == nullptr) return true;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<size_t>(size));
    return true;
}

// The options of the HTML writer: raw_html ("escape", "omit" or "allow"), allowed_schemes (a list or tuple of
// str, compared without case), heading_ids, id_prefix, standalone.
bool html_options(PyObject* options, quillet::writers::HtmlOptions& o) {
    using quillet::writers::RawHtml;
    std::string raw_html = "escape";
    if (!text_option(options, "raw_html", raw_html)) return false;
    if (raw_html == "escape") {
        o.raw_html = RawHtml::Escape;
    } else if (raw_html == "omit") {
        o.raw_html = RawHtml::Omit;
    } else if (raw_html == "allow") {
        o.raw_html = RawHtml::Allow;
    } else {
        PyErr_Format(PyExc_ValueError, "raw_html must be 'escape', 'omit' or 'allow', not %R",
                     option(options, "raw_html"));
        return false;
    }
    if (PyObject* schemes = option(options, "allowed_schemes"); schemes != nullptr) {
        PyObject* seq = PySequence_Fast(schemes, "allowed_schemes must be a sequence of str");
        if (seq == nullptr) return false;
        o.allowed_schemes.clear();
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
            Py_ssize_t size = 0;
            const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
            if (text == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "allowed_schemes must be a sequence of str");
                Py_DECREF(seq);
                return false;
            }
            std::string scheme(text, static_cast<size_t>(size));
            for (char& c : scheme) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            o.allowed_schemes.push_back(std::move(scheme));
        }
        Py_DECREF(seq);
    }
    return flag_option(options, "heading_ids", false, o.heading_ids) &&
           text_option(options, "id_prefix", o.id_prefix) && flag_option(options, "standalone", false, o.standalone);
}

// The writer of `format` ("json", "text", "markdown", "html") with its options read from `options`.
std::unique_ptr<Writer> make_writer(std::string_view format, PyObject* options) {
    using namespace quillet::writers;
    if (format == "json") {
        JsonOptions o;
        PyObject* indent = option(options, "indent");
        if (indent != nullptr && indent != Py_None) {
            o.indent = true;
            if (!text_option(options, "indent", o.indent_text)) return nullptr;
        }
        if (!text_option(options, "item_separator", o.item_separator) ||
            !text_option(options, "key_separator", o.key_separator) ||
            !flag_option(options, "sort_keys", false, o.sort_keys) ||
            !flag_option(options, "ensure_ascii", true, o.ensure_ascii)) {
            return nullptr;
        }
        return make_json_writer(o);
    }
    if (format == "text") {
        TextOptions o;
        if (!flag_option(options, "link_urls", false, o.link_urls)) return nullptr;
        return make_text_writer(o);
    }
    if (format == "markdown") return make_markdown_writer(MarkdownOptions{});
    if (format == "html") {
        HtmlOptions o;
        if (!html_options(options, o)) return nullptr;
        return make_html_writer(o);
    }
    PyErr_Format(PyExc_ValueError, "unknown format: %.100s", std::string(format).c_str());
    return nullptr;
}

PyObject* output_str(const std::string& bytes) {
    return quillet_native::str_from_utf8(bytes.data(), bytes.size());
}

// The function a Python user called, for error messages: "to_json".
const char* caller_name(std::string_view format) {
    if (format == "json") return "to_json";
    if (format == "text") return "to_text";
    if (format == "markdown") return "to_markdown";
    if (format == "html") return "to_html";
    return "to_dict";
}

PyObject* not_a_source(std::string_view format, PyObject* source) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__name__"));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError,
                 "%s() expects a pyql Document, ParseResult, ParseError or node, a list of nodes or a str, not %U",
                 caller_name(format), name.get());
    return nullptr;
}

// Converts a tree source; NotImplemented (new reference) when only the Python export can write it,
// null with an exception, or the Converted filled and Py_None (borrowed) on success.
PyObject* convert_source(PyObject* source, std::string_view format, quillet_native::Converted& converted,
                         bool big_ints_as_text) {
    using quillet_native::Status;
    switch (quillet_native::convert(source, converted, big_ints_as_text)) {
        case Status::Ok:
            return Py_None;
        case Status::Failed:
            return nullptr;
        case Status::NotASource:
            return not_a_source(format, source);
        case Status::NeedsPython:
            return new_ref(Py_NotImplemented);
    }
    return nullptr;
}

// write(source, format, options, profile) -> str: `source` written in `format`. A str is parsed and written
// block by block with the GIL released; a tree of pyql objects is read into a core tree, then written with
// the GIL released. NotImplemented when the tree holds a metadata int that only the Python export writes.
PyObject* native_write(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    // profile may be left out, as callers of the first, three-argument form do.
    if (nargs < 3 || nargs > 4 || !PyUnicode_Check(args[1]) || (args[2] != Py_None && !PyDict_Check(args[2]))) {
        PyErr_SetString(PyExc_TypeError, "write(source, format: str, options: dict | None, profile=None)");
        return nullptr;
    }
    PyObject* source = args[0];
    PyObject* options = args[2] == Py_None ? nullptr : args[2];
    Py_ssize_t format_size = 0;
    const char* format_text = PyUnicode_AsUTF8AndSize(args[1], &format_size);
    if (format_text == nullptr) return nullptr;
    const std::string_view format(format_text, static_cast<size_t>(format_size));
    Output out;
    if (PyUnicode_Check(source)) {
        quillet::Profile profile;
        pyql::Arguments input;
        if (!read_profile(nargs == 4 ? args[3] : Py_None, profile) || !read_input(source, input)) return nullptr;
        std::unique_ptr<Writer> writer = make_writer(format, options);
        if (writer == nullptr) return nullptr;
        const std::string_view text(input.input, static_cast<size_t>(input.input_size));
        if (!without_gil([&] { quillet::writers::write_parsed(text, *writer, out, profile); })) return nullptr;
        return output_str(out.buffer());
    }
    quillet_native::Converted converted;
    PyObject* status = convert_source(source, format, converted, format != "json");
    if (status != Py_None) return status;
    std::unique_ptr<Writer> writer = make_writer(format, options);
    if (writer == nullptr) return nullptr;
    if (!without_gil([&] { quillet::writers::write(converted.source, *writer, out); })) return nullptr;
    return output_str(out.buffer());
}

// to_dict(source, profile) -> dict | list: the plain data of `source` (a str gives its ParseResult's).
// NotImplemented when the tree holds a metadata int that only the Python export reads.
PyObject* native_to_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "to_dict(source, profile)");
        return nullptr;
    }
    PyObject* source = args[0];
    if (PyUnicode_Check(source)) {
        quillet::Profile profile;
        pyql::Arguments input;
        if (!read_profile(args[1], profile) || !read_input(source, input)) return nullptr;
        const std::string_view text(input.input, static_cast<size_t>(input.input_size));
        quillet::Parser parser(profile);
        quillet::Document doc;
        if (!without_gil([&] { doc = parser.parse_internal(text); })) return nullptr;
        quillet::writers::Source result;
        result.form = quillet::writers::Source::Form::Result;
        result.document = quillet::writers::view_of(doc);
        result.errors = parser.errors.data();
        result.error_count = parser.errors.size();
        return quillet_native::to_dict(result);
    }
    quillet_native::Converted converted;
    PyObject* status = convert_source(source, "dict", converted, false);
    if (status != Py_None) return status;
    return quillet_native::to_dict(converted.source);
}

// The functions of the module, each a METH_FASTCALL function.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

// Every entry point of the module runs inside this boundary: no C++ exception crosses into the interpreter,
// whatever part of the call it comes from (the options, the conversion, the output). std::bad_alloc becomes
// MemoryError, any other exception RuntimeError or SystemError; what a Ref or a destructor holds is released
// by the unwinding. Work done with the GIL released catches its own (without_gil), since nothing may throw
// across the release.
template <class Call>
PyObject* guarded(Call&& call) noexcept {
    return pyql::without_exceptions("quillet._native", std::forward<Call>(call));
}

template <FastCall F>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded([&] { return F(self, args, nargs); });
}

// The METH_O functions of the module.
using OneArg = PyObject* (*)(PyObject*, PyObject*);

template <OneArg F>
PyObject* entry_o(PyObject* self, PyObject* arg) noexcept {
    return guarded([&] { return F(self, arg); });
}

template <OneArg F>
PyCFunction method_o() {
    return entry_o<F>;
}

// The METH_FASTCALL | METH_KEYWORDS functions of the module.
using KeywordCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <KeywordCall F>
PyObject* entry_kw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return F(self, args, nargs, kwnames); });
}

template <KeywordCall F>
PyCFunction method_kw() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_kw<F>));
}

template <FastCall F>
PyCFunction method() {
    // A detour through void(*)() tells the compiler the cast is meant (-Wcast-function-type).
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>));
}

// check_expansion(source) -> None: ValueError when a walk of `source` would meet more parts (nodes and
// values of metadata lists) than a write may; the Python walks check before they start.
PyObject* native_check_expansion(PyObject*, PyObject* source) {
    const quillet_native::Classes* classes = quillet_native::pyql_classes();
    if (classes == nullptr) return nullptr;
    const quillet_native::Parts parts = quillet_native::count_parts(source, *classes);
    if (parts.expanded > quillet_native::expansion_limit(parts.distinct)) {
        quillet_native::refuse_expansion();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"write", method<native_write>(), METH_FASTCALL,
     "write(source, format, options, profile) -> str: source (a str or a tree of pyql objects) in format."},
    {"to_dict", method<native_to_dict>(), METH_FASTCALL,
     "to_dict(source, profile) -> dict | list: the plain data of source (a str or a tree of pyql objects)."},
    {"write_fd", method<quillet::native::write_fd>(), METH_FASTCALL, quillet::native::kWriteFdDoc},
    {"check_expansion", method_o<native_check_expansion>(), METH_O,
     "check_expansion(source) -> None: ValueError when a walk of source would expand beyond a write's limit."},
    {"rebuild", method<quillet_native::rebuild>(), METH_FASTCALL, quillet_native::kRebuildDoc},
    {"read_attributes", method_o<quillet_native::read_attributes>(), METH_O,
     "read_attributes(args): the key=value pairs of a directive's attribute list as the parser reads them, "
     "and where the reading stopped."},
    {"read_header", method_o<quillet_native::read_header>(), METH_O,
     "read_header(text): the profile line, the modules line and the metadata block of text as the parser reads "
     "them, with their byte spans."},
    {"outline", method_kw<quillet_native::outline>(), METH_FASTCALL | METH_KEYWORDS, quillet_native::kOutlineDoc},
    {"records", method<quillet_native::records>(), METH_FASTCALL, quillet_native::kRecordsDoc},
    {"record_columns", method<quillet_native::record_columns>(), METH_FASTCALL, quillet_native::kRecordColumnsDoc},
    {"lsp_positions", method<quillet_native::lsp_positions>(), METH_FASTCALL, quillet_native::kLspPositionsDoc},
    {"error_code", method<quillet_native::error_code>(), METH_FASTCALL,
     "error_code(kind, message): the construct of a parse error, from its kind's value and its message."},
    {},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quillet._native",
    "The C++ writers of the quillet package.",
    0,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
    pyql::Ref module(PyModule_Create(&kModule));
    if (!module || quillet_native::add_model(module.get()) < 0 || quillet_native::add_facts(module.get()) < 0 ||
        quillet_native::add_outline(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
