#include "str_slices.hpp"

#include <cstdint>
#include <cstring>

namespace quillet_native {
namespace {

// The widest character class of units[a..b): the bits of every unit or'ed together fall in the same class
// (below 0x80, 0x100 or 0x10000, or above) as the largest unit, since each bound is a power of two.
template <class Unit>
Py_UCS4 widest(const Unit* units, Py_ssize_t a, Py_ssize_t b) {
    uint32_t bits = 0;
    for (Py_ssize_t i = a; i < b; ++i) bits |= units[i];
    return bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

Py_UCS4 widest_of(const void* data, int kind, Py_ssize_t a, Py_ssize_t b) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return widest(static_cast<const Py_UCS1*>(data), a, b);
        case PyUnicode_2BYTE_KIND:
            return widest(static_cast<const Py_UCS2*>(data), a, b);
        default:
            return widest(static_cast<const Py_UCS4*>(data), a, b);
    }
}

template <class To, class From>
void narrow(const From* from, Py_ssize_t n, void* to) {
    To* out = static_cast<To*>(to);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<To>(from[i]);
}

// Copies units[a..b) of a str of `kind` into `slice`, a new str of that length and of its own (narrower or
// equal) kind.
void fill(const void* data, int kind, Py_ssize_t a, Py_ssize_t b, PyObject* slice) {
    const Py_ssize_t n = b - a;
    if (n == 0) return;  // the shared empty str
    const int to = PyUnicode_KIND(slice);
    void* out = PyUnicode_DATA(slice);
    if (to == kind) {
        std::memcpy(out, static_cast<const char*>(data) + size_t(a) * size_t(kind), size_t(n) * size_t(kind));
    } else if (kind == PyUnicode_2BYTE_KIND) {
        narrow<Py_UCS1>(static_cast<const Py_UCS2*>(data) + a, n, out);
    } else if (to == PyUnicode_1BYTE_KIND) {
        narrow<Py_UCS1>(static_cast<const Py_UCS4*>(data) + a, n, out);
    } else {
        narrow<Py_UCS2>(static_cast<const Py_UCS4*>(data) + a, n, out);
    }
}

}  // namespace

bool str_slices(PyObject* text, const std::vector<std::pair<Py_ssize_t, Py_ssize_t>>& ranges,
                std::vector<pyql::Ref>& out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    const void* data = PyUnicode_DATA(text);
    const int kind = PyUnicode_KIND(text);
    const bool ascii = PyUnicode_IS_ASCII(text);
    size_t chars = 0;
    for (const auto& [a, b] : ranges) chars += size_t(b - a);
    // The text is immutable and held by the caller: it is read with the GIL released, as the new strs,
    // which nothing else holds yet, are written.
    std::vector<Py_UCS4> widths(ranges.size(), 0x7F);
    if (!ascii) {
        pyql::released_for(chars, [&] {
            for (size_t k = 0; k < ranges.size(); ++k)
                widths[k] = widest_of(data, kind, ranges[k].first, ranges[k].second);
        });
    }
    const size_t first = out.size();
    out.reserve(first + ranges.size());
    for (size_t k = 0; k < ranges.size(); ++k) {
        PyObject* slice = PyUnicode_New(ranges[k].second - ranges[k].first, widths[k]);
        if (slice == nullptr) return false;
        out.emplace_back(slice);
    }
    pyql::released_for(chars, [&] {
        for (size_t k = 0; k < ranges.size(); ++k)
            fill(data, kind, ranges[k].first, ranges[k].second, out[first + k].get());
    });
    return true;
}

}  // namespace quillet_native
