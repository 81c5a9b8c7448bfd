// The chunks' common case in C: runs of whole top-level blocks placed in chunks by their running sizes
// (python/quillet/chunks.py, _Packer.run, when nothing is carried over), each chunk made at once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet_native {

// chunk_runs(layout, max_chars, make, context_of, doc_id, doc_metadata) -> runs: what chunk_run reads;
// chunk_run(runs, i, out) -> int: the chunks of whole units from unit i appended to out, up to the first unit
// the Python packer must place (a unit over the budget, headings alone before one): its index, or n.
PyObject* chunk_runs(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* chunk_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kChunkRunsDoc;
extern const char* const kChunkRunDoc;

// chunk_footnotes(outline, chunks, text): each chunk's footnotes, the definitions it cites and does not hold.
PyObject* chunk_footnotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kChunkFootnotesDoc;

}  // namespace quillet_native
