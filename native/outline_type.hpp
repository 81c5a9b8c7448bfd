// quillet._native.Outline: the outline of a document (writers/outline.hpp) as a Python object, and
// outline(), which builds one from a str (parsed with the GIL released) or a tree of pyql objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "outline.hpp"

namespace quillet_native {

// The object's layout: what other files of the module (the tools' native builders) read.
struct OutlineObject {
    PyObject_HEAD;
    quillet::writers::Outline* outline;  // owned; never changed once the object is made
};

// The Outline type, or null before add_outline ran; whether `obj` is an Outline.
PyTypeObject* outline_type();
inline bool is_outline(PyObject* obj) {
    return outline_type() != nullptr && Py_TYPE(obj) == outline_type();
}
inline const quillet::writers::Outline& outline_of(PyObject* obj) {
    return *reinterpret_cast<OutlineObject*>(obj)->outline;
}

// Registers the Outline type on `module`; 0, or -1 with an exception set.
int add_outline(PyObject* module);

// outline(source, /, *, profile=None, text=None, plain=False, render=None) -> Outline.
PyObject* outline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kOutlineDoc;

}  // namespace quillet_native
