// Slot functions shared by many classes, and the table of type objects.
#include <cstring>

#include "pyql/common.hpp"

namespace pyql {

PyTypeObject* g_types[kTypeCount] = {};

const char* bare_type_name(PyTypeObject* type) {
    const char* dot = strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

// Instances are made by the parser only. Without this slot a heap type would inherit object.__new__ and
// hand out zero-filled objects.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", bare_type_name(type));
    return nullptr;
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace pyql
