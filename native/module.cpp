// The module quillet._native: the C++ writers and to_dict, for the quillet package. pyql stays as it is:
// this module parses a str on its own without building a pyql object, and reads a tree of pyql objects
// (convert.hpp) into a core tree that the same writers write.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "call.hpp"
#include "chunk_runs.hpp"
#include "convert.hpp"
#include "facts.hpp"
#include "files.hpp"
#include "formats.hpp"
#include "lsp_positions.hpp"
#include "maker.hpp"
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

// A list or tuple of str, or null with `name` in the TypeError; `lower` lower-cases ASCII letters.
bool text_list_option(PyObject* options, const char* name, std::vector<std::string>& out, bool lower = false) {
    PyObject* value = option(options, name);
    if (value == nullptr) return true;
    Ref seq(PySequence_Fast(value, ""));
    if (!seq || PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of str", name);
        return false;
    }
    out.clear();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be a sequence of str", name);
            return false;
        }
        std::string& entry = out.emplace_back(text, static_cast<size_t>(size));
        for (char& c : entry) c = (lower && c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return true;
}

// A str, or None (or absent) for no value.
bool optional_text_option(PyObject* options, const char* name, std::optional<std::string>& out) {
    PyObject* value = option(options, name);
    if (value == nullptr || value == Py_None) return true;
    return text_option(options, name, out.emplace());
}

// Raised through the writer when the code hook fails; the Python exception is set.
struct CodeHookFailed : std::exception {
    const char* what() const noexcept override { return "code_hook failed"; }
};

// The GIL of a thread that released it, held for a scope.
struct HeldGil {
    explicit HeldGil(PyThreadState* thread) { PyEval_RestoreThread(thread); }
    ~HeldGil() { PyEval_SaveThread(); }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;
};

// The code hook of the HTML writer: a Python callable, called with the GIL taken back from the write, which
// runs without it on the thread that read the options. Each code block is written when the walk reaches it,
// so the hook sees them in the order of the output, and nothing of the tree changes under the write: its
// texts are the input's (a str the caller holds) or are held by the conversion.
struct CodeHook {
    Ref callable;
    PyThreadState* thread;

    bool operator()(std::string_view code, std::string_view lang, std::string& out) const {
        bool wrote = false;
        {
            HeldGil gil(thread);
            Ref result(PyObject_CallFunction(callable.get(), "s#s#", code.data(), static_cast<Py_ssize_t>(code.size()),
                                             lang.data(), static_cast<Py_ssize_t>(lang.size())));
            if (!result) throw CodeHookFailed();
            if (result.get() != Py_None) {
                Py_ssize_t size = 0;
                const char* text =
                    PyUnicode_Check(result.get()) ? PyUnicode_AsUTF8AndSize(result.get(), &size) : nullptr;
                if (text == nullptr) {
                    if (!PyErr_Occurred()) {
                        PyErr_Format(PyExc_TypeError, "code_hook must return a str or None, not %.100s",
                                     Py_TYPE(result.get())->tp_name);
                    }
                    throw CodeHookFailed();
                }
                out.append(text, static_cast<size_t>(size));
                wrote = true;
            }
        }
        return wrote;
    }
};

}  // namespace

// The options of the HTML writer (quillet.html builds them and checks their types): raw_html ("escape",
// "omit" or "allow"), allowed_schemes (a list or tuple of str, compared without case), heading_ids,
// id_prefix, link_rel, link_target, code_hook (a callable or None), standalone, and the page's: lang (a
// language tag or ""), title (str or None), css (stylesheet URLs), style (CSS or None), math_script and
// highlight_script (script URLs), head_html.
bool quillet_native::html_options(PyObject* options, quillet::writers::HtmlOptions& o) {
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
    if (!text_list_option(options, "allowed_schemes", o.allowed_schemes, true) ||
        !flag_option(options, "heading_ids", false, o.heading_ids) || !text_option(options, "id_prefix", o.id_prefix) ||
        !text_option(options, "link_rel", o.link_rel) || !text_option(options, "link_target", o.link_target) ||
        !flag_option(options, "standalone", false, o.standalone) || !text_option(options, "lang", o.lang) ||
        !optional_text_option(options, "title", o.title) || !text_list_option(options, "css", o.stylesheets) ||
        !optional_text_option(options, "style", o.style) || !text_list_option(options, "math_script", o.math_scripts) ||
        !text_list_option(options, "highlight_script", o.highlight_scripts) ||
        !text_option(options, "head_html", o.head_html)) {
        return false;
    }
    if (!o.lang.empty() && !quillet::writers::is_language_tag(o.lang)) {
        PyErr_Format(PyExc_ValueError, "lang must be a language tag such as 'en' or 'pt-BR', not %R",
                     option(options, "lang"));
        return false;
    }
    // CSS cannot be escaped inside its element: only its end tag could end it early.
    if (o.style) {
        std::string lowered = *o.style;
        for (char& c : lowered) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lowered.find("</style") != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "style must not hold '</style', which would end the element");
            return false;
        }
    }
    if (PyObject* callable = option(options, "code_hook"); callable != nullptr && callable != Py_None) {
        if (!PyCallable_Check(callable)) {
            PyErr_Format(PyExc_TypeError, "code_hook must be callable or None, not %.100s", Py_TYPE(callable)->tp_name);
            return false;
        }
        auto hook = std::make_shared<const CodeHook>(CodeHook{Ref(new_ref(callable)), PyThreadState_Get()});
        o.code_block = [hook](std::string_view code, std::string_view lang, std::string& out) {
            return (*hook)(code, lang, out);
        };
    }
    return true;
}

