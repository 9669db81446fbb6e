// The array arguments of vexa._native: an array-like read as the kernels read memory (in
// place where they can, else a converted copy), and the caller's own kinds (pandas,
// polars, masked arrays), which the package's Python side unwraps and rebuilds.
#ifndef VEXA_NATIVE_ARRAYS_H
#define VEXA_NATIVE_ARRAYS_H

#include "numpy.h"

#include <cstdint>

#include "../pyref.h"
#include "rows.h"

namespace vexa::native {

// One array argument after reading. An array: its data and shape, strides in elements.
// A scalar (ndim 0) where an array is expected: broadcast over the whole panel.
struct Operand {
    Ref hold;  // the array read: the caller's own, or a converted copy
    const char *data = nullptr;
    int ndim = 0;
    npy_intp dims[2] = {0, 0};
    int64_t strides[2] = {0, 0};
    double scalar = 0.0;
    uint8_t flag = 0;  // the scalar as a condition
};

// Reads obj, the argument of array parameter p of func, into op. The first argument
// (first) fixes the result's kind: a pandas or polars one, or a masked array where no
// argument before it did, is kept in `like` for the result to be rebuilt as. A later
// argument may be a number, broadcast.
bool read_array(const char *func, const qx::table::Param &p, bool first, PyObject *obj, Operand &op,
                Ref &like);

// A pandas or polars object (its type, or a base of it, comes from their packages).
bool is_foreign(PyObject *obj);

// Whether obj is a numpy masked array (np.ma.MaskedArray, a subclass, or np.ma.masked).
bool is_masked(PyObject *obj);

// The function `name` (unwrap, wrap) of the package's module that unwraps and rebuilds
// the callers' kinds, a new reference (null with the error set).
PyObject *wrap_function(const char *name);

}  // namespace vexa::native

#endif
