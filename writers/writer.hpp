// What every writer shares: where its bytes go, the three calls a write makes, and the two ways to drive
// them (a tree already built, or a parse that hands its blocks over as it goes).
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/parser.hpp"
#include "walker.hpp"

namespace quillet::writers {

// The bytes a writer writes. They gather in a buffer; an Output that streams (to a file) hands the buffer
// on whenever it has grown past kSpillSize, one that returns a string keeps it all.
class Output {
public:
    // How much a streaming Output gathers before handing its buffer on.
    static constexpr size_t kSpillSize = 1 << 20;

    virtual ~Output() = default;

    void put(char c) {
        buffer_.push_back(c);
        if (buffer_.size() >= kSpillSize) spill();
    }
    void write(std::string_view s) {
        buffer_.append(s);
        if (buffer_.size() >= kSpillSize) spill();
    }
    // The buffer itself, for a writer that edits what it has just written; call written() after growing it.
    std::string& buffer() { return buffer_; }
    void written() {
        if (buffer_.size() >= kSpillSize) spill();
    }
    // Sets aside room for `more` bytes beyond what the buffer holds.
    void reserve(size_t more) {
        if (buffer_.capacity() - buffer_.size() < more) buffer_.reserve(buffer_.size() + more);
    }
    // Hands on what is left; a streaming Output writes it out.
    virtual void finish() {}

protected:
    // Called when the buffer has grown past kSpillSize; a streaming Output writes and clears it.
    virtual void spill() {}
    std::string buffer_;
};

// How long a writer's output may be, guessed from the size of its source: the room a writer sets aside
// before a document, so that the buffer is allocated once instead of doubling (and being copied) a dozen
// times. Every guess is capped: an Output that streams never holds much more than kSpillSize, and a huge
// input should not reserve gigabytes up front.
struct SizeGuess {
    size_t eighths;  // output bytes per eight bytes of source
    size_t extra;    // and a few more, for what every output has
    size_t cap;
    constexpr size_t operator()(size_t source) const { return std::min(source * eighths / 8 + extra, cap); }
};
inline constexpr size_t kMaxReserve = size_t(64) << 20;
// JSON is about four times its source, twice that with indentation.
inline constexpr SizeGuess kJsonSize{32, 4096, kMaxReserve};
inline constexpr SizeGuess kIndentedJsonSize{64, 4096, kMaxReserve};
// Plain text is rarely longer than its source.
inline constexpr SizeGuess kTextSize{8, 0, Output::kSpillSize + 4096};
// Markdown is about as long as its source.
inline constexpr SizeGuess kMarkdownSize{9, 64, 4 * Output::kSpillSize};
// HTML is about a quarter longer than its source.
inline constexpr SizeGuess kHtmlSize{10, 4096, kMaxReserve};

// The three calls of one write. begin() writes what comes before the top-level nodes (a document's fields
// ahead of its blocks, the opening of a result or a list), node() one top-level node with everything below
// it, end() what follows them. When a parse streams, begin() is called with the header only (no blocks
// and no errors yet) and end() with the errors found.
class Writer {
public:
    virtual ~Writer() = default;
    virtual void begin(const Source& source, Output& out) = 0;
    virtual void node(NodeRef top, size_t index, Output& out) = 0;
    virtual void end(const Source& source, Output& out) = 0;
};

// Writes `source`, a tree already built.
void write(const Source& source, Writer& writer, Output& out);

// Parses `input` (shorter than kMaxInputSize, valid UTF-8) and writes the result as a ParseResult, block by
// block as the parse hands them over: no more than one top-level block's tree is held at a time.
void write_parsed(std::string_view input, Writer& writer, Output& out, Profile profile = Profile::Quillet);

}  // namespace quillet::writers
