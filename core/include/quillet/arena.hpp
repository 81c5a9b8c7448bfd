// The memory of one parse: a bump allocator, and the allocator of the document model's sequences.
//
// A parse builds tens of thousands of small sequences (the inline nodes of every paragraph, the children of
// every emphasis, the cells of every row) and drops them all at once with the document. Taking them from an
// arena owned by the Document makes each allocation a pointer bump and the release one free per chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace quillet {

class Arena {
public:
    // `first_chunk` sizes the first block of memory, taken on the first allocation.
    explicit Arena(size_t first_chunk = 0);
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // `bytes` of memory aligned to `align` (a power of two); throws std::bad_alloc when none is left.
    void* allocate(size_t bytes, size_t align) {
        const uintptr_t p = (reinterpret_cast<uintptr_t>(next_) + (align - 1)) & ~uintptr_t{align - 1};
        const auto end = reinterpret_cast<uintptr_t>(end_);
        if (next_ == nullptr || p > end || bytes > end - p) return allocate_slow(bytes, align);
        next_ = reinterpret_cast<char*>(p + bytes);
        return reinterpret_cast<void*>(p);
    }

    // A point to come back to: everything allocated after it is given up at once by rewind(), and its
    // memory is used again by later allocations.
    struct Mark {
        void* chunk;
        char* next;
    };
    Mark mark() const { return Mark{current_, next_}; }
    void rewind(const Mark& mark);

    // Takes `block`, from std::malloc (or, with `mapped` bytes, from map_block), and frees it with the
    // arena: memory filled elsewhere that becomes part of the tree as it stands (a huge text's nodes), where
    // copying it in would hold it twice. A rewind never gives it back. On failure (std::bad_alloc) the block
    // is freed all the same.
    void keep(void* block, size_t mapped = 0);

private:
    struct Chunk;
    struct Kept;
    void* allocate_slow(size_t bytes, size_t align);

    Kept* kept_ = nullptr;      // the blocks taken by keep()
    Chunk* first_ = nullptr;    // chunks in the order they were taken
    Chunk* current_ = nullptr;  // the one allocations come from; those after it are free again
    char* next_ = nullptr;
    char* end_ = nullptr;
    size_t next_chunk_;
};

// A big array that grows, in a mapping of its own: advised to huge pages before its first touch, and grown
// by moving its pages (mremap), not its bytes. Memory from malloc's heap depends on what the process did
// before: glibc keeps freed memory or gives it back to the system by thresholds that move with the sizes
// freed, and fresh pages cost a fault each (about 3 microseconds a page on a virtual machine), so the same
// parse could take twice as long from one call to the next. Null where the system gives no such mapping;
// the caller then uses malloc. remap_block gives null on failure, `block` left as it was.
// kMapBlockBytes is where a growing array leaves malloc for a mapping of its own; free_block frees a block
// from std::malloc (`mapped` 0) or from map_block (`mapped` its bytes).
inline constexpr size_t kMapBlockBytes = size_t(4) << 20;
void* map_block(size_t bytes) noexcept;
void* remap_block(void* block, size_t old_bytes, size_t bytes) noexcept;
void unmap_block(void* block, size_t bytes) noexcept;
void free_block(void* block, size_t mapped) noexcept;

// The allocator of the model's sequences. A sequence takes its memory from the arena it was made with, or
// from the heap when it was made without one; it keeps that source for its lifetime and hands it on when it
// is moved or swapped, so a tree built by a parse lies in that parse's arena and must not outlive it. Memory
// from an arena is never given back one piece at a time. (The source is passed, never looked up in a
// thread-local: a thread-local's storage is allocated on its first use in a thread, which can fail and abort
// the process when memory runs short.)
template <class T>
class ArenaAllocator {
public:
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    ArenaAllocator() noexcept = default;
    // Takes its memory from `arena`, or from the heap when that is null.
    explicit ArenaAllocator(Arena* arena) noexcept : source_(arena) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) noexcept : source_(other.source()) {}

    // A copied sequence takes its memory from the heap, like a new one.
    ArenaAllocator select_on_container_copy_construction() const noexcept { return {}; }

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        if (source_ == nullptr) return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{alignof(T)}));
        return static_cast<T*>(source_->allocate(n * sizeof(T), alignof(T)));
    }

    void deallocate(T* p, size_t) noexcept {
        if (source_ == nullptr) ::operator delete (p, std::align_val_t{alignof(T)});
    }

    Arena* source() const noexcept { return source_; }

    template <class U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept {
        return source_ == other.source();
    }

private:
    Arena* source_ = nullptr;  // null: the heap
};

}  // namespace quillet
