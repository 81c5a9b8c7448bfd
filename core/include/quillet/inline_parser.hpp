// The inline parser: one forward scan over the text of one block.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "quillet/document.hpp"

namespace quillet {

// Parses `text`, whose first byte sits at absolute offset `base` in the document, into inline nodes with
// absolute spans, kept in `arena`. `stack` is working room for the nodes while they are found, left empty;
// a caller keeps one from text to text to save its allocations. Never fails: an opener without a closer is
// plain text.
Inlines parse_inlines(std::string_view text, uint32_t base, Arena& arena, std::vector<Inline>& stack);

}  // namespace quillet
