// SPDX-License-Identifier: MIT
#include "function.h"

#include <cstddef>

#include "names.h"
#include "recursion.h"
#include "support.h"

namespace sablewick {

namespace {

// A new dict of the method's annotation texts.
Ref new_annotations(const MethodDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Annotation* a = def.annotations; a->name; ++a) {
        Ref text = Ref::steal(PyUnicode_FromString(a->text));
        if (!text || PyDict_SetItemString(annotations.get(), a->name, text.get()) < 0) return {};
    }
    return annotations;
}

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
#if SABLEWICK_HAS_ANNOTATE
    Py_VISIT(m->annotate);
#endif
    Py_VISIT(m->type_params);
    Py_VISIT(m->code);
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
#if SABLEWICK_HAS_ANNOTATE
    Py_XSETREF(m->annotate, Py_NewRef(Py_None));  // none of its own any more, as a cleared function has none
#endif
    Py_CLEAR(m->type_params);
    Py_CLEAR(m->dict);
    // The code stays: it refers to nothing that could lead back here, and the signature comes from it.
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Method*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    Method* m = reinterpret_cast<Method*>(self);
#if SABLEWICK_HAS_ANNOTATE
    Py_CLEAR(m->annotate);
#endif
    Py_CLEAR(m->code);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* or_none(PyObject* value) {
    return Py_NewRef(value ? value : Py_None);
}

// Once the collector has cleared the method (while a cycle it was in is broken up), its names read empty, as
// a cleared function's do, and every other field reads None.
PyObject* or_empty(PyObject* value) {
    return Py_NewRef(value ? value : N.empty);
}
PyObject* get_name(PyObject* self, void*) {
    return or_empty(reinterpret_cast<Method*>(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return or_empty(reinterpret_cast<Method*>(self)->qualname);
}

PyObject* method_repr(PyObject* self) {
    Ref qualname = Ref::steal(get_qualname(self, nullptr));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Functions pickle and copy by reference: pickle looks the qualified name up in __module__, and copy.copy and
// copy.deepcopy return the object itself.
PyObject* method_reduce(PyObject* self, PyObject*) {
    // A cleared method's name is empty, as a cleared function's is: pickle then finds nothing under it.
    return get_qualname(self, nullptr);
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

#if SABLEWICK_HAS_ANNOTATE
// The method's own __annotate__: the annotation texts, which are strings already, for the formats that ask
// for values, forward references or strings; NotImplementedError for the others, as PEP 649 asks of an
// annotate function (VALUE_WITH_FAKE_GLOBALS is for Python functions, whose globals can be swapped).
PyObject* own_annotate(PyObject* self, PyObject* format) {
    const long value = PyLong_AsLong(format);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    constexpr long kValue = 1, kForwardRef = 3, kString = 4;
    if (value != kValue && value != kForwardRef && value != kString) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    return new_annotations(*reinterpret_cast<Method*>(self)->def).release();
}
PyMethodDef own_annotate_def = {"__annotate__", own_annotate, METH_O, nullptr};

PyObject* get_annotate(PyObject* self, void*) {
    Method* m = reinterpret_cast<Method*>(self);
    // Made on the first read; it holds the method, which holds it (a cycle the collector sees).
    if (!m->annotate && !(m->annotate = PyCFunction_NewEx(&own_annotate_def, self, N.module_name)))
        return nullptr;
    return Py_NewRef(m->annotate);
}
// A function's checks: a callable, from which __annotations__ then comes, or None, which leaves them.
int set_annotate(PyObject* self, PyObject* value, void*) {
    Method* m = reinterpret_cast<Method*>(self);
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None) {
        if (!PyCallable_Check(value)) {
            PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
            return -1;
        }
        Py_CLEAR(m->annotations);
    }
    Py_XSETREF(m->annotate, Py_NewRef(value));
    return 0;
}

// The annotations as a function computes them when it has none yet: from __annotate__ called with VALUE, a
// dict; without one, none. The method's own __annotate__ need not be made for it.
bool compute_annotations(Method* m) {
    if (!m->annotate) {
        m->annotations = new_annotations(*m->def).release();
        return m->annotations != nullptr;
    }
    if (m->annotate == Py_None || !PyCallable_Check(m->annotate)) return true;
    Ref annotate = Ref::borrow(m->annotate);  // the call may replace it
    Ref value = Ref::steal(PyObject_CallOneArg(annotate.get(), N.one));
    if (!value) return false;
    if (!PyDict_Check(value.get())) {
        SABLEWICK_ANNOTATE_NOT_DICT(value.get());
        return false;
    }
    Py_XSETREF(m->annotations, value.release());
    return true;
}
#endif

PyObject* get_annotations(PyObject* self, void*) {
    Method* m = reinterpret_cast<Method*>(self);
#if SABLEWICK_HAS_ANNOTATE
    if (!m->annotations && !compute_annotations(m)) return nullptr;
#endif
    if (!m->annotations && !(m->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(m->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Method* m = reinterpret_cast<Method*>(self);
    Py_XSETREF(m->annotations, Py_XNewRef(value));
#if SABLEWICK_HAS_ANNOTATE
    Py_XSETREF(m->annotate,
               Py_NewRef(Py_None));  // as on a function: what is set replaces what __annotate__ gave
#endif
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

// A code object that names the parameters, as compiled functions give one: inspect builds the signature from
// it, __defaults__ and __annotations__, as it does for a Python function, so that it follows what tools
// assign there (and __signature__ once one is assigned). It has no body of its own: running it raises.
Ref make_code(Method* m) {
    const Signature& sig = m->def->sig;
    const char* file = "sablewick_asr";  // the module's file, where the globals still tell it
    if (PyObject* path = m->globals ? PyDict_GetItemWithError(m->globals, N.__file__) : nullptr) {
        if (PyUnicode_Check(path) && !(file = PyUnicode_AsUTF8(path))) return {};
    } else if (PyErr_Occurred()) {
        return {};
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, sig.method, 1)));
    if (!empty) return {};
    Ref names = Ref::steal(PyTuple_New(sig.count));
    if (!names) return {};
    for (int i = 0; i < sig.count; ++i) PyTuple_SET_ITEM(names.get(), i, Py_NewRef(*sig.params[i].name));
    Ref count = Ref::steal(PyLong_FromLong(sig.count));
    if (!count) return {};
    Ref replace = getattr(empty.get(), N.replace);
    if (!replace) return {};
    // An exact str, which can refer to nothing: a subclass's instance could lead back to the method, in a
    // cycle through the code object, which the collector does not see. A cleared method has lost its
    // qualified name; its code is named after the method then.
    Ref qualname = !m->qualname                        ? Ref::steal(PyUnicode_FromString(sig.method))
                   : PyUnicode_CheckExact(m->qualname) ? Ref::borrow(m->qualname)
                                                       : Ref::steal(PyUnicode_FromObject(m->qualname));
    if (!qualname) return {};
    PyObject* args[] = {count.get(), names.get(), count.get(), qualname.get()};
    return Ref::steal(PyObject_Vectorcall(replace.get(), args, 0, N.kw_code));
}

PyObject* get_code(PyObject* self, void*) {
    Method* m = reinterpret_cast<Method*>(self);
    if (!m->code) {
        Ref code = make_code(m);
        if (!code) return nullptr;
        Py_XSETREF(m->code, code.release());  // making it ran Python code, which may have read it already
    }
    return Py_NewRef(m->code);
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if SABLEWICK_HAS_ANNOTATE
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
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
#if SABLEWICK_HAS_ANNOTATE
    Ref annotations;  // from the method's own __annotate__ when first read
#else
    Ref annotations = new_annotations(def);
    if (!annotations) return {};
#endif
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
#if SABLEWICK_HAS_ANNOTATE
    // A function without annotations has no __annotate__ either.
    m->annotate = def.annotations[0].name ? nullptr : Py_NewRef(Py_None);
#endif
    m->type_params = nullptr;
    m->code = nullptr;
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
