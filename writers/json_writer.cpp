// Placeholder until the json writer is written.
#include "formats.hpp"

namespace quillet::writers {

std::unique_ptr<Writer> make_json_writer(const JsonOptions&) {
    return nullptr;
}

}  // namespace quillet::writers
