// The binding sequence that every function of vexa._vexa follows, driven by its row of
// the function table, and the method table made from the rows.
#ifndef VEXA_STRICT_BINDER_H
#define VEXA_STRICT_BINDER_H

#include <Python.h>

#include <cstdint>
#include <utility>

#include "quorix_table.h"

#include "../pyref.h"
#include "buffer.h"
#include "errors.h"
#include "lookup.h"
#include "state.h"
#include "traceback.h"

namespace vexa::strict {

using qx::table::Form;
using qx::table::Kind;
using qx::table::kMaxParams;
using qx::table::Slot;
using Row = qx::table::Function;
constexpr const Row *kRows = qx::table::kFunctions;
constexpr size_t kNumRows = qx::table::kNumFunctions;

// A period series is a series to this module.
constexpr bool is_series(Kind k) { return k == Kind::Series || k == Kind::Periods; }

// Python int (or None) to a 32-bit int.
inline bool to_int32(PyObject *obj, int32_t *out) {
    if (obj == Py_None) return err::integer_required();
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) return err::int_too_large();
    *out = static_cast<int32_t>(v);
    return true;
}

// The emptiness check and the length of one argument whose view is `v`. The length
// must match the buffer and fit the kernels' 32-bit counts.
inline bool counted(PyObject *obj, const View &v, const char *param, int32_t *count) {
    if (v.count == 0) return err::empty();
    const Py_ssize_t n = length(obj);
    if (n < 0) return false;
    if (n > INT32_MAX) return err::too_long(param, n);
    if (n != v.count) return err::length_mismatch(param, n, v.count);
    *count = static_cast<int32_t>(n);
    return true;
}

// Fills argv[0..nparams) from positional arguments and keywords. Each is owned from the
// moment it is found: a keyword value is borrowed from the caller's dict, which Python
// code run later in the call (a key's __eq__, a __len__, an astype) can empty.
inline bool bind_arguments(const Row &row, PyObject *args, PyObject *kwargs, Ref *argv) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const Py_ssize_t nparams = row.nparams;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (npos != nparams) return err::arg_count(row.name, nparams, npos);
        for (Py_ssize_t i = 0; i < nparams; ++i)
            argv[i].reset(Py_NewRef(PyTuple_GET_ITEM(args, i)));
        return true;
    }
    if (npos > nparams) return err::arg_count(row.name, nparams, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) argv[i].reset(Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t left = PyDict_GET_SIZE(kwargs);
    for (Py_ssize_t i = npos; i < nparams; ++i) {
        PyObject *v = PyDict_GetItemString(kwargs, row.params[i].name);
        if (v == nullptr) return err::arg_count(row.name, nparams, i);
        argv[i].reset(Py_NewRef(v));
        --left;
    }
    if (left == 0) return true;
    // Keywords left over: either names already given positionally or unknown names.
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) return err::keywords_not_strings(row.name);
        bool known = false;
        for (Py_ssize_t i = 0; i < nparams && !known; ++i)
            known = PyUnicode_CompareWithASCIIString(key, row.params[i].name) == 0;
        if (!known) return err::unexpected_keyword(row.name, key);
        for (Py_ssize_t i = 0; i < npos; ++i)
            if (PyUnicode_CompareWithASCIIString(key, row.params[i].name) == 0)
                return err::multiple_values(row.name, key);
    }
    return true;
}

