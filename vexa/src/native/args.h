// Reading the arguments of vexa._native's functions and streams other than their arrays
// (arrays.h): binding by position and keyword, integer and real parameters, the axis.
// Each error names the function as the caller called it and the parameter (errors.h).
#ifndef VEXA_NATIVE_ARGS_H
#define VEXA_NATIVE_ARGS_H

#include "numpy.h"

#include <cstdint>

#include "rows.h"

namespace vexa::native {

// The arguments of a call of row r bound to its parameters (borrowed from the caller), and
// the keyword argument axis when given.
struct Bound {
    PyObject *argv[kMaxParams] = {};
    PyObject *axis = nullptr;
};

// Binds a vectorcall's arguments (args, nargs positional, then the values of kwnames) to
// the parameters of row r: all of them by position or keyword (SINGLE rows: one, by
// position), every one required.
bool bind(const char *func, const Row &r, PyObject *const *args, Py_ssize_t nargs,
          PyObject *kwnames, Bound &b);

// An argument that reads as a series (MA(close, periods) is MA_A(close, periods)).
bool series_like(PyObject *obj);

// An integer parameter: an int (a numpy integer, anything with __index__; not a bool)
// from its least value to INT32_MAX. per_bar: the function also takes a series there.
bool read_int(const char *func, const qx::table::Param &p, PyObject *obj, bool per_bar,
              int32_t *out);

// A real parameter: an int or a float (numpy's too; not a bool) that a double holds.
bool read_real(const char *func, const qx::table::Param &p, PyObject *obj, double *out);

// The axis of the bars (0 or 1, negative counting from the end) of a first argument
// `first` of ndim dimensions; 0 when axis is null.
bool read_axis(const char *func, PyObject *axis, const char *first, int ndim, int *out);

}  // namespace vexa::native

#endif
