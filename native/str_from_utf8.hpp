// A str from the UTF-8 a writer wrote.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace quillet_native {

// The str of the UTF-8 `data[0..size)` (new reference), or null with an exception: what
// PyUnicode_DecodeUTF8(data, size, "surrogatepass") returns, built in the str's final width at once.
PyObject* str_from_utf8(const char* data, size_t size);

}  // namespace quillet_native
