// SPDX-License-Identifier: MIT
#include "binding.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

namespace sablewick {

namespace {

// A TypeError message assembled from ASCII pieces, without the printf-style formatter.
class Message {
  public:
    // A C string, cut at `limit` bytes as "%.<limit>s" would cut it.
    Message& add(const char* text, std::size_t limit = 200) {
        std::size_t length = strnlen(text, limit);
        for (std::size_t i = 0; i < length; ++i) ascii_ = ascii_ && static_cast<unsigned char>(text[i]) < 128;
        length = std::min(length, sizeof buffer_ - used_);
        std::memcpy(buffer_ + used_, text, length);
        used_ += length;
        return *this;
    }
    Message& add(Py_ssize_t number) {
        used_ = static_cast<std::size_t>(
            std::to_chars(buffer_ + used_, buffer_ + sizeof buffer_, number).ptr - buffer_);
        return *this;
    }
    bool ascii() const { return ascii_; }
    bool raise() const {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(used_), 127);
        if (!text) return false;
        std::memcpy(PyUnicode_1BYTE_DATA(text), buffer_, used_);
        PyErr_SetObject(PyExc_TypeError, text);
        Py_DECREF(text);
        return false;
    }

  private:
    char buffer_[4 * 200 + 128];
    std::size_t used_ = 0;
    bool ascii_ = true;
};

// The count message. `given` is the number of positional arguments given, or the position of the first
// required parameter left unfilled.
SABLEWICK_COLD bool count_error(const Signature& sig, Py_ssize_t given) {
    // "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
    const bool exact = sig.required == sig.count;
    const char* word = exact ? "exactly" : given < sig.required ? "at least" : "at most";
    Py_ssize_t expected = (!exact && given > sig.count) ? sig.count : sig.required;
    return Message()
        .add(sig.method)
        .add("() takes ")
        .add(word)
        .add(" ")
        .add(expected)
        .add(expected == 1 ? " positional argument (" : " positional arguments (")
        .add(given)
        .add(" given)")
        .raise();
}

SABLEWICK_COLD bool type_error(const Param& param, const char* expected, PyObject* value) {
    const char* type_name = Py_TYPE(value)->tp_name;
    Message message;
    message.add("Argument '")
        .add(param.text)
        .add("' has incorrect type (expected ")
        .add(expected)
        .add(", got ");
    message.add(type_name).add(")");
    if (message.ascii()) return message.raise();
    // A type named outside ASCII: the formatter's own decoding of the name.
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param.text, expected, type_name);
    return false;
}

// Equality of an exact str key with an interned name: hash, length, width, then characters.
bool same_text(PyObject* key, PyObject* name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length != PyUnicode_GET_LENGTH(name) || PyUnicode_KIND(key) != PyUnicode_KIND(name)) return false;
    Py_hash_t key_hash = PyObject_Hash(key);  // cached in the str after the first call
    if (key_hash != PyObject_Hash(name)) return false;
    return std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(key)) == 0;
}

enum : int { kNotFound = -1, kFailed = -2 };

// The index of the parameter in [first, last) that `key` names, kNotFound, or kFailed with an error set.
int find_by_content(const Signature& sig, PyObject* key, int first, int last) {
    const bool exact = PyUnicode_CheckExact(key);
    for (int i = first; i < last; ++i) {
        PyObject* name = *sig.params[i].name;
        if (key == name) return i;
        if (exact) {
            if (same_text(key, name)) return i;
        } else {
            int equal = PyObject_RichCompareBool(key, name, Py_EQ);
            if (equal < 0) return kFailed;
            if (equal) return i;
        }
    }
    return kNotFound;
}

