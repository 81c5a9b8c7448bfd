// Quote and callout blocks: paragraphs up to the first closing line. The body holds paragraphs only, so a
// heading, directive opener or list line inside it is paragraph text, and the first "::" line ends the
// container even when it was meant to close something written inside it.
#include "block_parser.hpp"
#include "block_util.hpp"
#include "markers.hpp"

namespace quillet {

BlockParser::FenceBody BlockParser::parse_until_fence_close(LineCursor& cursor, std::string_view input,
                                                            const Line& opener) {
    FenceBody body{new_seq<Block>(), opener.end};
    std::optional<Span> pending;
    auto add_pending = [&] {
        if (!pending) return;
        const Arena::Mark mark = arena_mark();
        add_part(body.blocks, Block(paragraph_of(input, *pending)), mark,
                 [](BlockSink& sink, Block&& paragraph) { return sink.take_paragraph(std::move(paragraph)); });
        pending.reset();
    };
    while (std::optional<Line> line = cursor.next_line()) {
        body.last_end = line->end;
        if (is_closing_line(line->text)) break;
        if (is_blank(line->text)) {
            add_pending();
        } else if (pending) {
            pending->end = line->end;
        } else {
            pending = Span{line->start, line->end};
        }
    }
    add_pending();
    return body;
}

Block BlockParser::parse_quote_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    FenceBody body = parse_until_fence_close(cursor, input, opener);
    return Quote{std::move(body.blocks), Span{opener.start, body.last_end}};
}

Block BlockParser::parse_callout_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    Callout callout;
    callout.kind = "note";
    read_attribute_list(directive_arguments(opener.text, "::callout"),
                        [&](std::string_view key, std::string_view value) {
                            if (key == "type") callout.kind = value;
                            if (key == "title") callout.title = value;
                        });
    FenceBody body = parse_until_fence_close(cursor, input, opener);
    callout.blocks = std::move(body.blocks);
    callout.span = Span{opener.start, body.last_end};
    return callout;
}

}  // namespace quillet
