// A str from a writer's UTF-8 without CPython's general decoder.
//
// PyUnicode_DecodeUTF8 starts every str one byte a character and widens it (copying what it has) at the
// first character that does not fit, so one emoji late in a document costs a second pass over the whole
// result. Here one quick pass finds the widest lead byte, which fixes the str's width and its length, and
// a second pass fills the str. Anything that is not well-formed goes to PyUnicode_DecodeUTF8 after all, so
// that the result and the error are CPython's own. A str of tens of megabytes asks for huge pages.
#include "str_from_utf8.hpp"

#include <cstdint>
#include <cstring>

#include "huge_pages.hpp"
#include "quillet/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet_native {
namespace {

// A result str of tens of megabytes asks for huge pages (huge_pages.hpp); not where CPython's own allocator
// (a free-threaded build's) holds its data.
void prefer_huge_pages(void* data, size_t bytes) {
#if !defined(Py_GIL_DISABLED)
    quillet::writers::prefer_huge_pages(data, bytes);
#else
    (void)data;
    (void)bytes;
#endif
}

PyObject* decode_generic(const char* data, size_t size) {
    return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "surrogatepass");
}

// The widest byte of s[i..n) and how many of them are continuation bytes (10xxxxxx).
void scan(const unsigned char* s, size_t i, size_t n, unsigned& widest, size_t& continuations) {
    unsigned top = 0;
    size_t count = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i cont = _mm_set1_epi8(static_cast<char>(0xBF));
    __m128i max = zero;
    while (i + 16 <= n) {
        // Each lane counts its continuation bytes for up to 255 blocks, then the lanes are summed.
        __m128i lanes = zero;
        for (size_t blocks = 0; blocks < 255 && i + 16 <= n; ++blocks, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            max = _mm_max_epu8(max, v);
            // A continuation byte is 0x80..0xBF: at most 0xBF (min(v, 0xBF) == v) with its high bit set.
            const __m128i is_cont = _mm_and_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, cont), v), _mm_cmplt_epi8(v, zero));
            lanes = _mm_sub_epi8(lanes, is_cont);
        }
        const __m128i sums = _mm_sad_epu8(lanes, zero);
        count += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_extract_epi16(sums, 4));
    }
    alignas(16) unsigned char widest_lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(widest_lanes), max);
    for (unsigned char lane : widest_lanes) top = lane > top ? lane : top;
#endif
    for (; i < n; ++i) {
        top = s[i] > top ? s[i] : top;
        count += (s[i] & 0xC0) == 0x80;
    }
    widest = top;
    continuations = count;
}

// Copies the 16 ASCII bytes at `s` into 16 code units.
template <class Unit>
inline void widen16(const unsigned char* s, Unit* out) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    } else {
        const __m128i lo = _mm_unpacklo_epi8(v, zero);
        const __m128i hi = _mm_unpackhi_epi8(v, zero);
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
        }
    }
#else
    for (int k = 0; k < 16; ++k) out[k] = s[k];
#endif
}

// Decodes s[0..n) into exactly `length` units at `out`; false when the bytes are not well-formed UTF-8
// (lone surrogates allowed, as "surrogatepass" allows them) or give another length.
template <class Unit>
bool fill(const unsigned char* s, size_t n, Unit* out, size_t length) {
    Unit* const end = out + length;
    size_t i = 0;
    while (i < n) {
#if defined(__SSE2__)
        // ASCII sixteen bytes at a time: all sixteen are widened, and those from the first byte that is not
        // ASCII on are written over by what follows (there is room for them: sixteen units remain).
        while (i + 16 <= n && static_cast<size_t>(end - out) >= 16) {
            const int wide = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
            widen16(s + i, out);
            if (wide != 0) {
                const auto ascii = static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(wide)));
                i += ascii;
                out += ascii;
                break;
            }
            i += 16;
            out += 16;
        }
#endif
        // The last few ASCII bytes (all of them without SSE2), then the characters up to the next ASCII byte.
        for (; i < n && s[i] < 0x80; ++i) {
            if (out == end) return false;
            *out++ = s[i];
        }
        while (i < n && s[i] >= 0x80) {
            uint32_t c;
            const size_t sequence = quillet::decode_utf8<quillet::Surrogates::Pass>(s + i, n - i, c);
            if (sequence == 0 || out == end) return false;
            i += sequence;
            *out++ = static_cast<Unit>(c);
        }
    }
    return out == end;
}

}  // namespace

PyObject* str_from_utf8(const char* data, size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const size_t first = quillet::ascii_prefix(data, size);
    if (first == size) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (str == nullptr) return nullptr;
        prefer_huge_pages(PyUnicode_DATA(str), size);
        if (size != 0) std::memcpy(PyUnicode_DATA(str), data, size);
        return str;
    }
    unsigned widest = 0;
    size_t continuations = 0;
    scan(s, first, size, widest, continuations);
    // The widest lead byte fixes the widest character: C2..C3 up to U+00FF, up to DF two bytes a
    // character, E0..EF up to U+FFFF, F0 and above beyond.
    Py_UCS4 maxchar;
    if (widest < 0xC4) {
        maxchar = 0xFF;
    } else if (widest < 0xF0) {
        maxchar = 0xFFFF;
    } else {
        maxchar = 0x10FFFF;
    }
    const size_t length = size - continuations;
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar);
    if (str == nullptr) return nullptr;
    prefer_huge_pages(PyUnicode_DATA(str), length * static_cast<size_t>(PyUnicode_KIND(str)));
    bool ok;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            ok = fill(s, size, PyUnicode_1BYTE_DATA(str), length);
            break;
        case PyUnicode_2BYTE_KIND:
            ok = fill(s, size, PyUnicode_2BYTE_DATA(str), length);
            break;
        default:
            ok = fill(s, size, PyUnicode_4BYTE_DATA(str), length);
            break;
    }
    if (!ok) {
        Py_DECREF(str);
        return decode_generic(data, size);
    }
    return str;
}

}  // namespace quillet_native
