#include "quillet/arena.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

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
    size_t mapped;  // 0: from malloc
};

#if defined(__linux__) && defined(MREMAP_MAYMOVE)
namespace {

constexpr uintptr_t kHugePage = uintptr_t(2) << 20;

size_t page_rounded(size_t bytes) {
    static const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) & ~(page - 1);
}

}  // namespace

// The mapping starts on a huge page's boundary (the kernel maps huge pages only on their boundaries): a
// huge page more is mapped, then the ends around the aligned block are given back.
void* map_block(size_t bytes) noexcept {
    bytes = page_rounded(bytes);
    if (bytes > SIZE_MAX - kHugePage) return nullptr;
    const size_t span = bytes + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) (void)munmap(raw, aligned - start);
    if (start + span > aligned + bytes)
        (void)munmap(reinterpret_cast<void*>(aligned + bytes), start + span - aligned - bytes);
    void* block = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    // Advice only: where the kernel refuses it, the pages are small ones.
    (void)madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
}

// The block stays one mapping, grown where it lies or moved whole by the kernel, its pages with it: its
// bytes are never copied. (Moved, it may lose its huge page boundary.)
void* remap_block(void* block, size_t old_bytes, size_t bytes) noexcept {
    void* moved = mremap(block, page_rounded(old_bytes), page_rounded(bytes), MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : moved;
}

void unmap_block(void* block, size_t bytes) noexcept {
    (void)munmap(block, page_rounded(bytes));
}
#else
void* map_block(size_t) noexcept {
    return nullptr;
}

void* remap_block(void*, size_t, size_t) noexcept {
    return nullptr;
}

void unmap_block(void*, size_t) noexcept {}
#endif

void free_block(void* block, size_t mapped) noexcept {
    if (mapped != 0) {
        unmap_block(block, mapped);
    } else {
        std::free(block);
    }
}

Arena::~Arena() {
    while (kept_ != nullptr) {
        Kept* next = kept_->next;
        free_block(kept_->block, kept_->mapped);
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

void Arena::keep(void* block, size_t mapped) {
    auto* kept = static_cast<Kept*>(std::malloc(sizeof(Kept)));
    if (kept == nullptr) {
        free_block(block, mapped);
        throw std::bad_alloc();
    }
    kept->next = kept_;
    kept->block = block;
    kept->mapped = mapped;
    kept_ = kept;
}

}  // namespace quillet
