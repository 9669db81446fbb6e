// Binding and the integer, real and axis arguments (args.h).
#include "args.h"

#include "../pyref.h"
#include "arrays.h"
#include "errors.h"

namespace vexa::native {

bool bind(const char *func, const Row &r, PyObject *const *args, Py_ssize_t nargs,
          PyObject *kwnames, Bound &b) {
    const int nparams = r.nparams;
    const int most = r.form == Form::Single ? 1 : nparams;
    if (nargs > most) return err::too_many_positional(func, most, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) b.argv[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, "axis") == 0) {
                b.axis = args[nargs + k];
                continue;
            }
            int found = -1;
            for (int i = 0; i < nparams && r.form != Form::Single; ++i)
                if (PyUnicode_CompareWithASCIIString(key, r.params[i].name) == 0) found = i;
            if (found < 0) return err::unexpected_keyword(func, key);
            if (b.argv[found] != nullptr) return err::multiple_values(func, r.params[found].name);
            b.argv[found] = args[nargs + k];
        }
    }
    for (int i = 0; i < nparams; ++i)
        if (b.argv[i] == nullptr) return err::missing(func, r.params[i].name, i);
    return true;
}

// An argument that reads as a series (MA(close, periods) is MA_A(close, periods)).
bool series_like(PyObject *obj) {
    if (PyArray_Check(obj)) return PyArray_NDIM(reinterpret_cast<PyArrayObject *>(obj)) >= 1;
    if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
    if (PyLong_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) ||
        PyIndex_Check(obj) || PyArray_IsScalar(obj, Generic) || obj == Py_None)
        return false;
    return is_foreign(obj) || PyObject_HasAttrString(obj, "__array__");
}

bool read_int(const char *func, const qx::table::Param &p, PyObject *obj, bool per_bar,
              int32_t *out) {
    Ref index;
    if (!PyLong_CheckExact(obj)) {
        if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool) || !PyIndex_Check(obj))
            return err::int_type(func, p.name, obj, per_bar);
        index.reset(PyNumber_Index(obj));
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            return err::int_type(func, p.name, obj, per_bar);
        }
        obj = index.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < p.least || v > INT32_MAX)
        return err::int_range(func, p.name, p.least, obj);
    *out = static_cast<int32_t>(v);
    return true;
}

bool read_real(const char *func, const qx::table::Param &p, PyObject *obj, double *out) {
    if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool) ||
        !(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Integer) ||
          PyArray_IsScalar(obj, Floating)))
        return err::not_a_number(func, p.name, obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        // An integer beyond the largest float.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return err::real_range(func, p.name, err::quote(obj), "a finite number");
    }
    *out = v;
    return true;
}

bool read_axis(const char *func, PyObject *axis, const char *first, int ndim, int *out) {
    *out = 0;
    if (axis == nullptr) return true;
    if (PyBool_Check(axis) || !PyIndex_Check(axis)) return err::axis_type(func, axis);
    Ref index(PyNumber_Index(axis));
    if (!index) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < -ndim || v >= ndim)
        return err::axis_range(func, index.get(), first, ndim);
    *out = static_cast<int>(v < 0 ? v + ndim : v);
    return true;
}

}  // namespace vexa::native
