// The inline parser: one forward scan over the text of one block.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "quillet/document.hpp"

namespace quillet {

class BlockSink;

// Parses `text`, whose first byte sits at absolute offset `base` in the document, into inline nodes with
// absolute spans, kept in `arena`. `stack` is working room for the nodes while they are found, left empty;
// a caller keeps one from text to text to save its allocations. Never fails: an opener without a closer is
// plain text.
//
// With a `sink`, a text of very many nodes hands them over in batches as it goes (BlockSink::take_inlines),
// giving each batch's memory back, and returns the view Inlines::taken() with the sink's token; a sink that
// refuses a batch sets `*refused`.
Inlines parse_inlines(std::string_view text, uint32_t base, Arena& arena, std::vector<Inline>& stack,
                      BlockSink* sink = nullptr, bool* refused = nullptr);

}  // namespace quillet
