// The command's fast path: a file's bytes parsed and written to a file descriptor as the parse goes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillet::native {

// write_fd(data, fd, format, profile, prefix, options=None) -> list of errors; see files.cpp.
PyObject* write_fd(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kWriteFdDoc =
    "write_fd(data, fd, format, profile, prefix, options=None) -> list[tuple[str, str, int | None, int | None, "
    "bool]]\n\n"
    "Parses the UTF-8 bytes `data` (a byte-order mark at the start dropped) and writes the document in\n"
    "`format` (\"json\": the command's JSON Lines document, \"text\", \"markdown\", \"html\",\n"
    "\"html-page\"; HTML with the options of the dict `options` as quillet.to_html passes them, no code\n"
    "hook) to the file descriptor `fd` in chunks, after the bytes `prefix`; fd -1 returns (errors, output\n"
    "bytes) instead. Returns the\n"
    "errors as (message, kind, start, end, recoverable). ValueError for input that is not UTF-8 and for an\n"
    "unknown format, OSError when the output fails.";

}  // namespace quillet::native
