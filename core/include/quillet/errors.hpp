// Problems found in the input are recorded as values; a parse never stops at one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quillet/document.hpp"

namespace quillet {

enum class ParseErrorKind : uint8_t {
    UnexpectedEof = 0,
    UnclosedDelimiter = 1,
    InvalidSyntax = 2,
    UnknownDirective = 3,
    InvalidMetadata = 4,
    Other = 5,
};

struct ParseError {
    std::string message;
    std::optional<Span> span;
    bool recoverable = true;
    ParseErrorKind kind = ParseErrorKind::Other;

    // "invalid syntax in " + context.
    static ParseError invalid_syntax(std::string_view context, Span span);
    // "unclosed " + what, e.g. "unclosed ::list".
    static ParseError unclosed(std::string_view what, Span span);
    // "unknown directive: " + name as written.
    static ParseError unknown_directive(std::string_view name, Span span);

    // The display text: the message, then at_bytes(span) when there is a span.
    std::string text() const;
};

// The construct an error is about, a stable name for tools to classify errors by instead of their
// messages: "unknown-directive", "unclosed-list", "unclosed-table", "unclosed-html", "invalid-list-item",
// or "parse-error" for any other. Read from the kind and message the constructors above build, so that an
// error rebuilt from those two (a pyql.ParseError) gets its code too.
std::string_view error_code(ParseErrorKind kind, std::string_view message);

// Where an error's text says it lies: " at bytes START..END".
std::string at_bytes(Span span);

}  // namespace quillet
