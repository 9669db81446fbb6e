// Market streams (streams.h): one stream of a function per symbol, every symbol's state
// in one allocation, one bar of every symbol per update.
//
//     m = vexa.stream.EMA(N=12, symbols=5000)     # or symbols=["AAPL", "MSFT", ...]
//     out = m.update(closes)                      # 1-D over the symbols, in one C call
//     out = m.update(closes, present=trading)     # a symbol without a bar keeps its state
//
// Each symbol's values are bit for bit its own single stream's over the bars it had.
// Like a single stream's, every call runs whole under the interpreter lock.
#include "streams.h"

#include <cstring>
#include <string>

#include "../pyref.h"
#include "arrays.h"
#include "errors.h"

namespace vexa::native::stream {
namespace {

struct Market {
    PyObject_HEAD int32_t row;
    int32_t arrays;   // values per bar
    uint32_t cond;    // bit k: value k is a condition
    int64_t count;    // symbols
    size_t size;      // bytes of one symbol's state
    size_t stride;    // bytes from one symbol's state to the next: size to a multiple of 64
    void *states;     // count * stride bytes, 64-byte aligned, within raw
    void *raw;        // PyMem_Calloc'd
    PyObject *names;  // a tuple of the symbols' names, or None
};

PyTypeObject *g_market = nullptr;
PyObject *g_market_restore = nullptr;

inline const Row &row_of(const Market *m) { return row_at(static_cast<size_t>(m->row)); }

inline void *state_at(const Market *m, int64_t i) {
    return static_cast<unsigned char *>(m->states) + static_cast<size_t>(i) * m->stride;
}

// The first 64-byte boundary in `raw` (allocated 64 bytes longer than it needs).
unsigned char *aligned(void *raw) {
    const auto at = reinterpret_cast<uintptr_t>(raw);
    return static_cast<unsigned char *>(raw) + ((64 - at % 64) % 64);
}

void describe(Market *m) {
    const Row &f = row_of(m);
    m->arrays = 0;
    m->cond = 0;
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (f.params[i].kind == Kind::Cond) m->cond |= 1u << m->arrays;
        ++m->arrays;
    }
}

Market *alloc_market(int32_t row, PyObject *names) {
    auto *m = reinterpret_cast<Market *>(g_market->tp_alloc(g_market, 0));
    if (m == nullptr) return nullptr;
    m->row = row;
    m->count = 0;
    m->size = 0;
    m->stride = 0;
    m->states = nullptr;
    m->raw = nullptr;
    m->names = Py_NewRef(names);
    describe(m);
    return m;
}

void market_dealloc(PyObject *self) {
    auto *m = reinterpret_cast<Market *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyMem_Free(m->raw);
    Py_XDECREF(m->names);
    type->tp_free(self);
    Py_DECREF(type);
}

// symbols=: a count, or the symbols' names (distinct strings). Sets *count and *names (a
// new reference: the names as a tuple, or None).
bool read_symbols(const std::string &name, PyObject *obj, int64_t *count, PyObject **names) {
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || v < 0 || v > INT32_MAX) {
            PyErr_Format(PyExc_ValueError,
                         "%s: symbols = %S is out of range; pass a count from 0 to 2147483647 or "
                         "a list of the symbols' names",
                         name.c_str(), obj);
            return false;
        }
        *count = v;
        *names = Py_NewRef(Py_None);
        return true;
    }
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "%s: symbols must be a count (int) or a list of the symbols' names (str), "
                     "not %s",
                     name.c_str(), Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref tuple(PySequence_Tuple(obj));
    if (!tuple) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple.get());
    Ref seen(PySet_New(nullptr));
    if (!seen) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *s = PyTuple_GET_ITEM(tuple.get(), i);
        if (!PyUnicode_Check(s)) {
            PyErr_Format(PyExc_TypeError, "%s: symbols[%zd] must be a name (str), not %s",
                         name.c_str(), i, Py_TYPE(s)->tp_name);
            return false;
        }
        const int has = PySet_Contains(seen.get(), s);
        if (has < 0) return false;
        if (has) {
            PyErr_Format(PyExc_ValueError,
                         "%s: symbols names %R twice; each symbol's bars go to one stream",
                         name.c_str(), s);
            return false;
        }
        if (PySet_Add(seen.get(), s) < 0) return false;
    }
    *count = n;
    *names = Py_NewRef(tuple.get());
    return true;
}

// The symbols as made: their count or their names.
PyObject *symbols_of(const Market *m) {
    if (m->names != Py_None) return Py_NewRef(m->names);
    return PyLong_FromLongLong(m->count);
}

