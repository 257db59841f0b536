// SPDX-License-Identifier: MIT
#include "function.h"

#include <cstddef>

#include "names.h"
#include "recursion.h"
#include "support.h"

namespace sablewick {

namespace {

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Method* method = reinterpret_cast<Method*>(callable);
    Bound bound;
    if (!bind(method->def->sig, method->defaults, args, nargsf, kwnames, bound)) return nullptr;
    // Counted once bound, as the interpreter counts a call once its frame is made.
    ThreadCalls* calls = enter_call();
    if (!calls) return nullptr;
    PyObject* result = method->def->logic(method, bound.v);
    leave_call(calls);
    return result;
}

// Methods that take the instance alone, called with it alone: the call's own array is the bound values.
PyObject* self_only_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) return method_vectorcall(callable, args, nargsf, kwnames);
    Method* method = reinterpret_cast<Method*>(callable);
    ThreadCalls* calls = enter_call();
    if (!calls) return nullptr;
    PyObject* result = method->def->logic(method, args);
    leave_call(calls);
    return result;
}

// As for a Python function: on the class the method itself, on an instance a bound method.
PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// What calling a method comes to once the collector has cleared it: its defaults, namespace and class are
// gone, so it raises, as a cleared function does when it is called. Swapped in by method_clear, so that live
// methods pay nothing for it.
PyObject* cleared_vectorcall(PyObject* callable, PyObject* const*, size_t, PyObject*) {
    PyErr_Format(PyExc_TypeError, "%s() cannot be called: the garbage collector has cleared it",
                 reinterpret_cast<Method*>(callable)->def->sig.method);
    return nullptr;
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Method* m = reinterpret_cast<Method*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->globals);
    Py_VISIT(m->owner);
    Py_VISIT(m->defaults);
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->annotations);
    Py_VISIT(m->type_params);
    Py_VISIT(m->signature);
    Py_VISIT(m->dict);
    return 0;
}

int method_clear(PyObject* self) {
    Method* m = reinterpret_cast<Method*>(self);
    m->vectorcall = cleared_vectorcall;
    Py_CLEAR(m->globals);
    Py_CLEAR(m->owner);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->type_params);
    Py_CLEAR(m->signature);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Method*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* or_none(PyObject* value) {
    return Py_NewRef(value ? value : Py_None);
}

PyObject* method_repr(PyObject* self) {
    PyObject* qualname = reinterpret_cast<Method*>(self)->qualname;
    return PyUnicode_FromFormat("<function %U at %p>", qualname ? qualname : N.empty, self);
}

// Functions pickle and copy by reference: pickle looks the qualified name up in __module__, and copy.copy and
// copy.deepcopy return the object itself.
PyObject* method_reduce(PyObject* self, PyObject*) {
    // A cleared method's name is empty, as a cleared function's is: pickle then finds nothing under it.
    PyObject* qualname = reinterpret_cast<Method*>(self)->qualname;
    return Py_NewRef(qualname ? qualname : N.empty);
}

