// The outline of a document: one flat row per block at every depth, and what the tools read of the inline
// text (footnote references, links, code spans, the "[[" that open no link), the header and the errors. It is what
// sections, chunks, records, check and the language server read instead of a tree: built by the streaming parse (or
// from a tree rebuilt from Python objects) through the Writer interface, it holds no inline tree and keeps no view into
// the parse, so it outlives it and may be shared between threads once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "huge_pages.hpp"
#include "quillet/errors.hpp"
#include "quillet/model.hpp"
#include "writer.hpp"

namespace quillet::writers {

// A text the outline keeps, as a range of its pool; absent when present() is false. Twelve bytes, so that
// a row stays small: the texts of a document shorter than 4 GiB are too.
struct PoolText {
    uint32_t lo = 0, hi = 0;
    uint32_t length = UINT32_MAX;  // UINT32_MAX: absent

    bool present() const { return length != UINT32_MAX; }
    uint64_t offset() const { return uint64_t(hi) << 32 | lo; }
    uint32_t size() const { return present() ? length : 0; }
};

// Row numbers and positions fit in 32 bits: a document is shorter than 4 GiB, and every row is a block of
// at least one line.
inline constexpr uint32_t kNoRow = UINT32_MAX;
inline constexpr size_t kMaxRowTexts = 3;  // the most text fields a block class has (Figure's)

// One block at any depth.
struct OutlineRow {
    NodeType type = NodeType::Paragraph;
    uint8_t level = 0;  // a heading's
    ListKind list_kind = ListKind::Unordered;
    bool flag = false;  // a row's header, a math block's display
    uint32_t depth = 0;
    uint32_t parent = kNoRow;   // the enclosing block's row
    uint32_t section = kNoRow;  // the top-level heading whose section holds the row
    uint32_t start = 0, end = 0;
    // Where the row lies in the text, when the text is known: str indexes, lines and column from 1.
    uint32_t char_start = 0, char_end = 0;
    uint32_t line = 0, end_line = 0, column = 0;
    uint32_t table_rows = 0, table_cols = 0;  // a table's shape
    std::optional<uint64_t> list_start;
    // The class's own texts by their place among its text fields (the model says which a class has).
    PoolText texts[kMaxRowTexts];
    PoolText title;     // a Heading's plain title
    PoolText plain;     // the block's plain text (Options::plain)
    PoolText rendered;  // a top-level block's rendering (Options::render)
};

struct OutlineRef {  // a footnote reference or definition, a link or a figure
    PoolText text;   // the label, the URL or the image's source
    uint32_t start = 0, end = 0;
    uint32_t row = 0;
    bool autolink = false;
    uint32_t char_start = 0, char_end = 0;  // a footnote definition's, when the text is known
};

struct OutlineSpan {  // a code span
    uint32_t start = 0, end = 0;
    uint32_t row = 0;
};

struct OutlineError {
    ParseErrorKind kind = ParseErrorKind::Other;
    std::string_view code;
    std::string message;
    std::optional<Span> span;
};

struct Outline {
    enum class Render : uint8_t { None, Text, Markdown };
    struct Options {
        bool plain = false;
        Render render = Render::None;
        // Only the top-level blocks: no nested rows, no footnote references, links or code spans; what the
        // tools that read only the top (sections, chunks) ask for, at little more than the parse's cost.
        bool top_only = false;
        // With top_only: the inline facts too (footnote references, links, code spans, unopened links, each
        // with the top-level row that holds it) and the footnote definitions and figures at any depth; what
        // the checks and the chunks' footnotes read, without a row for every nested block.
        bool inline_facts = false;
    };

    // A document of tiny blocks has tens of megabytes of rows.
    std::vector<OutlineRow, HugePageAllocator<OutlineRow>> rows;
    std::vector<uint32_t> top;                      // the rows of the top-level blocks
    std::vector<uint32_t> by_type[kNodeTypeCount];  // the rows of each block class, in order
    std::vector<OutlineRef> footnote_refs;
    std::vector<OutlineRef> links;
    std::vector<OutlineRef> footnote_defs;  // at any depth, in order; their row is the one that holds them
    std::vector<OutlineRef> figures;
    std::vector<OutlineSpan> code_spans;
    std::vector<uint32_t> unopened_links;  // where a "[[" stays text (no "]]" closes it), in order
    std::vector<OutlineError> errors;
    Profile profile = Profile::Quillet;
    std::vector<ModuleKind> modules;
    std::string pool;
    // The header's text (up to the first block), when the text is known (a parsed str, or the text given
    // beside a tree); `size` is the text's bytes, else the document's span end.
    std::string header_text;
    bool has_text = false;
    uint64_t size = 0;
    uint64_t length = 0;  // the text's characters

    std::string_view view(const PoolText& t) const { return std::string_view(pool).substr(t.offset(), t.size()); }
    // Fills the rows' character positions, lines and columns, the header's text and the sizes from `text`.
    void place(std::string_view text);
};

// The white space Python's str.strip() removes (str.isspace): a heading's title is stripped as the Python
// tools always stripped it.
bool is_python_space(uint32_t c);

// Collects an outline from the three calls of a write; `write_parsed` or `write` drive it.
std::unique_ptr<Writer> make_outline_writer(Outline& outline, Outline::Options options);

// The outline of `input` (valid UTF-8 shorter than kMaxInputSize), parsed with `profile` block by block.
void outline_parsed(std::string_view input, Outline& outline, Outline::Options options, Profile profile);

// The outline of a tree already built; `text`, when given, is the text it was parsed from. False when a span
// lies beyond that text.
bool outline_tree(const Source& source, const std::optional<std::string_view>& text, Outline& outline,
                  Outline::Options options);

}  // namespace quillet::writers
