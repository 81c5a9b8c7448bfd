// The marks that open and close the line constructs, and the one test of which lines open a construct.
#pragma once

#include <cstddef>
#include <string_view>

#include "text.hpp"

namespace quillet {

inline constexpr char kHeadingMark = '#';  // one to six open a heading
inline constexpr size_t kMaxHeadingLevel = 6;
inline constexpr std::string_view kRule = "---";      // alone, a thematic break or the end of the metadata
                                                      // block; inside a table row, a separator
inline constexpr std::string_view kDirective = "::";  // opens a directive; alone on a line, closes one
inline constexpr std::string_view kFence = "```";     // opens and closes a code block
inline constexpr std::string_view kProfilePrefix = "@profile";
inline constexpr std::string_view kModulesPrefix = "@modules";
inline constexpr std::string_view kMetadataOpener = "--- meta ---";  // as the header usually writes it

// A closing line's trimmed text is exactly the directive mark.
inline bool is_closing_line(std::string_view line) {
    return trim(line) == kDirective;
}

// Whether a line's trimmed text opens a construct other than a paragraph: a heading (or a paragraph line
// beginning with "#", which the heading rule hands on), a thematic break, a directive opener or closing line,
// or a code fence. A paragraph ends before such a line; a list left open stops at one.
inline bool opens_construct(std::string_view trimmed) {
    return (!trimmed.empty() && trimmed.front() == kHeadingMark) || trimmed == kRule ||
           starts_with(trimmed, kDirective) || starts_with(trimmed, kFence);
}

}  // namespace quillet
