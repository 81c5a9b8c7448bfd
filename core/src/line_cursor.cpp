#include <cstring>

#include "quillet/parser.hpp"
#include "text.hpp"

namespace quillet {

std::optional<Line> LineCursor::read_line() {
    const size_t len = text_.size();
    if (pos_ >= len) return std::nullopt;
    const char* base = text_.data();
    const void* hit = std::memchr(base + pos_, '\n', len - pos_);
    const size_t nl = hit ? static_cast<size_t>(static_cast<const char*>(hit) - base) : len;
    // Exactly one carriage return before the line end is dropped, also at the very end of the input.
    size_t end = nl;
    if (nl > pos_ && base[nl - 1] == '\r') end = nl - 1;
    Line line{text_.substr(pos_, end - pos_), static_cast<uint32_t>(pos_), static_cast<uint32_t>(end)};
    pos_ = nl < len ? nl + 1 : len;
    return line;
}

std::optional<Line> LineCursor::next_line() {
    if (peeked_) {
        std::optional<Line> line = peeked_;
        peeked_.reset();
        return line;
    }
    return read_line();
}

const std::optional<Line>& LineCursor::peek_line() {
    if (!peeked_) peeked_ = read_line();
    return peeked_;
}

const std::optional<Line>& LineCursor::skip_blank_lines() {
    while (peek_line() && is_blank(peeked_->text)) peeked_.reset();
    return peeked_;
}

}  // namespace quillet
