// A call of one function of vexa._native: bind the arguments, read each array argument
// (in place wherever the kernel can read its memory as it is), check the shapes and the
// integer parameters, create the result, run the row over it and give the result back in
// the caller's kind. A 1-D call on contiguous memory goes straight to the 1-D kernel;
// everything else (strides, broadcast scalars, panels) goes through the panel driver,
// whose columns are split among the pool's threads on large panels. The GIL is released
// around the kernel work of long inputs.
#include "call.h"

#include <atomic>
#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quorix_panel.h"

#include "../pyref.h"
#include "errors.h"
#include "pool.h"
#include "rows.h"

namespace vexa::native {
namespace {

// Elements of work (bars x columns) from which the GIL is released around the kernels,
// and from which a panel's columns are split among threads.
constexpr int64_t kReleaseGil = int64_t(1) << 14;
constexpr int64_t kParallel = int64_t(1) << 16;
// Chunks per thread: the columns are handed out in this many pieces per thread, so that
// a thread slowed by other work on a shared machine leaves its share to the others.
constexpr int64_t kChunksPerThread = 4;

int g_per_bar[kNumRows];

// One argument after reading. An array: its data and shape, strides in elements. A
// scalar (ndim 0) where an array is expected: broadcast over the whole panel.
struct Operand {
    Ref hold;  // the array read: the caller's own, or a converted copy
    const char *data = nullptr;
    int ndim = 0;
    npy_intp dims[2] = {0, 0};
    int64_t strides[2] = {0, 0};
    double scalar = 0.0;
    uint8_t flag = 0;
    int32_t value = 0;
    double real = 0.0;
};

struct Call {
    size_t row = 0;                   // the row that runs (MA_A for MA given a series of periods)
    const char *name;                 // the function the caller called, for messages
    PyObject *argv[kMaxParams] = {};  // borrowed from the caller
    PyObject *axis = nullptr;
    Operand ops[kMaxParams];
    Ref like;  // the first argument, when the result takes its kind (pandas, polars)
};

// ---- pandas and polars -------------------------------------------------------------

bool from_package(PyTypeObject *t, const char *pkg, size_t len) {
    if (t->tp_dict == nullptr) return false;
    PyObject *mod = PyDict_GetItemString(t->tp_dict, "__module__");  // borrowed
    if (mod == nullptr || !PyUnicode_Check(mod)) return false;
    Py_ssize_t size = 0;
    const char *s = PyUnicode_AsUTF8AndSize(mod, &size);
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    return static_cast<size_t>(size) >= len && std::strncmp(s, pkg, len) == 0 &&
           (static_cast<size_t>(size) == len || s[len] == '.');
}

// A pandas or polars object (its type, or a base of it, comes from their packages). They
// are read and rebuilt by vexa._wrap, in Python, without importing either package here.
bool is_foreign(PyObject *obj) {
    PyObject *mro = Py_TYPE(obj)->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *t = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (from_package(t, "pandas", 6) || from_package(t, "polars", 6)) return true;
    }
    return false;
}

// A masked array: read through vexa._wrap like a pandas or polars object (its masked
// values as missing ones); the result is masked where it has no value.
bool masked(PyObject *obj) { return !PyArray_CheckExact(obj) && is_masked(obj); }

// ---- binding -----------------------------------------------------------------------

bool bind(Call &c, const Row &r, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const int nparams = r.nparams;
    const int most = r.form == Form::Single ? 1 : nparams;
    if (nargs > most) return err::too_many_positional(c.name, most, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) c.argv[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, "axis") == 0) {
                c.axis = args[nargs + k];
                continue;
            }
            int found = -1;
            for (int i = 0; i < nparams && r.form != Form::Single; ++i)
                if (PyUnicode_CompareWithASCIIString(key, r.params[i].name) == 0) found = i;
            if (found < 0) return err::unexpected_keyword(c.name, key);
            if (c.argv[found] != nullptr) return err::multiple_values(c.name, r.params[found].name);
            c.argv[found] = args[nargs + k];
        }
    }
    for (int i = 0; i < nparams; ++i)
        if (c.argv[i] == nullptr) return err::missing(c.name, r.params[i].name, i);
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

// ---- integer and real parameters ---------------------------------------------------

