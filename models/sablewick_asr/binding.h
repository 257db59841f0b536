// SPDX-License-Identifier: MIT
// Binding a call's arguments to a method's parameters, driven by the method's parameter table.
#pragma once

#include <initializer_list>

#include "ref.h"

namespace sablewick {

// How a parameter's value is tested or converted before the method's logic sees it.
enum class Rule : unsigned char {
    Any,       // every object, as it is
    ExactStr,  // type exactly str
    Int,       // exact int as it is, else int(value) for objects with the number protocol
    Float,     // exact float as it is, else float(value)
    Truth,     // True or False by the value's truth
};

struct Param {
    PyObject* const* name = nullptr;  // interned, matched by identity first
    const char* text = nullptr;       // the same name for messages
    Rule rule = Rule::Any;
};

constexpr int kMaxParams = 6;

// Every parameter is positional-or-keyword; the first `required` have no default.
struct Signature {
    const char* method;  // bare method name, as the messages show it
    int required;
    int count;
    Param params[kMaxParams];
    // Bit i set for parameter i: converted when given (float, int, truth), or tested for an exact str.
    unsigned converted;
    unsigned strings;

    constexpr Signature(const char* name, int min, int max, std::initializer_list<Param> list)
        : method(name), required(min), count(max), params{}, converted(0), strings(0) {
        unsigned i = 0;
        for (const Param& param : list) {
            params[i] = param;
            if (param.rule == Rule::ExactStr) {
                strings |= 1u << i;
            } else if (param.rule != Rule::Any) {
                converted |= 1u << i;
            }
            ++i;
        }
    }
};

// Bound values in parameter order. Values are borrowed from the call or the defaults, except converted
// ones, which the Bound owns until it goes out of scope.
class Bound {
  public:
    Bound() = default;
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound() {
        for (int i = 0; i < owned_count_; ++i) Py_DECREF(owned_[i]);
    }
    // Takes over a new reference (null: a failed conversion) and returns it.
    PyObject* own(PyObject* value) {
        if (value) owned_[owned_count_++] = value;
        return value;
    }

    PyObject* v[kMaxParams];

  private:
    PyObject* owned_[kMaxParams];
    int owned_count_ = 0;
};

// Binds a vectorcall (args, nargsf, kwnames) against `sig`; `defaults` holds the values of the parameters
// after the required ones. Returns false with TypeError (or a conversion's own error) set.
bool bind(const Signature& sig, PyObject* defaults, PyObject* const* args, size_t nargsf, PyObject* kwnames,
          Bound& out);

}  // namespace sablewick
