// The block parser: the line reader and every block construct, behind the Parser's entry points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "inline_parser.hpp"
#include "quillet/parser.hpp"

namespace quillet {

// One line of the input: the text without its line feed (and without one carriage return right before it),
// with absolute start and end offsets.
struct Line {
    std::string_view text;
    uint32_t start = 0;
    uint32_t end = 0;
};

// A forward-only line reader with one line of lookahead.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text) {}

    std::optional<Line> next_line() {
        if (peeked_) {
            std::optional<Line> line = peeked_;
            peeked_.reset();
            return line;
        }
        return read_line();
    }
    const std::optional<Line>& peek_line() {
        if (!peeked_) peeked_ = read_line();
        return peeked_;
    }
    // Consumes blank lines; returns the first non-blank line, left peeked, or nothing at the end.
    const std::optional<Line>& skip_blank_lines();

private:
    std::optional<Line> read_line() {
        const size_t len = text_.size();
        if (pos_ >= len) return std::nullopt;
        const char* base = text_.data();
        const void* hit = std::memchr(base + pos_, '\n', len - pos_);
        const size_t nl = hit ? static_cast<size_t>(static_cast<const char*>(hit) - base) : len;
        // Exactly one carriage return before the line end is dropped, also at the very end of the input.
        size_t end = nl;
        if (nl > pos_ && base[nl - 1] == '\r') end = nl - 1;
        Line line{text_.substr(pos_, end - pos_), static_cast<uint32_t>(pos_), static_cast<uint32_t>(end)};
        pos_ = nl < len ? nl + 1 : len;
        return line;
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::optional<Line> peeked_;
};

// The state of one parse that its block constructs share, passed to them explicitly rather than kept per
// thread: the parser's errors and options, the arena of the tree, the inline parser's node stack (kept from
// text to text) and, while a top-level block is parsed, the sink that takes containers part by part.
class BlockParser {
public:
    BlockParser(Parser& parser, Arena& arena)
        : errors(parser.errors),
          modules(parser.modules),
          report_unknown_directives(parser.report_unknown_directives),
          arena_(&arena) {}

    std::vector<ParseError>& errors;
    const std::vector<ModuleKind>& modules;  // as the document's header names them, once it is read
    const bool report_unknown_directives;

    bool has_module(ModuleKind m) const;

    // Streams the parts of the blocks parsed from now on to `sink` (none when null); only top-level blocks
    // are parsed here, since containers hold paragraphs alone.
    void stream_parts_to(BlockSink* sink) { parts_sink_ = sink; }
    // Whether the sink refused a part, which stops the parse after the block.
    bool parts_refused() const { return parts_failed_; }

    // Parses one block starting at the peeked line; nothing only at the end of input or on a blank line.
    std::optional<Block> parse_block(LineCursor& cursor, std::string_view input);

    // Directive handlers; each consumes the peeked opener line and its body.
    Block parse_directive(LineCursor& cursor, std::string_view input);
    Block parse_raw_fenced_block(LineCursor& cursor, std::string_view input);
    Block parse_html_block(LineCursor& cursor, std::string_view input);
    Block parse_math_block(LineCursor& cursor, std::string_view input);
    Block parse_code_fence(LineCursor& cursor, std::string_view input);
    Block parse_quote_block(LineCursor& cursor, std::string_view input);
    Block parse_callout_block(LineCursor& cursor, std::string_view input);
    Block parse_list_block(LineCursor& cursor, std::string_view input);
    Block parse_table_block(LineCursor& cursor, std::string_view input);
    Block parse_figure_block(LineCursor& cursor, std::string_view input);
    Block parse_footnotes_block(LineCursor& cursor, std::string_view input);

    // The paragraphs of a quote or callout body, read after `opener` (already consumed) up to and including
    // the first closing line, with the end of the last line read (the opener's when none followed).
    struct FenceBody {
        Blocks blocks;
        uint32_t last_end = 0;
    };
    FenceBody parse_until_fence_close(LineCursor& cursor, std::string_view input, const Line& opener);

    // The inline content of input[start, end), whose first byte is at absolute offset start; empty for an
    // empty slice.
    Inlines inline_slice(std::string_view input, size_t start, size_t end);
    // A paragraph holding the inline content of input[span].
    Paragraph paragraph_of(std::string_view input, Span span) {
        return Paragraph{inline_slice(input, span.start, span.end), span};
    }
    // A block list holding one paragraph, as list items and footnote definitions have.
    Blocks one_paragraph(Paragraph paragraph);
    // Hands `part` of the container being parsed to the sink through `take`, when parts are streamed, and
    // gives its memory (everything allocated since `mark`) back to the arena; otherwise appends it to `seq`.
    template <class T, class Take>
    void add_part(Seq<T>& seq, T&& part, const Arena::Mark& mark, Take take) {
        if (parts_sink_ == nullptr) {
            seq.push_back(std::move(part));
            return;
        }
        if (!take(*parts_sink_, std::move(part))) parts_failed_ = true;
        arena_->rewind(mark);
    }
    Arena::Mark arena_mark() const { return arena_->mark(); }

    // An empty sequence whose memory comes from the arena of the parse running.
    template <class T>
    Seq<T> new_seq() const {
        return Seq<T>(ArenaAllocator<T>(arena_));
    }

private:
    Arena* arena_;
    InlineStack inline_stack_;
    BlockSink* parts_sink_ = nullptr;
    bool parts_failed_ = false;
};

}  // namespace quillet