bool read_int(Call &c, const qx::table::Param &p, PyObject *obj, bool per_bar, int32_t *out) {
    Ref index;
    if (!PyLong_CheckExact(obj)) {
        if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool) || !PyIndex_Check(obj))
            return err::int_type(c.name, p.name, obj, per_bar);
        index.reset(PyNumber_Index(obj));
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            return err::int_type(c.name, p.name, obj, per_bar);
        }
        obj = index.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < p.least || v > INT32_MAX)
        return err::int_range(c.name, p.name, p.least, obj);
    *out = static_cast<int32_t>(v);
    return true;
}

bool read_real(Call &c, const qx::table::Param &p, PyObject *obj, double *out) {
    if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool) ||
        !(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Integer) ||
          PyArray_IsScalar(obj, Floating)))
        return err::not_a_number(c.name, p.name, obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        // An integer beyond the largest float.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return err::real_range(c.name, p.name, err::quote(obj), "a finite number");
    }
    *out = v;
    return true;
}

// ---- array arguments ---------------------------------------------------------------

void set_scalar(Operand &op, double v) {
    op.ndim = 0;
    op.scalar = v;
    // A condition is true where it is non-zero and not NaN.
    op.flag = (v != 0.0 && v == v) ? 1 : 0;
}

bool strides_fit(PyArrayObject *a, npy_intp itemsize) {
    for (int k = 0; k < PyArray_NDIM(a); ++k)
        if (PyArray_STRIDES(a)[k] % itemsize != 0) return false;
    return true;
}

// The array as float64 in native order: itself when the kernels can read it as it is,
// else a converted copy in the same memory order.
PyObject *as_double(PyArrayObject *a) {
    if (PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a) &&
        strides_fit(a, 8))
        return Py_NewRef(reinterpret_cast<PyObject *>(a));
    PyObject *copy = PyArray_NewLikeArray(a, NPY_KEEPORDER, PyArray_DescrFromType(NPY_DOUBLE), 0);
    if (copy == nullptr) return nullptr;
    if (PyArray_CopyInto(reinterpret_cast<PyArrayObject *>(copy), a) < 0) {
        Py_DECREF(copy);
        return nullptr;
    }
    return copy;
}

// A condition as bytes: itself when it already is one byte per element (bool, int8,
// uint8: any non-zero byte is true), else 1 where the value is non-zero and not NaN.
PyObject *as_condition(PyArrayObject *a) {
    const int t = PyArray_TYPE(a);
    if (t == NPY_BOOL || t == NPY_UINT8 || t == NPY_INT8)
        return Py_NewRef(reinterpret_cast<PyObject *>(a));
    Ref d(as_double(a));
    if (!d) return nullptr;
    auto *src = reinterpret_cast<PyArrayObject *>(d.get());
    PyObject *bytes = PyArray_NewLikeArray(src, NPY_KEEPORDER, PyArray_DescrFromType(NPY_UINT8), 0);
    if (bytes == nullptr) return nullptr;
    auto *dst = reinterpret_cast<PyArrayObject *>(bytes);
    const int nd = PyArray_NDIM(src);
    const npy_intp d0 = PyArray_DIMS(src)[0], d1 = nd == 2 ? PyArray_DIMS(src)[1] : 1;
    const npy_intp ss0 = PyArray_STRIDES(src)[0], ss1 = nd == 2 ? PyArray_STRIDES(src)[1] : 0;
    const npy_intp ds0 = PyArray_STRIDES(dst)[0], ds1 = nd == 2 ? PyArray_STRIDES(dst)[1] : 0;
    const char *s = PyArray_BYTES(src);
    char *o = PyArray_BYTES(dst);
    for (npy_intp i = 0; i < d0; ++i)
        for (npy_intp j = 0; j < d1; ++j) {
            double v;
            std::memcpy(&v, s + i * ss0 + j * ss1, sizeof v);
            o[i * ds0 + j * ds1] = (v != 0.0 && v == v) ? 1 : 0;
        }
    return bytes;
}

