// Taking bars (streams.h): the values of a bar read as the batch function reads its
// arguments (a condition as its truth), one bar through qxs_update, many through qxs_run.
#include "streams.h"

#include "../pyref.h"
#include "arrays.h"
#include "errors.h"

namespace vexa::native::stream {
namespace {

// The error for a bar the stream refused (it took it all the same): `bar` counts from the
// stream's first, `in_call` is its element in update_many's arrays (-1: update).
PyObject *refused_bar(const Stream *s, int32_t status, int64_t bar, int64_t in_call) {
    const std::string name = stream_name(row_of(s));
    int32_t ints[kInts];
    int64_t history;
    qxs_params(s->state, ints, &history);
    std::string where = "bar " + std::to_string(bar);
    if (in_call >= 0) where += " (element " + std::to_string(in_call) + " of this call)";
    if (status == QXS_LOOKS_AHEAD)
        err::bar_reads_ahead(name.c_str(), where);
    else
        err::bar_beyond_history(name.c_str(), where, history);
    return nullptr;
}

PyObject *wrong_count(const Stream *s, const char *method, Py_ssize_t given) {
    const Row &f = row_of(s);
    std::string names;
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (!names.empty()) names += ", ";
        names += f.params[i].name;
    }
    err::values_count(stream_name(f).c_str(), method, s->arrays, names, given);
    return nullptr;
}

const char *array_name(const Row &f, int k) {
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (k-- == 0) return f.params[i].name;
    }
    return "?";
}

// A value of the new bar; a condition as 1.0 where non-zero and not NaN, else 0.0.
inline bool read_value(const Stream *s, int k, PyObject *obj, double *out) {
    double v;
    if (PyFloat_CheckExact(obj)) {
        v = PyFloat_AS_DOUBLE(obj);
    } else if (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(obj)) == 0 &&
               is_masked(obj)) {
        // np.ma.masked, or a masked array of one value: a masked value is missing.
        Ref unwrap(wrap_function("unwrap"));
        if (!unwrap) return false;
        Ref value(PyObject_CallOneArg(unwrap.get(), obj));
        if (!value) return false;
        const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(value.get()))->kind;
        if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
            const Row &f = row_of(s);
            return err::not_a_number(stream_name(f).c_str(), array_name(f, k), obj);
        }
        v = PyFloat_AsDouble(value.get());
        if (v == -1.0 && PyErr_Occurred()) return false;
    } else {
        if (!(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Number) ||
              PyArray_IsScalar(obj, Bool))) {
            const Row &f = row_of(s);
            return err::not_a_number(stream_name(f).c_str(), array_name(f, k), obj);
        }
        v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return false;
    }
    if (s->cond >> k & 1u) v = (v != 0.0 && v == v) ? 1.0 : 0.0;
    *out = v;
    return true;
}

}  // namespace

PyObject *stream_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    auto *s = reinterpret_cast<Stream *>(self);
    if (nargs != s->arrays) return wrong_count(s, "update", nargs);
    double v[kMaxParams];
    for (Py_ssize_t k = 0; k < nargs; ++k)
        if (!read_value(s, static_cast<int>(k), args[k], &v[k])) return nullptr;
    double out;
    const int32_t st = qxs_update(s->state, v, &out);
    if (st != QXS_OK) return refused_bar(s, st, qxs_bars(s->state) - 1, -1);
    return PyFloat_FromDouble(out);
}

PyArrayObject *numeric_column(const std::string &name, const char *pname, PyObject *given,
                              bool foreign, Ref &hold, Ref &like) {
    Ref unwrapped;
    if (!PyArray_CheckExact(given) && (is_masked(given) || (foreign && is_foreign(given)))) {
        Ref unwrap(wrap_function("unwrap"));
        if (!unwrap) return nullptr;
        unwrapped.reset(PyObject_CallOneArg(unwrap.get(), given));
        if (!unwrapped) return nullptr;
        if (!like) like.reset(Py_NewRef(given));
        given = unwrapped.get();
    }
    hold.reset(PyArray_FromAny(given, nullptr, 0, 0, 0, nullptr));
    if (!hold) return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(hold.get());
    const int t = PyArray_TYPE(arr);
    if (!(PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t))) {
        err::not_numeric(name.c_str(), pname, arr);
        return nullptr;
    }
    return arr;
}

double *bar_values(PyArrayObject *arr, bool cond, Ref &hold) {
    PyObject *d = PyArray_FromArray(arr, PyArray_DescrFromType(NPY_DOUBLE),
                                    NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST |
                                        (cond ? NPY_ARRAY_ENSURECOPY : 0));
    if (d == nullptr) return nullptr;
    hold.reset(d);
    auto *c = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(d)));
    if (cond)
        for (npy_intp i = 0, n = PyArray_SIZE(reinterpret_cast<PyArrayObject *>(d)); i < n; ++i)
            c[i] = (c[i] != 0.0 && c[i] == c[i]) ? 1.0 : 0.0;
    return c;
}

PyObject *stream_update_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    auto *s = reinterpret_cast<Stream *>(self);
    if (nargs != s->arrays) return wrong_count(s, "update_many", nargs);
    const Row &f = row_of(s);
    const std::string name = stream_name(f) + ".update_many";
    Ref arrays[kMaxParams];
    const double *cols[kMaxParams];
    npy_intp n = 0;
    Ref like;  // a masked array among the arguments: the values come back masked
    for (Py_ssize_t k = 0; k < nargs; ++k) {
        const char *pname = array_name(f, static_cast<int>(k));
        Ref held;
        PyArrayObject *arr = numeric_column(name, pname, args[k], false, held, like);
        if (arr == nullptr) return nullptr;
        if (PyArray_NDIM(arr) != 1) {
            err::not_a_series(name.c_str(), pname, PyArray_NDIM(arr), PyArray_DIMS(arr));
            return nullptr;
        }
        double *c = bar_values(arr, s->cond >> k & 1u, arrays[k]);
        if (c == nullptr) return nullptr;
        const npy_intp len = PyArray_DIM(arr, 0);
        if (k == 0) {
            n = len;
        } else if (len != n) {
            err::lengths_differ(name.c_str(), pname, static_cast<Py_ssize_t>(len), array_name(f, 0),
                                static_cast<Py_ssize_t>(n));
            return nullptr;
        }
        cols[k] = c;
    }
    npy_intp dims[1] = {n};
    Ref out(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!out) return nullptr;
    int64_t done = 0;
    const int32_t st = qxs_run(
        s->state, cols, n,
        static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get()))), &done);
    if (st != QXS_OK) return refused_bar(s, st, qxs_bars(s->state) - 1, done - 1);
    if (like) {
        Ref wrap(wrap_function("wrap"));
        if (!wrap) return nullptr;
        return PyObject_CallFunctionObjArgs(wrap.get(), like.get(), out.get(), nullptr);
    }
    return Py_NewRef(out.get());
}

}  // namespace vexa::native::stream
