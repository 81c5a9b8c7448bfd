// The buffers a thread keeps for its writes, lent to one call at a time.
#include "buffers.hpp"

#include <cstdlib>
#include <new>
#include <utility>

#include "quillet/arena.hpp"

namespace quillet_native {

void LentInput::Release::operator()(char* data) const noexcept {
    quillet::free_block(data, mapped);
}

struct ThreadBuffers {
    LentInput::Buffer input;
    LentOutput::Buffer output;
};

namespace {

constexpr const char* kBuffersKey = "quillet._native.buffers";

void free_buffers(PyObject* capsule) {
    delete static_cast<ThreadBuffers*>(PyCapsule_GetPointer(capsule, kBuffersKey));
}

// This thread's buffers, made on first use; null when they cannot be had (no memory), with no exception
// set: the caller then does without.
ThreadBuffers* thread_buffers() {
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr) return nullptr;
    PyObject* held = PyDict_GetItemString(dict, kBuffersKey);  // borrowed
    if (held != nullptr) {
        auto* buffers = static_cast<ThreadBuffers*>(PyCapsule_GetPointer(held, kBuffersKey));
        if (buffers == nullptr) PyErr_Clear();
        return buffers;
    }
    auto* buffers = new (std::nothrow) ThreadBuffers;
    if (buffers == nullptr) return nullptr;
    PyObject* capsule = PyCapsule_New(buffers, kBuffersKey, free_buffers);
    if (capsule == nullptr) {
        delete buffers;
        PyErr_Clear();
        return nullptr;
    }
    const int stored = PyDict_SetItemString(dict, kBuffersKey, capsule);
    Py_DECREF(capsule);  // frees the buffers when they were not stored
    if (stored < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return buffers;
}

}  // namespace

LentInput::LentInput() : buffer_(&own_) {
    ThreadBuffers* buffers = thread_buffers();
    if (buffers != nullptr && !buffers->input.lent) buffer_ = &buffers->input;
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
        if (size >= quillet::kMapBlockBytes) {
            if (void* mapped = quillet::map_block(size)) {
                buffer_->data = std::unique_ptr<char[], Release>(static_cast<char*>(mapped), Release(size));
            }
        }
        // A new pointer with its own deleter: the one of a mapped room must not free it.
        if (buffer_->data == nullptr)
            buffer_->data = std::unique_ptr<char[], Release>(static_cast<char*>(std::malloc(size)));
        if (buffer_->data == nullptr) return nullptr;
        buffer_->capacity = size;
    }
    return buffer_->data.get();
}

void LentInput::filled(const char* data, size_t size) {
    reported_ = true;
    if (data == buffer_->data.get() && size > buffer_->touched) buffer_->touched = size;
}

LentOutput::LentOutput(quillet::writers::Output& out) : out_(out) {
    ThreadBuffers* buffers = thread_buffers();
    if (buffers == nullptr || buffers->output.lent) return;
    buffer_ = &buffers->output;
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
