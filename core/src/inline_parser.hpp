// The inline parser: one forward scan over the text of one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quillet/document.hpp"

namespace quillet {

class BlockSink;

// Working room for the nodes of texts while they are found: a growable array of them, kept from text to
// text. It grows with std::realloc, and from kMapBlockBytes on in a mapping of its own (map_block), whose
// pages move as it grows and whose cost does not hang on what malloc's heap holds; release() hands its
// whole array over as it stands: a huge text's nodes go to the arena without a copy of them beside the
// original.
class InlineStack {
public:
    InlineStack() = default;
    InlineStack(const InlineStack&) = delete;
    InlineStack& operator=(const InlineStack&) = delete;
    ~InlineStack() { reset(); }

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    Inline* data() { return data_; }
    void push_back(const Inline& node) {
        if (size_ == capacity_) grow();
        data_[size_++] = node;
    }
    // Drops the nodes from `size` on.
    void truncate(size_t size) { size_ = size < size_ ? size : size_; }
    void clear() { size_ = 0; }
    // Frees the array; the stack starts again empty.
    void reset();
    // The array, for the caller to free (as Arena::keep frees it, with `mapped`), sized to its nodes unless
    // mapped; the stack starts again empty.
    Inline* release(size_t& mapped);

private:
    void grow();

    Inline* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_ = 0;  // the bytes of the array's mapping; 0: the array is from malloc
};

// Parses `text`, whose first byte sits at absolute offset `base` in the document, into inline nodes with
// absolute spans, kept in `arena`. `stack` is working room for the nodes while they are found, left empty;
// a caller keeps one from text to text to save its allocations. Never fails: an opener without a closer is
// plain text.
//
// With a `sink`, a text of very many nodes hands them over in batches as it goes (BlockSink::take_inlines),
// giving each batch's memory back, and returns the view Inlines::taken() with the sink's token; a sink that
// refuses a batch sets `*refused`.
Inlines parse_inlines(std::string_view text, uint32_t base, Arena& arena, InlineStack& stack, BlockSink* sink = nullptr,
                      bool* refused = nullptr);

}  // namespace quillet
