// SPDX-License-Identifier: MIT
// Small building blocks shared by the recognisers: calls, texts, exception chaining and `with` blocks.
#pragma once

#include <initializer_list>

#include "ref.h"

namespace sablewick {

// obj.name(args...) without creating a bound-method object.
Ref call_method(PyObject* obj, PyObject* name);
Ref call_method(PyObject* obj, PyObject* name, PyObject* arg);
Ref call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2);

// getattr(obj, name) and setattr(obj, name, value) for interned str names: straight to the type's slot,
// which is where PyObject_GetAttr and PyObject_SetAttr end up for such names.
inline Ref getattr(PyObject* obj, PyObject* name) {
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    return Ref::steal(get ? get(obj, name) : PyObject_GetAttr(obj, name));
}
inline bool set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return (set ? set(obj, name, value) : PyObject_SetAttr(obj, name, value)) == 0;
}

// The truth of a value, as `if value:` tests it: 1, 0, or -1 with an exception set. The two bools without
// a call.
inline int truth(PyObject* value) {
    if (value == Py_False) return 0;
    if (value == Py_True) return 1;
    return PyObject_IsTrue(value);
}

// An f-string replacement field with no format_spec: an exact str as it is, else format(v, "").
Ref fstring_field(PyObject* value);

// prefix + format(elapsed, ".1f") + "ms, audio_len=" + str(len(audio)), in that order of evaluation.
Ref timing_message(PyObject* prefix, PyObject* elapsed, PyObject* audio);

// The decimal text of a count.
Ref decimal(Py_ssize_t count);

// A new tuple of the items.
Ref tuple_of(std::initializer_list<PyObject*> items);

// (end - start) * 1000, the milliseconds between two wall-clock readings, by Python's number rules.
Ref milliseconds(PyObject* start, PyObject* end);

// The concatenation of str pieces, built in one allocation.
Ref concat(std::initializer_list<PyObject*> pieces);

// Makes `handled` the context of the exception now being raised, as raising inside an except block does.
void chain_context(PyObject* handled);

// Sets the thread's handled exception (what sys.exc_info() reports) for the life of an except block.
class HandlerScope {
  public:
    explicit HandlerScope(PyObject* handled) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(handled);
    }
    ~HandlerScope() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

  private:
    PyObject* previous_;
};

// `raise type(message) from cause`, raised while handling `cause`. Always returns null.
PyObject* raise_from(PyObject* type, PyObject* message, PyObject* cause);

// How one of a context manager's special methods is called: as found on the type (`unbound`: with the manager
// first), or, for a builtin method, its C function straight.
struct Special {
    Ref found;
    bool unbound = false;
    PyCFunction function = nullptr;  // set for builtin methods whose calling convention is handled here
    int flags = 0;
};

// A `with` block on an object: __enter__ and __exit__ looked up on its type, as the interpreter does.
class WithBlock {
  public:
    // Runs __enter__; returns false with an exception set when the block cannot be entered.
    bool enter(PyObject* manager);
    // Leaves the block. With an exception set, __exit__ sees it and may swallow it; returns false when an
    // exception is set afterwards.
    bool exit();

  private:
    Ref call_exit(PyObject* type, PyObject* value, PyObject* traceback);

    Ref manager_;
    Special exit_;  // bound already unless `unbound`
};

}  // namespace sablewick
