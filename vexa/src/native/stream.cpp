// vexa._native's streams: one type per row of the function table that streams
// (quorix_stream.h), each a subtype of vexa.stream.Stream, published by vexa.stream.
//
//     s = vexa.stream.EMA(N=12)      # the integer and real parameters, as the batch function's
//     s.update(10.5)                 # one value per array parameter: the new bar's value
//     s.update_many(closes)          # many bars: an array of their values
//
// The object owns the state block (plain bytes); update is a METH_FASTCALL method that
// converts its numbers and calls qxs_update, so no Python code runs per bar.
#include "numpy.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "../pyref.h"
#include "call.h"
#include "errors.h"
#include "quorix_stream.h"
#include "rows.h"
#include "stream.h"

namespace vexa::native::stream {
namespace {

using qx::table::Function;
using qx::table::Kind;

constexpr int64_t kDefaultMaxPeriod = 1000;

struct Stream {
    PyObject_HEAD int32_t row;
    int32_t arrays;  // values per bar
    uint32_t cond;   // bit k: value k is a condition
    size_t size;     // bytes of the state
    void *state;     // PyMem_Malloc'd (16-byte aligned)
};

PyTypeObject *g_base = nullptr;
PyTypeObject *g_types[kNumRows] = {};

const Function &row_of(const Stream *s) { return row_at(static_cast<size_t>(s->row)); }

// Whether the stream of `row` keeps the last max_period bars.
bool keeps_history(int32_t row) { return qxs_keeps_history(row) != 0; }

// "stream.EMA", the name that error texts give.
std::string label(const Function &f) { return std::string("stream.") + f.name; }

// The row of a stream type, or of the table type it derives from; -1 for the base.
int32_t row_of_type(PyTypeObject *t) {
    for (; t != nullptr; t = t->tp_base)
        for (int32_t r = 0; r < static_cast<int32_t>(kNumRows); ++r)
            if (g_types[r] == t) return r;
    return -1;
}

// ---- the error texts of the streams ---------------------------------------------

PyObject *refused_bar(const Stream *s, int32_t status, int64_t bar, int64_t in_call) {
    const Function &f = row_of(s);
    const std::string name = label(f);
    int32_t ints[2];
    int64_t history;
    qxs_params(s->state, ints, &history);
    std::string where = "bar " + std::to_string(bar);
    if (in_call >= 0) where += " (element " + std::to_string(in_call) + " of this call)";
    if (status == QXS_LOOKS_AHEAD)
        PyErr_Format(PyExc_ValueError,
                     "%s: the period of %s is negative: its value reads a later bar, which a "
                     "stream cannot know yet (the bar was taken; later bars stay exact)",
                     name.c_str(), where.c_str());
    else
        PyErr_Format(PyExc_ValueError,
                     "%s: %s reaches back further than max_period = %lld bars "
                     "(the bar was taken; later bars stay exact; make the stream with a larger "
                     "max_period)",
                     name.c_str(), where.c_str(), static_cast<long long>(history));
    return nullptr;
}

PyObject *wrong_count(const Stream *s, const char *method, Py_ssize_t given) {
    const Function &f = row_of(s);
    std::string names;
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (!names.empty()) names += ", ";
        names += f.params[i].name;
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %d argument%s (%s), %zd given", label(f).c_str(),
                 method, s->arrays, s->arrays == 1 ? "" : "s", names.c_str(), given);
    return nullptr;
}

const char *array_name(const Function &f, int k) {
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (k-- == 0) return f.params[i].name;
    }
    return "?";
}

// ---- the memory a state may take ----------------------------------------------------

// The memory of this machine (or of the container it runs in, when that is less), in
// bytes; 0 when it cannot be told.
uint64_t machine_memory() {
    uint64_t total = 0;
#if defined(_WIN32)
    MEMORYSTATUSEX m;
    m.dwLength = sizeof m;
    if (GlobalMemoryStatusEx(&m)) total = m.ullTotalPhys;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) total = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