// The symbols as a list: their names, or 0, 1, ... for a market made with a count.
PyObject *symbols_list(const Market *m) {
    if (m->names != Py_None) return PySequence_List(m->names);
    Ref r(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyRange_Type), "L",
                                static_cast<long long>(m->count)));
    return r ? PySequence_List(r.get()) : nullptr;
}

const char *array_name(const Row &f, int k) {
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (k-- == 0) return f.params[i].name;
    }
    return "?";
}

// A pandas Series is read by position: its index must be the market's symbols in their
// order (names, or 0, 1, ... for a market made with a count), or its values would go to
// other symbols than their labels say.
bool index_agrees(const Market *m, const std::string &name, const char *pname, PyObject *given) {
    if (!PyObject_HasAttrString(given, "index")) return true;
    Ref index(PyObject_GetAttrString(given, "index"));
    if (!index) return false;
    Ref labels(PySequence_List(index.get()));
    Ref symbols(symbols_list(m));
    if (!labels || !symbols) return false;
    const int same = PyObject_RichCompareBool(labels.get(), symbols.get(), Py_EQ);
    if (same < 0) return false;
    if (!same)
        PyErr_Format(PyExc_ValueError,
                     "%s: %s's index is not the market's symbols in their order; pass values in "
                     "the order of its symbols (e.g. series.reindex(market.symbols))",
                     name.c_str(), pname);
    return same == 1;
}

// One value of every symbol: a 1-D array of `count` numbers, read as float64 (a copy when
// it is a condition, read as its truth). A masked array or a pandas / polars one is
// unwrapped (a masked value is missing), and the first is kept in `like` for the result.
const double *read_column(const Market *m, int k, PyObject *given, Ref &hold, Ref &like) {
    const Row &f = row_of(m);
    const std::string name = stream_name(f) + ".update";
    const char *pname = array_name(f, k);
    if (!PyArray_CheckExact(given) && is_foreign(given) && !index_agrees(m, name, pname, given))
        return nullptr;
    Ref held;
    PyArrayObject *arr = numeric_column(name, pname, given, true, held, like);
    if (arr == nullptr) return nullptr;
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != m->count) {
        const std::string s = err::shape(PyArray_NDIM(arr), PyArray_DIMS(arr));
        PyErr_Format(PyExc_ValueError,
                     "%s: %s has shape %s; expected one value per symbol, shape (%lld,)",
                     name.c_str(), pname, s.c_str(), static_cast<long long>(m->count));
        return nullptr;
    }
    return bar_values(arr, m->cond >> k & 1u, hold);
}

// present=: a boolean array over the symbols (None: every symbol has a bar).
bool read_present(const Market *m, PyObject *obj, Ref &hold, const unsigned char **out) {
    *out = nullptr;
    if (obj == nullptr || obj == Py_None) return true;
    const std::string name = stream_name(row_of(m)) + ".update";
    Ref a(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!a) return false;
    auto *arr = reinterpret_cast<PyArrayObject *>(a.get());
    if (PyArray_TYPE(arr) != NPY_BOOL || PyArray_NDIM(arr) != 1 ||
        PyArray_DIM(arr, 0) != m->count) {
        const std::string s = err::shape(PyArray_NDIM(arr), PyArray_DIMS(arr));
        PyErr_Format(PyExc_ValueError,
                     "%s: present must be a boolean array with one value per symbol, shape "
                     "(%lld,) (True: the symbol has a bar this time); got dtype %s, shape %s",
                     name.c_str(), static_cast<long long>(m->count),
                     PyArray_DESCR(arr)->typeobj->tp_name, s.c_str());
        return false;
    }
    PyObject *c = PyArray_FromArray(arr, PyArray_DescrFromType(NPY_BOOL), NPY_ARRAY_IN_ARRAY);
    if (c == nullptr) return false;
    hold.reset(c);
    *out = static_cast<const unsigned char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(c)));
    return true;
}

PyObject *symbol_label(const Market *m, int64_t i) {
    if (m->names != Py_None) return PyObject_Repr(PyTuple_GET_ITEM(m->names, i));
    return PyUnicode_FromFormat("%lld", static_cast<long long>(i));
}

