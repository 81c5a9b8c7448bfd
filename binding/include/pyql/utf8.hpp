// The UTF-8 bytes of the str a parse reads.
#pragma once

#include "args.hpp"

namespace pyql {

// Room for the UTF-8 of a str that cannot be read in place. By default the copy goes into the call's own
// Arguments::owned_input; a caller that reads many strs may lend a buffer it keeps, so that a big document
// does not cost a fresh allocation (and its first touch of every page) each time.
class Utf8Room {
public:
    // At least `size` writable bytes, or null when they cannot be had.
    virtual char* room(size_t size) = 0;

protected:
    ~Utf8Room() = default;
};

// A str's UTF-8 in two steps, for a caller that releases the GIL between them: prepare_utf8 (the GIL held)
// views the bytes in place when it can, else sets aside the room for a copy; encode (the GIL not needed: it
// reads only the str's code units, which never change while the caller holds the str) writes that copy.
class PendingUtf8 {
public:
    // Writes the pending copy, if any, and sets out.input to it; false at a lone surrogate, which
    // raise_utf8_error then reports (the GIL held).
    bool encode(Arguments& out);

private:
    friend bool prepare_utf8(PyObject* str, Arguments& out, Utf8Room* room, PendingUtf8& pending);
    const void* units_ = nullptr;
    size_t count_ = 0;
    int kind_ = 0;  // the str's kind; 0: nothing to encode
    char* buffer_ = nullptr;
};

// The first step: out.input is set when the bytes are read in place, else `pending` holds the copy to make
// (into `room`, or out.owned_input when null). False with MemoryError set.
bool prepare_utf8(PyObject* str, Arguments& out, Utf8Room* room, PendingUtf8& pending);

// Sets the UnicodeEncodeError of `str`, whose copy met a lone surrogate; returns false.
bool raise_utf8_error(PyObject* str);

// A new bytes object of the UTF-8 of `str`, as str.encode("utf-8", "surrogatepass") makes it, encoded with
// the GIL released when the str is long.
PyObject* utf8_bytes(PyObject* str);

// Sets out.input to the UTF-8 bytes of `str`: the str's own bytes when it is ASCII or when CPython already
// keeps its UTF-8 beside it, otherwise a copy encoded into `room` (null: out.owned_input). Returns false
// with the str's UnicodeEncodeError (a lone surrogate) or MemoryError set.
bool view_or_encode_utf8(PyObject* str, Arguments& out, Utf8Room* room = nullptr);

}  // namespace pyql