#if defined(__linux__)
    // A cgroup's limit (version 2, then 1); "max" or a huge number when there is none.
    for (const char *path :
         {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        if (FILE *f = std::fopen(path, "r")) {
            unsigned long long limit = 0;
            if (std::fscanf(f, "%llu", &limit) == 1 && limit > 0 && limit < total) total = limit;
            std::fclose(f);
        }
    }
#endif
#endif
    return total;
}

// The largest state a stream may have: the machine's memory, found once (tests set
// another with _stream_memory).
uint64_t g_memory = 0;
bool g_memory_known = false;

uint64_t memory_limit() {
    if (!g_memory_known) {
        g_memory = machine_memory();
        g_memory_known = true;
    }
    return g_memory;
}

std::string gib(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / 1073741824.0);
    return text;
}

// Whether a state of `size` bytes may be made: not beyond the machine's memory, where it
// could never be filled (a refusal now, rather than a MemoryError or the process killed
// when bars fill it).
bool fits(size_t size) {
    const uint64_t limit = memory_limit();
    return limit == 0 || size <= limit;
}

bool too_large(const std::string &what, size_t size) {
    PyErr_Format(PyExc_ValueError,
                 "%s needs a state of %s once its window is full (it keeps the bars of its "
                 "window), more than the memory of this machine (%s); use a shorter period",
                 what.c_str(), gib(size).c_str(), gib(memory_limit()).c_str());
    return false;
}

// "stream.MA(N=2147483647)": the stream as made, for messages.
std::string made_as(const Function &f, const int32_t *ints, int64_t history, bool periods) {
    std::string given;
    for (int i = 0, m = 0; i < f.nparams; ++i) {
        if (f.params[i].kind != Kind::Int) continue;
        if (!given.empty()) given += ", ";
        given += std::string(f.params[i].name) + "=" + std::to_string(ints[m]);
        ++m;
    }
    if (periods) {
        if (!given.empty()) given += ", ";
        given += "max_period=" + std::to_string(static_cast<long long>(history));
    }
    return label(f) + "(" + given + ")";
}

// ---- making a stream --------------------------------------------------------------

// A real parameter as text, as repr gives it.
std::string real_text(double v) {
    char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// The error for parameters the kernel refuses: each is within its own range (read_int),
// so they do not go together.
bool params_refused(const Function &f, const int32_t *ints, const double *reals) {
    std::string given;
    for (int i = 0, m = 0, k = 0; i < f.nparams; ++i) {
        if (is_array(f.params[i].kind)) continue;
        given +=
            std::string(given.empty() ? "" : ", ") + f.params[i].name + " = " +
            (f.params[i].kind == Kind::Int ? std::to_string(ints[m++]) : real_text(reals[k++]));
    }
    return err::ints_together(label(f).c_str(), given);
}

// Allocates and fills the state of `s` for these parameters.
bool make_state(Stream *s, const Function &f, const int32_t *ints, const double *reals,
                int64_t history) {
    const size_t size = qxs_state_size(s->row, ints, history);
    if (size == 0) {
        PyErr_Format(PyExc_ValueError, "%s: max_period = %lld is out of range", label(f).c_str(),
                     static_cast<long long>(history));
        return false;
    }
    if (!fits(size)) {
        // Parameters the kernel refuses are named as such first (no state is needed to
        // tell: qxs_init checks them before the block).
        if (qxs_init_reals(s->row, ints, reals, history, nullptr, 0) == QXS_BAD_PERIOD)
            return params_refused(f, ints, reals);
        return too_large(made_as(f, ints, history, keeps_history(s->row)), size);
    }
    // Zeroed, and untouched until bars come: a long window costs its memory as it fills.
    void *state = PyMem_Calloc(1, size);
    if (state == nullptr) {
        PyErr_Format(PyExc_MemoryError,
                     "%s: the stream's state needs %zu bytes (it keeps the last bars of its "
                     "window), which could not be allocated",
                     label(f).c_str(), size);
        return false;
    }
    const int32_t st = qxs_init_reals(s->row, ints, reals, history, state, size);
    if (st != QXS_OK) {
        PyMem_Free(state);
        if (st != QXS_BAD_PERIOD) return err::refused(label(f).c_str(), st);
        return params_refused(f, ints, reals);
    }
    PyMem_Free(s->state);
    s->state = state;
    s->size = size;
    return true;
}

void describe_values(Stream *s, const Function &f) {
    s->arrays = 0;
    s->cond = 0;
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (f.params[i].kind == Kind::Cond) s->cond |= 1u << s->arrays;
        ++s->arrays;
    }
}

