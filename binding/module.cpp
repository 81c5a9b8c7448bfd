// The module pyql: initialisation, the entry points parse() and parse_with_recovery(), and the Parser class.
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pyql/args.hpp"
#include "pyql/common.hpp"
#include "pyql/entry.hpp"
#include "pyql/layouts.hpp"
#include "quillet/parser.hpp"

namespace pyql {
namespace {

// Converts each top-level block as soon as the parser completes it, while its tree is still in the
// caches, and collects the objects. The parts of a container (items, rows, definitions, paragraphs) are
// converted one by one as they come, so a single huge container never has its whole C++ tree and its
// objects in memory at once. With `stop_at_error` (parse(), which returns no document once an error is
// recorded) it stops the parse at the first block or part after an error.
class ConvertingSink final : public quillet::BlockSink {
public:
    ConvertingSink(const quillet::Parser& parser, bool stop_at_error)
        : parser_(parser), stop_at_error_(stop_at_error) {}
    ConvertingSink(const ConvertingSink&) = delete;
    ConvertingSink& operator=(const ConvertingSink&) = delete;
    ~ConvertingSink() override {
        for (PyObject* o : objects_) Py_DECREF(o);
    }

    bool take(quillet::Block&& block) override {
        const Ref parts(parts_.release());
        // The block's long texts are converted already; the lists stay alive until it is converted.
        const std::vector<Ref> texts = std::move(texts_);
        texts_.clear();
        if (refusing()) return false;
        PyObject* object = convert_block(block, parts.get());
        if (object == nullptr) {
            failed_ = true;
            return false;
        }
        try {
            objects_.push_back(object);
        } catch (...) {
            Py_DECREF(object);
            throw;
        }
        return true;
    }

    bool wants_parts() const override { return true; }
    bool take_item(quillet::ListItem&& item) override { return !refusing() && add_part(convert_list_item(item)); }
    bool take_row(quillet::TableRow&& row) override { return !refusing() && add_part(convert_table_row(row)); }
    bool take_definition(quillet::FootnoteDef&& def) override {
        return !refusing() && add_part(convert_footnote_def(def));
    }
    bool take_paragraph(quillet::Block&& paragraph) override {
        return !refusing() && add_part(convert_block(paragraph));
    }
    bool take_inlines(quillet::Inlines batch) override {
        if (refusing()) return false;
        if ((!text_ && !(text_ = Ref(PyList_New(0)))) || !append_inlines(text_.get(), batch)) {
            failed_ = true;
            return false;
        }
        return true;
    }
    // A key written twice keeps its first position and takes the later value: plain dict assignment.
    bool take_metadata_entry(std::string_view key, std::string_view value) override {
        if (refusing()) return false;
        if (!metadata_ && !(metadata_ = Ref(PyDict_New()))) return fail();
        const Ref k(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
        if (!k) return fail();
        const Ref v(read_metadata_value(value));
        if (!v || PyDict_SetItem(metadata_.get(), k.get(), v.get()) < 0) return fail();
        return true;
    }
    // The metadata entries taken, a dict, or null when there were none.
    PyObject* metadata() const { return metadata_.get(); }

    const void* end_inlines() override {
        if (failed_ || !text_) return nullptr;
        texts_.push_back(std::move(text_));
        return texts_.back().get();
    }

    // True when a conversion failed, with its Python exception set.
    bool failed() const { return failed_; }

    // A new list of the objects taken, which it takes over.
    PyObject* release_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects_.size()));
        if (list == nullptr) return nullptr;
        for (size_t i = 0; i < objects_.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects_[i]);
        objects_.clear();
        return list;
    }

private:
    // Appends a converted part (a new reference, or null on failure) to the parts of the container being
    // parsed.
    bool add_part(PyObject* object) {
        Ref part(object);
        if (!part || (!parts_ && !(parts_ = Ref(PyList_New(0)))) || PyList_Append(parts_.get(), part.get()) < 0) {
            failed_ = true;
            return false;
        }
        return true;
    }

    const quillet::Parser& parser_;
    Ref parts_;  // the parts converted so far of the container being parsed, or null
    // Once a conversion has failed (its exception is set) nothing more is converted; parse() also stops at
    // the first block or part after an error.
    bool refusing() const { return failed_ || (stop_at_error_ && !parser_.errors.empty()); }

