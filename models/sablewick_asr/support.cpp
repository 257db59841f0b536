#include "support.h"

#include <charconv>
#include <cstring>

#include "names.h"

namespace sablewick {

Ref call_method(PyObject* obj, PyObject* name) {
    PyObject* args[] = {nullptr, obj};
    return Ref::steal(PyObject_VectorcallMethod(name, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {nullptr, obj, arg};
    return Ref::steal(PyObject_VectorcallMethod(name, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2) {
    PyObject* args[] = {nullptr, obj, arg1, arg2};
    return Ref::steal(PyObject_VectorcallMethod(name, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref fstring_field(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, N.empty));
}

namespace {

Ref ascii(const char* text, std::size_t length) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), text, length);
    return Ref::steal(s);
}

}  // namespace

Ref decimal(Py_ssize_t count) {
    char buffer[24];
    char* end = std::to_chars(buffer, buffer + sizeof buffer, count).ptr;
    return ascii(buffer, static_cast<std::size_t>(end - buffer));
}

Ref timing_message(PyObject* prefix, PyObject* elapsed, PyObject* audio) {
    constexpr Py_ssize_t kShortPrefix = 64;
    constexpr std::size_t kLongestNumber = 320;  // a finite double takes at most 312 characters
    if (PyFloat_CheckExact(elapsed) && PyUnicode_IS_ASCII(prefix) &&
        PyUnicode_GET_LENGTH(prefix) < kShortPrefix) {
        // The common case: one ASCII buffer, one str, no intermediate objects. The number comes from the
        // routine that format(x, ".1f") itself uses.
        char* number = PyOS_double_to_string(PyFloat_AS_DOUBLE(elapsed), 'f', 1, 0, nullptr);
        if (!number) return {};
        const std::size_t number_length = strnlen(number, kLongestNumber + 1);
        if (number_length <= kLongestNumber) {
            Py_ssize_t count = PyObject_Length(audio);
            if (count < 0) {
                PyMem_Free(number);
                return {};
            }
            static constexpr char kMiddle[] = "ms, audio_len=";
            char buffer[kShortPrefix + kLongestNumber + sizeof kMiddle + 24];
            char* p = buffer;
            std::memcpy(p, PyUnicode_1BYTE_DATA(prefix),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(prefix)));
            p += PyUnicode_GET_LENGTH(prefix);
            std::memcpy(p, number, number_length);
            p += number_length;
            PyMem_Free(number);
            std::memcpy(p, kMiddle, sizeof kMiddle - 1);
            p += sizeof kMiddle - 1;
            p = std::to_chars(p, buffer + sizeof buffer, count).ptr;
            return ascii(buffer, static_cast<std::size_t>(p - buffer));
        }
        PyMem_Free(number);
    }
    Ref time_text = Ref::steal(PyObject_Format(elapsed, N.format_1f));
    if (!time_text) return {};
    Py_ssize_t count = PyObject_Length(audio);
    if (count < 0) return {};
    Ref count_text = decimal(count);
    if (!count_text) return {};
    return concat({prefix, time_text.get(), N.ms_audio_len, count_text.get()});
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
    return Ref::steal(tuple);
}

Ref milliseconds(PyObject* start, PyObject* end) {
    if (PyFloat_CheckExact(start) && PyFloat_CheckExact(end)) {
        return Ref::steal(PyFloat_FromDouble((PyFloat_AS_DOUBLE(end) - PyFloat_AS_DOUBLE(start)) * 1000.0));
    }
    Ref difference = Ref::steal(PyNumber_Subtract(end, start));
    if (!difference) return {};
    return Ref::steal(PyNumber_Multiply(difference.get(), N.thousand));
}

Ref concat(std::initializer_list<PyObject*> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 127;
    for (PyObject* piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
        if (piece_max > max_char) max_char = piece_max;
    }
    Ref result = Ref::steal(PyUnicode_New(length, max_char));
    if (!result) return {};
    if (max_char == 127) {
        // All ASCII: one byte a character in every piece.
        Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
        for (PyObject* piece : pieces) {
            std::memcpy(out, PyUnicode_DATA(piece), static_cast<std::size_t>(PyUnicode_GET_LENGTH(piece)));
            out += PyUnicode_GET_LENGTH(piece);
        }
        return result;
    }
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (n && PyUnicode_CopyCharacters(result.get(), at, piece, 0, n) < 0) return {};
        at += n;
    }
    return result;
}

void chain_context(PyObject* handled) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (raised != handled) {
        // Break a cycle the way the interpreter does: cut `raised` out of the chain behind `handled`.
        PyObject* link = handled;
        while (true) {
            PyObject* context = PyException_GetContext(link);
            if (!context) break;
            Py_DECREF(context);  // still owned by `link`
            if (context == raised) {
                PyException_SetContext(link, nullptr);
                break;
            }
            link = context;
        }
        PyException_SetContext(raised, Py_NewRef(handled));
    }
    PyErr_SetRaisedException(raised);
}

