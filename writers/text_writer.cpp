// Placeholder until the text writer is written.
#include "formats.hpp"

namespace quillet::writers {

std::unique_ptr<Writer> make_text_writer(const TextOptions&) {
    return nullptr;
}

}  // namespace quillet::writers
