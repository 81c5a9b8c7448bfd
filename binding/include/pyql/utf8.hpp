// The UTF-8 bytes of the str a parse reads.
#pragma once

#include "args.hpp"

namespace pyql {

// Sets out.input to the UTF-8 bytes of `str`: the str's own bytes when it is ASCII, otherwise a copy
// encoded into out.owned_input. Returns false with the str's UnicodeEncodeError (a lone surrogate) or
// MemoryError set.
bool view_or_encode_utf8(PyObject* str, Arguments& out);

}  // namespace pyql