// Names the function and the parameter in an error raised while reading an argument.
// numpy's own refusals (a TypeError, ValueError or OverflowError: a ragged list, say)
// are raised again with the names in front, the original as their cause; any other
// exception (one raised by the caller's own __array__, KeyboardInterrupt, SystemExit)
// propagates as it is, with a note naming them where the exception takes notes.
bool with_names(Call &c, const char *param) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(tb);
        PyErr_Format(PyExc_TypeError, "%s: %s could not be read as an array", c.name, param);
        return false;
    }
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    if (type == PyExc_TypeError || type == PyExc_ValueError || type == PyExc_OverflowError) {
        PyErr_Format(type, "%s: %s: %S", c.name, param, value);
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        if (v2 != nullptr) {
            PyException_SetCause(v2, Py_NewRef(value));
            PyException_SetContext(v2, Py_NewRef(value));
        }
        PyErr_Restore(t2, v2, tb2);
        Py_DECREF(type);
        Py_DECREF(value);
        Py_XDECREF(tb);
        return false;
    }
    Ref note(PyUnicode_FromFormat("raised while vexa.%s read its argument %s", c.name, param));
    if (note && PyObject_HasAttrString(value, "add_note")) {
        Ref done(PyObject_CallMethod(value, "add_note", "O", note.get()));
        if (!done) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    return false;
}

bool read_array(Call &c, const qx::table::Param &p, int i) {
    Operand &op = c.ops[i];
    const bool first = i == 0;
    PyObject *obj = c.argv[i];
    if (!first && (PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || PyBool_Check(obj))) {
        const double v = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyLong_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return with_names(c, p.name);
        set_scalar(op, v);
        return true;
    }
    Ref unwrapped, arr;
    const bool is_ma = PyArray_Check(obj) && masked(obj);
    if (is_ma ||
        (!PyArray_Check(obj) && !PyList_Check(obj) && !PyTuple_Check(obj) && is_foreign(obj))) {
        Ref unwrap(kinds_function("unwrap"));
        if (!unwrap) return false;
        unwrapped.reset(PyObject_CallOneArg(unwrap.get(), obj));
        if (!unwrapped) return false;
        // The result takes the first argument's kind, or is masked when any argument of
        // a numpy call is.
        if (first || (is_ma && !c.like)) c.like.reset(Py_NewRef(obj));
        obj = unwrapped.get();
    }
    if (PyArray_Check(obj)) {
        arr.reset(Py_NewRef(obj));
    } else {
        arr.reset(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
        if (!arr) return with_names(c, p.name);
        if (PyArray_TYPE(reinterpret_cast<PyArrayObject *>(arr.get())) == NPY_OBJECT &&
            !PyList_Check(obj) && !PyTuple_Check(obj))
            return err::not_array_like(c.name, p.name, c.argv[i]);
    }
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        return err::not_numeric(c.name, p.name, a);
    const int nd = PyArray_NDIM(a);
    if (nd == 0) {
        if (first) return err::first_dims(c.name, p.name, 0, PyArray_DIMS(a));
        Ref f(PyNumber_Float(arr.get()));
        if (!f) return with_names(c, p.name);
        set_scalar(op, PyFloat_AS_DOUBLE(f.get()));
        return true;
    }
    if (nd > 2)
        return first ? err::first_dims(c.name, p.name, nd, PyArray_DIMS(a))
                     : err::other_dims(c.name, p.name, nd, PyArray_DIMS(a));
    op.hold.reset(p.kind == Kind::Cond ? as_condition(a) : as_double(a));
    if (!op.hold) return false;
    auto *h = reinterpret_cast<PyArrayObject *>(op.hold.get());
    const npy_intp itemsize = PyArray_ITEMSIZE(h);
    op.data = PyArray_BYTES(h);
    op.ndim = nd;
    for (int k = 0; k < nd; ++k) {
        op.dims[k] = PyArray_DIMS(h)[k];
        op.strides[k] = PyArray_STRIDES(h)[k] / itemsize;
    }
    return true;
}

bool read_axis(Call &c, int ndim, int *axis) {
    *axis = 0;
    if (c.axis == nullptr) return true;
    if (PyBool_Check(c.axis) || !PyIndex_Check(c.axis)) return err::axis_type(c.name, c.axis);
    Ref index(PyNumber_Index(c.axis));
    if (!index) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < -ndim || v >= ndim)
        return err::axis_range(c.name, index.get(), row_at(c.row).params[0].name, ndim);
    *axis = static_cast<int>(v < 0 ? v + ndim : v);
    return true;
}

// ---- running -----------------------------------------------------------------------

