// The module quillet._native: the C++ writers, for the quillet package. pyql stays as it is; this module
// parses and writes on its own, and never builds a pyql object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "../binding/utf8.hpp"
#include "files.hpp"
#include "formats.hpp"

namespace {

using quillet::writers::Output;
using quillet::writers::Writer;

// Reads libstdc++'s per-thread exception state once while memory is still there (see the pyql module).
void prepare_thread_for_exceptions() {
    volatile int uncaught = std::uncaught_exceptions();
    (void)uncaught;
}

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

// The writer of `format` ("json", "text", "markdown") with its options read from `options`.
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
    PyErr_Format(PyExc_ValueError, "unknown format: %.100s", std::string(format).c_str());
    return nullptr;
}

PyObject* output_str(const std::string& bytes) {
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass");
}

// write(source: str, format: str, options: dict | None) -> str: parses `source` and writes its ParseResult,
// with the GIL released while the C++ works.
PyObject* native_write(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1]) ||
        (args[2] != Py_None && !PyDict_Check(args[2]))) {
        PyErr_SetString(PyExc_TypeError, "write(source: str, format: str, options: dict | None)");
        return nullptr;
    }
    PyObject* options = args[2] == Py_None ? nullptr : args[2];
    Py_ssize_t format_size = 0;
    const char* format = PyUnicode_AsUTF8AndSize(args[1], &format_size);
    if (format == nullptr) return nullptr;
    pyql::Arguments input;
    if (!pyql::view_or_encode_utf8(args[0], input)) return nullptr;
    if (static_cast<uint64_t>(input.input_size) >= quillet::kMaxInputSize) {
        PyErr_Format(PyExc_ValueError, "input too large: %zd bytes of UTF-8 (the limit is %zu bytes)", input.input_size,
                     static_cast<size_t>(quillet::kMaxInputSize - 1));
        return nullptr;
    }
    prepare_thread_for_exceptions();
    std::unique_ptr<Writer> writer = make_writer(std::string_view(format, static_cast<size_t>(format_size)), options);
    if (writer == nullptr) return nullptr;
    Output out;
    // Nothing may throw across the GIL's release: the failure is carried out of the block and raised after.
    enum class Failure { None, Memory, Other } failure = Failure::None;
    std::string what;
    Py_BEGIN_ALLOW_THREADS;
    try {
        quillet::writers::write_parsed(std::string_view(input.input, static_cast<size_t>(input.input_size)), *writer,
                                       out);
    } catch (const std::bad_alloc&) {
        failure = Failure::Memory;
    } catch (const std::exception& e) {
        failure = Failure::Other;
        what = e.what();
    }
    Py_END_ALLOW_THREADS;
    if (failure == Failure::Memory) return PyErr_NoMemory();
    if (failure == Failure::Other) {
        PyErr_Format(PyExc_RuntimeError, "quillet writer failed: %s", what.c_str());
        return nullptr;
    }
    return output_str(out.buffer());
}

PyMethodDef kMethods[] = {
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_write)), METH_FASTCALL,
     "write(source, format, options) -> str: the ParseResult of source in format."},
    {"write_fd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quillet::native::write_fd)), METH_FASTCALL,
     quillet::native::kWriteFdDoc},
    {},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quillet._native", "The C++ writers of the quillet package.", 0, kMethods,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
    return PyModule_Create(&kModule);
}