PyObject *market_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    auto *m = reinterpret_cast<Market *>(self);
    const Row &f = row_of(m);
    PyObject *present_obj = nullptr;
    if (kwnames != nullptr) {
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, j);
            if (PyUnicode_CompareWithASCIIString(key, "present") != 0) {
                err::unexpected_keyword((stream_name(f) + ".update").c_str(), key);
                return nullptr;
            }
            present_obj = args[nargs + j];
        }
    }
    if (nargs != m->arrays) {
        std::string names;
        for (int k = 0; k < m->arrays; ++k) names += std::string(k ? ", " : "") + array_name(f, k);
        err::values_count(stream_name(f).c_str(), "update", m->arrays, names, nargs);
        return nullptr;
    }
    // Every argument is read before any state moves: a wrong one leaves the market as it was.
    Ref holds[kMaxParams], like, present_hold;
    const double *cols[kMaxParams];
    for (Py_ssize_t k = 0; k < nargs; ++k) {
        cols[k] = read_column(m, static_cast<int>(k), args[k], holds[k], like);
        if (cols[k] == nullptr) return nullptr;
    }
    const unsigned char *present;
    if (!read_present(m, present_obj, present_hold, &present)) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(m->count)};
    Ref out(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!out) return nullptr;
    int64_t refused = 0, first = -1;
    const int32_t st = qxs_market_update(
        m->states, m->stride, m->count, cols, present,
        static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get()))), &refused,
        &first);
    if (st != QXS_OK) {
        // Every present symbol took the bar (a refused one too, so later bars stay exact).
        Ref label(symbol_label(m, first));
        if (!label) return nullptr;
        std::string where = "the bar of symbol " + std::string(PyUnicode_AsUTF8(label.get())) +
                            " (bar " + std::to_string(qxs_bars(state_at(m, first)) - 1) + ")";
        if (refused > 1) where += " and of " + std::to_string(refused - 1) + " other symbols";
        int32_t ints[kInts];
        int64_t history;
        qxs_params(state_at(m, first), ints, &history);
        if (st == QXS_LOOKS_AHEAD)
            err::bar_reads_ahead(stream_name(f).c_str(), where);
        else
            err::bar_beyond_history(stream_name(f).c_str(), where, history);
        return nullptr;
    }
    if (like) {
        Ref wrap(wrap_function("wrap"));
        if (!wrap) return nullptr;
        return PyObject_CallFunctionObjArgs(wrap.get(), like.get(), out.get(), nullptr);
    }
    return Py_NewRef(out.get());
}

PyObject *market_reset(PyObject *self, PyObject *) {
    auto *m = reinterpret_cast<Market *>(self);
    if (m->count == 0) Py_RETURN_NONE;
    int32_t ints[kInts] = {};
    double reals[kReals] = {};
    int64_t history;
    qxs_params(m->states, ints, &history);
    qxs_reals(m->states, reals);
    void *raw = PyMem_Calloc(1, static_cast<size_t>(m->count) * m->stride + 64);
    if (raw == nullptr) return PyErr_NoMemory();
    unsigned char *fresh = aligned(raw);
    for (int64_t i = 0; i < m->count; ++i) {
        if (qxs_init_reals(m->row, ints, reals, history, fresh + static_cast<size_t>(i) * m->stride,
                           m->size) != QXS_OK) {
            PyMem_Free(raw);
            err::refused(stream_name(row_of(m)).c_str(), QXS_BAD_STATE);
            return nullptr;
        }
    }
    PyMem_Free(m->raw);
    m->raw = raw;
    m->states = fresh;
    Py_RETURN_NONE;
}

// Pickled as (restore, (name, symbols, saved form)): each symbol's saved form (its
// parameters, the bars it keeps and a checksum) framed, with a checksum of the whole.
PyObject *market_reduce(PyObject *self, PyObject *) {
    auto *m = reinterpret_cast<Market *>(self);
    const size_t n = qxs_market_saved_size(m->states, m->stride, m->count);
    if (n == 0) return PyErr_NoMemory();
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!bytes) return nullptr;
    if (qxs_market_save(m->states, m->stride, m->count, PyBytes_AS_STRING(bytes.get()), n) !=
        QXS_OK) {
        err::refused(stream_name(row_of(m)).c_str(), QXS_BAD_STATE);
        return nullptr;
    }
    Ref symbols(symbols_of(m));
    if (!symbols) return nullptr;
    return Py_BuildValue("(O(sOO))", g_market_restore, row_of(m).name, symbols.get(), bytes.get());
}

// ---- what a market is ---------------------------------------------------------------