Stream *alloc_stream(PyTypeObject *type, int32_t row) {
    auto *s = reinterpret_cast<Stream *>(type->tp_alloc(type, 0));
    if (s == nullptr) return nullptr;
    s->row = row;
    s->state = nullptr;
    s->size = 0;
    describe_values(s, row_at(static_cast<size_t>(row)));
    return s;
}

// An integer parameter as the batch function reads it: an int (not a bool) within the
// kernel's range.
bool read_int(const std::string &name, const qx::table::Param &p, PyObject *obj, int32_t *out) {
    Ref index;
    if (!PyLong_CheckExact(obj)) {
        if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool) || !PyIndex_Check(obj))
            return err::int_type(name.c_str(), p.name, obj, false);
        index.reset(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < p.least || v > INT32_MAX)
        return err::int_range(name.c_str(), p.name, p.least, obj);
    *out = static_cast<int32_t>(v);
    return true;
}

// A real parameter as the batch function reads it: an int or a float (not a bool).
bool read_real(const std::string &name, const qx::table::Param &p, PyObject *obj, double *out) {
    if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool) ||
        !(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Integer) ||
          PyArray_IsScalar(obj, Floating)))
        return err::not_a_number(name.c_str(), p.name, obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool read_history(const std::string &name, PyObject *obj, int64_t *out) {
    if (PyBool_Check(obj) || !PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: max_period must be an integer, not %.100s", name.c_str(),
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "%s: max_period = %S is out of range; max_period must be an integer from 0 "
                     "to 2147483647",
                     name.c_str(), obj);
        return false;
    }
    *out = v;
    return true;
}

PyObject *stream_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    const int32_t row = row_of_type(type);
    if (row < 0) {
        PyErr_SetString(PyExc_TypeError,
                        "vexa.stream.Stream is the base of the streams; make one of its "
                        "functions, e.g. vexa.stream.EMA(N=12)");
        return nullptr;
    }
    const Function &f = row_at(static_cast<size_t>(row));
    const std::string name = label(f);
    const bool periods = keeps_history(row);
    // The integer and real parameters, by position or keyword; max_period by keyword.
    const qx::table::Param *params[qx::table::kMaxParams];
    int m = 0;
    for (int i = 0; i < f.nparams; ++i)
        if (!is_array(f.params[i].kind)) params[m++] = &f.params[i];
    PyObject *given[qx::table::kMaxParams] = {};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > m) {
        err::too_many_positional(name.c_str(), m, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = PyTuple_GET_ITEM(args, i);
    PyObject *max_period = nullptr;
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char *k = PyUnicode_AsUTF8(key);
            if (k == nullptr) return nullptr;
            if (periods && std::strcmp(k, "max_period") == 0) {
                max_period = value;
                continue;
            }
            int j = 0;
            while (j < m && std::strcmp(params[j]->name, k) != 0) ++j;
            if (j == m) {
                err::unexpected_keyword(name.c_str(), key);
                return nullptr;
            }
            if (given[j] != nullptr) {
                err::multiple_values(name.c_str(), params[j]->name);
                return nullptr;
            }
            given[j] = value;
        }
    }
    int32_t ints[2] = {0, 0};
    double reals[2] = {0.0, 0.0};
    for (int j = 0, ni = 0, nr = 0; j < m; ++j) {
        if (given[j] == nullptr) {
            err::missing(name.c_str(), params[j]->name, j);
            return nullptr;
        }
        const bool ok = params[j]->kind == Kind::Int
                            ? read_int(name, *params[j], given[j], &ints[ni++])
                            : read_real(name, *params[j], given[j], &reals[nr++]);
        if (!ok) return nullptr;
    }
    int64_t history = periods ? kDefaultMaxPeriod : 0;
    if (max_period != nullptr && !read_history(name, max_period, &history)) return nullptr;
    Stream *s = alloc_stream(type, row);
    if (s == nullptr) return nullptr;
    if (!make_state(s, f, ints, reals, history)) {
        Py_DECREF(s);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(s);
}

