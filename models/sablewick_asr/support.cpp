// SPDX-License-Identifier: MIT
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
    bool ascii = true;
    for (PyObject* piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        ascii = ascii && PyUnicode_IS_ASCII(piece);
    }
    if (ascii) {
        // One byte a character in every piece and in the result.
        Ref result = Ref::steal(PyUnicode_New(length, 127));
        if (!result) return {};
        Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
        for (PyObject* piece : pieces) {
            std::memcpy(out, PyUnicode_1BYTE_DATA(piece),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(piece)));
            out += PyUnicode_GET_LENGTH(piece);
        }
        return result;
    }
    Py_UCS4 max_char = 127;
    for (PyObject* piece : pieces) {
        Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
        if (piece_max > max_char) max_char = piece_max;
    }
    Ref result = Ref::steal(PyUnicode_New(length, max_char));
    if (!result) return {};
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
        // Break a cycle the way the interpreter does: cut `raised` out of the chain behind `handled`. A chain
        // that loops already is walked once around (`slow` follows at half speed) and left as it is.
        PyObject* link = handled;
        PyObject* slow = handled;
        bool move_slow = false;
        while (PyObject* context = PyException_GetContext(link)) {
            Py_DECREF(context);  // still owned by `link`
            if (context == raised) {
                PyException_SetContext(link, nullptr);
                break;
            }
            link = context;
            if (link == slow) break;
            if (move_slow) {
                slow = PyException_GetContext(slow);
                Py_DECREF(slow);
            }
            move_slow = !move_slow;
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

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);

// The special method `name` as found along the MRO of `type`, with `unbound` set when it is a plain function
// or method descriptor (then called with the manager first). Null without an exception when absent.
bool find_special(PyTypeObject* type, PyObject* name, Special& special) {
    PyObject* mro = type->tp_mro;
    if (!mro) return true;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) continue;
        PyObject* value = PyDict_GetItemWithError(dict.get(), name);
        if (value) {
            special.found = Ref::borrow(value);
            special.unbound = PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_METHOD_DESCRIPTOR);
            return true;
        }
        if (PyErr_Occurred()) return false;
    }
    return true;
}

// For a builtin method of the manager's type, its C function: what calling it through the descriptor ends in.
bool find_function(Special& special, PyObject* manager) {
    if (!Py_IS_TYPE(special.found.get(), &PyMethodDescr_Type)) return true;
    descrgetfunc get = Py_TYPE(special.found.get())->tp_descr_get;
    Ref bound = Ref::steal(get(special.found.get(), manager, reinterpret_cast<PyObject*>(Py_TYPE(manager))));
    if (!bound) return false;
    if (PyCFunction_Check(bound.get()) && PyCFunction_GetSelf(bound.get()) == manager) {
        special.function = PyCFunction_GetFunction(bound.get());
        special.flags = PyCFunction_GetFlags(bound.get()) & ~METH_COEXIST;
    }
    return true;
}

// Binds what was found on the type to the manager, as the interpreter does before calling it.
bool bind_special(Special& special, PyObject* manager) {
    if (special.unbound || !special.found) return true;
    if (descrgetfunc get = Py_TYPE(special.found.get())->tp_descr_get) {
        special.found =
            Ref::steal(get(special.found.get(), manager, reinterpret_cast<PyObject*>(Py_TYPE(manager))));
        return static_cast<bool>(special.found);
    }
    return true;
}

// The specials of the last manager type whose MRO holds immutable types alone, found once: their namespaces
// cannot change. The class locks are all of one such type. Strong references, kept until another type takes
// the place, never released at exit (the interpreter is gone by then).
struct KnownSpecial {
    PyObject* found;
    bool unbound;
    PyCFunction function;
    int flags;
};
struct KnownType {
    PyObject* type;
    KnownSpecial enter;
    KnownSpecial exit;
};
KnownType g_known = {nullptr, {nullptr, false, nullptr, 0}, {nullptr, false, nullptr, 0}};

void copy_special(const KnownSpecial& known, Special& special) {
    special.found = Ref::borrow(known.found);
    special.unbound = known.unbound;
    special.function = known.function;
    special.flags = known.flags;
}

KnownSpecial keep_special(const Special& special) {
    return {Py_NewRef(special.found.get()), special.unbound, special.function, special.flags};
}

// (None, None, None), and a 3-tuple whose items an exit with an exception fills and empties again: a builtin
// __exit__ that takes a tuple gets one without an allocation, so that leaving cannot fail for want of memory.
PyObject* g_no_exception = nullptr;
PyObject* g_exception = nullptr;