PyObject *market_params(PyObject *self, void *) {
    auto *m = reinterpret_cast<Market *>(self);
    const Row &f = row_of(m);
    Ref d(PyDict_New());
    if (!d) return nullptr;
    if (m->count == 0) return Py_NewRef(d.get());
    int32_t ints[kInts] = {};
    double reals[kReals] = {};
    int64_t history;
    qxs_params(m->states, ints, &history);
    qxs_reals(m->states, reals);
    for (int i = 0, j = 0, k = 0; i < f.nparams; ++i) {
        if (is_array(f.params[i].kind)) continue;
        Ref v(f.params[i].kind == Kind::Int ? PyLong_FromLong(ints[j++])
                                            : PyFloat_FromDouble(reals[k++]));
        if (!v || PyDict_SetItemString(d.get(), f.params[i].name, v.get()) < 0) return nullptr;
    }
    if (keeps_history(m->row)) {
        Ref v(PyLong_FromLongLong(history));
        if (!v || PyDict_SetItemString(d.get(), "max_period", v.get()) < 0) return nullptr;
    }
    return Py_NewRef(d.get());
}

PyObject *market_bars(PyObject *self, void *) {
    auto *m = reinterpret_cast<Market *>(self);
    npy_intp dims[1] = {static_cast<npy_intp>(m->count)};
    Ref out(PyArray_SimpleNew(1, dims, NPY_INT64));
    if (!out) return nullptr;
    auto *b = static_cast<int64_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
    for (int64_t i = 0; i < m->count; ++i) b[i] = qxs_bars(state_at(m, i));
    return Py_NewRef(out.get());
}

PyObject *market_delay(PyObject *self, void *) {
    auto *m = reinterpret_cast<Market *>(self);
    if (m->count == 0) return PyLong_FromLong(0);
    return PyLong_FromLongLong(qxs_delay(m->states));
}

PyObject *market_symbols(PyObject *self, void *) {
    auto *m = reinterpret_cast<Market *>(self);
    if (m->names != Py_None) return Py_NewRef(m->names);
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyRange_Type), "L",
                                 static_cast<long long>(m->count));
}

PyObject *market_function(PyObject *self, void *) {
    return PyUnicode_FromString(row_of(reinterpret_cast<Market *>(self)).name);
}

Py_ssize_t market_len(PyObject *self) {
    return static_cast<Py_ssize_t>(reinterpret_cast<Market *>(self)->count);
}

PyObject *market_repr(PyObject *self) {
    auto *m = reinterpret_cast<Market *>(self);
    Ref d(market_params(self, nullptr));
    if (!d) return nullptr;
    std::string text = std::string("vexa.stream.") + row_of(m).name + "(";
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        Ref r(PyUnicode_FromFormat("%U=%S, ", key, value));
        if (!r) return nullptr;
        text += PyUnicode_AsUTF8(r.get());
    }
    text += "symbols=" + std::to_string(static_cast<long long>(m->count)) + ")";
    return PyUnicode_FromString(text.c_str());
}

