#include "walker.hpp"

#include <variant>

namespace quillet::writers {
void Walker::skip_children() {
    if (event_ == Event::Enter && !pending_leave_ && !stack_.empty()) stack_.back().next = stack_.back().count;
}

DocumentView view_of(const Document& doc) {
    DocumentView view;
    view.profile = doc.profile;
    view.modules = doc.modules.data();
    view.module_count = doc.modules.size();
    view.metadata = doc.metadata ? &*doc.metadata : nullptr;
    view.blocks = doc.blocks.data();
    view.block_count = doc.blocks.size();
    view.span = doc.span;
    return view;
}

}  // namespace quillet::writers
