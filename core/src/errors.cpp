#include "quillet/errors.hpp"

#include <charconv>

namespace quillet {

namespace {

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
    return make_error(ParseErrorKind::InvalidSyntax, "invalid syntax in ", context, span);
}

ParseError ParseError::unclosed(std::string_view what, Span span) {
    return make_error(ParseErrorKind::UnclosedDelimiter, "unclosed ", what, span);
}

ParseError ParseError::unknown_directive(std::string_view name, Span span) {
    return make_error(ParseErrorKind::UnknownDirective, "unknown directive: ", name, span);
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
