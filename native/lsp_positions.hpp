// The language server's positions: byte offsets into a text as the protocol's (line, character) pairs,
// many at once, in one pass over the text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet_native {

// lsp_positions(data, offsets, utf8) -> list[tuple[int, int]]: the (line, character) of each byte offset
// into the UTF-8 bytes `data`, in the order given. Lines end at a line feed (the server hands over its text
// with every lone carriage return read as one) and count from 0; an offset between a carriage return and
// its line feed is the end of its line. Characters count UTF-16 code units from the line's start, or bytes
// when `utf8` is true; an offset inside a character stands for that character, and offsets outside the
// text are clamped to it. Registered by module.cpp, inside its exception boundary.
PyObject* lsp_positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kLspPositionsDoc;

}  // namespace quillet_native
