// SPDX-License-Identifier: MIT
#include "recursion.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#if defined(__GLIBC__) && defined(__x86_64__)
#if __GLIBC_PREREQ(2, 34)
// glibc 2.32 and 2.34 moved these calls into libc under new symbol versions. Binding to the versions that
// every x86-64 glibc has (libpthread's before 2.34, kept in libc since) keeps the module loadable on the
// oldest systems a manylinux2014 wheel admits; the functions are the same.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getguardsize,pthread_attr_getguardsize@GLIBC_2.2.5");
__asm__(".symver pthread_key_create,pthread_key_create@GLIBC_2.2.5");
__asm__(".symver pthread_getspecific,pthread_getspecific@GLIBC_2.2.5");
__asm__(".symver pthread_setspecific,pthread_setspecific@GLIBC_2.2.5");
#endif
#endif

namespace sablewick {

namespace {

// What stays free below the last method that may start. One level of recursion through the methods alone
// (a method, a C callable, the method again) takes about 600 bytes of stack, through a Python callback
// about 1.5 kB more; the margin leaves room for what the failing calls do once the error is raised: their
// error lines go to the host's logger, which may run Python code and C below it. Sanitizer builds take
// several times the stack per frame. CPython 3.14 keeps the same room below its own checks.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uintptr_t kMargin = std::uintptr_t{64} * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::uintptr_t kMargin = std::uintptr_t{64} * 1024;
#else
constexpr std::uintptr_t kMargin = std::uintptr_t{32} * 1024;
#endif
#else
constexpr std::uintptr_t kMargin = std::uintptr_t{32} * 1024;
#endif

// The usable stack of the calling thread, [low, high), or false when the platform does not say.
bool thread_stack(std::uintptr_t& low, std::uintptr_t& high) {
#if defined(_WIN32)
    ULONG_PTR lowest = 0;
    ULONG_PTR highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    // The pages that Windows keeps for handling a stack overflow are not ours to use.
    ULONG guarantee = 0;
    SetThreadStackGuarantee(&guarantee);
    low = static_cast<std::uintptr_t>(lowest) + guarantee;
    high = static_cast<std::uintptr_t>(highest);
    return low < high;
#elif defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* address = nullptr;
    std::size_t size = 0;
    std::size_t guard = 0;
    int failed = pthread_attr_getstack(&attributes, &address, &size);
    failed |= pthread_attr_getguardsize(&attributes, &guard);
    pthread_attr_destroy(&attributes);
    if (failed) return false;
    low = reinterpret_cast<std::uintptr_t>(address) + guard;
    high = reinterpret_cast<std::uintptr_t>(address) + size;
    return low < high;
#else
    (void)low;
    (void)high;
    return false;
#endif
}

// The thread that called last and its record, read before the slot: most calls come from the thread that
// made the previous one. Written under the GIL; a thread that ends takes its record out of here first
// (without the GIL, hence atomic), since its identifier may come back with a new thread.
std::atomic<std::uintptr_t> g_last_thread{0};
std::atomic<ThreadCalls*> g_last_calls{nullptr};

std::uintptr_t current_thread() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    return static_cast<std::uintptr_t>(pthread_self());
#endif
}

void forget(void* calls) {
    if (g_last_calls.load(std::memory_order_acquire) == calls)
        g_last_thread.store(0, std::memory_order_release);
    std::free(calls);
}

// The slot of the per-thread records; each thread's is freed with the thread.
#if defined(_WIN32)
DWORD g_slot = FLS_OUT_OF_INDEXES;
void WINAPI release_calls(void* calls) {
    forget(calls);
}
#else
pthread_key_t g_slot;
void release_calls(void* calls) {
    forget(calls);
}
#endif
bool g_slot_made = false;

SABLEWICK_COLD ThreadCalls* new_thread_calls() {
    auto* calls = static_cast<ThreadCalls*>(std::malloc(sizeof(ThreadCalls)));
    if (!calls) {
        PyErr_NoMemory();
        return nullptr;
    }
    *calls = {0, 0, 0};
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    const std::uintptr_t here = stack_pointer();
    // Without the stack's bounds (an unknown platform) the depth alone is counted.
    if (thread_stack(low, high) && here > low && here <= high) {
        calls->floor = high - low > 2 * kMargin ? low + kMargin : low + (high - low) / 2;
        calls->top = high;
    }
#if defined(_WIN32)
    const bool kept = FlsSetValue(g_slot, calls) != 0;
#else
    const bool kept = pthread_setspecific(g_slot, calls) == 0;
#endif
    if (!kept) {
        std::free(calls);
        PyErr_NoMemory();
        return nullptr;
    }
    return calls;
}

}  // namespace

bool init_thread_calls() {
    if (g_slot_made) return true;
#if defined(_WIN32)
    g_slot = FlsAlloc(release_calls);
    g_slot_made = g_slot != FLS_OUT_OF_INDEXES;
#else
    g_slot_made = pthread_key_create(&g_slot, release_calls) == 0;
#endif
    if (!g_slot_made) PyErr_SetString(PyExc_RuntimeError, "no thread-specific storage slot left");
    return g_slot_made;
}

ThreadCalls* thread_calls() {
    const std::uintptr_t thread = current_thread();
    if (thread == g_last_thread.load(std::memory_order_acquire))
        return g_last_calls.load(std::memory_order_relaxed);
#if defined(_WIN32)
    auto* calls = static_cast<ThreadCalls*>(FlsGetValue(g_slot));
#else
    auto* calls = static_cast<ThreadCalls*>(pthread_getspecific(g_slot));
#endif
    if (!calls && !(calls = new_thread_calls())) return nullptr;
    g_last_calls.store(calls, std::memory_order_relaxed);
    g_last_thread.store(thread, std::memory_order_release);
    return calls;
}

bool enter_checked(ThreadCalls& calls, std::uintptr_t here) {
    if (calls.depth > Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return false;
    }
    // Below the floor but not past the stack's end: a stack that is not the thread's own (a coroutine
    // library's) is left alone, as CPython does.
    if (here < calls.floor && here + kMargin >= calls.floor) {
        PyErr_Format(PyExc_RecursionError, "Stack overflow (used %d kB) while calling a Python object",
                     static_cast<int>((calls.top - here) / 1024));
        return false;
    }
    return true;
}

}  // namespace sablewick
