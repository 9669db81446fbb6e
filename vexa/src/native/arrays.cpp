// Reading the array arguments of a call (arrays.h).
#include "arrays.h"

#include <cstring>

#include "errors.h"

namespace vexa::native {

// The package's module that unwraps and rebuilds pandas, polars and masked arrays, in
// Python, without this module importing either package.
constexpr const char *kWrapModule = "vexa._wrap";

namespace {

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

}  // namespace

bool is_foreign(PyObject *obj) {
    PyObject *mro = Py_TYPE(obj)->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *t = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (from_package(t, "pandas", 6) || from_package(t, "polars", 6)) return true;
    }
    return false;
}

bool is_masked(PyObject *obj) {
    PyObject *mro = Py_TYPE(obj)->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i)
        if (from_package(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i)), "numpy.ma", 8))
            return true;
    return false;
}

PyObject *wrap_function(const char *name) {
    static PyObject *module = nullptr;
    if (module == nullptr) {
        module = PyImport_ImportModule(kWrapModule);
        if (module == nullptr) return nullptr;
    }
    return PyObject_GetAttrString(module, name);
}

namespace {

// A masked array: read through the wrapping module like a pandas or polars object (its
// masked values as missing ones); the result is masked where it has no value.
bool masked(PyObject *obj) { return !PyArray_CheckExact(obj) && is_masked(obj); }

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

}  // namespace

bool read_array(const char *func, const qx::table::Param &p, bool first, PyObject *obj, Operand &op,
                Ref &like) {
    PyObject *const given = obj;
    if (!first && (PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || PyBool_Check(obj))) {
        const double v = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyLong_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return err::with_names(func, p.name);
        set_scalar(op, v);
        return true;
    }
    Ref unwrapped, arr;
    const bool is_ma = PyArray_Check(obj) && masked(obj);
    if (is_ma ||
        (!PyArray_Check(obj) && !PyList_Check(obj) && !PyTuple_Check(obj) && is_foreign(obj))) {
        Ref unwrap(wrap_function("unwrap"));
        if (!unwrap) return false;
        unwrapped.reset(PyObject_CallOneArg(unwrap.get(), obj));
        if (!unwrapped) return false;
        // The result takes the first argument's kind, or is masked when any argument of
        // a numpy call is.
        if (first || (is_ma && !like)) like.reset(Py_NewRef(obj));
        obj = unwrapped.get();
    }
    if (PyArray_Check(obj)) {
        arr.reset(Py_NewRef(obj));
    } else {
        arr.reset(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
        if (!arr) return err::with_names(func, p.name);
        if (PyArray_TYPE(reinterpret_cast<PyArrayObject *>(arr.get())) == NPY_OBJECT &&
            !PyList_Check(obj) && !PyTuple_Check(obj))
            return err::not_array_like(func, p.name, given);
    }
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        return err::not_numeric(func, p.name, a);
    const int nd = PyArray_NDIM(a);
    if (nd == 0) {
        if (first) return err::first_dims(func, p.name, 0, PyArray_DIMS(a));
        Ref f(PyNumber_Float(arr.get()));
        if (!f) return err::with_names(func, p.name);
        set_scalar(op, PyFloat_AS_DOUBLE(f.get()));
        return true;
    }
    if (nd > 2)
        return first ? err::first_dims(func, p.name, nd, PyArray_DIMS(a))
                     : err::other_dims(func, p.name, nd, PyArray_DIMS(a));
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

}  // namespace vexa::native
