// Block dispatch on the first line, and the constructs without an opener: paragraphs, headings and
// thematic breaks.
#include "block_parser.hpp"
#include "block_util.hpp"
#include "inline_parser.hpp"
#include "markers.hpp"
#include "text.hpp"

namespace quillet {

Inlines BlockParser::inline_slice(std::string_view input, size_t start, size_t end) {
    if (end <= start) return {};
    return parse_inlines(input.substr(start, end - start), static_cast<uint32_t>(start), *arena_, inline_stack_,
                         parts_sink_, &parts_failed_);
}

Blocks BlockParser::one_paragraph(Paragraph paragraph) {
    Blocks blocks = new_seq<Block>();
    blocks.emplace_back(std::move(paragraph));
    return blocks;
}

namespace {

// A line that ends a paragraph before it: one that opens a construct, or any other ":" line. Lines whose
// trimmed text is empty (only non-blank white space) never stop a paragraph.
bool stops_paragraph(std::string_view trimmed) {
    return opens_construct(trimmed) || (!trimmed.empty() && trimmed.front() == ':');
}

// A paragraph is a run of lines up to a blank line or a line that opens another construct. Its first line
// is always taken: a line beginning with a single ":" opens nothing, and refusing it would stall the driver.
Block parse_paragraph(BlockParser& parser, LineCursor& cursor, std::string_view input) {
    const Line first = *cursor.next_line();
    uint32_t end = first.end;
    while (const auto& line = cursor.peek_line()) {
        if (is_blank(line->text) || stops_paragraph(trim(line->text))) break;
        end = line->end;
        cursor.next_line();
    }
    return parser.paragraph_of(input, Span{first.start, end});
}

// "#" to "######" followed by a space or the line end; anything else starting with "#" is a one-line
// paragraph.
Block parse_heading(BlockParser& parser, LineCursor& cursor, std::string_view input) {
    const Line line = *cursor.next_line();
    const std::string_view t = line.text;
    // Counted in size_t: a run of 257 "#" must not wrap to level 1.
    size_t n = 0;
    while (n < t.size() && t[n] == kHeadingMark) ++n;
    const Span span{line.start, line.end};
    if (n >= 1 && n <= kMaxHeadingLevel && (n == t.size() || t[n] == ' ')) {
        std::string_view text = trim_start(t.substr(n));
        const size_t text_start = line.end - text.size();
        return Heading{static_cast<uint8_t>(n), parser.inline_slice(input, text_start, line.end), span};
    }
    return Paragraph{parser.inline_slice(input, line.start, line.end), span};
}

}  // namespace

std::optional<Block> BlockParser::parse_block(LineCursor& cursor, std::string_view input) {
    const auto& peeked = cursor.peek_line();
    if (!peeked || is_blank(peeked->text)) return std::nullopt;
    const std::string_view t = trim(peeked->text);
    if (t.empty()) return parse_paragraph(*this, cursor, input);
    if (t.front() == kHeadingMark) return parse_heading(*this, cursor, input);
    if (t == kRule) {
        const Line line = *cursor.next_line();
        return ThematicBreak{Span{line.start, line.end}};
    }
    if (starts_with(t, kDirective)) return parse_directive(cursor, input);
    if (starts_with(t, kFence)) return parse_code_fence(cursor, input);
    return parse_paragraph(*this, cursor, input);
}

}  // namespace quillet