struct Panel {
    int32_t row;
    int32_t n;
    int64_t cols;
    int64_t chunk_cols;
    qxp_arg args[kMaxParams];
    qxp_out out;
    char *scratch;
    size_t scratch_each;
    std::atomic<int32_t> status{0};
};

void run_chunk(void *ctx, size_t chunk, int worker) {
    Panel &p = *static_cast<Panel *>(ctx);
    const int64_t c0 = static_cast<int64_t>(chunk) * p.chunk_cols;
    const int64_t c1 = c0 + p.chunk_cols < p.cols ? c0 + p.chunk_cols : p.cols;
    void *scratch = p.scratch ? p.scratch + static_cast<size_t>(worker) * p.scratch_each : nullptr;
    const int32_t s = qxp_run(p.row, p.n, c0, c1, p.args, &p.out, scratch);
    if (s != 0) p.status.store(s, std::memory_order_relaxed);
}

size_t round_up(size_t v, size_t to) { return (v + to - 1) / to * to; }

// Runs the panel driver over every column, on the pool's threads when it is large.
bool run_panel(Panel &p, int32_t *status) {
    const int64_t work = static_cast<int64_t>(p.n) * p.cols;
    int width = 1;
    if (p.cols >= 2 && work >= kParallel) {
        width = pool::threads();
        const int limit = pool::thread_limit();
        if (limit > 0 && width > limit) width = limit;
        if (width > p.cols) width = static_cast<int>(p.cols);
    }
    size_t chunks = 1;
    p.chunk_cols = p.cols;
    if (width > 1) {
        const int64_t block = p.out.col_stride == 1 ? qxp_column_block() : 1;
        const int64_t pieces = static_cast<int64_t>(width) * kChunksPerThread;
        int64_t each = (p.cols + pieces - 1) / pieces;
        each = (each + block - 1) / block * block;
        p.chunk_cols = each;
        chunks = static_cast<size_t>((p.cols + each - 1) / each);
        if (chunks < 2) width = 1;
    }
    // Scratch for the widest chunk (the first), and for the last one, which may differ.
    size_t need = qxp_scratch_size(p.row, p.n, 0, p.chunk_cols, p.args, &p.out);
    const int64_t last0 = static_cast<int64_t>(chunks - 1) * p.chunk_cols;
    const size_t last = qxp_scratch_size(p.row, p.n, last0, p.cols, p.args, &p.out);
    if (last > need) need = last;
    p.scratch = nullptr;
    p.scratch_each = round_up(need, 64);
    if (need > 0) {
        p.scratch = static_cast<char *>(std::aligned_alloc(64, p.scratch_each * width));
        if (p.scratch == nullptr) {
            PyErr_NoMemory();
            return false;
        }
    }
    if (width > 1) pool::ready();
    if (work >= kReleaseGil) {
        Py_BEGIN_ALLOW_THREADS pool::run(chunks, width, run_chunk, &p);
        Py_END_ALLOW_THREADS
    } else {
        pool::run(chunks, 1, run_chunk, &p);
    }
    std::free(p.scratch);
    *status = p.status.load();
    return true;
}

// The kernel's verdict on the parameters alone: called over no bars, it runs its checks
// of the integer and real parameters and nothing else.
int32_t check_params(const Row &r, const qx::table::Slot *given) {
    qx::table::Slot slots[kMaxParams] = {};
    for (int i = 0; i < r.nparams; ++i)
        if (!is_array(r.params[i].kind)) slots[i] = given[i];
    return r.invoke(0, slots, nullptr, 0);
}

