// pyql objects read into a core tree: the tree path of every writer and of to_dict.
//
// pyql's objects are read straight from memory with the layouts pyql builds them with
// (pyql/layouts.hpp), once pyql's contract has been loaded and checked (contract.hpp).
// Child lists are ordinary Python lists a caller may have changed: the tree is read as it stands now.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "pyql/common.hpp"
#include "quillet/arena.hpp"
#include "walker.hpp"

namespace quillet_native {

using pyql::Ref;

// pyql's classes, found once on the module.
struct Classes {
    PyTypeObject* nodes[quillet::writers::kNodeTypeCount];
    PyTypeObject* document;
    PyTypeObject* result;
    PyTypeObject* error;
    PyTypeObject* profile;
};

// The classes, taken from pyql's contract on the first call that needs them; null with ImportError when
// pyql cannot be imported or was built with other layouts than this module.
const Classes* pyql_classes();

// A converted tree and what it needs to stay valid. Its nodes live in `arena` and are never destroyed
// one by one (a destructor per node would recurse once per nesting level): the arena frees them at once.
// Texts are views into pyql objects and strs, which `keep` holds, so the tree may be written without
// the GIL. Destroy it with the GIL held.
struct Converted {
    quillet::Arena arena{1 << 16};
    quillet::writers::Source source;
    std::vector<PyObject*> keep;                  // owned references
    std::vector<quillet::ParseError> own_errors;  // the error of a ParseError source

    Converted() = default;
    Converted(const Converted&) = delete;
    Converted& operator=(const Converted&) = delete;
    ~Converted() {
        for (PyObject* o : keep) Py_DECREF(o);
    }
};

enum class Status {
    Ok,
    Failed,       // an exception is set
    NotASource,   // `obj` is none of the accepted kinds; no exception is set
    NeedsPython,  // metadata holds an int outside int64, which the core's values cannot hold
};

// Converts a Document, ParseResult, ParseError, node or list of nodes. With `big_ints_as_text`, an int
// outside int64 in metadata becomes its decimal text instead of NeedsPython.
Status convert(PyObject* obj, Converted& out, bool big_ints_as_text);

}  // namespace quillet_native
