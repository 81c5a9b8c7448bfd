// The plain data of quillet.to_dict (dicts, lists, str, int, float, bool, None), built from a core tree.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "walker.hpp"

namespace quillet_native {

// A new dict for a ParseResult, Document, ParseError or node, a new list for a list of nodes; null with
// an exception set on failure. Nesting costs heap, not C stack.
PyObject* to_dict(const quillet::writers::Source& source);

}  // namespace quillet_native
