// Small text rules and checks that more than one writer, or the writers' Python face, share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quillet::writers {

// The length of the well-formed UTF-8 sequence at s[i], or 0: Python's strict decoder's rules (no overlong
// forms, no surrogates, nothing past U+10FFFF).
inline size_t utf8_sequence(std::string_view s, size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char c = p[i];
    if (c < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;   // no overlong forms
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;   // no overlong forms
        if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > s.size() || p[i + 1] < low || p[i + 1] > high) return 0;
    for (size_t k = 2; k < length; ++k) {
        if (p[i + k] < 0x80 || p[i + k] > 0xBF) return 0;
    }
    return length;
}

// The offset of the first byte that starts no well-formed UTF-8 sequence (the lead byte of a broken one),
// or npos when `s` is all well-formed. ASCII runs go eight bytes at a time.
inline size_t invalid_utf8_at(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t i = 0;
    while (i < s.size()) {
        while (i + 8 <= s.size()) {
            uint64_t word;
            std::memcpy(&word, p + i, sizeof word);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= s.size()) break;
        const size_t length = utf8_sequence(s, i);
        if (length == 0) return i;
        i += length;
    }
    return std::string_view::npos;
}

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
