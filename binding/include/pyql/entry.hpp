// What every entry point that parses does first, in pyql and in quillet._native alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>

#include "quillet/parser.hpp"

namespace pyql {

// libstdc++ keeps the state of exceptions in storage of its own per thread, allocated when a thread first
// uses it. Were that first use the throw of a std::bad_alloc with memory exhausted, the allocation would fail
// and the C library would end the process. Reading the state before a parse takes any memory allocates it,
// so every later throw in the thread is safe. (The store to a volatile keeps the call: it is a pure function.)
inline void prepare_thread_for_exceptions() {
    volatile int uncaught = std::uncaught_exceptions();
    (void)uncaught;
}

// Offsets are 32-bit: a longer input could not be described by its spans. False with ValueError for an
// input of `size` bytes of UTF-8 that the parser cannot take.
inline bool input_size_ok(uint64_t size) {
    if (size < quillet::kMaxInputSize) return true;
    PyErr_Format(PyExc_ValueError, "input too large: %llu bytes of UTF-8 (the limit is %llu bytes)",
                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(quillet::kMaxInputSize - 1));
    return false;
}

// Runs `call` (which returns a new reference, or null with an exception set) so that no C++ exception
// crosses into the interpreter: std::bad_alloc becomes MemoryError, any other exception RuntimeError or
// SystemError naming `module`; what a Ref or a destructor holds is released by the unwinding.
template <class Call>
PyObject* without_exceptions(const char* module, Call&& call) noexcept {
    prepare_thread_for_exceptions();
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "%s: internal error: %s", module, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unknown internal error", module);
    }
    return nullptr;
}

}  // namespace pyql
