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

// Sets out.input to the UTF-8 bytes of `str`: the str's own bytes when it is ASCII or when CPython already
// keeps its UTF-8 beside it, otherwise a copy encoded into `room` (null: out.owned_input). Returns false
// with the str's UnicodeEncodeError (a lone surrogate) or MemoryError set.
bool view_or_encode_utf8(PyObject* str, Arguments& out, Utf8Room* room = nullptr);

}  // namespace pyql