// Every field reads None once the collector has cleared the method (while a cycle it was in is broken up).
PyObject* get_name(PyObject* self, void*) {
    return or_none(reinterpret_cast<Method*>(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return or_none(reinterpret_cast<Method*>(self)->qualname);
}

// Setters with a function's checks and messages: names are str and cannot be deleted.
int set_text(PyObject*& slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(reinterpret_cast<Method*>(self)->name, value, "__name__ must be set to a string object");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(reinterpret_cast<Method*>(self)->qualname, value,
                    "__qualname__ must be set to a string object");
}

// __doc__ and __module__ take any object, and read None once deleted.
PyObject* get_doc(PyObject* self, void*) {
    return or_none(reinterpret_cast<Method*>(self)->doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<Method*>(self)->doc, Py_XNewRef(value));
    return 0;
}
PyObject* get_module(PyObject* self, void*) {
    return or_none(reinterpret_cast<Method*>(self)->module);
}
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<Method*>(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    Method* m = reinterpret_cast<Method*>(self);
    if (!m->annotations && !(m->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(m->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Method*>(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    return or_none(reinterpret_cast<Method*>(self)->defaults);
}
PyObject* get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}
PyObject* get_globals(PyObject* self, void*) {
    return or_none(reinterpret_cast<Method*>(self)->globals);
}
PyObject* get_builtins(PyObject*, void*) {
    return Py_NewRef(N.builtins_dict);
}
PyObject* get_type_params(PyObject* self, void*) {
    PyObject* type_params = reinterpret_cast<Method*>(self)->type_params;
    return type_params ? Py_NewRef(type_params) : PyTuple_New(0);
}
int set_type_params(PyObject* self, PyObject* value, void*) {
    // A function's check: any tuple, and no deletion.
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Method*>(self)->type_params, Py_NewRef(value));
    return 0;
}

// An inspect.Signature built from the parameter table, so that inspect, help() and pydoc show parameters,
// defaults and annotations without a code object.
PyObject* get_signature(PyObject* self, void*) {
    Method* m = reinterpret_cast<Method*>(self);
    if (m->signature) return Py_NewRef(m->signature);
    const Signature& sig = m->def->sig;
    Ref inspect = Ref::steal(PyImport_Import(N.inspect));
    if (!inspect) return nullptr;
    Ref parameter_type = getattr(inspect.get(), N.Parameter);
    if (!parameter_type) return nullptr;
    Ref kind = getattr(parameter_type.get(), N.POSITIONAL_OR_KEYWORD);
    Ref empty = kind ? getattr(parameter_type.get(), N.empty_keyword) : Ref();
    Ref parameters = empty ? Ref::steal(PyList_New(sig.count)) : Ref();
    if (!parameters) return nullptr;
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    if (!annotations) return nullptr;
    auto annotation_of = [&](PyObject* name) {
        PyObject* text = PyDict_GetItemWithError(annotations.get(), name);
        return text ? text : empty.get();
    };
    for (int i = 0; i < sig.count; ++i) {
        PyObject* name = *sig.params[i].name;
        // Without defaults (the collector has cleared them) every parameter is required, as in a function.
        PyObject* value =
            i < sig.required || !m->defaults ? empty.get() : PyTuple_GET_ITEM(m->defaults, i - sig.required);
        PyObject* args[] = {nullptr, name, kind.get(), value, annotation_of(name)};
        if (PyErr_Occurred()) return nullptr;
        PyObject* parameter = PyObject_Vectorcall(parameter_type.get(), args + 1,
                                                  2 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_parameter);
        if (!parameter) return nullptr;
        PyList_SET_ITEM(parameters.get(), i, parameter);
    }
    Ref signature_type = getattr(inspect.get(), N.Signature);
    if (!signature_type) return nullptr;
    PyObject* args[] = {nullptr, parameters.get(), annotation_of(N.return_keyword)};
    if (PyErr_Occurred()) return nullptr;
    return PyObject_Vectorcall(signature_type.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               N.kw_signature);
}

// What decorators and frameworks assign is what inspect.signature reports; deleting it brings the table's
// back.
int set_signature(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(reinterpret_cast<Method*>(self)->signature, Py_XNewRef(value));
    return 0;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* MethodType = nullptr;

bool init_method_type() {
    if (MethodType) return true;
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Method, vectorcall), Py_READONLY, nullptr},
        {"__dictoffset__", Py_T_PYSSIZET, offsetof(Method, dict), Py_READONLY, nullptr},
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Method, weakrefs), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
        {Py_tp_getset, method_getset},
        {Py_tp_methods, method_methods},
        {Py_tp_members, members},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "sablewick_asr.method",
        sizeof(Method),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    MethodType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    // 3.12.1 can fail here for want of memory without setting an exception.
    if (!MethodType && !PyErr_Occurred()) PyErr_NoMemory();
    return MethodType != nullptr;
}

Ref new_method(const MethodDef& def, PyObject* class_name, PyObject* globals, PyObject* defaults) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.sig.method));
    if (!name) return {};
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%U", class_name, name.get()));
    if (!qualname) return {};
    Ref doc = Ref::steal(PyUnicode_FromString(def.doc));
    if (!doc) return {};
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Annotation* a = def.annotations; a->name; ++a) {
        Ref text = Ref::steal(PyUnicode_FromString(a->text));
        if (!text || PyDict_SetItemString(annotations.get(), a->name, text.get()) < 0) return {};
    }
    Method* m = PyObject_GC_New(Method, MethodType);
    if (!m) return {};
    m->vectorcall = def.sig.count == 1 ? self_only_vectorcall : method_vectorcall;
    m->def = &def;
    m->globals = Py_NewRef(globals);
    m->owner = nullptr;
    m->defaults = Py_XNewRef(defaults);
    m->name = name.release();
    m->qualname = qualname.release();
    m->module = Py_NewRef(N.module_name);
    m->doc = doc.release();
    m->annotations = annotations.release();
    m->type_params = nullptr;
    m->signature = nullptr;
    m->dict = nullptr;
    m->weakrefs = nullptr;
    PyObject_GC_Track(m);
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

void set_owner(PyObject* method, PyObject* cls) {
    Method* m = reinterpret_cast<Method*>(method);
    Py_XSETREF(m->owner, Py_NewRef(cls));
}

}  // namespace sablewick
