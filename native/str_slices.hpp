// Many slices of one str at once, the GIL held only while they are allocated.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

#include "pyql/common.hpp"

namespace quillet_native {

// text[a:b] for each (a, b) of `ranges` (0 <= a <= b <= len(text), checked by the caller), appended to
// `out`: strs equal to what PyUnicode_Substring makes, each in the narrowest width that holds it. When
// the ranges hold many characters, their widths are found and their characters copied with the GIL
// released; only the allocations hold it. False with an exception (out then holds the slices made).
bool str_slices(PyObject* text, const std::vector<std::pair<Py_ssize_t, Py_ssize_t>>& ranges,
                std::vector<pyql::Ref>& out);

}  // namespace quillet_native
