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

inline bool axis_range(const char *func, long long axis, const char *param, int ndim) {
    PyErr_Format(PyExc_ValueError, "%s: axis %lld is out of range for %s, which is %d-D", func,
                 axis, param, ndim);
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
    PyErr_Format(PyExc_ValueError,
                 "%s: %s = %S is out of range; %s must be an integer from %d to %d", func, param,
                 value, param, static_cast<int>(least), static_cast<int>(INT32_MAX));
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