PyObject* raise_from(PyObject* type, PyObject* message, PyObject* cause) {
    Ref exc = Ref::steal(PyObject_CallOneArg(type, message));
    if (!exc) {
        chain_context(cause);
        return nullptr;
    }
    PyException_SetCause(exc.get(), Py_NewRef(cause));
    PyException_SetContext(exc.get(), Py_NewRef(cause));
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

namespace {

// The special method `name` of obj's type, bound unless it is a plain function or method descriptor
// (then `unbound` is set and the caller passes obj first). Null without an exception when absent.
Ref lookup_special(PyObject* obj, PyObject* name, bool& unbound) {
    PyTypeObject* type = Py_TYPE(obj);
    Ref found;
    if (PyObject* mro = type->tp_mro) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n && !found; ++i) {
            auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            // Static builtin types keep their namespace elsewhere; PyType_GetDict finds it.
            Ref dict = base->tp_dict ? Ref::borrow(base->tp_dict) : Ref::steal(PyType_GetDict(base));
            if (!dict) continue;
            PyObject* value = PyDict_GetItemWithError(dict.get(), name);
            if (value)
                found = Ref::borrow(value);
            else if (PyErr_Occurred())
                return {};
        }
    }
    if (!found) return {};
    PyTypeObject* kind = Py_TYPE(found.get());
    if (PyType_HasFeature(kind, Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        unbound = true;
        return found;
    }
    unbound = false;
    if (kind->tp_descr_get) {
        return Ref::steal(kind->tp_descr_get(found.get(), obj, reinterpret_cast<PyObject*>(type)));
    }
    return found;
}

}  // namespace

bool WithBlock::enter(PyObject* manager) {
    manager_ = Ref::borrow(manager);
    bool enter_unbound = false;
    Ref enter = lookup_special(manager, N.__enter__, enter_unbound);
    if (!enter) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        }
        return false;
    }
    exit_ = lookup_special(manager, N.__exit__, exit_unbound_);
    if (!exit_) {
        if (!PyErr_Occurred()) {
            PyErr_Format(
                PyExc_TypeError,
                "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                Py_TYPE(manager)->tp_name);
        }
        return false;
    }
    if (exit_unbound_ && Py_IS_TYPE(exit_.get(), &PyMethodDescr_Type)) {
        auto* descriptor = reinterpret_cast<PyMethodDescrObject*>(exit_.get());
        // What calling the descriptor would do after its checks: the C function, given self and a tuple.
        if ((descriptor->d_method->ml_flags & ~METH_COEXIST) == METH_VARARGS &&
            PyObject_TypeCheck(manager, PyDescr_TYPE(descriptor))) {
            exit_args_ = tuple_of({Py_None, Py_None, Py_None});
            if (!exit_args_) return false;
            exit_varargs_ = descriptor->d_method->ml_meth;
        }
    }
    PyObject* args[] = {nullptr, manager};
    Ref result = Ref::steal(
        enter_unbound
            ? PyObject_Vectorcall(enter.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
            : PyObject_Vectorcall(enter.get(), args + 2, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(result);
}

Ref WithBlock::call_exit(PyObject* type, PyObject* value, PyObject* traceback) {
    if (exit_varargs_) {
        // The tuple is still ours alone, so its items may be set; setting them allocates nothing.
        PyObject* args = exit_args_.get();
        PyObject* items[] = {type, value, traceback};
        for (Py_ssize_t i = 0; i < 3; ++i) {
            if (PyTuple_GET_ITEM(args, i) != items[i])
                Py_SETREF(PyTuple_GET_ITEM(args, i), Py_NewRef(items[i]));
        }
        return Ref::steal(exit_varargs_(manager_.get(), args));
    }
    PyObject* args[] = {nullptr, manager_.get(), type, value, traceback};
    return Ref::steal(
        exit_unbound_
            ? PyObject_Vectorcall(exit_.get(), args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
            : PyObject_Vectorcall(exit_.get(), args + 2, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool WithBlock::exit() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return static_cast<bool>(call_exit(Py_None, Py_None, Py_None));
    Ref exc = Ref::steal(raised);
    int swallow = 0;
    {
        HandlerScope scope(exc.get());
        Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
        Ref result = call_exit(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                               traceback ? traceback.get() : Py_None);
        swallow = result ? PyObject_IsTrue(result.get()) : -1;
        if (swallow < 0) {
            chain_context(exc.get());
            return false;
        }
    }
    if (swallow) return true;
    PyErr_SetRaisedException(exc.release());
    return false;
}

}  // namespace sablewick
