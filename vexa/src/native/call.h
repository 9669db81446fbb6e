// One call of a function of vexa._native, for any row of the table.
#ifndef VEXA_NATIVE_CALL_H
#define VEXA_NATIVE_CALL_H

#include "numpy.h"

#include <cstddef>

namespace vexa::native {

// The function of row `row` called with vectorcall arguments.
PyObject *call(size_t row, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vexa::native

#endif
