// pyql objects read into a core tree: the tree path of every writer and of to_dict.
//
// pyql's objects are read straight from memory with the layouts pyql builds them with
// (pyql/layouts.hpp), once pyql's contract has been loaded and checked (contract.hpp).
// Child lists are ordinary Python lists a caller may have changed: the tree is read as it stands now.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
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

// A caller's tree may hold one node (or metadata list) in several places, and every place is written in
// full: forty Emphasis nodes each holding the next one twice (an 850-byte pickle, or lists changed by
// hand) would be written 2^40 times. A write meets a part (a node, or a value in a metadata list) once
// for every place it has; it may meet kMaxExpansion times the tree's distinct parts plus
// kExpansionFloor, and is refused with ValueError beyond. The floor lets a list of a great many
// references to one node write; the multiple lets a node be reused as often as a template is.
inline constexpr uint64_t kMaxExpansion = 16;
inline constexpr uint64_t kExpansionFloor = 1'000'000;

// How many parts a write may meet in a tree of `distinct` parts.
inline uint64_t expansion_limit(uint64_t distinct) {
    return kMaxExpansion * distinct + kExpansionFloor;
}

// The distinct parts of `obj` (a Document, ParseResult, node or list of nodes; anything else has none)
// and the parts a write of it meets (at most UINT64_MAX - 1): one walk over the distinct parts, which
// runs no Python code.
struct Parts {
    uint64_t distinct = 0;
    uint64_t expanded = 0;
};
Parts count_parts(PyObject* obj, const Classes& classes);

// Sets the ValueError of a tree that expands beyond its limit; returns false.
bool refuse_expansion();

}  // namespace quillet_native
