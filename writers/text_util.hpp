// Small text rules that more than one writer shares.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace quillet::writers {

// A list item continued on the next line keeps that line's indentation and its "| " mark in its text; a
// reader sees neither. Hands `out` the pieces of `text` without them: after every line feed, the spaces
// and tabs that follow it and a "| " after those.
template <class Out>
void without_continuation_marks(std::string_view text, Out&& out) {
    for (;;) {
        const void* lf = text.empty() ? nullptr : std::memchr(text.data(), '\n', text.size());
        if (lf == nullptr) {
            out(text);
            return;
        }
        const size_t line_end = size_t(static_cast<const char*>(lf) - text.data()) + 1;
        out(text.substr(0, line_end));
        text.remove_prefix(line_end);
        size_t skip = 0;
        while (skip < text.size() && (text[skip] == ' ' || text[skip] == '\t')) ++skip;
        if (text.size() - skip >= 2 && text[skip] == '|' && text[skip + 1] == ' ') {
            text.remove_prefix(skip + 2);
        }
    }
}

}  // namespace quillet::writers
