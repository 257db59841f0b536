// Module-global lookup: the module namespace first, then the builtins, as Python code looks names up.
#pragma once

#include "ref.h"

namespace sablewick {

// The value bound to `name`, or null with NameError "name '...' is not defined" (or the dict's own error).
Ref lookup_global(PyObject* globals, PyObject* name);

}  // namespace sablewick
