// UTF-8: telling well-formed text from the rest, and reading code points.
//
// Well-formed means what Python's strict decoder accepts: no overlong forms, no surrogates, nothing above
// U+10FFFF. The parser only ever reads well-formed text, but a text a caller put in a tree may also hold
// lone surrogates (a str encoded with "surrogatepass": ED A0..BF xx); the decoder reads them where it is
// asked to. The loops over long texts skip ASCII sixteen bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet {

// Whether the decoder takes a lone surrogate (ED A0..BF xx) for a code point or for broken bytes.
enum class Surrogates : uint8_t { Refuse, Pass };

inline bool is_utf8_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// The length of the sequence that `lead` starts, in text known to be well-formed: 1 for ASCII.
inline size_t utf8_length(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Decodes the sequence at s[0..n) (n >= 1): its length, with its code point in `cp`, or 0 when it is not
// well-formed (cut short included), with `cp` undefined.
template <Surrogates kSurrogates = Surrogates::Refuse>
inline size_t decode_utf8(const unsigned char* s, size_t n, uint32_t& cp) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c < 0xC2) return 0;  // a continuation byte, or the lead of an overlong form
    if (c < 0xE0) {
        if (n < 2 || !is_utf8_continuation(s[1])) return 0;
        cp = (uint32_t(c & 0x1F) << 6) | (s[1] & 0x3F);
        return 2;
    }
    if (c < 0xF0) {
        if (n < 3 || !is_utf8_continuation(s[1]) || !is_utf8_continuation(s[2])) return 0;
        cp = (uint32_t(c & 0x0F) << 12) | (uint32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
        if (cp < 0x800) return 0;  // overlong
        if (kSurrogates == Surrogates::Refuse && cp >= 0xD800 && cp <= 0xDFFF) return 0;
        return 3;
    }
    if (c < 0xF5) {
        if (n < 4 || !is_utf8_continuation(s[1]) || !is_utf8_continuation(s[2]) || !is_utf8_continuation(s[3])) {
            return 0;
        }
        cp = (uint32_t(c & 0x07) << 18) | (uint32_t(s[1] & 0x3F) << 12) | (uint32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
        if (cp < 0x10000 || cp > 0x10FFFF) return 0;  // overlong, or beyond Unicode
        return 4;
    }
    return 0;
}

template <Surrogates kSurrogates = Surrogates::Refuse>
inline size_t decode_utf8(std::string_view s, size_t i, uint32_t& cp) {
    return decode_utf8<kSurrogates>(reinterpret_cast<const unsigned char*>(s.data()) + i, s.size() - i, cp);
}

// The length of the well-formed sequence at s[i], or 0.
inline size_t utf8_sequence(std::string_view s, size_t i) {
    uint32_t cp;
    return decode_utf8(s, i, cp);
}

// The code point at s[0..n) (n >= 1) of a text a writer reads (well-formed, lone surrogates allowed) and
// its length in `length`. A byte that starts no such sequence reads as U+FFFD, one byte long.
inline uint32_t read_utf8(const unsigned char* s, size_t n, size_t& length) {
    uint32_t cp;
    length = decode_utf8<Surrogates::Pass>(s, n, cp);
    if (length != 0) return cp;
    length = 1;
    return 0xFFFD;
}

inline uint32_t read_utf8(std::string_view s, size_t i, size_t& length) {
    return read_utf8(reinterpret_cast<const unsigned char*>(s.data()) + i, s.size() - i, length);
}

// Where the code point that ends `s` (not empty) starts: at most three continuation bytes back.
inline size_t last_utf8_start(std::string_view s) {
    size_t i = s.size() - 1;
    while (i > 0 && s.size() - i < 4 && is_utf8_continuation(static_cast<unsigned char>(s[i]))) --i;
    return i;
}

// The offset of the first byte of s[i..n) at or above 0x80, or n.
inline size_t ascii_prefix(const char* s, size_t n, size_t i = 0) {
#if defined(__SSE2__)
    while (i + 16 <= n) {
        const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#endif
    while (i < n && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
}

// The offset of the first byte that starts no well-formed sequence (the lead byte of a broken one, which is
// where Python's decoder reports its error), or npos when all of `s` is well-formed.
inline size_t invalid_utf8_at(std::string_view s) {
    size_t i = 0;
    for (;;) {
        i = ascii_prefix(s.data(), s.size(), i);
        if (i == s.size()) return std::string_view::npos;
        const size_t length = utf8_sequence(s, i);
        if (length == 0) return i;
        i += length;
    }
}

inline bool is_valid_utf8(std::string_view s) {
    return invalid_utf8_at(s) == std::string_view::npos;
}

}  // namespace quillet