void stream_dealloc(PyObject *self) {
    auto *s = reinterpret_cast<Stream *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyMem_Free(s->state);
    type->tp_free(self);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(type);
}

// ---- taking bars ------------------------------------------------------------------

// A value of the new bar; a condition as 1.0 where non-zero and not NaN, else 0.0.
inline bool read_value(const Stream *s, int k, PyObject *obj, double *out) {
    double v;
    if (PyFloat_CheckExact(obj)) {
        v = PyFloat_AS_DOUBLE(obj);
    } else if (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(obj)) == 0 &&
               is_masked(obj)) {
        // np.ma.masked, or a masked array of one value: a masked value is missing.
        Ref unwrap(kinds_function("unwrap"));
        if (!unwrap) return false;
        Ref value(PyObject_CallOneArg(unwrap.get(), obj));
        if (!value) return false;
        const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(value.get()))->kind;
        if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
            const Function &f = row_of(s);
            return err::not_a_number(label(f).c_str(), array_name(f, k), obj);
        }
        v = PyFloat_AsDouble(value.get());
        if (v == -1.0 && PyErr_Occurred()) return false;
    } else {
        if (!(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Number) ||
              PyArray_IsScalar(obj, Bool))) {
            const Function &f = row_of(s);
            return err::not_a_number(label(f).c_str(), array_name(f, k), obj);
        }
        v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return false;
    }
    if (s->cond >> k & 1u) v = (v != 0.0 && v == v) ? 1.0 : 0.0;
    *out = v;
    return true;
}

PyObject *stream_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    auto *s = reinterpret_cast<Stream *>(self);
    if (nargs != s->arrays) return wrong_count(s, "update", nargs);
    double v[qx::table::kMaxParams];
    for (Py_ssize_t k = 0; k < nargs; ++k)
        if (!read_value(s, static_cast<int>(k), args[k], &v[k])) return nullptr;
    double out;
    const int32_t st = qxs_update(s->state, v, &out);
    if (st != QXS_OK) return refused_bar(s, st, qxs_bars(s->state) - 1, -1);
    return PyFloat_FromDouble(out);
}

PyObject *stream_update_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    auto *s = reinterpret_cast<Stream *>(self);
    if (nargs != s->arrays) return wrong_count(s, "update_many", nargs);
    const Function &f = row_of(s);
    const std::string name = label(f) + ".update_many";
    Ref arrays[qx::table::kMaxParams];
    const double *cols[qx::table::kMaxParams];
    npy_intp n = 0;
    Ref like;  // a masked array among the arguments: the values come back masked
    for (Py_ssize_t k = 0; k < nargs; ++k) {
        const char *pname = array_name(f, static_cast<int>(k));
        PyObject *given = args[k];
        Ref unwrapped;
        if (PyArray_Check(given) && !PyArray_CheckExact(given) && is_masked(given)) {
            Ref unwrap(kinds_function("unwrap"));
            if (!unwrap) return nullptr;
            unwrapped.reset(PyObject_CallOneArg(unwrap.get(), given));
            if (!unwrapped) return nullptr;
            if (!like) like.reset(Py_NewRef(given));
            given = unwrapped.get();
        }
        Ref a(PyArray_FromAny(given, nullptr, 0, 0, 0, nullptr));
        if (!a) return nullptr;
        auto *arr = reinterpret_cast<PyArrayObject *>(a.get());
        const int t = PyArray_TYPE(arr);
        if (!(PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t))) {
            err::not_numeric(name.c_str(), pname, arr);
            return nullptr;
        }
        if (PyArray_NDIM(arr) != 1) {
            PyErr_Format(PyExc_ValueError, "%s: %s has shape %s; expected a series (1-D)",
                         name.c_str(), pname,
                         err::shape(PyArray_NDIM(arr), PyArray_DIMS(arr)).c_str());
            return nullptr;
        }
        PyObject *d = PyArray_FromArray(arr, PyArray_DescrFromType(NPY_DOUBLE),
                                        NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST |
                                            ((s->cond >> k & 1u) ? NPY_ARRAY_ENSURECOPY : 0));
        if (d == nullptr) return nullptr;
        arrays[k].reset(d);
        auto *darr = reinterpret_cast<PyArrayObject *>(d);
        const npy_intp len = PyArray_DIM(darr, 0);
        if (k == 0) {
            n = len;
        } else if (len != n) {
            PyErr_Format(PyExc_ValueError, "%s: %s has %zd bars but %s has %zd", name.c_str(),
                         pname, static_cast<Py_ssize_t>(len), array_name(f, 0),
                         static_cast<Py_ssize_t>(n));
            return nullptr;
        }
        if (s->cond >> k & 1u) {
            auto *c = static_cast<double *>(PyArray_DATA(darr));
            for (npy_intp i = 0; i < len; ++i) c[i] = (c[i] != 0.0 && c[i] == c[i]) ? 1.0 : 0.0;
        }
        cols[k] = static_cast<const double *>(PyArray_DATA(darr));
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
        Ref wrap(kinds_function("wrap"));
        if (!wrap) return nullptr;
        return PyObject_CallFunctionObjArgs(wrap.get(), like.get(), out.get(), nullptr);
    }
    return Py_NewRef(out.get());
}

