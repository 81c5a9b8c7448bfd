// Tables: "::table", row lines beginning with "|", separator lines and a closing line. The first line that
// is none of these, a blank line included, ends the table with an error and is left for the next block.
#include "block_parser.hpp"
#include "block_util.hpp"
#include "markers.hpp"

namespace quillet {

namespace {

// Cells are the pieces between bars of the row's trimmed text `t`. A cell's span is its untrimmed piece;
// its content is the inline parse of the trimmed piece. Pieces that trim to nothing give no cell.
TableRow parse_table_row(BlockParser& parser, std::string_view input, const Line& line, std::string_view t,
                         bool header) {
    TableRow row;
    row.cells = parser.new_seq<TableCell>();
    row.cells.reserve(8);
    row.header = header;
    row.span = Span{line.start, line.end};
    size_t from = 1;  // t[0] is the row's leading bar
    while (true) {
        const size_t bar = t.find('|', from);
        const std::string_view piece = t.substr(from, bar == std::string_view::npos ? t.size() - from : bar - from);
        const std::string_view cell = trim(piece);
        if (!cell.empty()) {
            const uint32_t o = offset_in(input, piece);
            const uint32_t c = offset_in(input, cell);
            row.cells.push_back(TableCell{parser.inline_slice(input, c, c + cell.size()),
                                          Span{o, static_cast<uint32_t>(o + piece.size())}});
        }
        if (bar == std::string_view::npos) break;
        from = bar + 1;
    }
    return row;
}

}  // namespace

Block BlockParser::parse_table_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    Table table;
    table.rows = new_seq<TableRow>();
    table.rows.reserve(8);
    uint32_t end = opener.end;
    bool separator_seen = false;
    bool row_seen = false;  // the rows may have gone to the sink already
    while (const auto& peeked = cursor.peek_line()) {
        const Line line = *peeked;
        const std::string_view t = trim(line.text);
        if (t != kDirective && !starts_with(t, "|")) {
            errors.push_back(ParseError::unclosed("::table", Span{opener.start, opener.end}));
            break;
        }
        cursor.next_line();
        end = line.end;
        if (t == kDirective) break;
        if (t.find(kRule) != std::string_view::npos) {
            separator_seen = true;
        } else {
            const bool header = !row_seen && !separator_seen;
            row_seen = true;
            const Arena::Mark mark = arena_mark();
            add_part(table.rows, parse_table_row(*this, input, line, t, header), mark,
                     [](BlockSink& sink, TableRow&& row) { return sink.take_row(std::move(row)); });
        }
    }
    table.span = Span{opener.start, end};
    return table;
}

}  // namespace quillet
