#include "quillet/errors.hpp"

#include <charconv>

namespace quillet {

namespace {

constexpr std::string_view kInvalidSyntax = "invalid syntax in ";
constexpr std::string_view kUnclosed = "unclosed ";
constexpr std::string_view kUnknownDirective = "unknown directive: ";

// The constructs the parser reports, by the kind and the text after the kind's prefix.
struct ErrorConstruct {
    ParseErrorKind kind;
    std::string_view what;
    std::string_view code;
};
constexpr ErrorConstruct kErrorConstructs[] = {
    {ParseErrorKind::UnclosedDelimiter, "::list", "unclosed-list"},
    {ParseErrorKind::UnclosedDelimiter, "::table", "unclosed-table"},
    {ParseErrorKind::UnclosedDelimiter, "HTML block", "unclosed-html"},
    {ParseErrorKind::InvalidSyntax, "list item", "invalid-list-item"},
};

ParseError make_error(ParseErrorKind kind, std::string_view prefix, std::string_view what, Span span) {
    ParseError e;
    e.message.reserve(prefix.size() + what.size());
    e.message.append(prefix).append(what);
    e.span = span;
    e.recoverable = true;
    e.kind = kind;
    return e;
}

void append_number(std::string& out, uint32_t value) {
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

}  // namespace

ParseError ParseError::invalid_syntax(std::string_view context, Span span) {
    return make_error(ParseErrorKind::InvalidSyntax, kInvalidSyntax, context, span);
}

ParseError ParseError::unclosed(std::string_view what, Span span) {
    return make_error(ParseErrorKind::UnclosedDelimiter, kUnclosed, what, span);
}

ParseError ParseError::unknown_directive(std::string_view name, Span span) {
    return make_error(ParseErrorKind::UnknownDirective, kUnknownDirective, name, span);
}

std::string_view error_code(ParseErrorKind kind, std::string_view message) {
    if (kind == ParseErrorKind::UnknownDirective && message.starts_with(kUnknownDirective)) return "unknown-directive";
    const std::string_view prefix = kind == ParseErrorKind::UnclosedDelimiter ? kUnclosed
                                    : kind == ParseErrorKind::InvalidSyntax   ? kInvalidSyntax
                                                                              : std::string_view{};
    if (!prefix.empty() && message.starts_with(prefix)) {
        message.remove_prefix(prefix.size());
        for (const ErrorConstruct& c : kErrorConstructs) {
            if (c.kind == kind && c.what == message) return c.code;
        }
    }
    return "parse-error";
}

std::string at_bytes(Span span) {
    std::string out = " at bytes ";
    append_number(out, span.start);
    out += "..";
    append_number(out, span.end);
    return out;
}

std::string ParseError::text() const {
    return span ? message + at_bytes(*span) : message;
}

}  // namespace quillet