PyObject *stream_reset(PyObject *self, PyObject *) {
    auto *s = reinterpret_cast<Stream *>(self);
    int32_t ints[2];
    double reals[2];
    int64_t history;
    qxs_params(s->state, ints, &history);
    qxs_reals(s->state, reals);
    if (!make_state(s, row_of(s), ints, reals, history)) return nullptr;
    Py_RETURN_NONE;
}

// ---- what a stream is -------------------------------------------------------------

PyObject *params_dict(const Stream *s) {
    const Function &f = row_of(s);
    int32_t ints[2];
    double reals[2];
    int64_t history;
    qxs_params(s->state, ints, &history);
    qxs_reals(s->state, reals);
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (int i = 0, m = 0, k = 0; i < f.nparams; ++i) {
        if (is_array(f.params[i].kind)) continue;
        Ref v(f.params[i].kind == Kind::Int ? PyLong_FromLong(ints[m++])
                                            : PyFloat_FromDouble(reals[k++]));
        if (!v || PyDict_SetItemString(d.get(), f.params[i].name, v.get()) < 0) return nullptr;
    }
    if (keeps_history(s->row)) {
        Ref v(PyLong_FromLongLong(history));
        if (!v || PyDict_SetItemString(d.get(), "max_period", v.get()) < 0) return nullptr;
    }
    return Py_NewRef(d.get());
}

PyObject *stream_repr(PyObject *self) {
    auto *s = reinterpret_cast<Stream *>(self);
    Ref d(params_dict(s));
    if (!d) return nullptr;
    std::string text = std::string("vexa.stream.") + row_of(s).name + "(";
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    bool first = true;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        Ref r(PyUnicode_FromFormat("%s%U=%S", first ? "" : ", ", key, value));
        if (!r) return nullptr;
        text += PyUnicode_AsUTF8(r.get());
        first = false;
    }
    text += ")";
    return PyUnicode_FromString(text.c_str());
}

PyObject *get_params(PyObject *self, void *) {
    return params_dict(reinterpret_cast<Stream *>(self));
}
PyObject *get_bars(PyObject *self, void *) {
    return PyLong_FromLongLong(qxs_bars(reinterpret_cast<Stream *>(self)->state));
}
PyObject *get_delay(PyObject *self, void *) {
    return PyLong_FromLongLong(qxs_delay(reinterpret_cast<Stream *>(self)->state));
}

// Pickled as (restore, (name, saved form)): the saved form holds the parameters, the
// bars the state keeps (not its capacity) and a checksum (quorix_stream.h).
PyObject *g_restore = nullptr;

PyObject *stream_reduce(PyObject *self, PyObject *) {
    auto *s = reinterpret_cast<Stream *>(self);
    const size_t n = qxs_saved_size(s->state);
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!bytes) return nullptr;
    if (qxs_save(s->state, PyBytes_AS_STRING(bytes.get()), n) != QXS_OK) {
        err::refused(label(row_of(s)).c_str(), QXS_BAD_STATE);
        return nullptr;
    }
    return Py_BuildValue("(O(sO))", g_restore, row_of(s).name, bytes.get());
}

