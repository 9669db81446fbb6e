// A call of one function of vexa._native, in order: bind the arguments and read the
// integer and real ones (args.h), read each array argument (arrays.h), check the shapes,
// create the result, run the row over it and give the result back in the caller's kind.
// A 1-D call on contiguous memory goes straight to the 1-D kernel; everything else
// (strides, broadcast scalars, panels) goes through the panel driver (panels.h). A kernel
// that refuses the parameters is answered by refusals.h.
#include "call.h"

#include <cstdint>
#include <cstdlib>

#include "../pyref.h"
#include "args.h"
#include "arrays.h"
#include "errors.h"
#include "panels.h"
#include "refusals.h"
#include "rows.h"

namespace vexa::native {
namespace {

// One call, as it is read.
struct Call {
    size_t row = 0;    // the row that runs (MA_A for MA given a series of periods)
    const char *name;  // the function the caller called, for messages
    Bound bound;
    Operand ops[kMaxParams];                 // the array arguments
    qx::table::Slot given[kMaxParams] = {};  // the integer and real arguments
    Ref like;  // the first argument, when the result takes its kind (pandas, polars)
};

PyObject *finish(Call &c, Ref &out) {
    if (!c.like) return Py_NewRef(out.get());
    Ref wrap(wrap_function("wrap"));
    if (!wrap) return nullptr;
    return PyObject_CallFunctionObjArgs(wrap.get(), c.like.get(), out.get(), nullptr);
}

// The everyday call, without the general machinery: positional arguments only, every
// array argument a 1-D C-contiguous ndarray (float64 in native order, or bool / int8 /
// uint8 for a condition) of one length, every integer an int the kernel accepts. Returns
// false, with no error set, for any other call: the general path then takes it (and
// reports what is wrong with it).
bool fast_call(const Row &r, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **result) {
    if (kwnames != nullptr || nargs != r.nparams) return false;
    qx::table::Slot slots[kMaxParams];
    npy_intp n = -1;
    for (int i = 0; i < r.nparams; ++i) {
        PyObject *o = args[i];
        const Kind k = r.params[i].kind;
        if (k == Kind::Int) {
            if (!PyLong_CheckExact(o)) return false;
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow != 0 || v < r.params[i].least || v > INT32_MAX) {
                PyErr_Clear();
                return false;
            }
            slots[i] = {nullptr, static_cast<int32_t>(v), 0.0};
            continue;
        }
        if (k == Kind::Real || !PyArray_CheckExact(o)) return false;
        auto *a = reinterpret_cast<PyArrayObject *>(o);
        const int t = PyArray_TYPE(a);
        const bool type_ok = k == Kind::Cond ? (t == NPY_BOOL || t == NPY_UINT8 || t == NPY_INT8)
                                             : (t == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a));
        if (!type_ok || PyArray_NDIM(a) != 1 || !PyArray_IS_C_CONTIGUOUS(a) ||
            !PyArray_ISALIGNED(a))
            return false;
        const npy_intp len = PyArray_DIM(a, 0);
        if (n >= 0 && len != n) return false;
        n = len;
        slots[i] = {PyArray_DATA(a), 0, 0.0};
    }
    if (n <= 0 || n > INT32_MAX) return false;
    const auto n32 = static_cast<int32_t>(n);
    for (int i = 0; i < r.nparams; ++i)
        if (is_array(r.params[i].kind)) slots[i].value = n32;
    PyObject *out = PyArray_SimpleNew(1, &n, NPY_DOUBLE);
    if (out == nullptr) {
        *result = nullptr;
        return true;
    }
    double *o = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out)));
    // The bars the row's kernel keeps (WRITES FROM_BAR_1) read +0.0, as in vexa._vexa.
    for (npy_intp b = 0; b < r.first_written && b < n; ++b) o[b] = 0.0;
    int32_t status;
    if (n >= kReleaseGil) {
        Py_BEGIN_ALLOW_THREADS status = r.invoke(0, slots, o, n32);
        Py_END_ALLOW_THREADS
    } else {
        status = r.invoke(0, slots, o, n32);
    }
    if (status != 0) {
        Py_DECREF(out);
        return false;
    }
    *result = out;
    return true;
}

}  // namespace

