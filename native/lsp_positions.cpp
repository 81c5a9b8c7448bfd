#include "lsp_positions.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include "pyql/common.hpp"

namespace quillet_native {
namespace {

using pyql::Ref;

bool continues(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The UTF-16 code units of the UTF-8 bytes s[0, n): one per character, two for a character beyond the Basic
// Multilingual Plane (lead byte 0xF0 and above).
uint64_t utf16_units(const unsigned char* s, size_t n) {
    uint64_t units = 0;
    for (size_t i = 0; i < n; ++i) units += uint64_t(!continues(s[i])) + uint64_t(s[i] >= 0xF0);
    return units;
}

// An offset as the positions read it: clamped to the text, moved off a CR LF's line feed and back to the
// start of the character it lies in.
bool read_offset(PyObject* item, const unsigned char* data, uint64_t size, uint64_t& out) {
    if (!PyLong_Check(item)) {
        PyErr_Format(PyExc_TypeError, "offsets must be ints, not %s", Py_TYPE(item)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    uint64_t at = overflow > 0 ? size : overflow < 0 || value < 0 ? 0 : std::min(uint64_t(value), size);
    if (at > 0 && at < size && data[at - 1] == '\r' && data[at] == '\n') --at;
    while (at > 0 && at < size && continues(data[at])) --at;
    out = at;
    return true;
}

PyObject* pair(uint64_t line, uint64_t character) {
    Ref tuple(PyTuple_New(2));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* value = PyLong_FromUnsignedLongLong(i == 0 ? line : character);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, value);
    }
    return tuple.release();
}

}  // namespace

const char* const kLspPositionsDoc =
    "lsp_positions(data, offsets, utf8) -> list[tuple[int, int]]: the language server's (line, character) "
    "of each byte offset into data, lines ending at line feeds, characters in UTF-16 code units (bytes when "
    "utf8 is true).";

PyObject* lsp_positions(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "lsp_positions(data, offsets, utf8) takes bytes, a sequence and a bool");
        return nullptr;
    }
    const int utf8 = PyObject_IsTrue(args[2]);
    if (utf8 < 0) return nullptr;
    Ref items(PySequence_Fast(args[1], "offsets must be a sequence of ints"));
    if (!items) return nullptr;
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[0]));
    const auto size = uint64_t(PyBytes_GET_SIZE(args[0]));
    const auto count = size_t(PySequence_Fast_GET_SIZE(items.get()));
    std::vector<uint64_t> targets(count);
    for (size_t i = 0; i < count; ++i) {
        if (!read_offset(PySequence_Fast_GET_ITEM(items.get(), Py_ssize_t(i)), data, size, targets[i])) return nullptr;
    }
    // Visited in increasing order: the lines and units before each offset are counted on from the last.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t(0));
    if (!std::is_sorted(targets.begin(), targets.end())) {
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return targets[a] < targets[b]; });
    }
    std::vector<uint64_t> lines(count), characters(count);
    uint64_t at = 0, line = 0, line_start = 0, units = 0;  // units: from line_start to at
    for (const size_t i : order) {
        const uint64_t target = targets[i];
        while (const void* feed = std::memchr(data + at, '\n', target - at)) {
            at = line_start = uint64_t(static_cast<const unsigned char*>(feed) - data) + 1;
            ++line;
            units = 0;
        }
        if (!utf8) units += utf16_units(data + at, target - at);
        at = target;
        lines[i] = line;
        characters[i] = utf8 ? target - line_start : units;
    }
    Ref result(PyList_New(Py_ssize_t(count)));
    if (!result) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        PyObject* position = pair(lines[i], characters[i]);
        if (position == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), Py_ssize_t(i), position);
    }
    return result.release();
}

}  // namespace quillet_native