// Steps from result creation to the kernel call; argv holds the bound arguments.
inline PyObject *run(const Row &row, PyObject *const *argv) {
    const int np_ = row.nparams;

    // Result array: np.zeros(len(first), dtype=np.float64).
    Ref zeros_fn(np_attr(g.names.zeros, zeros_cache));
    if (!zeros_fn) return nullptr;
    const Py_ssize_t n = length(argv[0]);
    if (n < 0) return nullptr;
    Ref n_obj(PyLong_FromSsize_t(n));
    if (!n_obj) return nullptr;
    Ref f64(np_attr(g.names.float64, float64_cache));
    if (!f64) return nullptr;
    PyObject *zargs[] = {n_obj.get(), f64.get()};
    Ref r(PyObject_Vectorcall(zeros_fn.get(), zargs, 1, g.names.dtype_kwnames));
    if (!r) return nullptr;

    View views[kMaxParams];
    // Condition series: the argument's own astype with np.uint8, viewed as bytes; the
    // converted array lives as long as its view.
    for (int i = 0; i < np_; ++i) {
        if (row.params[i].kind != Kind::Cond) continue;
        Ref astype(PyObject_GetAttr(argv[i], g.names.astype));
        if (!astype) return nullptr;
        Ref u8(np_attr(g.names.uint8, uint8_cache));
        if (!u8) return nullptr;
        Ref converted(PyObject_CallOneArg(astype.get(), u8.get()));
        if (!converted) return nullptr;
        if (!acquire(converted.get(), kByte, views[i])) return nullptr;
    }
    for (int i = 0; i < np_; ++i)
        if (is_series(row.params[i].kind) && !acquire(argv[i], kDouble, views[i])) return nullptr;
    View rview;
    if (!acquire(r.get(), kDouble, rview)) return nullptr;

    Slot slots[kMaxParams];
    for (int i = 0; i < np_; ++i) {
        if (row.params[i].kind == Kind::Int) continue;
        slots[i].data = views[i].buf.buf;
        if (!counted(argv[i], views[i], row.params[i].name, &slots[i].value)) return nullptr;
        // The result was sized by the first argument's earlier len(): that one must match
        // its buffer too, or the result would not be as long as the series.
        if (i == 0 && n != views[0].count)
            return err::length_mismatch(row.params[0].name, n, views[0].count);
    }
    for (int i = 0; i < np_; ++i)
        if (row.params[i].kind == Kind::Int && !to_int32(argv[i], &slots[i].value)) return nullptr;
    int32_t rn;
    if (!counted(r.get(), rview, "r", &rn)) return nullptr;

    // The status is not examined: a rejected call returns r as the kernel left it.
    row.invoke(0, slots, static_cast<double *>(rview.buf.buf), rn);
    Py_INCREF(r.get());
    return r.get();
}

// The traceback entry every failing call gets: "vexa._vexa." plus the function name.
inline void traceback_of(const Row &row, int line) {
    char func[64];
    PyOS_snprintf(func, sizeof func, "%s.%s", kModuleName, row.name);
    add_traceback(func, line);
}

inline PyObject *call(const Row &row, PyObject *args, PyObject *kwargs) {
    Ref owned[kMaxParams];
    if (!bind_arguments(row, args, kwargs, owned)) {
        traceback_of(row, __LINE__);
        return nullptr;
    }
    PyObject *argv[kMaxParams];
    for (int i = 0; i < kMaxParams; ++i) argv[i] = owned[i].get();
    // Integer type test: exactly int, or None; reported without a traceback entry.
    for (int i = 0; i < row.nparams; ++i) {
        PyObject *v = argv[i];
        if (row.params[i].kind == Kind::Int && v != Py_None && !PyLong_CheckExact(v))
            return err::wrong_type(row.params[i].name, "int", v);
    }
    PyObject *result = run(row, argv);
    if (result == nullptr) {
        traceback_of(row, __LINE__);
    }
    return result;
}

inline PyObject *call_one(const Row &row, PyObject *arg) {
    PyObject *result = run(row, &arg);
    if (result == nullptr) {
        traceback_of(row, __LINE__);
    }
    return result;
}

template <size_t I>
inline PyObject *entry_keywords(PyObject *, PyObject *args, PyObject *kwargs) {
    return call(kRows[I], args, kwargs);
}

template <size_t I>
inline PyObject *entry_single(PyObject *, PyObject *arg) {
    return call_one(kRows[I], arg);
}

template <size_t I>
constexpr PyMethodDef method_def() {
    if constexpr (kRows[I].form == Form::Single)
        return {kRows[I].name,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_single<I>)),
                METH_O, nullptr};
    else
        return {kRows[I].name,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_keywords<I>)),
                METH_VARARGS | METH_KEYWORDS, nullptr};
}

template <size_t... I>
struct MethodTable {
    static PyMethodDef defs[sizeof...(I)];
};
template <size_t... I>
PyMethodDef MethodTable<I...>::defs[sizeof...(I)] = {method_def<I>()...};

template <size_t... I>
inline PyMethodDef *method_defs(std::index_sequence<I...>) {
    return MethodTable<I...>::defs;
}

}  // namespace vexa::strict

#endif
