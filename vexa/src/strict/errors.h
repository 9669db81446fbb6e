// Every error text of vexa._vexa, one function per text; each sets the exception and
// returns nullptr (or false), so a failing step reads `return err::...`.
#ifndef VEXA_STRICT_ERRORS_H
#define VEXA_STRICT_ERRORS_H

#include <Python.h>

namespace vexa::strict {

namespace err {

inline PyObject *arg_count(const char *func, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, "exactly", expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

inline PyObject *keywords_not_strings(const char *func) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
    return nullptr;
}

inline PyObject *multiple_values(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
    return nullptr;
}

inline PyObject *unexpected_keyword(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    return nullptr;
}

inline PyObject *wrong_type(const char *param, const char *expected, PyObject *obj) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(obj)->tp_name);
    return nullptr;
}

inline PyObject *not_defined(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

inline PyObject *wrong_ndim(int got) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                 got);
    return nullptr;
}

inline PyObject *big_endian() {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return nullptr;
}

inline PyObject *dtype_mismatch(const char *expected, const char *got, bool quote) {
    if (quote)
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got '%s'", "'",
                     expected, "'", got);
    else
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     expected, "'", got);
    return nullptr;
}

inline PyObject *unexpected_format(char c) {
    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
    return nullptr;
}

inline PyObject *item_size(Py_ssize_t got, const char *expected, size_t size) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 static_cast<size_t>(got), got == 1 ? "" : "s", expected, size,
                 size == 1 ? "" : "s");
    return nullptr;
}

inline PyObject *indirect() {
    PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", 0);
    return nullptr;
}

inline PyObject *not_contiguous() {
    PyErr_SetString(PyExc_ValueError,
                    "Buffer and memoryview are not contiguous in the same dimension.");
    return nullptr;
}

inline PyObject *empty() {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    return nullptr;
}

inline PyObject *integer_required() {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
}

inline PyObject *int_too_large() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return nullptr;
}

// A len() that disagrees with the buffer would let the kernel run past the memory.
inline PyObject *length_mismatch(const char *param, Py_ssize_t len, Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError,
                 "Argument '%.200s' has len() %zd but its buffer holds %zd elements", param, len,
                 count);
    return nullptr;
}

// Counts reach the kernels as 32-bit ints; a longer series would wrap.
inline PyObject *too_long(const char *param, Py_ssize_t len) {
    PyErr_Format(PyExc_OverflowError,
                 "Argument '%.200s' has %zd elements; at most 2147483647 are supported", param,
                 len);
    return nullptr;
}

}  // namespace err

}  // namespace vexa::strict

#endif
