// quillet._native.rebuild: the function pyql's pickles call to make their objects again.
#pragma once

#include "convert.hpp"

namespace quillet_native {

// rebuild(id, values...) -> a pyql object; TypeError or ValueError for values no pyql object could hold.
PyObject* rebuild(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

inline constexpr char kRebuildDoc[] =
    "rebuild(id, *values): the pyql object a pickle describes (pickle calls it; the form is internal).";

}  // namespace quillet_native
