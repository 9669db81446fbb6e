// Every error text of vexa._native, one function per text. Each names the function as
// the caller called it and the parameter; each sets the exception and returns false.
#ifndef VEXA_NATIVE_ERRORS_H
#define VEXA_NATIVE_ERRORS_H

#include "numpy.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vexa::native::err {

// "(10,)", "(10, 3)", "()": a shape as numpy prints it.
inline std::string shape(int ndim, const npy_intp *dims) {
    std::string s = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i) s += ", ";
        s += std::to_string(static_cast<long long>(dims[i]));
    }
    return s + (ndim == 1 ? ",)" : ")");
}

// A value as a message quotes it: its repr, shortened to a readable length (a number
// of thousands of digits as its first and last digits and its length). Never fails.
inline std::string quote(PyObject *obj) {
    constexpr Py_ssize_t kLongest = 40;
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return std::to_string(v);
        PyErr_Clear();
    }
    PyObject *r = PyObject_Repr(obj);
    if (r == nullptr) {
        // An integer past the interpreter's limit of digits for a text, say.
        PyErr_Clear();
        std::string about;
        if (PyLong_Check(obj)) {
            PyObject *bits = PyObject_CallMethod(obj, "bit_length", nullptr);
            const long long b = bits != nullptr ? PyLong_AsLongLong(bits) : -1;
            Py_XDECREF(bits);
            PyErr_Clear();
            if (b > 0)
                about = " of about " +
                        std::to_string(static_cast<long long>(static_cast<double>(b) * 0.30103)) +
                        " digits";
        }
        const char *what = !PyLong_Check(obj) ? Py_TYPE(obj)->tp_name
                           : PyObject_RichCompareBool(obj, Py_False, Py_LT) == 1
                               ? "a negative integer"
                               : "an integer";
        PyErr_Clear();
        return std::string("<") + what + about + ">";
    }
    const Py_ssize_t chars = PyUnicode_GET_LENGTH(r);
    std::string out;
    if (chars <= kLongest) {
        const char *text = PyUnicode_AsUTF8(r);
        if (text != nullptr) out = text;
    } else {
        // Whole characters: cut between code points, never inside one.
        PyObject *head = PyUnicode_Substring(r, 0, 20);
        PyObject *tail = PyUnicode_Substring(r, chars - 8, chars);
        const char *h = head ? PyUnicode_AsUTF8(head) : nullptr;
        const char *t = tail ? PyUnicode_AsUTF8(tail) : nullptr;
        if (h != nullptr && t != nullptr)
            out = std::string(h) + "..." + t + " (" +
                  std::to_string(static_cast<long long>(chars)) +
                  (PyLong_Check(obj) ? " digits)" : " characters)");
        Py_XDECREF(head);
        Py_XDECREF(tail);
    }
    Py_DECREF(r);
    PyErr_Clear();
    return out.empty() ? std::string("<") + Py_TYPE(obj)->tp_name + ">" : out;
}

// ---- binding ---------------------------------------------------------------------

inline bool too_many_positional(const char *func, int most, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given", func,
                 most, most == 1 ? "" : "s", given);
    return false;
}

inline bool missing(const char *func, const char *param, int pos) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", func, param,
                 pos + 1);
    return false;
}

inline bool unexpected_keyword(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    return false;
}

inline bool multiple_values(const char *func, const char *param) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, param);
    return false;
}

inline bool axis_type(const char *func, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "%s: axis must be an integer, not %.100s", func,
                 Py_TYPE(obj)->tp_name);
    return false;
}

inline bool axis_range(const char *func, PyObject *axis, const char *param, int ndim) {
    const std::string a = quote(axis);
    PyErr_Format(PyExc_ValueError, "%s: axis %s is out of range for %s, which is %d-D", func,
                 a.c_str(), param, ndim);
    return false;
}

// ---- array arguments ---------------------------------------------------------------

inline bool not_array_like(const char *func, const char *param, PyObject *obj) {
    PyErr_Format(PyExc_TypeError,
                 "%s: %s must be an array-like of numbers (bool, integer or float), not %.100s",
                 func, param, Py_TYPE(obj)->tp_name);
    return false;
}

