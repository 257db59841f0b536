// SPDX-License-Identifier: MIT
// Recursion through the methods: every method call counts against the interpreter's recursion limit, as a
// Python function call does, and none starts too close to the end of the thread's stack.
#pragma once

#include <cstdint>

#include "ref.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace sablewick {

// One per thread, made on its first method call and freed when the thread ends: how deep the methods are
// nested on it, and where its stack ends.
struct ThreadCalls {
    int depth;
    std::uintptr_t floor;  // no method starts below this address; 0 when the stack's bounds are unknown
    std::uintptr_t top;    // the stack's upper end, for the message
};

// Readies the per-thread slot once per process. Returns false with an exception set.
bool init_thread_calls();

// The calling thread's record, or null with MemoryError set. Kept in a slot of the platform's thread-specific
// storage rather than a C++ thread_local: a dynamically loaded module's thread_local needs the dynamic
// loader's TLS machinery, which LeakSanitizer's scan of threads cannot always follow.
ThreadCalls* thread_calls();

// Where the stack is now; it grows down, toward `floor`. The register itself where it can be read, which
// costs the caller no frame of its own.
inline std::uintptr_t stack_pointer() {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    std::uintptr_t sp = 0;
    __asm__("mov %%rsp, %0" : "=r"(sp));
    return sp;
#elif defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#elif defined(_MSC_VER)
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#endif
}

// The slow side of entering a method, once `depth` has been counted up: RecursionError when the depth is
// past the limit or `here` below the floor. Returns false with the error set.
bool enter_checked(ThreadCalls& calls, std::uintptr_t here);

// Counts a method call in on the calling thread: its record, or null with RecursionError set. Every record
// returned goes to leave_call once the call is done.
inline ThreadCalls* enter_call() {
    ThreadCalls* calls = thread_calls();
    if (!calls) return nullptr;
    const std::uintptr_t here = stack_pointer();
    // The limit is at least 1, so an outermost call needs no look at it.
    ++calls->depth;
    if (((calls->depth > 1 && calls->depth > Py_GetRecursionLimit()) || here < calls->floor) &&
        !enter_checked(*calls, here)) {
        --calls->depth;
        return nullptr;
    }
    return calls;
}

inline void leave_call(ThreadCalls* calls) {
    --calls->depth;
}

}  // namespace sablewick
