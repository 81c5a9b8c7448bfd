// The verbatim body shared by code fences, math, HTML and raw blocks.
#pragma once

#include <algorithm>

#include "block_parser.hpp"

namespace quillet {

struct VerbatimBody {
    TextValue content;
    uint32_t span_end = 0;  // end of the closing line, or of the last line read
    bool closed = false;
};

// Reads body lines after `opener` (already consumed) up to and including the first line that passes
// `is_closing`. Every other line, blank or not, belongs to the body. The body is the input slice from just
// after the opener's end to the end of the last body line, so inner line ends stay as written.
template <class ClosingTest>
VerbatimBody read_verbatim_body(LineCursor& cursor, std::string_view input, const Line& opener,
                                ClosingTest is_closing) {
    VerbatimBody body;
    body.span_end = opener.end;
    const size_t begin = std::min<size_t>(input.size(), size_t{opener.end} + 1);
    size_t body_end = begin;
    while (std::optional<Line> line = cursor.next_line()) {
        body.span_end = line->end;
        if (is_closing(line->text)) {
            body.closed = true;
            break;
        }
        body_end = line->end;
    }
    if (body_end > begin) body.content = input.substr(begin, body_end - begin);
    return body;
}

}  // namespace quillet