PyMethodDef g_market_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&market_update)),
     METH_FASTCALL | METH_KEYWORDS,
     "update(*values, present=None) -> numpy.ndarray\n\nTakes one bar of every symbol (one "
     "1-D array over the symbols per array parameter of the function) and returns each "
     "symbol's value, bit for bit its own stream's. present: a boolean array over the "
     "symbols; a symbol without a bar keeps its state and gets NaN."},
    {"reset", market_reset, METH_NOARGS, "Forgets every bar of every symbol."},
    {"__reduce__", market_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_market_getset[] = {
    {"params", market_params, nullptr, "The parameters of every symbol's stream, as a dict.",
     nullptr},
    {"bars", market_bars, nullptr, "The bars each symbol has taken (an int64 array).", nullptr},
    {"delay", market_delay, nullptr, "Bars by which the values come late (as a stream's).",
     nullptr},
    {"symbols", market_symbols, nullptr,
     "The symbols' names (a tuple), or range(count) when made with a count.", nullptr},
    {"function", market_function, nullptr, "The function's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot g_market_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(&market_dealloc)},
    {Py_tp_methods, g_market_methods},
    {Py_tp_getset, g_market_getset},
    {Py_tp_repr, reinterpret_cast<void *>(&market_repr)},
    {Py_sq_length, reinterpret_cast<void *>(&market_len)},
    {Py_tp_doc,
     const_cast<char *>("The streams of one function for a whole market, one per symbol, made "
                        "by vexa.stream.NAME(..., symbols=...).")},
    {0, nullptr}};

PyType_Spec g_market_spec = {"vexa.stream.Market", sizeof(Market), 0, Py_TPFLAGS_DEFAULT,
                             g_market_slots};

// The states of `count` symbols of `size` bytes each: 64-byte aligned, each padded to a
// multiple of 64, refused beyond the machine's memory (`made` names the market for that
// error, `restoring` gives a restore's error instead).
bool allocate(Market *m, const std::string &made, const char *restoring, int64_t count,
              size_t size) {
    const size_t stride = (size + 63) / 64 * 64;
    const bool over = stride < size || (count > 0 && stride > (SIZE_MAX - 64) / count);
    const size_t total = over ? 0 : static_cast<size_t>(count) * stride;
    if (over || !stream_fits(total)) {
        const uint64_t need = over ? UINT64_MAX : total;
        if (restoring != nullptr)
            err::not_restored_memory(restoring, need, stream_memory_limit());
        else
            err::state_too_large(made, need, stream_memory_limit());
        return false;
    }
    m->raw = PyMem_Calloc(1, total + 64);
    if (m->raw == nullptr) {
        err::state_memory(made.c_str(), total);
        return false;
    }
    m->states = aligned(m->raw);
    m->size = size;
    m->stride = stride;
    return true;
}

}  // namespace

PyObject *market_new(int32_t row, const int32_t *ints, const double *reals, int64_t history,
                     PyObject *symbols) {
    const Row &f = row_at(static_cast<size_t>(row));
    const std::string name = stream_name(f);
    int64_t count = 0;
    PyObject *names = nullptr;
    if (!read_symbols(name, symbols, &count, &names)) return nullptr;
    Ref hold_names(names);
    // The parameters vetted and the size of one state, as for a single stream.
    if (!vet_params(row, ints, reals)) return nullptr;
    const size_t size = qxs_state_size(row, ints, history);
    if (size == 0) {
        err::history_refused(name.c_str(), history);
        return nullptr;
    }
    Market *m = alloc_market(row, names);
    if (m == nullptr) return nullptr;
    Ref own(reinterpret_cast<PyObject *>(m));
    const std::string made = name + "(symbols=" + std::to_string(static_cast<long long>(count)) +
                             ", a state of " + std::to_string(size) + " bytes each)";
    if (!allocate(m, made, nullptr, count, size)) return nullptr;
    m->count = count;
    for (int64_t i = 0; i < count; ++i) {
        const int32_t st = qxs_init_reals(row, ints, reals, history, state_at(m, i), size);
        if (st != QXS_OK) {
            err::refused(name.c_str(), st);
            return nullptr;
        }
    }
    return Py_NewRef(own.get());
}

bool add_market(PyObject *module, PyObject *where) {
    Ref t(PyType_FromSpec(&g_market_spec));
    if (!t) return false;
    g_market = reinterpret_cast<PyTypeObject *>(Py_NewRef(t.get()));
    if (PyModule_AddObjectRef(module, "Market", t.get()) < 0) return false;
    static PyMethodDef restore_def = {
        "_market_restore",
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&market_restore)), METH_FASTCALL,
        "_market_restore(name, symbols, saved): a pickled market, vetted."};
    Ref fn(PyCFunction_NewEx(&restore_def, nullptr, where));
    if (!fn) return false;
    g_market_restore = Py_NewRef(fn.get());
    return PyModule_AddObjectRef(module, "_market_restore", fn.get()) == 0;
}

PyObject *market_restore(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyUnicode_Check(args[0]) || !PyBytes_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError,
                        "_market_restore(name, symbols, saved) takes a str, the symbols and bytes");
        return nullptr;
    }
    const char *name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    const int32_t row = streaming_row(name);
    if (row < 0) {
        err::no_stream_named(args[0]);
        return nullptr;
    }
    int64_t count = 0;
    PyObject *names = nullptr;
    if (!read_symbols(stream_name(row_at(static_cast<size_t>(row))), args[1], &count, &names))
        return nullptr;
    Ref hold_names(names);
    const char *saved = PyBytes_AS_STRING(args[2]);
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(args[2]));
    size_t size = 0;
    if (qxs_market_loaded(saved, n, &size) != count) {
        err::not_restored_format(name);
        return nullptr;
    }
    Market *m = alloc_market(row, names);
    if (m == nullptr) return nullptr;
    Ref own(reinterpret_cast<PyObject *>(m));
    if (!allocate(m, name, name, count, size)) return nullptr;
    const int32_t st = qxs_market_load(saved, n, m->states, m->stride, count);
    if (st == QXS_OK) m->count = count;
    if (st == QXS_BAD_CHECKSUM) {
        err::not_restored_checksum(name);
        return nullptr;
    }
    if (st != QXS_OK) {
        err::not_restored_unsound(name);
        return nullptr;
    }
    if (count > 0 && qxs_row(m->states) != row) {
        err::not_restored_other(name, row_at(static_cast<size_t>(qxs_row(m->states))).name);
        return nullptr;
    }
    return Py_NewRef(own.get());
}

}  // namespace vexa::native::stream