namespace {

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
        if (!quillet_native::html_options(options, o)) return nullptr;
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

// Runs a write with the GIL released; false with the exception set when it fails, the code hook's own
// exception when the hook failed.
template <class Work>
bool write_released(Work work) {
    bool hook_failed = false;
    const bool done = without_gil([&] {
        try {
            work();
        } catch (const CodeHookFailed&) {
            hook_failed = true;
        }
    });
    return done && !hook_failed;
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
    const quillet_native::LentOutput lent_output(out);
    if (PyUnicode_Check(source)) {
        quillet::Profile profile;
        quillet_native::LentInput lent_input;
        quillet_native::StrInput input;
        if (!read_profile(nargs == 4 ? args[3] : Py_None, profile) || !input.read(source, &lent_input)) {
            return nullptr;
        }
        std::unique_ptr<Writer> writer = make_writer(format, options);
        if (writer == nullptr) return nullptr;
        const bool ran = write_released([&] {
            if (const std::optional<std::string_view> text = input.text()) {
                quillet::writers::write_parsed(*text, *writer, out, profile);
            }
        });
        if (!ran || !input.done()) return nullptr;
        return output_str(out.buffer());
    }
    quillet_native::Converted converted;
    PyObject* status = convert_source(source, format, converted, format != "json");
    if (status != Py_None) return status;
    std::unique_ptr<Writer> writer = make_writer(format, options);
    if (writer == nullptr) return nullptr;
    if (!write_released([&] { quillet::writers::write(converted.source, *writer, out); })) return nullptr;
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
        quillet_native::LentInput lent_input;
        quillet_native::StrInput input;
        if (!read_profile(args[1], profile) || !input.read(source, &lent_input)) return nullptr;
        quillet::Parser parser(profile);
        quillet::Document doc;
        const bool ran = without_gil([&] {
            if (const std::optional<std::string_view> text = input.text()) doc = parser.parse_internal(*text);
        });
        if (!ran || !input.done()) return nullptr;
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

// utf8(text) -> bytes: text.encode("utf-8", "surrogatepass"), a long text encoded with the GIL released.
PyObject* native_utf8(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "utf8(text) takes a str, not %s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    return pyql::utf8_bytes(arg);
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
    {"rebuild_image", method<quillet_native::rebuild_image>(), METH_FASTCALL, quillet_native::kRebuildImageDoc},
    {"utf8", method_o<native_utf8>(), METH_O,
     "utf8(text) -> bytes: text.encode('utf-8', 'surrogatepass'), a long text encoded with the GIL released."},
    {"read_attributes", method_o<quillet_native::read_attributes>(), METH_O,
     "read_attributes(args): the key=value pairs of a directive's attribute list as the parser reads them, "
     "and where the reading stopped."},
    {"read_header", method_o<quillet_native::read_header>(), METH_O,
     "read_header(text): the profile line, the modules line and the metadata block of text as the parser reads "
     "them, with their byte spans."},
    {"outline", method_kw<quillet_native::outline>(), METH_FASTCALL | METH_KEYWORDS, quillet_native::kOutlineDoc},
    {"maker", quillet_native::maker, METH_O, quillet_native::kMakerDoc},
    {"chunk_runs", method<quillet_native::chunk_runs>(), METH_FASTCALL, quillet_native::kChunkRunsDoc},
    {"chunk_run", method<quillet_native::chunk_run>(), METH_FASTCALL, quillet_native::kChunkRunDoc},
    {"chunk_footnotes", method<quillet_native::chunk_footnotes>(), METH_FASTCALL, quillet_native::kChunkFootnotesDoc},
    {"section_tree", method<quillet_native::section_tree>(), METH_FASTCALL, quillet_native::kSectionTreeDoc},
    {"links_to_check", method<quillet_native::links_to_check>(), METH_FASTCALL, quillet_native::kLinksToCheckDoc},
    {"records", method<quillet_native::records>(), METH_FASTCALL, quillet_native::kRecordsDoc},
    {"record_columns", method<quillet_native::record_columns>(), METH_FASTCALL, quillet_native::kRecordColumnsDoc},
    {"lsp_positions", method<quillet_native::lsp_positions>(), METH_FASTCALL, quillet_native::kLspPositionsDoc},
    {"find_all", method<quillet_native::find_all>(), METH_FASTCALL,
     "find_all(data, needle, limit): where needle (bytes of 2 or more) occurs in data, in order, each after the "
     "one before; at most limit."},
    {"refused_urls", method<quillet_native::refused_urls>(), METH_FASTCALL,
     "refused_urls(urls, image): the indexes of the URLs of the list that the HTML writer, with its default "
     "schemes, refuses to link to (with image, as a figure's image)."},
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
        quillet_native::add_outline(module.get()) < 0 || quillet_native::add_maker(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
