// Text utilities shared by the block constructs: Unicode white space, trimming, blank lines, words.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillet {

inline bool is_ascii_white_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20;
}

// The same two tests for a character of two or more bytes (the first byte at or above 0x80).
size_t multibyte_white_space_at(std::string_view s, size_t i);
size_t multibyte_white_space_before(std::string_view s, size_t i);

// Length of the White_Space character that starts at s[i], or 0. Whole UTF-8 sequences are matched, so the
// second byte of a letter such as "à" (C3 A0) is never taken for U+00A0.
inline size_t white_space_at(std::string_view s, size_t i) {
    if (i >= s.size()) return 0;
    const auto a = static_cast<unsigned char>(s[i]);
    if (a < 0x80) return is_ascii_white_space(a) ? 1 : 0;
    return multibyte_white_space_at(s, i);
}

// Length of the White_Space character that ends just before s[i], or 0.
inline size_t white_space_before(std::string_view s, size_t i) {
    if (i == 0 || i > s.size()) return 0;
    const auto z = static_cast<unsigned char>(s[i - 1]);
    if (z < 0x80) return is_ascii_white_space(z) ? 1 : 0;
    return multibyte_white_space_before(s, i);
}

inline std::string_view trim_start(std::string_view s) {
    size_t i = 0;
    while (size_t w = white_space_at(s, i)) i += w;
    return s.substr(i);
}

inline std::string_view trim_end(std::string_view s) {
    size_t i = s.size();
    while (size_t w = white_space_before(s, i)) i -= w;
    return s.substr(0, i);
}

inline std::string_view trim(std::string_view s) {
    return trim_end(trim_start(s));
}

// A blank line holds only spaces and tabs (the empty line included); other white space does not count.
inline bool is_blank(std::string_view line) {
    for (char c : line) {
        if (c != ' ' && c != '\t') return false;
    }
    return true;
}

// The first white-space separated word of s (leading white space skipped).
std::string_view first_word(std::string_view s);

inline bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace quillet
