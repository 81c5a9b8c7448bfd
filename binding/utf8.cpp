// The UTF-8 bytes of a str, for the parser.
//
// An ASCII str already holds its UTF-8 bytes, and they are borrowed as they are; so are those CPython keeps
// beside a str once something asked for them. Any other str is encoded here into a buffer that lives for one
// call, or one the caller lends. PyUnicode_AsUTF8AndSize would instead keep a UTF-8 copy inside the str for
// the str's whole lifetime (as much memory again as the document's text takes), and its encoder is slower
// than this one, which copies runs of ASCII sixteen characters at a time.
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pyql/utf8.hpp"

namespace pyql {
namespace {

// Bytes of the UTF-8 form of code point c, or 0 for a surrogate, which UTF-8 cannot hold.
inline size_t utf8_length(Py_UCS4 c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c < 0x10000) return (c >= 0xD800 && c <= 0xDFFF) ? 0 : 3;
    return 4;
}

inline char* put_utf8(char* out, Py_UCS4 c) {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// The units one SSE2 step covers.
constexpr size_t kChunk = 16;

// Writes the ASCII code units that begin units[i..n) to `out` and returns how many there were. Sixteen units
// are read at a time: the whole sixteen are stored (as bytes) when they are all ASCII, else those before the
// first one that is not, and the bytes stored past those are left for the caller to overwrite. So `out`
// must have room for sixteen bytes while i + 16 <= n.
template <class Unit>
inline size_t copy_ascii(const Unit* units, size_t i, size_t n, char* out) {
    const size_t first = i;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (i + kChunk <= n) {
        const auto* p = reinterpret_cast<const __m128i*>(units + i);
        __m128i bytes;
        unsigned ascii;  // bit k set: units[i + k] is ASCII
        if constexpr (sizeof(Unit) == 1) {
            bytes = _mm_loadu_si128(p);
            ascii = ~static_cast<unsigned>(_mm_movemask_epi8(bytes)) & 0xFFFF;
        } else if constexpr (sizeof(Unit) == 2) {
            const __m128i a = _mm_loadu_si128(p);
            const __m128i b = _mm_loadu_si128(p + 1);
            const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
            const __m128i low_a = _mm_cmpeq_epi16(_mm_and_si128(a, high), zero);
            const __m128i low_b = _mm_cmpeq_epi16(_mm_and_si128(b, high), zero);
            ascii = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low_a, low_b)));
            // A unit that is not ASCII packs to some byte; it is never kept.
            bytes = _mm_packus_epi16(a, b);
        } else {
            const __m128i a = _mm_loadu_si128(p);
            const __m128i b = _mm_loadu_si128(p + 1);
            const __m128i c = _mm_loadu_si128(p + 2);
            const __m128i d = _mm_loadu_si128(p + 3);
            const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFFF80));
            const __m128i low_ab = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_and_si128(a, high), zero),
                                                   _mm_cmpeq_epi32(_mm_and_si128(b, high), zero));
            const __m128i low_cd = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_and_si128(c, high), zero),
                                                   _mm_cmpeq_epi32(_mm_and_si128(d, high), zero));
            ascii = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low_ab, low_cd)));
            // Saturating narrowing: exact for ASCII units; the others give some byte that is never kept.
            bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (i - first)), bytes);
        if (ascii != 0xFFFF) return i - first + static_cast<size_t>(__builtin_ctz(~ascii));
        i += kChunk;
    }
#endif
    // The last few units (all of them without SSE2).
    while (i < n && units[i] < 0x80) {
        out[i - first] = static_cast<char>(units[i]);
        ++i;
    }
    return i - first;
}

// Encodes the `n` code units into `out`, which has room for their UTF-8 (the longest form, or their exact
// size); returns the bytes written, or -1 at a surrogate, which UTF-8 cannot hold, unless `Surrogates` is
// set: then a surrogate is written as its three bytes, as the "surrogatepass" error handler writes it.
template <class Unit, bool Surrogates = false>
Py_ssize_t encode(const Unit* units, size_t n, char* out) {
    char* const start = out;
    size_t i = 0;
    while (i < n) {
        const size_t run = copy_ascii(units, i, n, out);
        out += run;
        i += run;
        // Then the characters that are not ASCII, up to the next one that is. The room keeps sixteen bytes
        // free past `out` for copy_ascii's stores: every unit left has at least one byte.
        for (; i < n && units[i] >= 0x80; ++i) {
            const Py_UCS4 c = units[i];
            if (!Surrogates && utf8_length(c) == 0) return -1;
            out = put_utf8(out, c);
        }
    }
    return out - start;
}

