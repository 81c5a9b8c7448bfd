// QUILLET_ALIGNED_BLOCKS: 1 where a scan may read whole aligned 16-byte blocks with SSE2 (the inline
// parser's search for openers, the JSON writer's search for escapes), 0 where it reads byte by byte.
//
// Reading whole aligned blocks is safe for the machine (an aligned block never crosses a page) but not for
// AddressSanitizer or MemorySanitizer, which check the bytes of the text's object only.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QUILLET_ALIGNED_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUILLET_ALIGNED_BLOCKS 0
#endif
#endif
#if !defined(QUILLET_ALIGNED_BLOCKS)
#if defined(__SSE2__)
#define QUILLET_ALIGNED_BLOCKS 1
#else
#define QUILLET_ALIGNED_BLOCKS 0
#endif
#endif

#if QUILLET_ALIGNED_BLOCKS
#include <emmintrin.h>
#endif
