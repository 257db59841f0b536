// Binding a call's arguments to a method's parameters, driven by the method's parameter table.
#pragma once

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
    PyObject* const* name;  // interned, matched by identity first
    const char* text;       // the same name for messages
    Rule rule;
};

constexpr int kMaxParams = 6;

// Every parameter is positional-or-keyword; the first `required` have no default.
struct Signature {
    const char* method;  // bare method name, as the messages show it
    int required;
    int count;
    Param params[kMaxParams];
};

// Bound values in parameter order. Values are borrowed from the call or the defaults, except converted
// ones, which `owned` keeps alive.
struct Bound {
    PyObject* v[kMaxParams];
    Ref owned[kMaxParams];
};

// Binds a vectorcall (args, nargsf, kwnames) against `sig`; `defaults` holds the values of the parameters
// after the required ones. Returns false with TypeError (or a conversion's own error) set.
bool bind(const Signature& sig, PyObject* defaults, PyObject* const* args, size_t nargsf, PyObject* kwnames,
          Bound& out);

}  // namespace sablewick
