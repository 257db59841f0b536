// SPDX-License-Identifier: MIT
#include "classes.h"

#include "globals.h"
#include "names.h"
#include "support.h"

namespace sablewick {

namespace {

// PEP 560: a base that is not a class but has __mro_entries__ stands for the bases it returns.
Ref resolve_bases(PyObject* bases) {
    Ref resolved;  // a list, made at the first base that changes
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(bases); i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        Ref entries_of;
        if (!PyType_Check(base)) {
            entries_of = getattr(base, N.__mro_entries__);
            if (!entries_of) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
                PyErr_Clear();
            }
        }
        if (!entries_of) {
            if (resolved && PyList_Append(resolved.get(), base) < 0) return {};
            continue;
        }
        Ref entries = Ref::steal(PyObject_CallOneArg(entries_of.get(), bases));
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        if (!resolved) {
            Ref before = Ref::steal(PyTuple_GetSlice(bases, 0, i));
            if (!before || !(resolved = Ref::steal(PySequence_List(before.get())))) return {};
        }
        if (PyList_SetSlice(resolved.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get()) < 0) return {};
    }
    if (!resolved) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases' types.
PyObject* calculate_metaclass(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(
            PyExc_TypeError,
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
            "metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) {
    Ref prepare = getattr(metaclass, N.__prepare__);
    if (!prepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        return Ref::steal(PyDict_New());
    }
    PyObject* args[] = {name, bases};
    return Ref::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
}

bool set_item(PyObject* mapping, PyObject* key, PyObject* value) {
    return value && PyObject_SetItem(mapping, key, value) == 0;
}

}  // namespace

bool create_class(PyObject* globals, const ClassSpec& spec) {
    Ref name = Ref::borrow(*spec.name);
    Ref base = lookup_global(globals, N.BaseASR);
    if (!base) return false;
    Ref original_bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!original_bases) return false;
    Ref bases = resolve_bases(original_bases.get());
    if (!bases) return false;
    PyObject* metaclass = calculate_metaclass(bases.get());
    if (!metaclass) return false;
    Ref keep_metaclass = Ref::borrow(metaclass);

    Ref ns = prepare_namespace(metaclass, name.get(), bases.get());
    if (!ns) return false;
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    if (!doc) return false;  // before anything else is called with its MemoryError set
    if (!set_item(ns.get(), N.__module__, N.module_name) || !set_item(ns.get(), N.__qualname__, name.get()) ||
        !set_item(ns.get(), N.__doc__, doc.get())) {
        return false;
    }
    if (bases.get() != original_bases.get() && !set_item(ns.get(), N.__orig_bases__, original_bases.get())) {
        return false;
    }

    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || PyDict_SetItem(annotations.get(), N._model_cache, N.dict_str_any) < 0) return false;
    if (!set_item(ns.get(), N.__annotations__, annotations.get())) return false;
    if (!set_item(ns.get(), N._model_cache, Ref::steal(PyDict_New()).get())) return false;
    Ref threading = lookup_global(globals, N.threading);
    if (!threading) return false;
    Ref lock_type = getattr(threading.get(), N.Lock);
    if (!lock_type) return false;
    if (!set_item(ns.get(), N._cache_lock, Ref::steal(PyObject_CallNoArgs(lock_type.get())).get()))
        return false;

    Ref init;
    for (const MethodDef* def : spec.methods) {
        Ref defaults;
        if (def->make_defaults && !(defaults = def->make_defaults(globals))) return false;
        Ref method = new_method(*def, name.get(), globals, defaults.get());
        if (!method) return false;
        if (!set_item(ns.get(), reinterpret_cast<Method*>(method.get())->name, method.get())) return false;
        if (!init) init = Ref::borrow(method.get());
    }

    PyObject* args[] = {name.get(), bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(metaclass, args, 3, nullptr));
    if (!cls) return false;
    set_owner(init.get(), cls.get());
    return PyDict_SetItem(globals, name.get(), cls.get()) == 0;
}

}  // namespace sablewick