// The error for a status that the checks before the call should have made impossible,
// or for parameters the kernel refuses: the one real parameter at fault when replacing it
// by an accepted value (1.0) makes the kernel accept the call, else all of them together.
bool refused(Call &c, const Row &r, int32_t status) {
    if (status != QX_BAD_PERIOD) return err::refused(c.name, status);
    qx::table::Slot given[kMaxParams] = {};
    for (int i = 0; i < r.nparams; ++i) {
        given[i].value = c.ops[i].value;
        given[i].real = c.ops[i].real;
    }
    int at_fault = -1, faults = 0, reals = 0;
    for (int i = 0; i < r.nparams; ++i) reals += r.params[i].kind == Kind::Real;
    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        if (p.kind == Kind::Int && c.ops[i].value < p.least) {
            Ref v(PyLong_FromLong(c.ops[i].value));
            return err::int_range(c.name, p.name, p.least, v.get());
        }
        // Integers within their own range are refused together (LAST's A and B).
        if (p.kind != Kind::Real) continue;
        qx::table::Slot trial[kMaxParams];
        std::memcpy(trial, given, sizeof trial);
        trial[i].real = 1.0;
        if (check_params(r, trial) == 0) {
            at_fault = i;
            ++faults;
        }
    }
    std::string all;
    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        if (p.kind != Kind::Int && p.kind != Kind::Real) continue;
        Ref v(p.kind == Kind::Int ? PyLong_FromLong(c.ops[i].value)
                                  : PyFloat_FromDouble(c.ops[i].real));
        if (!v) return false;
        const std::string q = err::quote(v.get());
        // The real parameters of the table (the zigzag's percentage, SAR's) are finite
        // and positive. A value the kernel refuses otherwise is named alone, without a
        // rule, only where it is the row's one real parameter (SAR's STEP and MAX go
        // together).
        const double x = c.ops[i].real;
        const bool outside = !(x > 0.0 && x <= DBL_MAX);
        if (faults == 1 && i == at_fault && (outside || reals == 1))
            return err::real_range(c.name, p.name, q,
                                   outside ? "a finite number greater than 0" : "");
        all += std::string(all.empty() ? "" : ", ") + p.name + " = " + q;
    }
    return err::ints_together(c.name, all);
}

PyObject *finish(Call &c, Ref &out) {
    if (!c.like) return Py_NewRef(out.get());
    Ref wrap(kinds_function("wrap"));
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
    o[0] = 0.0;  // bar 0 of CROSS, which its kernel leaves unwritten
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

bool is_masked(PyObject *obj) {
    PyObject *mro = Py_TYPE(obj)->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i)
        if (from_package(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i)), "numpy.ma", 8))
            return true;
    return false;
}

PyObject *kinds_function(const char *name) {
    static PyObject *module = nullptr;
    if (module == nullptr) {
        module = PyImport_ImportModule("vexa._wrap");
        if (module == nullptr) return nullptr;
    }
    return PyObject_GetAttrString(module, name);
}

void find_per_bar_rows() {
    for (size_t i = 0; i < kNumRows; ++i) g_per_bar[i] = per_bar_row(i);
}

PyObject *call(size_t row, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    PyObject *result;
    if (fast_call(row_at(row), args, nargs, kwnames, &result)) return result;
    Call c;
    c.row = row;
    c.name = row_at(row).name;
    if (!bind(c, row_at(row), args, nargs, kwnames)) return nullptr;
    // A series where the period is expected: the row that reads its period per bar.
    if (g_per_bar[row] >= 0 && !PyLong_CheckExact(c.argv[1]) && series_like(c.argv[1]))
        c.row = static_cast<size_t>(g_per_bar[row]);
    const Row &r = row_at(c.row);

    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        bool ok = true;
        if (p.kind == Kind::Int)
            ok = read_int(c, p, c.argv[i], g_per_bar[c.row] >= 0, &c.ops[i].value);
        else if (p.kind == Kind::Real)
            ok = read_real(c, p, c.argv[i], &c.ops[i].real);
        if (!ok) return nullptr;
    }
    for (int i = 0; i < r.nparams; ++i)
        if (is_array(r.params[i].kind) && !read_array(c, r.params[i], i)) return nullptr;

    // The first argument fixes the shape: n bars along `axis`, and columns.
    const Operand &f = c.ops[0];
    int axis = 0;
    if (!read_axis(c, f.ndim, &axis)) return nullptr;
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
        a.value = op.value;
        a.real = op.real;
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
    // Bars that a kernel leaves unwritten (bar 0 of CROSS) read +0.0, as in vexa._vexa.
    for (int64_t j = 0; j < cols; ++j) pout.data[j * pout.col_stride] = 0.0;

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
    } else {
        Panel p;
        p.row = static_cast<int32_t>(c.row);
        p.n = n32;
        p.cols = cols;
        std::memcpy(p.args, pargs, sizeof pargs);
        p.out = pout;
        if (!run_panel(p, &status)) return nullptr;
    }
    if (status != 0) {
        refused(c, r, status);
        return nullptr;
    }
    return finish(c, out);
}

}  // namespace vexa::native
