// The rows of quillet.records and the Arrow buffers of quillet.to_arrow, read from an outline
// (outline_type.hpp): one dict per row made here, or each column laid out as Arrow lays it out, so that no
// Python object is made per value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet_native {

// records(outline, keys, doc_id, paths) -> list[dict]: one dict per row of `outline` (built with plain=True),
// its keys `keys` (a tuple of str) in that order. A key names a value: "doc_id" (the argument, a str or
// None), "index" (the row's), "heading_path" (a new list of the titles of paths[section], `paths` being what
// _source.heading_paths gives), the outline's columns "type", "depth", "parent", "text", "byte_start",
// "byte_end", "char_start", "char_end", "line", "column", or a field of the blocks' classes (None where the
// row's class has no such field; a List's kind as its member's name).
PyObject* records(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kRecordsDoc;

// record_columns(outline, keys, doc_id, paths, limit) -> list[tuple[int, tuple[tuple, ...]]]: the same values
// as Arrow buffers, in batches of rows: (rows, one tuple per key). An integer key gives (validity, data): int64
// values, a bool (validity, bits), a str (validity, int32 offsets, UTF-8 data), "heading_path" (None, int32
// offsets, the number of titles, their int32 offsets, their UTF-8 data); a validity is None when the batch has
// no null. A batch holds at most `limit` bytes of any str column's data and `limit` titles, so that 32-bit
// offsets always suffice. The buffers are filled with the GIL released.
PyObject* record_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kRecordColumnsDoc;

}  // namespace quillet_native
