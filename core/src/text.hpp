// Text utilities shared by the block constructs: Unicode white space, trimming, blank lines, words.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillet {

// Length of the White_Space character that starts at s[i], or 0. Whole UTF-8 sequences are matched, so the
// second byte of a letter such as "à" (C3 A0) is never taken for U+00A0.
size_t white_space_at(std::string_view s, size_t i);
// Length of the White_Space character that ends just before s[i], or 0.
size_t white_space_before(std::string_view s, size_t i);

std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);
inline std::string_view trim(std::string_view s) {
    return trim_end(trim_start(s));
}

// A blank line holds only spaces and tabs (the empty line included); other white space does not count.
bool is_blank(std::string_view line);

// A closing line's trimmed text is exactly "::".
inline bool is_closing_line(std::string_view line) {
    return trim(line) == "::";
}

// The first white-space separated word of s (leading white space skipped).
std::string_view first_word(std::string_view s);

inline bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace quillet