inline bool not_numeric(const char *func, const char *param, PyArrayObject *arr) {
    PyObject *dtype = reinterpret_cast<PyObject *>(PyArray_DESCR(arr));
    const std::string s = shape(PyArray_NDIM(arr), PyArray_DIMS(arr));
    PyErr_Format(PyExc_TypeError,
                 "%s: %s has dtype %S (shape %s); expected bool, integer or float values", func,
                 param, dtype, s.c_str());
    return false;
}

inline bool not_a_number(const char *func, const char *param, PyObject *obj) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be a number (bool, integer or float), not %.100s",
                 func, param, Py_TYPE(obj)->tp_name);
    return false;
}

inline bool first_dims(const char *func, const char *param, int ndim, const npy_intp *dims) {
    const std::string s = shape(ndim, dims);
    PyErr_Format(PyExc_ValueError,
                 "%s: %s has shape %s; expected a series (1-D) or a panel of bars x columns (2-D)",
                 func, param, s.c_str());
    return false;
}

inline bool other_dims(const char *func, const char *param, int ndim, const npy_intp *dims) {
    const std::string s = shape(ndim, dims);
    PyErr_Format(PyExc_ValueError,
                 "%s: %s has shape %s; expected a scalar, a series (1-D) or a panel (2-D)", func,
                 param, s.c_str());
    return false;
}

// `param` does not fit the shape of `first` (the first argument) with n bars.
inline bool shape_mismatch(const char *func, const char *param, int ndim, const npy_intp *dims,
                           const char *first, int first_ndim, const npy_intp *first_dims,
                           int64_t n) {
    const std::string s = shape(ndim, dims), f = shape(first_ndim, first_dims);
    if (first_ndim == 1)
        PyErr_Format(PyExc_ValueError,
                     "%s: %s has shape %s but %s has shape %s; %s must be %sa "
                     "series of %lld bars",
                     func, param, s.c_str(), first, f.c_str(), param, "a scalar or ",
                     static_cast<long long>(n));
    else
        PyErr_Format(PyExc_ValueError,
                     "%s: %s has shape %s but %s has shape %s; %s must be %sa "
                     "series of %lld bars (applied to every column) or a panel of shape %s",
                     func, param, s.c_str(), first, f.c_str(), param, "a scalar, ",
                     static_cast<long long>(n), f.c_str());
    return false;
}

inline bool too_long(const char *func, const char *param, int64_t n) {
    PyErr_Format(PyExc_ValueError, "%s: %s has %lld bars; at most 2147483647 are supported", func,
                 param, static_cast<long long>(n));
    return false;
}

// ---- integer and real parameters ---------------------------------------------------

inline bool int_type(const char *func, const char *param, PyObject *obj, bool per_bar) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be an integer%s, not %.100s", func, param,
                 per_bar ? " or a series of per-bar periods" : "", Py_TYPE(obj)->tp_name);
    return false;
}

// The accepted range, "from 1 to 2147483647", as every range message gives it.
inline bool int_range(const char *func, const char *param, int32_t least, PyObject *value) {
    const std::string v = quote(value);
    PyErr_Format(PyExc_ValueError,
                 "%s: %s = %s is out of range; %s must be an integer from %d to %d", func, param,
                 v.c_str(), param, static_cast<int>(least), static_cast<int>(INT32_MAX));
    return false;
}

// A real parameter that the kernel refuses on its own: `rule` is what it accepts
// (empty: the function's documentation says).
inline bool real_range(const char *func, const char *param, const std::string &value,
                       const char *rule) {
    if (rule != nullptr && rule[0] != '\0')
        PyErr_Format(PyExc_ValueError, "%s: %s = %s is out of range; %s must be %s", func, param,
                     value.c_str(), param, rule);
    else
        PyErr_Format(PyExc_ValueError,
                     "%s: %s = %s is not accepted; see the function's documentation", func, param,
                     value.c_str());
    return false;
}

// A kernel refused parameters that are each within their own range but not together
// (LAST's A and B); `given` lists them, "A = 1, B = 3".
inline bool ints_together(const char *func, const std::string &given) {
    PyErr_Format(PyExc_ValueError,
                 "%s: the parameters %s do not go together; see the function's documentation", func,
                 given.c_str());
    return false;
}

// A kernel refused a call that the checks above let through (never expected).
inline bool refused(const char *func, int32_t status) {
    PyErr_Format(PyExc_SystemError, "%s: the kernel refused the call (status %d)", func,
                 static_cast<int>(status));
    return false;
}

}  // namespace vexa::native::err

#endif
