// SPDX-License-Identifier: MIT
// The function that callgrind collects in and dumps after, as the module `sablewick_bench_marker` that
// bench/run.py builds for the interpreter that runs it: call(function, argument) calls function(argument).
// A function of our own is found by its name in any interpreter, where the interpreter's own functions may be
// stripped of theirs (Debian's are).
#include <Python.h>

PyObject* sablewick_bench_marker(PyObject* module, PyObject* const* args, Py_ssize_t count) {
    (void)module;
    if (count != 2) {
        PyErr_SetString(PyExc_TypeError, "call(function, argument)");
        return NULL;
    }
    return PyObject_CallOneArg(args[0], args[1]);
}

static PyMethodDef methods[] = {
    {"call", (PyCFunction)(void (*)(void))sablewick_bench_marker, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "sablewick_bench_marker", NULL, 0, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_sablewick_bench_marker(void) {
    return PyModule_Create(&module);
}
