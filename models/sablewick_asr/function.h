// SPDX-License-Identifier: MIT
// The method object shared by every method of both recognisers: a descriptor that binds like a Python
// function, entered through vectorcall, reporting the introspection attributes of a function.
#pragma once

#include "binding.h"

namespace sablewick {

struct Method;
struct ClassTexts;

// A method's logic, given the bound values in parameter order (v[0] is the instance).
using Logic = PyObject* (*)(Method* method, PyObject* const* v);

struct Annotation {
    const char* name;
    const char* text;
};

// Everything fixed about one method of one class.
struct MethodDef {
    Signature sig;
    Logic logic;
    const char* doc;
    Annotation annotations[kMaxParams + 1];   // ends at the first entry without a name
    Ref (*make_defaults)(PyObject* globals);  // the __defaults__ tuple, made at class creation; null: none
    const ClassTexts* texts;                  // the class's own texts, for the routines both classes share
};

struct Method {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* globals;   // the module namespace the method's names are looked up in (__globals__)
    PyObject* owner;     // the class, for the zero-argument super() of __init__; null until set
    PyObject* defaults;  // tuple, or null when the method has none; read-only, since binding uses it
    // What introspection reports and tools may rewrite, as on a function; no call reads them.
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict; null once deleted, and a new one on the next read
#if SABLEWICK_HAS_ANNOTATE
    PyObject* annotate;  // what __annotate__ reports: None, a callable, or null for the method's own one
#endif
    PyObject* type_params;  // tuple; null reads as an empty one
    PyObject* code;         // __code__, for inspect; made when first read
    PyObject* dict;         // __dict__, made when first used; holds __signature__ once one is assigned
    PyObject* weakrefs;
};

extern PyTypeObject* MethodType;

// Readies the type once per process.
bool init_method_type();

Ref new_method(const MethodDef& def, PyObject* class_name, PyObject* globals, PyObject* defaults);

// Gives the method its class object, for zero-argument super().
void set_owner(PyObject* method, PyObject* cls);

}  // namespace sablewick