PyObject *call(size_t row, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    PyObject *result;
    if (fast_call(row_at(row), args, nargs, kwnames, &result)) return result;
    Call c;
    c.row = row;
    c.name = row_at(row).name;
    if (!bind(c.name, row_at(row), args, nargs, kwnames, c.bound)) return nullptr;
    PyObject *const *argv = c.bound.argv;
    // A series where the period is expected: the row that reads its period per bar.
    if (kPerBar.row[row] >= 0 && !PyLong_CheckExact(argv[1]) && series_like(argv[1]))
        c.row = static_cast<size_t>(kPerBar.row[row]);
    const Row &r = row_at(c.row);

    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        bool ok = true;
        if (p.kind == Kind::Int)
            ok = read_int(c.name, p, argv[i], kPerBar.row[c.row] >= 0, &c.given[i].value);
        else if (p.kind == Kind::Real)
            ok = read_real(c.name, p, argv[i], &c.given[i].real);
        if (!ok) return nullptr;
    }
    for (int i = 0; i < r.nparams; ++i)
        if (is_array(r.params[i].kind) &&
            !read_array(c.name, r.params[i], i == 0, argv[i], c.ops[i], c.like))
            return nullptr;

    // The first argument fixes the shape: n bars along `axis`, and columns.
    const Operand &f = c.ops[0];
    int axis = 0;
    if (!read_axis(c.name, c.bound.axis, r.params[0].name, f.ndim, &axis)) return nullptr;
    const int64_t n = f.dims[axis];
    const int64_t cols = f.ndim == 2 ? f.dims[1 - axis] : 1;
    if (n > INT32_MAX) {
        err::too_long(c.name, r.params[0].name, n);
        return nullptr;
    }

    qxp_arg pargs[kMaxParams] = {};
    bool contiguous = cols == 1;  // every input read in place, one bar after another
    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        const Operand &op = c.ops[i];
        qxp_arg &a = pargs[i];
        a.value = c.given[i].value;
        a.real = c.given[i].real;
        if (!is_array(p.kind)) continue;
        if (op.ndim == 0) {
            a.data = p.kind == Kind::Cond ? static_cast<const void *>(&op.flag) : &op.scalar;
            contiguous = false;
            continue;
        }
        a.data = op.data;
        if (op.ndim == 1 && op.dims[0] == n) {
            a.bar_stride = op.strides[0];
        } else if (op.ndim == 2 && f.ndim == 2 && op.dims[0] == f.dims[0] &&
                   op.dims[1] == f.dims[1]) {
            a.bar_stride = op.strides[axis];
            a.col_stride = op.strides[1 - axis];
        } else {
            err::shape_mismatch(c.name, p.name, op.ndim, op.dims, r.params[0].name, f.ndim, f.dims,
                                n);
            return nullptr;
        }
        if (a.bar_stride != 1 && n > 1) contiguous = false;
    }

    // The result: the first argument's shape, in its memory order.
    const bool fortran = f.ndim == 2 && std::llabs(f.strides[0]) < std::llabs(f.strides[1]);
    npy_intp dims[2] = {f.dims[0], f.dims[1]};
    Ref out(PyArray_New(&PyArray_Type, f.ndim, dims, NPY_DOUBLE, nullptr, nullptr, 0,
                        fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
    if (!out) return nullptr;
    auto *o = reinterpret_cast<PyArrayObject *>(out.get());
    qxp_out pout;
    pout.data = static_cast<double *>(PyArray_DATA(o));
    pout.bar_stride = PyArray_STRIDES(o)[axis] / 8;
    pout.col_stride = f.ndim == 2 ? PyArray_STRIDES(o)[1 - axis] / 8 : 0;
    if (n == 0 || cols == 0) {
        // Nothing to compute; the periods were checked above.
        return finish(c, out);
    }
    // The bars the row's kernel keeps (WRITES FROM_BAR_1) read +0.0, as in vexa._vexa.
    for (int64_t b = 0; b < r.first_written && b < n; ++b)
        for (int64_t j = 0; j < cols; ++j)
            pout.data[b * pout.bar_stride + j * pout.col_stride] = 0.0;

    int32_t status = 0;
    const auto n32 = static_cast<int32_t>(n);
    if (contiguous) {
        qx::table::Slot slots[kMaxParams] = {};
        for (int i = 0; i < r.nparams; ++i) {
            slots[i].data = pargs[i].data;
            slots[i].value = is_array(r.params[i].kind) ? n32 : pargs[i].value;
            slots[i].real = pargs[i].real;
        }
        if (n >= kReleaseGil) {
            Py_BEGIN_ALLOW_THREADS status = r.invoke(0, slots, pout.data, n32);
            Py_END_ALLOW_THREADS
        } else {
            status = r.invoke(0, slots, pout.data, n32);
        }
    } else if (!run_panel(static_cast<int32_t>(c.row), n32, cols, pargs, pout, &status)) {
        return nullptr;
    }
    if (status != 0) {
        refused(c.name, r, c.given, status);
        return nullptr;
    }
    return finish(c, out);
}

}  // namespace vexa::native
