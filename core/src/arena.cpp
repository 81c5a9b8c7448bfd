#include "quillet/arena.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace quillet {

namespace {

constexpr size_t kMinChunk = 16 * 1024;
// Chunks double up to this size and stay there, so a huge document wastes at most one chunk's tail.
constexpr size_t kMaxChunk = 64 * 1024 * 1024;

}  // namespace

struct Arena::Chunk {
    Chunk* next;
    size_t size;  // in bytes, this header included
};

namespace {

// Where a chunk's memory begins, past its header.
constexpr size_t kHeader =
    (sizeof(void*) + sizeof(size_t) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

}  // namespace

Arena::Arena(size_t first_chunk) : next_chunk_(std::clamp(first_chunk, kMinChunk, kMaxChunk)) {}

struct Arena::Kept {
    Kept* next;
    void* block;
};

Arena::~Arena() {
    while (kept_ != nullptr) {
        Kept* next = kept_->next;
        std::free(kept_->block);
        std::free(kept_);
        kept_ = next;
    }
    while (first_ != nullptr) {
        Chunk* next = first_->next;
        std::free(first_);
        first_ = next;
    }
}

void* Arena::allocate_slow(size_t bytes, size_t align) {
    // No request can be this large; refusing it keeps the sizes below from wrapping around.
    if (bytes > static_cast<size_t>(-1) / 2 || align > kMaxChunk) throw std::bad_alloc();
    const size_t need = kHeader + bytes + align;
    // Chunks after the current one were given up by a rewind: use the first that is large enough.
    while (current_ != nullptr && current_->next != nullptr) {
        current_ = current_->next;
        next_ = reinterpret_cast<char*>(current_) + kHeader;
        end_ = reinterpret_cast<char*>(current_) + current_->size;
        if (current_->size >= need) return allocate(bytes, align);
    }
    // A new chunk, at the end of the list. One larger than the usual size holds a single huge request.
    const size_t size = std::max(next_chunk_, need);
    auto* chunk = static_cast<Chunk*>(std::malloc(size));
    if (chunk == nullptr) throw std::bad_alloc();
    chunk->next = nullptr;
    chunk->size = size;
    if (current_ == nullptr) {
        first_ = chunk;
    } else {
        current_->next = chunk;
    }
    current_ = chunk;
    next_ = reinterpret_cast<char*>(chunk) + kHeader;
    end_ = reinterpret_cast<char*>(chunk) + size;
    next_chunk_ = std::min(next_chunk_ * 2, kMaxChunk);
    return allocate(bytes, align);
}

void Arena::rewind(const Mark& mark) {
    if (mark.chunk == nullptr) {
        // Back to the very start: the first chunk (if any) is used again from its beginning.
        current_ = first_;
        next_ = first_ != nullptr ? reinterpret_cast<char*>(first_) + kHeader : nullptr;
        end_ = first_ != nullptr ? reinterpret_cast<char*>(first_) + first_->size : nullptr;
        return;
    }
    current_ = static_cast<Chunk*>(mark.chunk);
    next_ = mark.next;
    end_ = reinterpret_cast<char*>(current_) + current_->size;
}

void Arena::keep(void* block) {
    auto* kept = static_cast<Kept*>(std::malloc(sizeof(Kept)));
    if (kept == nullptr) {
        std::free(block);
        throw std::bad_alloc();
    }
    kept->next = kept_;
    kept->block = block;
    kept_ = kept;
}

}  // namespace quillet
