// Small text rules that more than one writer shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet::writers {

#if defined(__SSE2__)
// The first byte of t[i..) that `hits` marks, or t.size(). `hits` maps sixteen bytes to a mask with bit k set
// when byte k is one sought. The text goes sixteen bytes at a time, and so do its last few bytes: read with
// the sixteen that end the text or, in a text shorter than that, as two overlapping loads of its first and
// last eight (or four) bytes. No byte beyond the text is read. Texts are short (the words between two marks),
// so the last bytes are most of the work.
template <class Hits>
inline size_t find_first(std::string_view t, size_t i, Hits&& hits) {
    const size_t n = t.size();
    const char* const data = t.data();
    for (; i + 16 <= n; i += 16) {
        const unsigned mask = hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
    }
    if (i >= n) return n;
    const size_t left = n - i;  // 1 to 15
    if (n >= 16) {
        const unsigned mask = hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + n - 16))) >> (16 - left);
        return mask != 0 ? i + static_cast<size_t>(__builtin_ctz(mask)) : n;
    }
    // The low half holds t[i..i + half), the high half t[n - half..n).
    uint64_t first = 0, last = 0;
    size_t half;
    if (left >= 8) {
        std::memcpy(&first, data + i, 8);
        std::memcpy(&last, data + n - 8, 8);
        half = 8;
    } else if (left >= 4) {
        uint32_t a, b;
        std::memcpy(&a, data + i, 4);
        std::memcpy(&b, data + n - 4, 4);
        first = a;
        last = b;
        half = 4;
    } else {
        for (size_t k = 0; k < left; ++k) first |= uint64_t(static_cast<unsigned char>(data[i + k])) << (8 * k);
        last = first;
        half = left;
    }
    const unsigned mask = hits(_mm_set_epi64x(static_cast<long long>(last), static_cast<long long>(first)));
    const unsigned valid = (1u << half) - 1;
    if (const unsigned low = mask & valid; low != 0) return i + static_cast<size_t>(__builtin_ctz(low));
    if (const unsigned high = (mask >> 8) & valid; high != 0)
        return n - half + static_cast<size_t>(__builtin_ctz(high));
    return n;
}
#endif

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

// Adds one to a decimal number held as text: list numbers go on past 2^64 - 1 without wrapping (the text
// writer's ordered items, and the outline's plain text of them).
inline void increment(std::string& number) {
    size_t i = number.size();
    while (i > 0 && number[i - 1] == '9') number[--i] = '0';
    if (i == 0) {
        number.insert(number.begin(), '1');
    } else {
        ++number[i - 1];
    }
}

}  // namespace quillet::writers
