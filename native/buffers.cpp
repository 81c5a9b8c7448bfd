// The buffers a thread keeps for its writes, lent to one call at a time.
#include "buffers.hpp"

#include <new>
#include <utility>

namespace quillet_native {

LentInput::Buffer& LentInput::of_thread() {
    thread_local Buffer buffer;
    return buffer;
}

LentInput::LentInput() : buffer_(&of_thread()) {
    if (buffer_->lent) buffer_ = &own_;
    buffer_->lent = true;
}

LentInput::~LentInput() {
    // An encoding that stopped half-way (a lone surrogate) wrote an unknown part of the room.
    if (asked_ && !reported_) buffer_->touched = buffer_->capacity;
    if (buffer_->touched > kKeptBufferBytes) *buffer_ = Buffer{};
    buffer_->lent = false;
}

char* LentInput::room(size_t size) {
    asked_ = true;
    if (buffer_->capacity < size) {
        // Nothing in the old buffer is needed: free it first, so that the two are never held together.
        buffer_->data.reset();
        buffer_->capacity = buffer_->touched = 0;
        buffer_->data.reset(new (std::nothrow) char[size]);
        if (buffer_->data == nullptr) return nullptr;
        buffer_->capacity = size;
    }
    return buffer_->data.get();
}

void LentInput::filled(const char* data, size_t size) {
    reported_ = true;
    if (data == buffer_->data.get() && size > buffer_->touched) buffer_->touched = size;
}

LentOutput::Buffer& LentOutput::of_thread() {
    thread_local Buffer buffer;
    return buffer;
}

LentOutput::LentOutput(quillet::writers::Output& out) : out_(out), buffer_(&of_thread()) {
    if (buffer_->lent) {
        buffer_ = nullptr;  // the Output keeps its own buffer
        return;
    }
    buffer_->lent = true;
    buffer_->bytes.clear();
    std::swap(out_.buffer(), buffer_->bytes);
}

LentOutput::~LentOutput() {
    if (buffer_ == nullptr) return;
    std::swap(out_.buffer(), buffer_->bytes);
    // The pages of a buffer are touched as far as a call wrote; the capacity a writer reserved beyond that
    // costs address space only.
    if (buffer_->bytes.size() > kKeptBufferBytes) std::string().swap(buffer_->bytes);
    buffer_->bytes.clear();
    buffer_->lent = false;
}

}  // namespace quillet_native
