#include "block_parser.hpp"
#include "text.hpp"

namespace quillet {

const std::optional<Line>& LineCursor::skip_blank_lines() {
    while (peek_line() && is_blank(peeked_->text)) peeked_.reset();
    return peeked_;
}

}  // namespace quillet
