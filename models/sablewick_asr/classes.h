// SPDX-License-Identifier: MIT
// Creating a recogniser class the way a Python class statement does, through the base's metaclass.
#pragma once

#include "function.h"

namespace sablewick {

constexpr int kMethodsPerClass = 7;

struct ClassSpec {
    PyObject* const* name;  // interned
    const char* doc;
    const MethodDef* methods[kMethodsPerClass];  // in namespace order; the first is __init__
};

// Creates the class and binds it under its name in `globals`. Returns false with an exception set.
bool create_class(PyObject* globals, const ClassSpec& spec);

}  // namespace sablewick
