// SPDX-License-Identifier: MIT
// What the two recognisers' constructors share: the base-class call through zero-argument super() and the
// load that ends construction.
#include "globals.h"
#include "names.h"
#include "recogniser.h"
#include "support.h"

namespace sablewick {

namespace {

// What super(owner, self).__init__ finds, the next __init__ after owner in type(self).__mro__, when it is a
// function or method descriptor (then called with self first, as the bound method would be). Null, with no
// exception set, in every other case: the generic super() path handles those.
PyObject* next_plain_init(PyObject* owner, PyObject* self) {
    PyTypeObject* start = Py_TYPE(self);
    PyObject* mro = start->tp_mro;
    if (!mro || !PyType_Check(owner) || !PyType_IsSubtype(start, reinterpret_cast<PyTypeObject*>(owner))) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i + 1 < n && PyTuple_GET_ITEM(mro, i) != owner) ++i;
    for (++i; i < n; ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) return nullptr;
        // Borrowed from the namespace, which the class in the MRO keeps alive.
        PyObject* init = PyDict_GetItemWithError(dict.get(), N.__init__);
        if (init) return PyType_HasFeature(Py_TYPE(init), Py_TPFLAGS_METHOD_DESCRIPTOR) ? init : nullptr;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace

bool init_base(Method* method, PyObject* self, PyObject* model, PyObject* device, PyObject* model_type) {
    if (!method->owner) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return false;
    }
    Ref base_init = Ref::borrow(next_plain_init(method->owner, self));
    const bool unbound = static_cast<bool>(base_init);
    if (!unbound) {
        PyObject* super_args[] = {method->owner, self};
        Ref super = Ref::steal(
            PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
        if (!super) return false;
        base_init = getattr(super.get(), N.__init__);
        if (!base_init) return false;
    }
    Ref member;
    if (!model_type) {
        Ref model_types = lookup_global(method->globals, Global::ModelType);
        if (!model_types) return false;
        member = getattr(model_types.get(), N.SABLEWICK);
        if (!member) return false;
        model_type = member.get();
    }
    PyObject* args[] = {nullptr, self, model, N.empty, device, model_type};
    PyObject* const* first = unbound ? args + 1 : args + 2;
    size_t count = (unbound ? 1 : 0) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return static_cast<bool>(Ref::steal(PyObject_Vectorcall(base_init.get(), first, count, N.kw_base_init)));
}

PyObject* finish_construction(Method* method, PyObject* self) {
    int available = engine_available(method->globals);
    if (available < 0 || (available && !call_method(self, N._load_model))) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace sablewick
