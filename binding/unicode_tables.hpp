// Unicode properties the binding needs beyond what CPython's C API offers.
#pragma once

#include <cstdint>

namespace pyql {

// The code points that Unicode marks Grapheme_Extend.
bool is_grapheme_extend(uint32_t cp);

}  // namespace pyql