void replace_item(PyObject* tuple, Py_ssize_t i, PyObject* item) {
    PyObject* old = PyTuple_GET_ITEM(tuple, i);
    PyTuple_SET_ITEM(tuple, i, Py_NewRef(item));
    Py_DECREF(old);
}

bool immutable_all_along(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        if (!PyType_HasFeature(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)),
                               Py_TPFLAGS_IMMUTABLETYPE))
            return false;
    }
    return true;
}

// The specials of `manager`'s type: cached when it cannot change, else looked up afresh.
bool find_specials(PyObject* manager, Special& enter, Special& exit) {
    PyTypeObject* type = Py_TYPE(manager);
    if (g_known.type == reinterpret_cast<PyObject*>(type)) {
        copy_special(g_known.enter, enter);
        copy_special(g_known.exit, exit);
        return true;
    }
    if (!find_special(type, N.__enter__, enter) || !find_special(type, N.__exit__, exit)) return false;
    if (!enter.found || !exit.found || !immutable_all_along(type)) return true;
    if (!g_no_exception && !(g_no_exception = tuple_of({Py_None, Py_None, Py_None}).release())) return false;
    if (!g_exception && !(g_exception = tuple_of({Py_None, Py_None, Py_None}).release())) return false;
    if (!find_function(enter, manager) || !find_function(exit, manager)) return false;
    const KnownType previous = g_known;
    g_known = {Py_NewRef(reinterpret_cast<PyObject*>(type)), keep_special(enter), keep_special(exit)};
    Py_XDECREF(previous.type);
    Py_XDECREF(previous.enter.found);
    Py_XDECREF(previous.exit.found);
    return true;
}

// Calls a special of `manager` with up to three arguments after it; `tuple` holds the same arguments.
Ref call_special(const Special& special, PyObject* manager, PyObject* const* args, Py_ssize_t n,
                 PyObject* tuple) {
    if (special.function) {
        switch (special.flags) {
            case METH_NOARGS:
                if (n == 0) return Ref::steal(special.function(manager, nullptr));
                break;
            case METH_VARARGS:
                return Ref::steal(special.function(manager, tuple));
            case METH_VARARGS | METH_KEYWORDS:
                return Ref::steal(reinterpret_cast<PyCFunctionWithKeywords>(
                    reinterpret_cast<void (*)()>(special.function))(manager, tuple, nullptr));
            case METH_FASTCALL:
                return Ref::steal(reinterpret_cast<FastFunction>(
                    reinterpret_cast<void (*)()>(special.function))(manager, args, n));
            default:
                break;
        }
    }
    PyObject* call[] = {nullptr, manager, n > 0 ? args[0] : nullptr, n > 1 ? args[1] : nullptr,
                        n > 2 ? args[2] : nullptr};
    const size_t offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(
        special.unbound
            ? PyObject_Vectorcall(special.found.get(), call + 1, static_cast<size_t>(n + 1) | offset, nullptr)
            : PyObject_Vectorcall(special.found.get(), call + 2, static_cast<size_t>(n) | offset, nullptr));
}

}  // namespace

bool WithBlock::enter(PyObject* manager) {
    manager_ = Ref::borrow(manager);
    Special enter;
    if (!find_specials(manager, enter, exit_)) return false;
    if (!enter.found) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
        return false;
    }
    if (!exit_.found) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
        return false;
    }
    if (!bind_special(enter, manager) || !bind_special(exit_, manager)) return false;
    // The tuples are made with the first cached type; other types are called through their descriptors.
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return false;
    return static_cast<bool>(call_special(enter, manager, nullptr, 0, empty.get()));
}

Ref WithBlock::call_exit(PyObject* type, PyObject* value, PyObject* traceback) {
    PyObject* args[] = {type, value, traceback};
    if (exit_.function && (exit_.flags & METH_VARARGS)) {
        if (type == Py_None) return call_special(exit_, manager_.get(), args, 3, g_no_exception);
        if (Py_REFCNT(g_exception) == 1) {
            // Ours alone, so its items may be set, which allocates nothing; held twice while in use, so that
            // an exit reached from inside this one makes a tuple of its own.
            Ref busy = Ref::borrow(g_exception);
            for (Py_ssize_t i = 0; i < 3; ++i) replace_item(g_exception, i, args[i]);
            Ref result = call_special(exit_, manager_.get(), args, 3, g_exception);
            for (Py_ssize_t i = 0; i < 3; ++i) replace_item(g_exception, i, Py_None);
            return result;
        }
        Ref tuple = tuple_of({type, value, traceback});
        if (!tuple) return {};
        return call_special(exit_, manager_.get(), args, 3, tuple.get());
    }
    return call_special(exit_, manager_.get(), args, 3, nullptr);
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
