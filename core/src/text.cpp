#include "text.hpp"

#include <cstdint>

namespace quillet {

namespace {

// The multi-byte White_Space characters: U+0085, U+00A0 (two bytes) and U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000 (three bytes).
inline bool is_two_byte_white_space(unsigned char a, unsigned char b) {
    return a == 0xC2 && (b == 0x85 || b == 0xA0);
}

inline bool is_three_byte_white_space(unsigned char a, unsigned char b, unsigned char c) {
    switch (a) {
        case 0xE1:
            return b == 0x9A && c == 0x80;
        case 0xE2:
            if (b == 0x80) return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF;
            return b == 0x81 && c == 0x9F;
        case 0xE3:
            return b == 0x80 && c == 0x80;
        default:
            return false;
    }
}

inline unsigned char byte_at(std::string_view s, size_t i) {
    return static_cast<unsigned char>(s[i]);
}

}  // namespace

size_t multibyte_white_space_at(std::string_view s, size_t i) {
    const size_t n = s.size();
    const unsigned char a = byte_at(s, i);
    if (i + 1 < n && is_two_byte_white_space(a, byte_at(s, i + 1))) return 2;
    if (i + 2 < n && is_three_byte_white_space(a, byte_at(s, i + 1), byte_at(s, i + 2))) return 3;
    return 0;
}

size_t multibyte_white_space_before(std::string_view s, size_t i) {
    const unsigned char z = byte_at(s, i - 1);
    if (i >= 2 && is_two_byte_white_space(byte_at(s, i - 2), z)) return 2;
    if (i >= 3 && is_three_byte_white_space(byte_at(s, i - 3), byte_at(s, i - 2), z)) return 3;
    return 0;
}

std::string_view first_word(std::string_view s) {
    s = trim_start(s);
    size_t i = 0;
    while (i < s.size() && white_space_at(s, i) == 0) ++i;
    return s.substr(0, i);
}

}  // namespace quillet
