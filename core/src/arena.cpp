#include "quillet/arena.hpp"

#include <algorithm>
#include <cstdlib>

namespace quillet {

namespace {

constexpr size_t kMinChunk = 16 * 1024;
// Chunks double up to this size and stay there, so a huge document wastes at most one chunk's tail.
constexpr size_t kMaxChunk = 64 * 1024 * 1024;

thread_local Arena* t_current = nullptr;

}  // namespace

struct Arena::Chunk {
    Chunk* previous;
};

Arena::Arena(size_t first_chunk) : next_chunk_(std::clamp(first_chunk, kMinChunk, kMaxChunk)) {}

Arena::~Arena() {
    while (chunks_ != nullptr) {
        Chunk* previous = chunks_->previous;
        std::free(chunks_);
        chunks_ = previous;
    }
}

void* Arena::allocate_slow(size_t bytes, size_t align) {
    const size_t header = (sizeof(Chunk) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    if (bytes > kMaxChunk || align > alignof(std::max_align_t)) {
        // Oversized or over-aligned requests get a chunk of their own; the current chunk stays in use.
        const size_t size = header + bytes + align;
        auto* chunk = static_cast<Chunk*>(std::malloc(size));
        if (chunk == nullptr) throw std::bad_alloc();
        reserved_ += size;
        if (chunks_ == nullptr) {
            chunk->previous = nullptr;
            chunks_ = chunk;
        } else {
            // Keep the current chunk at the head, so its tail stays usable.
            chunk->previous = chunks_->previous;
            chunks_->previous = chunk;
        }
        const uintptr_t p = (reinterpret_cast<uintptr_t>(chunk) + header + (align - 1)) & ~uintptr_t{align - 1};
        return reinterpret_cast<void*>(p);
    }
    const size_t size = std::max(next_chunk_, header + bytes + align);
    auto* chunk = static_cast<Chunk*>(std::malloc(size));
    if (chunk == nullptr) throw std::bad_alloc();
    reserved_ += size;
    chunk->previous = chunks_;
    chunks_ = chunk;
    next_ = reinterpret_cast<char*>(chunk) + header;
    end_ = reinterpret_cast<char*>(chunk) + size;
    next_chunk_ = std::min(next_chunk_ * 2, kMaxChunk);
    return allocate(bytes, align);
}

Arena* Arena::current() {
    return t_current;
}

Arena::Scope::Scope(Arena* arena) : previous_(t_current) {
    t_current = arena;
}

Arena::Scope::~Scope() {
    t_current = previous_;
}

}  // namespace quillet
