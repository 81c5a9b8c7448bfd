// Figures and footnotes: the two directives that carry data rather than free text. Neither records errors.
#include "block_parser.hpp"
#include "block_util.hpp"
#include "markers.hpp"

namespace quillet {

// A figure is its opener line; a closing line right after it belongs to it.
Block BlockParser::parse_figure_block(LineCursor& cursor, std::string_view /*input*/) {
    const Line opener = *cursor.next_line();
    Figure figure;
    read_attribute_list(directive_arguments(opener.text, "::figure"),
                        [&](std::string_view key, std::string_view value) {
                            if (key == "src") figure.src = value;
                            if (key == "alt") figure.alt = value;
                            if (key == "caption") figure.caption = value;
                        });
    figure.span = Span{opener.start, opener.end};
    if (const auto& next = cursor.peek_line(); next && is_closing_line(next->text)) {
        figure.span.end = next->end;
        cursor.next_line();
    }
    return figure;
}

// One definition per line: "[^" label "]:" text. Every other line up to the closing line is dropped.
Block BlockParser::parse_footnotes_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    Footnotes footnotes;
    footnotes.defs = new_seq<FootnoteDef>();
    footnotes.defs.reserve(4);
    footnotes.span = Span{opener.start, opener.end};
    while (std::optional<Line> line = cursor.next_line()) {
        footnotes.span.end = line->end;
        if (is_closing_line(line->text)) break;
        const std::string_view t = trim(line->text);
        if (!starts_with(t, "[^")) continue;
        const size_t k = t.find("]:");
        if (k == std::string_view::npos) continue;
        const std::string_view text = trim(t.substr(k + 2));
        const uint32_t text_start = offset_in(input, text);
        const Span whole{line->start, line->end};
        const Arena::Mark mark = arena_mark();
        Paragraph paragraph{inline_slice(input, text_start, text_start + text.size()), whole};
        add_part(footnotes.defs, FootnoteDef{t.substr(2, k - 2), one_paragraph(std::move(paragraph)), whole}, mark,
                 [](BlockSink& sink, FootnoteDef&& def) { return sink.take_definition(std::move(def)); });
    }
    return footnotes;
}

}  // namespace quillet