// The bytes of the UTF-8 of the `n` units, a surrogate taking three.
template <class Unit>
size_t utf8_size(const Unit* units, size_t n) {
    size_t size = n;
    for (size_t i = 0; i < n; ++i) {
        const Py_UCS4 c = units[i];
        size += size_t(c >= 0x80) + size_t(c >= 0x800) + size_t(c >= 0x10000);
    }
    return size;
}

template <class Unit>
PyObject* new_utf8_bytes(const Unit* units, size_t n) {
    size_t size = 0;
    released_for(n, [&] { size = utf8_size(units, n); });
    if (size > size_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) return nullptr;
    // Nothing else holds the new bytes yet: they are filled with the GIL released.
    char* out = PyBytes_AS_STRING(bytes);
    released_for(n, [&] { encode<Unit, true>(units, n, out); });
    return bytes;
}

// Calls f with the str data `units` of `kind` as an array of its code units.
template <class F>
auto with_units(const void* units, int kind, F f) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return f(static_cast<const Py_UCS1*>(units));
        case PyUnicode_2BYTE_KIND:
            return f(static_cast<const Py_UCS2*>(units));
        default:
            return f(static_cast<const Py_UCS4*>(units));
    }
}

// The longest UTF-8 form of a unit of `kind`: 2 bytes per Latin-1 character, 3 per BMP one, 4 otherwise.
inline size_t max_bytes(int kind) {
    return kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4;
}

}  // namespace

bool prepare_utf8(PyObject* str, Arguments& out, Utf8Room* room, PendingUtf8& pending) {
    pending = PendingUtf8();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) return false;  // a legacy str made by the deprecated Py_UNICODE API
#endif
    if (PyUnicode_IS_ASCII(str)) {
        out.input = reinterpret_cast<const char*>(PyUnicode_DATA(str));
        out.input_size = PyUnicode_GET_LENGTH(str);
        return true;
    }
    // The UTF-8 CPython caches once asked for it (never for a str holding a lone surrogate); it lives as
    // long as the str.
    const auto* cached = reinterpret_cast<const PyCompactUnicodeObject*>(str);
    if (cached->utf8 != nullptr) {
        out.input = cached->utf8;
        out.input_size = cached->utf8_length;
        return true;
    }
    // Room for the longest form. Only the pages written are ever touched.
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const int kind = PyUnicode_KIND(str);
    if (n > (PY_SSIZE_T_MAX - 1) / max_bytes(kind)) {
        PyErr_NoMemory();
        return false;
    }
    char* buffer;
    if (room != nullptr) {
        buffer = room->room(n * max_bytes(kind) + 1);
    } else {
        out.owned_input.reset(new (std::nothrow) char[n * max_bytes(kind) + 1]);
        buffer = out.owned_input.get();
    }
    if (buffer == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    out.input = nullptr;
    out.input_size = 0;
    pending.units_ = PyUnicode_DATA(str);
    pending.count_ = n;
    pending.kind_ = kind;
    pending.buffer_ = buffer;
    return true;
}

bool PendingUtf8::encode(Arguments& out) {
    if (kind_ == 0) return true;
    const Py_ssize_t size =
        with_units(units_, kind_, [&](const auto* units) { return pyql::encode(units, count_, buffer_); });
    kind_ = 0;
    if (size < 0) {
        out.owned_input.reset();
        return false;
    }
    buffer_[static_cast<size_t>(size)] = '\0';
    out.input = buffer_;
    out.input_size = size;
    return true;
}

bool raise_utf8_error(PyObject* str) {
    // CPython raises its own UnicodeEncodeError, exactly as str.encode() would.
    Py_ssize_t ignored;
    if (PyUnicode_AsUTF8AndSize(str, &ignored) == nullptr) return false;
    PyErr_SetString(PyExc_SystemError, "pyql: a surrogate was found but the str encodes");
    return false;
}

PyObject* utf8_bytes(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) return nullptr;
#endif
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    return with_units(PyUnicode_DATA(str), PyUnicode_KIND(str),
                      [&](const auto* units) { return new_utf8_bytes(units, n); });
}

bool view_or_encode_utf8(PyObject* str, Arguments& out, Utf8Room* room) {
    PendingUtf8 pending;
    if (!prepare_utf8(str, out, room, pending)) return false;
    return pending.encode(out) || raise_utf8_error(str);
}

}  // namespace pyql
