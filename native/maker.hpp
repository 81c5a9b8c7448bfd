// quillet._native.maker(cls): a constructor of a result class (a frozen dataclass with __slots__, see
// python/quillet/_result.py) that takes the values of its slots in their order and stores each in its slot.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet_native {

// maker(cls) -> callable; TypeError when a name of cls.__slots__ is not an object slot of cls.
PyObject* maker(PyObject* self, PyObject* cls);
extern const char* const kMakerDoc;

// Registers the maker's type; 0, or -1 with an exception set.
int add_maker(PyObject* module);

}  // namespace quillet_native
