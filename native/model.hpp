// The core's description of the model, as Python data on quillet._native: what the Python tools read
// instead of keeping tables of their own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet_native {

// Sets on `module`:
//   NODE_CLASSES   a tuple, in the model's order, of (name, role, fields, children): role "block", "record"
//                  or "inline"; fields a tuple of (name, type) in declaration order, type one of
//                  "children", "text", "opt_text", "level", "kind", "start", "flag"; children the name of
//                  the child field, or None;
//   PROFILE_NAMES  the profile names as the header line writes them, in the order of Profile's values;
//   MODULE_NAMES   the module names as the header line writes them, in the order of ModuleKind's values.
// 0 on success, -1 with an exception set.
int add_model(PyObject* module);

}  // namespace quillet_native
