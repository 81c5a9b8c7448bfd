// Huge pages for the few big blocks of fresh memory a call fills: a result str, an outline's rows.
//
// Fresh memory is mapped and zeroed by the kernel on first touch, 4 KiB at a time; for tens of megabytes
// that costs as much as the work that fills it. Transparent huge pages (where the system leaves them to
// the program's advice) map it 2 MiB at a time. Only for blocks of kHugeBlockBytes or more: glibc gives an
// allocation that big a mapping of its own and unmaps it when it is freed, so the advice goes with the
// block and never lingers on memory the allocator keeps (where the kernel could fill whole huge pages
// around a few small allocations). Only the 2 MiB pages inside the block are advised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillet::writers {

#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
inline constexpr size_t kHugeBlockBytes = size_t(32) << 20;

inline void prefer_huge_pages(void* data, size_t bytes) {
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    if (bytes < kHugeBlockBytes) return;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHugePage - 1);
    // Advice only: where the kernel refuses it, the memory is used as it would have been.
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}
#else
inline void prefer_huge_pages(void*, size_t) {}
#endif

// std::allocator, with big blocks advised to huge pages: for a vector that may grow to tens of megabytes
// within one call (an outline's rows of a document of tiny blocks).
template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        T* data = std::allocator<T>().allocate(n);
        prefer_huge_pages(data, n * sizeof(T));
        return data;
    }
    void deallocate(T* data, size_t n) noexcept { std::allocator<T>().deallocate(data, n); }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const HugePageAllocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace quillet::writers
