// Code fences, math, HTML and raw blocks: bodies kept as unparsed source text.
#include "verbatim.hpp"

#include "markers.hpp"
#include "text.hpp"

namespace quillet {

namespace {

VerbatimBody read_until_closing_line(LineCursor& cursor, std::string_view input, const Line& opener) {
    return read_verbatim_body(cursor, input, opener, [](std::string_view text) { return is_closing_line(text); });
}

}  // namespace

Block BlockParser::parse_code_fence(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    const std::string_view lang = trim(trim(opener.text).substr(kFence.size()));
    VerbatimBody body =
        read_verbatim_body(cursor, input, opener, [](std::string_view text) { return trim(text) == kFence; });
    return CodeBlock{lang, body.content, Span{opener.start, body.span_end}};
}

Block BlockParser::parse_math_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    const std::string_view t = trim(opener.text);
    const bool display = t.find("block") != std::string_view::npos || t.find("display") != std::string_view::npos;
    VerbatimBody body = read_until_closing_line(cursor, input, opener);
    return MathBlock{display, body.content, Span{opener.start, body.span_end}};
}

Block BlockParser::parse_html_block(LineCursor& cursor, std::string_view input) {
    // Without the html module an HTML directive is kept as a raw block, silently.
    if (!has_module(ModuleKind::Html)) return parse_raw_fenced_block(cursor, input);
    const Line opener = *cursor.next_line();
    VerbatimBody body = read_until_closing_line(cursor, input, opener);
    if (!body.closed) errors.push_back(ParseError::unclosed("HTML block", Span{opener.start, opener.end}));
    return HtmlBlock{body.content, Span{opener.start, body.span_end}};
}

Block BlockParser::parse_raw_fenced_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    VerbatimBody body = read_until_closing_line(cursor, input, opener);
    return RawBlock{body.content, Span{opener.start, body.span_end}};
}

}  // namespace quillet
