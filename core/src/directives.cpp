// Directive dispatch: "::" and a name on the opener line.
#include "quillet/directives.hpp"
#include "block_parser.hpp"
#include "text.hpp"

namespace quillet {

Block BlockParser::parse_directive(LineCursor& cursor, std::string_view input) {
    const Line& opener = *cursor.peek_line();
    const std::string_view name = first_word(trim(opener.text).substr(2));
    // A closing line met where a block begins keeps what follows it, up to the next closing line, verbatim.
    if (name.empty()) return parse_raw_fenced_block(cursor, input);
    if (const std::optional<Directive> directive = directive_named(name)) {
        switch (*directive) {
            case Directive::List:
                return parse_list_block(cursor, input);
            case Directive::Math:
                return parse_math_block(cursor, input);
            case Directive::Html:
                return parse_html_block(cursor, input);
            case Directive::Quote:
                return parse_quote_block(cursor, input);
            case Directive::Table:
                return parse_table_block(cursor, input);
            case Directive::Figure:
                return parse_figure_block(cursor, input);
            case Directive::Callout:
                return parse_callout_block(cursor, input);
            case Directive::Footnotes:
                return parse_footnotes_block(cursor, input);
        }
    }
    if (report_unknown_directives) errors.push_back(ParseError::unknown_directive(name, {opener.start, opener.end}));
    return parse_raw_fenced_block(cursor, input);
}

}  // namespace quillet
