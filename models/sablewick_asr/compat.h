// SPDX-License-Identifier: MIT
// What differs between the interpreter versions the module is built for, decided here alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// 3.14 (PEP 649, PEP 749): functions have __annotate__, from which __annotations__ comes, and
// functools.update_wrapper copies __annotate__ instead of __annotations__.
#if PY_VERSION_HEX >= 0x030E0000
#define SABLEWICK_HAS_ANNOTATE 1
#else
#define SABLEWICK_HAS_ANNOTATE 0
#endif