    bool fail() {
        failed_ = true;
        return false;
    }

    Ref text_;                // the nodes converted so far of the long text being parsed, or null
    Ref metadata_;            // the metadata entries taken, or null
    std::vector<Ref> texts_;  // the long texts of the block being parsed, converted
    bool stop_at_error_;
    bool failed_ = false;
    std::vector<PyObject*> objects_;  // owned
};

// One parse of arguments already checked. `recover` selects parse_with_recovery (a ParseResult holding the
// document and every error) over parse (the document, or ValueError with the first error's text).
PyObject* run_parse(const Arguments& args, bool recover) {
    if (!input_size_ok(static_cast<uint64_t>(args.input_size))) return nullptr;
    return without_exceptions("pyql", [&]() -> PyObject* {
        quillet::Parser parser(args.profile);
        parser.report_unknown_directives = true;
        GcPause pause;
        ConvertingSink sink(parser, !recover);
        const quillet::Document document =
            parser.parse_streaming(std::string_view(args.input, static_cast<size_t>(args.input_size)), sink);
        if (sink.failed()) return nullptr;
        if (!recover && !parser.errors.empty()) {
            const std::string text = parser.errors.front().text();
            Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        PyObject* converted = new_document(document, sink.release_list(), sink.metadata());
        if (converted == nullptr || !recover) return converted;
        return new_parse_result(converted, std::move(parser.errors));
    });
}

// METH_FASTCALL | METH_KEYWORDS functions, cast to the PyCFunction a PyMethodDef stores.
using FastCallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_method(FastCallKeywords f) {
    // A detour through void(*)() tells the compiler the cast is meant (-Wcast-function-type).
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// --------------------------------------------------------------------------------------------- Parser

ParserObject* as_parser(PyObject* self) {
    return reinterpret_cast<ParserObject*>(self);
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Arguments parsed;
    if (!parse_arguments(kParserNewSignature, args, kwargs, parsed)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_parser(self)->profile = static_cast<uint8_t>(parsed.profile);
    return self;
}

PyObject* parser_repr(PyObject* self) {
    return PyUnicode_FromFormat("Parser(profile=%s)", enum_member_name(kProfile, as_parser(self)->profile));
}

PyObject* parser_call(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      bool recover) {
    Arguments parsed;
    if (!parse_arguments(sig, args, nargs, kwnames, parsed)) return nullptr;
    parsed.profile = static_cast<quillet::Profile>(as_parser(self)->profile);
    return run_parse(parsed, recover);
}

PyObject* parser_parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parser_call(kParserParseSignature, self, args, nargs, kwnames, false);
}

PyObject* parser_parse_with_recovery(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parser_call(kParserParseWithRecoverySignature, self, args, nargs, kwnames, true);
}

PyMethodDef parser_methods[] = {
    {"parse", as_method(parser_parse), METH_FASTCALL | METH_KEYWORDS,
     "parse(self, input)\n--\n\nParse a Quillet string. Raises ValueError on error."},
    {"parse_with_recovery", as_method(parser_parse_with_recovery), METH_FASTCALL | METH_KEYWORDS,
     "parse_with_recovery(self, input)\n--\n\nParse with error recovery. Always returns a result."},
    {"__reduce_ex__", pickle_reduce_ex, METH_O, "Helper for pickle and copy."},
    {"__reduce__", pickle_reduce, METH_NOARGS, "Helper for pickle and copy."},
    {},
};

// The signature header gives the class its __text_signature__; __doc__ reads the text after it.
constexpr char kParserDoc[] =
    "Parser(profile=None)\n--\n\nQuillet parser.\n\nArgs:\n"
    "    profile: Profile.Quillet (default), Profile.Md, or Profile.MdStrict";

PyType_Slot parser_slots[] = {
    {Py_tp_doc, const_cast<char*>(kParserDoc)},
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(parser_repr)},
    {Py_tp_methods, parser_methods},
    {0, nullptr},
};

PyType_Spec parser_def = {.name = "builtins.Parser",
                          .basicsize = sizeof(ParserObject),
                          .itemsize = 0,
                          .flags = kTypeFlags,
                          .slots = parser_slots};

// Python 3.9 keeps only the text after the signature header in tp_doc, which loses __text_signature__;
// later versions keep the whole text. tp_doc is owned by the type and released with PyObject_Free.
int restore_parser_signature(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030A0000
    char* doc = static_cast<char*>(PyObject_Malloc(sizeof kParserDoc));
    if (doc == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    memcpy(doc, kParserDoc, sizeof kParserDoc);
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = doc;
#else
    (void)type;
#endif
    return 0;
}

// ------------------------------------------------------------------------------------ module functions

PyObject* module_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments parsed;
    if (!parse_arguments(kParseSignature, args, nargs, kwnames, parsed)) return nullptr;
    return run_parse(parsed, false);
}

PyObject* module_parse_with_recovery(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments parsed;
    if (!parse_arguments(kParseWithRecoverySignature, args, nargs, kwnames, parsed)) {
        return nullptr;
    }
    return run_parse(parsed, true);
}

PyMethodDef module_functions[] = {
    {"parse", as_method(module_parse), METH_FASTCALL | METH_KEYWORDS,
     "parse(input, profile=None)\n--\n\nParse a Quillet string.\n\nArgs:\n    input: Document string to parse\n"
     "    profile: Parsing profile (default: Profile.Quillet)\n\nReturns:\n    Document: Parsed document\n\n"
     "Raises:\n    ValueError: On parse error"},
    {"parse_with_recovery", as_method(module_parse_with_recovery), METH_FASTCALL | METH_KEYWORDS,
     "parse_with_recovery(input, profile=None)\n--\n\nParse with error recovery. Always returns a result.\n\n"
     "Args:\n    input: Document string\n    profile: Parsing profile (default: Profile.Quillet)\n\n"
     "Returns:\n    ParseResult: Result with document and errors"},
    {},
};

// ------------------------------------------------------------------------------------- initialisation

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pyql",
    "Quillet - Deterministic document parser for AI agents.",
    // Single-phase initialisation without per-module state. Not -1, with which CPython would fill the module
    // of a later interpreter from a copy of the first one's attributes instead of calling PyInit_pyql.
    0,
    nullptr,  // the functions are added after the classes, to keep the registration order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module made by the first initialisation, in the main interpreter.
PyObject* g_module = nullptr;

PyType_Spec* type_def_for(TypeId id) {
    if (id == kParser) return &parser_def;
    for (auto provider : {result_type_def, enum_type_def, node_type_def}) {
        if (PyType_Spec* def = provider(id)) return def;
    }
    return nullptr;
}

void drop_types() {
    for (PyTypeObject*& type : g_types) {
        PyObject* obj = reinterpret_cast<PyObject*>(type);
        type = nullptr;
        Py_XDECREF(obj);
    }
}

int add_type(PyObject* module, TypeId id) {
    PyType_Spec* def = type_def_for(id);
    if (def == nullptr) {
        PyErr_Format(PyExc_SystemError, "pyql: no class description for type %d", static_cast<int>(id));
        return -1;
    }
    PyObject* type = PyType_FromSpec(def);
    if (type == nullptr) return -1;
    g_types[id] = reinterpret_cast<PyTypeObject*>(type);  // the table keeps this reference
    if (enum_add_members(id, g_types[id]) < 0) return -1;
    if (id == kParser && restore_parser_signature(g_types[id]) < 0) return -1;
    Py_INCREF(type);
    if (PyModule_AddObject(module, bare_type_name(g_types[id]), type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

PyObject* create_module() {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    for (int i = 0; i < kTypeCount; ++i) {
        if (add_type(module.get(), static_cast<TypeId>(i)) < 0) {
            drop_types();
            return nullptr;
        }
    }
    if (PyModule_AddFunctions(module.get(), module_functions) < 0) {
        drop_types();
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace pyql

// The types are created once per process and belong to the main interpreter, the only one that may import
// the module; a second initialisation hands back the module made by the first. Any other interpreter is
// refused before anything is created, so none is ever given the objects of another.
PyMODINIT_FUNC PyInit_pyql(void) {
    pyql::prepare_thread_for_exceptions();
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "pyql does not support sub-interpreters");
        return nullptr;
    }
    if (pyql::g_module != nullptr) return pyql::new_ref(pyql::g_module);
    PyObject* module = pyql::create_module();
    if (module == nullptr) return nullptr;
    pyql::g_module = pyql::new_ref(module);
    return module;
}
