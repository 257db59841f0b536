#include "globals.h"

#include "names.h"

namespace sablewick {

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value) {
        if (PyErr_Occurred()) return {};
        value = PyDict_GetItemWithError(N.builtins_dict, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return {};
        }
    }
    return Ref::borrow(value);
}

}  // namespace sablewick
