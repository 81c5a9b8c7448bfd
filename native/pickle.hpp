// quillet._native.rebuild and rebuild_image: the functions pyql's pickles call to make their objects again.
#pragma once

#include "convert.hpp"

namespace quillet_native {

// rebuild(id, values...) -> a pyql object; TypeError or ValueError for values no pyql object could hold.
PyObject* rebuild(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// rebuild_image(image) -> a pyql object: the Document, ParseResult or node an image (pyql/pickled.hpp)
// describes; ValueError or TypeError for an image that breaks its rules.
PyObject* rebuild_image(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

inline constexpr char kRebuildImageDoc[] =
    "rebuild_image(image): the pyql tree a pickled image describes (pickle calls it; the form is internal).";

inline constexpr char kRebuildDoc[] =
    "rebuild(id, *values): the pyql object a pickle describes (pickle calls it; the form is internal).";

}  // namespace quillet_native