// Fills the parameters named by keyword; the first `n` are taken by position already.
bool bind_keywords(const Signature& sig, PyObject* const* values, Py_ssize_t n, PyObject* kwnames,
                   PyObject** v) {
    const int first = static_cast<int>(n);
    for (Py_ssize_t k = 0, nkw = PyTuple_GET_SIZE(kwnames); k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int index = kNotFound;
        for (int i = first; i < sig.count; ++i) {
            if (*sig.params[i].name == key) {
                index = i;
                break;
            }
        }
        if (index == kNotFound) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.method);
                return false;
            }
            index = find_by_content(sig, key, first, sig.count);
            if (index == kFailed) return false;
        }
        if (index >= 0) {
            v[index] = values[k];
            continue;
        }
        index = find_by_content(sig, key, 0, first);
        if (index == kFailed) return false;
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.method,
                         key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.method, key);
        }
        return false;
    }
    return true;
}

bool has_number_protocol(PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return (number && (number->nb_index || number->nb_int || number->nb_float)) || PyComplex_Check(value);
}

// The values of a call with keywords, unfilled parameters null. Returns false with an error set.
bool bind_with_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
                        PyObject** v) {
    if (n > sig.count) return count_error(sig, n);
    for (Py_ssize_t i = 0; i < n; ++i) v[i] = args[i];
    for (int i = static_cast<int>(n); i < sig.count; ++i) v[i] = nullptr;
    return bind_keywords(sig, args + n, n, kwnames, v);
}

}  // namespace

bool bind(const Signature& sig, PyObject* defaults, PyObject* const* args, size_t nargsf, PyObject* kwnames,
          Bound& out) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject** v = out.v;
    unsigned given = 0;  // bit i: parameter i was given, by position or keyword
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        if (n < sig.required || n > sig.count) return count_error(sig, n);
        // Spelled out: a loop of unknown length would become calls to memcpy.
        switch (n) {
            case 6:
                v[5] = args[5];
                [[fallthrough]];
            case 5:
                v[4] = args[4];
                [[fallthrough]];
            case 4:
                v[3] = args[3];
                [[fallthrough]];
            case 3:
                v[2] = args[2];
                [[fallthrough]];
            case 2:
                v[1] = args[1];
                [[fallthrough]];
            case 1:
                v[0] = args[0];
                [[fallthrough]];
            default:
                break;
        }
        static_assert(kMaxParams == 6, "the copy above takes at most six arguments");
        given = (1u << n) - 1;
        for (int i = static_cast<int>(n); i < sig.count; ++i)
            v[i] = PyTuple_GET_ITEM(defaults, i - sig.required);
    } else {
        if (!bind_with_keywords(sig, args, n, kwnames, v)) return false;
        for (int i = 0; i < sig.count; ++i) {
            if (v[i]) {
                given |= 1u << i;
            } else if (i < sig.required) {
                return count_error(sig, i);
            } else {
                v[i] = PyTuple_GET_ITEM(defaults, i - sig.required);
            }
        }
    }

    // Conversions of the given values first, in parameter order; the exact-str tests after them.
    for (unsigned todo = sig.converted & given; todo; todo &= todo - 1) {
        const int i = std::countr_zero(todo);
        PyObject* value = v[i];
        switch (sig.params[i].rule) {
            case Rule::Float:
                if (!PyFloat_CheckExact(value)) {
                    double x = PyFloat_AsDouble(value);
                    if (x == -1.0 && PyErr_Occurred()) return false;
                    if (!(v[i] = out.own(PyFloat_FromDouble(x)))) return false;
                }
                break;
            case Rule::Int:
                if (!PyLong_CheckExact(value)) {
                    if (!has_number_protocol(value)) return type_error(sig.params[i], "int", value);
                    if (!(v[i] = out.own(PyNumber_Long(value)))) return false;
                }
                break;
            case Rule::Truth: {
                int is_true = PyObject_IsTrue(value);
                if (is_true < 0) return false;
                v[i] = is_true ? Py_True : Py_False;
                break;
            }
            default:
                break;
        }
    }
    for (unsigned todo = sig.strings; todo; todo &= todo - 1) {
        const int i = std::countr_zero(todo);
        if (!PyUnicode_CheckExact(v[i])) return type_error(sig.params[i], "str", v[i]);
    }
    return true;
}

}  // namespace sablewick
