// One call of a function of vexa._native, for any row of the table.
#ifndef VEXA_NATIVE_CALL_H
#define VEXA_NATIVE_CALL_H

#include "numpy.h"

#include <cstddef>

namespace vexa::native {

// Fills the table of per-bar variants (MA -> MA_A); once, at module creation.
void find_per_bar_rows();

// Whether obj is a numpy masked array (np.ma.MaskedArray, a subclass, or np.ma.masked).
bool is_masked(PyObject *obj);

// vexa._wrap.NAME, a new reference (null with the error set).
PyObject *kinds_function(const char *name);

// The function of row `row` called with vectorcall arguments.
PyObject *call(size_t row, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vexa::native

#endif
