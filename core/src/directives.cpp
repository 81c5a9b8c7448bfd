// Directive dispatch: "::" and a name on the opener line.
#include "block_parser.hpp"
#include "text.hpp"

namespace quillet {

Block BlockParser::parse_directive(LineCursor& cursor, std::string_view input) {
    const Line& opener = *cursor.peek_line();
    const std::string_view name = first_word(trim(opener.text).substr(2));
    // A closing line met where a block begins keeps what follows it, up to the next closing line, verbatim.
    if (name.empty()) return parse_raw_fenced_block(cursor, input);
    if (name == "math") return parse_math_block(cursor, input);
    if (name == "html") return parse_html_block(cursor, input);
    if (name == "list") return parse_list_block(cursor, input);
    if (name == "quote") return parse_quote_block(cursor, input);
    if (name == "table") return parse_table_block(cursor, input);
    if (name == "figure") return parse_figure_block(cursor, input);
    if (name == "callout") return parse_callout_block(cursor, input);
    if (name == "footnotes") return parse_footnotes_block(cursor, input);
    if (report_unknown_directives) errors.push_back(ParseError::unknown_directive(name, {opener.start, opener.end}));
    return parse_raw_fenced_block(cursor, input);
}

}  // namespace quillet
