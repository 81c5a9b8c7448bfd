// Lists: "::list" with optional arguments, item lines "- ", continuation lines "| " and a closing line. A
// list is strict about its body: the first line that is none of these ends it with an error and is left for
// the next block.
#include <charconv>

#include "block_parser.hpp"
#include "block_util.hpp"
#include "markers.hpp"

namespace quillet {

namespace {

// "start=" takes an unsigned 64-bit decimal: an optional "+" and digits only; anything else gives no start.
std::optional<uint64_t> parse_start_number(std::string_view s) {
    if (starts_with(s, "+")) s.remove_prefix(1);
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// Lines that begin another construct (or belong to the document header): inside a list they mean the list
// was left unclosed rather than mistyped. A closing line is the list's own.
bool is_block_start_line(std::string_view t) {
    return (opens_construct(t) && t != kDirective) || starts_with(t, kProfilePrefix) ||
           starts_with(t, kModulesPrefix) || starts_with(t, kMetadataOpener);
}

void read_list_arguments(std::string_view args, List& list) {
    for (args = trim_start(args); !args.empty(); args = trim_start(args)) {
        const std::string_view word = first_word(args);
        args.remove_prefix(word.size());
        if (word == "ordered") {
            list.kind = ListKind::Ordered;
        } else if (word == "unordered") {
            list.kind = ListKind::Unordered;
        } else if (constexpr std::string_view kStart = "start="; starts_with(word, kStart)) {
            list.start = parse_start_number(word.substr(kStart.size()));
        }
    }
}

}  // namespace

Block BlockParser::parse_list_block(LineCursor& cursor, std::string_view input) {
    const Line opener = *cursor.next_line();
    List list;
    list.items = new_seq<ListItem>();
    list.items.reserve(8);
    read_list_arguments(directive_arguments(opener.text, "::list"), list);

    uint32_t end = opener.end;
    std::optional<Span> pending;
    auto add_pending = [&] {
        if (!pending) return;
        const Arena::Mark mark = arena_mark();
        add_part(list.items, ListItem{one_paragraph(paragraph_of(input, *pending)), *pending}, mark,
                 [](BlockSink& sink, ListItem&& item) { return sink.take_item(std::move(item)); });
        pending.reset();
    };
    while (const auto& peeked = cursor.peek_line()) {
        const Line line = *peeked;
        const std::string_view t = trim(line.text);
        const bool belongs = t == kDirective || starts_with(t, "- ") || starts_with(t, "| ") || is_blank(line.text);
        if (!belongs) {
            if (is_block_start_line(t)) {
                errors.push_back(ParseError::unclosed("::list", Span{opener.start, opener.end}));
            } else {
                errors.push_back(ParseError::invalid_syntax("list item", Span{line.start, line.end}));
            }
            break;
        }
        cursor.next_line();
        end = line.end;
        if (t == kDirective) break;
        if (starts_with(t, "- ")) {
            add_pending();
            pending = Span{offset_in(input, t) + 2, line.end};
        } else if (starts_with(t, "| ") && pending) {
            pending->end = line.end;
        }
    }
    add_pending();
    list.span = Span{opener.start, end};
    return list;
}

}  // namespace quillet
