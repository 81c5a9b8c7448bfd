// The block parser: the line reader, the document driver and every block construct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "quillet/document.hpp"
#include "quillet/errors.hpp"

namespace quillet {

// Inputs are addressed with 32-bit offsets, so anything of this size or more is refused by the entry points
// before parsing.
inline constexpr uint64_t kMaxInputSize = uint64_t{1} << 32;

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
    std::string_view text() const { return text_; }

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

// Receives a metadata value as it is read: a scalar, or a list as begin_list(), its elements, end_list().
class AttrReader {
public:
    virtual ~AttrReader() = default;
    // A value of any kind but List.
    virtual void scalar(AttrValue value) = 0;
    virtual void begin_list() = 0;
    virtual void end_list() = 0;
};

// Types one (already trimmed) metadata value text, describing it to `out`. Lists may nest a million levels
// deep in a short text: nothing here recurses per level.
void read_attr_value(std::string_view text, AttrReader& out);

// Receives the top-level blocks of a streamed parse, one at a time.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    // Takes one block, complete; returning false stops the parse. The block and everything it holds are
    // dropped when this returns.
    virtual bool take(Block&& block) = 0;

    // A sink that answers true takes the parts of a top-level container one by one, each as soon as it is
    // complete: the items of a list, the rows of a table, the definitions of a footnotes block, the
    // paragraphs of a quote or callout. The container then comes to take() with no parts of its own. So a
    // single huge container costs the memory of one part at a time, not of its whole tree. Each take_*
    // returns false to stop the parse; the part and everything it holds are dropped when it returns.
    virtual bool wants_parts() const { return false; }
    virtual bool take_item(ListItem&&) { return true; }
    virtual bool take_row(TableRow&&) { return true; }
    virtual bool take_definition(FootnoteDef&&) { return true; }
    virtual bool take_paragraph(Block&&) { return true; }
    // Such a sink also takes the top-level nodes of a text of very many of them (a paragraph, a heading, a
    // cell) in batches as they are found; end_inlines() closes the text and returns a token (null to stop
    // the parse) that the text's Inlines then carry: see Nodes::taken().
    virtual bool take_inlines(Inlines) { return true; }
    virtual const void* end_inlines() { return nullptr; }
    // Such a sink also takes the metadata entries, each as it is read, which the result then lacks; the
    // sink types the value with read_attr_value().
    virtual bool take_metadata_entry(std::string_view /*key*/, std::string_view /*value*/) { return true; }
};

class Parser {
public:
    std::vector<ModuleKind> modules;
    std::vector<ParseError> errors;
    bool report_unknown_directives = true;
    Profile profile = Profile::Quillet;

    Parser() = default;
    explicit Parser(Profile p) : profile(p) {}

    // Parses a whole document. The result holds views into `input` and must not outlive it.
    // `input` must be shorter than kMaxInputSize.
    Document parse_internal(std::string_view input);

    // Parses a whole document like parse_internal, but hands each top-level block to `sink` as soon as it is
    // complete instead of keeping it, so the memory of only one block's tree is in use at a time. The
    // result holds everything else (profile, modules, metadata, span) and no blocks.
    Document parse_streaming(std::string_view input, BlockSink& sink);

    // Parses one block starting at the peeked line; nothing only at the end of input or on a blank line.
    std::optional<Block> parse_block(LineCursor& cursor, std::string_view input);

    // Types one (already trimmed) metadata value text; its lists take their memory from `arena` (the heap
    // when null).
    static AttrValue parse_attr_value(std::string_view text, Arena* arena = nullptr);

    bool has_module(ModuleKind m) const;

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
    Document parse_document(std::string_view input, BlockSink* sink);

    // What one parse uses, passed to the constructs through the parser rather than kept per thread: the
    // arena of the tree, and the inline parser's node stack (kept from text to text within the parse).
    Arena* arena_ = nullptr;
    std::vector<Inline> inline_stack_;
    // The sink of a streamed parse that takes containers part by part, while a top-level block is parsed;
    // and whether it refused a part, which stops the parse after that block.
    BlockSink* parts_sink_ = nullptr;
    bool parts_failed_ = false;
};

}  // namespace quillet