PyObject *not_restored(const char *name, const char *why) {
    PyErr_Format(PyExc_ValueError, "the saved state of a %s stream %s; nothing was restored", name,
                 why);
    return nullptr;
}

PyObject *restore(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "_stream_restore(name, state) takes a str and bytes");
        return nullptr;
    }
    const char *name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    int32_t row = -1;
    for (int32_t r = 0; r < static_cast<int32_t>(kNumRows); ++r)
        if (g_types[r] != nullptr && std::strcmp(row_at(static_cast<size_t>(r)).name, name) == 0)
            row = r;
    if (row < 0) {
        const std::string q = err::quote(args[0]);
        PyErr_Format(PyExc_ValueError, "vexa.stream has no stream named %s", q.c_str());
        return nullptr;
    }
    const char *saved = PyBytes_AS_STRING(args[1]);
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(args[1]));
    const size_t size = qxs_loaded_size(saved, n);
    if (size == 0)
        return not_restored(name, "is not one this version of vexa made (damaged, cut short, or "
                                  "from another version or machine)");
    if (!fits(size)) {
        const std::string why = "needs " + gib(size) + ", more than the memory of this machine (" +
                                gib(memory_limit()) + ")";
        return not_restored(name, why.c_str());
    }
    // Zeroed: the ring slots that the saved form leaves out are as qxs_init leaves them.
    void *state = PyMem_Calloc(1, size);
    if (state == nullptr) return PyErr_NoMemory();
    const int32_t st = qxs_load(saved, n, state, size);
    const int32_t held = st == QXS_OK ? qxs_row(state) : -1;
    if (held != row) {
        PyMem_Free(state);
        if (st == QXS_BAD_CHECKSUM)
            return not_restored(name, "is damaged: its bytes changed since it was saved (its "
                                      "checksum does not match)");
        if (st == QXS_OK) {
            const std::string why = std::string("holds the state of a ") +
                                    row_at(static_cast<size_t>(held)).name + " stream instead";
            return not_restored(name, why.c_str());
        }
        return not_restored(name, "is not one this version of vexa made (its parameters and "
                                  "numbers are not those of a stream)");
    }
    Stream *s = alloc_stream(g_types[row], row);
    if (s == nullptr) {
        PyMem_Free(state);
        return nullptr;
    }
    s->state = state;
    s->size = size;
    return reinterpret_cast<PyObject *>(s);
}

// _stream_memory(n=None): the largest state a stream may have, in bytes (the machine's
// memory); sets it first when n is given (0: no limit; None: the machine's again).
PyObject *stream_memory(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "_stream_memory() takes at most one argument");
        return nullptr;
    }
    if (nargs == 1) {
        if (args[0] == Py_None) {
            g_memory_known = false;
        } else {
            const unsigned long long v = PyLong_AsUnsignedLongLong(args[0]);
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
            g_memory = v;
            g_memory_known = true;
        }
    }
    return PyLong_FromUnsignedLongLong(memory_limit());
}

