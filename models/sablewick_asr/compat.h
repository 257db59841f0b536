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

// What a function's __annotations__ raises when __annotate__ gives something else than a dict.
#if PY_VERSION_HEX >= 0x030F0000
#define SABLEWICK_ANNOTATE_NOT_DICT(value) \
    PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", value)
#else
#define SABLEWICK_ANNOTATE_NOT_DICT(value) \
    PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(value)->tp_name)
#endif
