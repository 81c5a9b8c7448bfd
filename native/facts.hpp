// The parser's facts the Python tools ask for instead of restating them: its directives, the names of its
// errors' constructs, and its readings of an attribute list and of the header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace quillet_native {

// Sets on `module` DIRECTIVES, a tuple of (name, keys, words), one per directive the parser knows, in the
// order its tools list them: keys the attribute keys it reads (key=value), words the bare words; and
// HTML_SCHEMES, the URL schemes the HTML writer allows by default. 0 on success, -1 with an exception set.
int add_facts(PyObject* module);

// The module's functions (registered by module.cpp, inside its exception boundary):
//   error_code    error_code(kind, message) -> str: the construct of a parse error given its kind's value
//                 and its message ("unclosed-list", ..., "parse-error" for any other);
//   read_attributes
//                 read_attributes(args) -> (pairs, stop): an attribute list read as the directives read it,
//                 pairs a list of ((key, span), (value, span)), stop None when the whole list was read, else
//                 ("no-pair", None, (rest, span)) or ("unclosed-quote", (key, span), (rest, span)), rest from
//                 the text without "=" or the unclosed quote to the end; spans are byte offsets into args.
//   read_header   read_header(text) -> (profile, modules, metadata): the header as the parse reads it, each
//                 part None when absent; profile ((start, end), name, (start, end), value or None) for a line
//                 "@profile NAME" (value None: an unknown name, the line is then a paragraph); modules
//                 ((start, end), (start, end) of what follows "@modules", names) with names a tuple of
//                 (name, (start, end), value or None), the empty ones left out; metadata ((start, end), closed).
//                 Values are those of pyql.Profile and pyql.ModuleKind; spans are byte offsets into the UTF-8
//                 of text, a line's without its line end;
//   refused_urls  refused_urls(urls, image) -> list of int: the indexes in the list urls of the URLs the HTML
//                 writer, with its default schemes, refuses to link to (with image, as a figure's image).
//   find_all      find_all(data, needle, limit) -> list of int: where needle (bytes of 2 or more) occurs in
//                 data (bytes), in order, each occurrence after the end of the one before; at most limit.
PyObject* find_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* error_code(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* read_attributes(PyObject* self, PyObject* arg);
PyObject* read_header(PyObject* self, PyObject* arg);
PyObject* refused_urls(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// What read_header gives for the UTF-8 `text`.
PyObject* header_tuple(std::string_view text);

}  // namespace quillet_native
