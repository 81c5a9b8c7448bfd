// The buffers a thread keeps for its writes: the UTF-8 of a str source that is not ASCII, and a writer's
// output before it becomes the result str.
//
// A big document written into fresh memory pays, besides the allocation, the kernel's zeroing of every page
// on its first touch, for the input's copy and for the output alike: more than the parse and the write of a
// plain document cost. A thread's buffers are kept from one write to the next, their pages mapped already.
// Each is lent to one call at a time: a call made while the thread's buffer is out (a code hook that writes
// another document) gets a buffer of its own, freed when it returns. A buffer a call filled beyond
// kKeptBufferBytes is given back when the call returns, so one huge document does not keep its size alive
// for the thread's lifetime.
//
// They hang on the Python thread state's dict (PyThreadState_GetDict), not in a C++ thread_local: a
// thread_local of a loaded module is allocated lazily, and glibc aborts the process when that allocation
// fails, where here a call without memory for them simply takes buffers of its own. They go when the thread
// state does (the thread's end). Lent and returned with the GIL held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <string>

#include "pyql/utf8.hpp"
#include "writer.hpp"

namespace quillet_native {

// The most a thread keeps of each buffer between calls; a call that fills more gives its buffer back. Big
// enough for the documents a server writes one after another, small enough that a pool of threads that
// each met one huge document keeps little.
inline constexpr size_t kKeptBufferBytes = size_t(16) << 20;

// This thread's input buffer, lent as the room a str's UTF-8 is encoded into (view_or_encode_utf8), for
// as long as this object lives.
class LentInput final : public pyql::Utf8Room {
public:
    // A room of quillet::kMapBlockBytes or more is a mapping of its own (quillet::map_block), outside malloc's
    // arenas: only its pages written are ever touched, and in a thread other than the main one it would
    // otherwise take most of a heap of the thread's arena, whose heaps hold 64 MiB at most.
    struct Release {
        Release() noexcept : mapped(0) {}
        explicit Release(size_t bytes) noexcept : mapped(bytes) {}
        void operator()(char* data) const noexcept;
        size_t mapped;  // 0: from std::malloc
    };
    struct Buffer {
        std::unique_ptr<char[], Release> data;
        size_t capacity = 0;
        size_t touched = 0;  // the most any call filled since it was allocated
        bool lent = false;
    };

    LentInput();
    ~LentInput();
    LentInput(const LentInput&) = delete;
    LentInput& operator=(const LentInput&) = delete;

    char* room(size_t size) override;
    // The call read its input from `data`, `size` bytes with the terminating zero: the room's first bytes
    // when the str was encoded into it.
    void filled(const char* data, size_t size);

private:
    Buffer own_;
    Buffer* buffer_;
    bool asked_ = false;     // room() was called
    bool reported_ = false;  // filled() was called
};

// This thread's output buffer, placed in `out` for as long as this object lives; `out` must outlive it.
class LentOutput {
public:
    struct Buffer {
        std::string bytes;
        bool lent = false;
    };

    explicit LentOutput(quillet::writers::Output& out);
    ~LentOutput();
    LentOutput(const LentOutput&) = delete;
    LentOutput& operator=(const LentOutput&) = delete;

private:
    quillet::writers::Output& out_;
    Buffer* buffer_ = nullptr;  // null: `out` keeps its own buffer
};

}  // namespace quillet_native
