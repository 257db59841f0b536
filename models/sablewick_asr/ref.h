// SPDX-License-Identifier: MIT
// Owning reference to a Python object: released when it goes out of scope, moved, never copied.
#pragma once

#include "compat.h"

// The process-wide caches (global lookups, the last cache key, the class locks' type) rely on the GIL.
#ifdef Py_GIL_DISABLED
#error "sablewick_asr needs an interpreter with the GIL; free-threaded builds are not supported"
#endif

#include <utility>

// Out-of-line error paths keep the hot paths short.
#if defined(__GNUC__) || defined(__clang__)
#define SABLEWICK_COLD __attribute__((cold, noinline))
#elif defined(_MSC_VER)
#define SABLEWICK_COLD __declspec(noinline)
#else
#define SABLEWICK_COLD
#endif

namespace sablewick {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (or null, with an exception set).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept { return steal(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

}  // namespace sablewick
