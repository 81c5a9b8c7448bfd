// Placeholder until the markdown writer is written.
#include "formats.hpp"

namespace quillet::writers {

std::unique_ptr<Writer> make_markdown_writer(const MarkdownOptions&) {
    return nullptr;
}

}  // namespace quillet::writers
