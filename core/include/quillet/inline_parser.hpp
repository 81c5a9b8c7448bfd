// The inline parser: one forward scan over the text of one block.
#pragma once

#include <cstdint>
#include <string_view>

#include "quillet/document.hpp"

namespace quillet {

// Parses `text`, whose first byte sits at absolute offset `base` in the document, into inline nodes with
// absolute spans, kept in `arena`. Never fails: an opener without a closer is plain text.
Inlines parse_inlines(std::string_view text, uint32_t base, Arena& arena);

}  // namespace quillet
