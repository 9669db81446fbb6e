// The formula engine: a formula's program lowered to opcodes over registers (element-wise
// operators and functions, calls of the table's rows) and run by one native loop over
// blocks of a panel's columns, every step of the formula on one block while it is in the
// cache, the blocks shared among the pool's threads with the GIL released.
#ifndef VEXA_NATIVE_ENGINE_H
#define VEXA_NATIVE_ENGINE_H

#include "numpy.h"

namespace vexa::native::engine {

// _engine(code, inputs, consts, outs, nregs, block=0, /) -> status (0, or the refusal of
// a kernel, when nothing can be relied on in outs).
PyObject *run(PyObject *, PyObject *const *args, Py_ssize_t nargs);

// _engine_ops() -> the opcodes' names, in the order of their numbers.
PyObject *ops(PyObject *, PyObject *);

}  // namespace vexa::native::engine

#endif