PyMethodDef g_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_update)),
     METH_FASTCALL,
     "update(*values) -> float\n\nTakes the new bar (one value per array parameter of the "
     "function, in its order) and returns its value: bit for bit what the batch function "
     "gives at that bar over every bar taken so far."},
    {"update_many",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_update_many)),
     METH_FASTCALL,
     "update_many(*arrays) -> numpy.ndarray\n\nTakes many bars at once (one array per array "
     "parameter) and returns their values, as update would one by one."},
    {"reset", stream_reset, METH_NOARGS, "Forgets every bar taken: the stream starts afresh."},
    {"__reduce__", stream_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_getset[] = {
    {"params", get_params, nullptr, "The stream's parameters, as a dict.", nullptr},
    {"bars", get_bars, nullptr, "The number of bars taken so far.", nullptr},
    {"delay", get_delay, nullptr,
     "Bars by which the values come late: 0 for a causal function; |N| for REF with a "
     "negative N and N for REFXV with a positive N, whose update of bar t returns the final "
     "value of bar t - delay (NaN while t < delay).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot g_base_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(&stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(&stream_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_repr, reinterpret_cast<void *>(&stream_repr)},
    {Py_tp_doc, const_cast<char *>(
                    "The stream of one function of vexa: its bars one at a time, each value bit "
                    "for bit what the batch function gives at that bar.")},
    {0, nullptr}};

PyType_Spec g_base_spec = {"vexa.stream.Stream", sizeof(Stream), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_base_slots};

// The docstring of a function's stream, kept for the life of the process.
const char *doc_of(int32_t row, const Function &f) {
    std::string sig, values;
    for (int i = 0; i < f.nparams; ++i) {
        std::string &to = is_array(f.params[i].kind) ? values : sig;
        if (!to.empty()) to += ", ";
        to += f.params[i].name;
    }
    const bool history = keeps_history(row);
    if (history) sig += std::string(sig.empty() ? "" : ", ") + "max_period=1000";
    std::string text = std::string(f.name) + "(" + sig + ")\n--\n\nStream of " + f.name + ": " +
                       f.summary + ". update(" + values + ") takes one bar.";
    if (history)
        text += " A bar may reach back max_period bars at most; a bar that reaches further, "
                "where the batch function would read those bars, is refused.";
    auto *copy = static_cast<char *>(PyMem_RawMalloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string g_names[kNumRows];

}  // namespace

bool add_streams(PyObject *module) {
    Ref base(PyType_FromSpec(&g_base_spec));
    if (!base) return false;
    g_base = reinterpret_cast<PyTypeObject *>(base.get());
    if (PyModule_AddObjectRef(module, "Stream", base.get()) < 0) return false;
    Ref types(PyDict_New()), history(PyList_New(0));
    if (!types || !history) return false;
    for (int32_t r = 0; r < static_cast<int32_t>(kNumRows); ++r) {
        if (!qxs_streams(r)) continue;
        const Function &f = row_at(static_cast<size_t>(r));
        g_names[r] = std::string("vexa.stream.") + f.name;
        const char *doc = doc_of(r, f);
        if (doc == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        PyType_Slot slots[] = {{Py_tp_doc, const_cast<char *>(doc)}, {0, nullptr}};
        PyType_Spec spec = {g_names[r].c_str(), sizeof(Stream), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
        Ref t(PyType_FromSpecWithBases(&spec, base.get()));
        if (!t) return false;
        g_types[r] = reinterpret_cast<PyTypeObject *>(Py_NewRef(t.get()));
        if (PyDict_SetItemString(types.get(), f.name, t.get()) < 0) return false;
        if (keeps_history(r)) {
            Ref name(PyUnicode_FromString(f.name));
            if (!name || PyList_Append(history.get(), name.get()) < 0) return false;
        }
    }
    static PyMethodDef restore_def = {
        "_stream_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&restore)),
        METH_FASTCALL, "_stream_restore(name, state): a pickled stream, vetted and restored."};
    Ref where(PyUnicode_FromString("vexa.stream"));
    if (!where) return false;
    Ref fn(PyCFunction_NewEx(&restore_def, nullptr, where.get()));
    if (!fn) return false;
    g_restore = Py_NewRef(fn.get());
    if (PyModule_AddObjectRef(module, "_stream_restore", fn.get()) < 0) return false;
    static PyMethodDef memory_def = {
        "_stream_memory",
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stream_memory)), METH_FASTCALL,
        "_stream_memory(n=None, /): the largest state a stream may have, in bytes (the "
        "machine's memory); sets it first when n is given (0: no limit, None: the machine's)."};
    Ref memory(PyCFunction_NewEx(&memory_def, nullptr, where.get()));
    if (!memory || PyModule_AddObjectRef(module, "_stream_memory", memory.get()) < 0) return false;
    Ref frozen(PyFrozenSet_New(history.get()));
    if (!frozen || PyModule_AddObjectRef(module, "_stream_history", frozen.get()) < 0) return false;
    return PyModule_AddObjectRef(module, "_stream_types", types.get()) == 0;
}

}  // namespace vexa::native::stream
