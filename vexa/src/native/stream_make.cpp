// Making a stream (streams.h): its parameters read as the batch function reads them
// (args.h), its state allocated and filled by quorix, refused where it could never fit
// this machine's memory; reset; and a pickled stream restored.
#include "streams.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "../pyref.h"
#include "args.h"
#include "errors.h"
#include "refusals.h"

namespace vexa::native::stream {
namespace {

constexpr int64_t kDefaultMaxPeriod = 1000;

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

// Whether a state of `size` bytes may be made: not beyond the machine's memory, where it
// could never be filled (a refusal now, rather than a MemoryError or the process killed
// when bars fill it).
bool fits(size_t size) {
    const uint64_t limit = memory_limit();
    return limit == 0 || size <= limit;
}

// "stream.MA(N=2147483647)": the stream as made, for messages.
std::string made_as(const Row &f, const int32_t *ints, int64_t history, bool periods) {
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
    return stream_name(f) + "(" + given + ")";
}

// ---- making a stream --------------------------------------------------------------

// The error for parameters the kernel refuses, as the batch function gives it.
bool params_refused(int32_t row, const int32_t *ints, const double *reals) {
    const Row &f = row_at(static_cast<size_t>(row));
    qx::table::Slot given[kMaxParams] = {};
    for (int i = 0, m = 0, k = 0; i < f.nparams; ++i) {
        if (f.params[i].kind == Kind::Int) given[i].value = ints[m++];
        if (f.params[i].kind == Kind::Real) given[i].real = reals[k++];
    }
    return refused(stream_name(f).c_str(), f, given, QX_BAD_PERIOD);
}

void describe_values(Stream *s, const Row &f) {
    s->arrays = 0;
    s->cond = 0;
    for (int i = 0; i < f.nparams; ++i) {
        if (!is_array(f.params[i].kind)) continue;
        if (f.params[i].kind == Kind::Cond) s->cond |= 1u << s->arrays;
        ++s->arrays;
    }
}

bool read_history(const std::string &name, PyObject *obj, int64_t *out) {
    if (PyBool_Check(obj) || !PyLong_Check(obj)) return err::history_type(name.c_str(), obj);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > INT32_MAX) return err::history_range(name.c_str(), obj);
    *out = v;
    return true;
}

}  // namespace

bool vet_params(int32_t row, const int32_t *ints, const double *reals) {
    if (qxs_init_reals(row, ints, reals, 0, nullptr, 0) == QXS_BAD_PERIOD)
        return params_refused(row, ints, reals);
    return true;
}

bool stream_fits(size_t size) { return fits(size); }

uint64_t stream_memory_limit() { return memory_limit(); }

Stream *alloc_stream(PyTypeObject *type, int32_t row) {
    auto *s = reinterpret_cast<Stream *>(type->tp_alloc(type, 0));
    if (s == nullptr) return nullptr;
    s->row = row;
    s->state = nullptr;
    s->size = 0;
    describe_values(s, row_at(static_cast<size_t>(row)));
    return s;
}

bool make_state(Stream *s, const int32_t *ints, const double *reals, int64_t history) {
    const Row &f = row_of(s);
    const std::string name = stream_name(f);
    const size_t size = qxs_state_size(s->row, ints, history);
    if (size == 0) return err::history_refused(name.c_str(), history);
    if (!fits(size)) {
        // Parameters the kernel refuses are named as such first (no state is needed to
        // tell: qxs_init checks them before the block).
        if (qxs_init_reals(s->row, ints, reals, history, nullptr, 0) == QXS_BAD_PERIOD)
            return params_refused(s->row, ints, reals);
        return err::state_too_large(made_as(f, ints, history, keeps_history(s->row)), size,
                                    memory_limit());
    }
    // Zeroed, and untouched until bars come: a long window costs its memory as it fills.
    void *state = PyMem_Calloc(1, size);
    if (state == nullptr) return err::state_memory(name.c_str(), size);
    const int32_t st = qxs_init_reals(s->row, ints, reals, history, state, size);
    if (st != QXS_OK) {
        PyMem_Free(state);
        if (st != QXS_BAD_PERIOD) return err::refused(name.c_str(), st);
        return params_refused(s->row, ints, reals);
    }
    PyMem_Free(s->state);
    s->state = state;
    s->size = size;
    return true;
}

PyObject *stream_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    const int32_t row = row_of_type(type);
    if (row < 0) {
        err::stream_base();
        return nullptr;
    }
    const Row &f = row_at(static_cast<size_t>(row));
    const std::string name = stream_name(f);
    const bool periods = keeps_history(row);
    // The integer and real parameters, by position or keyword; max_period by keyword.
    const qx::table::Param *params[kMaxParams];
    int m = 0;
    for (int i = 0; i < f.nparams; ++i)
        if (!is_array(f.params[i].kind)) params[m++] = &f.params[i];
    PyObject *given[kMaxParams] = {};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > m) {
        err::too_many_positional(name.c_str(), m, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = PyTuple_GET_ITEM(args, i);
    PyObject *max_period = nullptr, *symbols = nullptr;
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
            if (std::strcmp(k, "symbols") == 0) {
                symbols = value;
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
    int32_t ints[kInts] = {};
    double reals[kReals] = {};
    for (int j = 0, ni = 0, nr = 0; j < m; ++j) {
        if (given[j] == nullptr) {
            err::missing(name.c_str(), params[j]->name, j);
            return nullptr;
        }
        const bool ok = params[j]->kind == Kind::Int
                            ? read_int(name.c_str(), *params[j], given[j], false, &ints[ni++])
                            : read_real(name.c_str(), *params[j], given[j], &reals[nr++]);
        if (!ok) return nullptr;
    }
    int64_t history = periods ? kDefaultMaxPeriod : 0;
    if (max_period != nullptr && !read_history(name, max_period, &history)) return nullptr;
    if (symbols != nullptr) return market_new(row, ints, reals, history, symbols);
    Stream *s = alloc_stream(type, row);
    if (s == nullptr) return nullptr;
    if (!make_state(s, ints, reals, history)) {
        Py_DECREF(s);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(s);
}

PyObject *stream_reset(PyObject *self, PyObject *) {
    auto *s = reinterpret_cast<Stream *>(self);
    int32_t ints[kInts] = {};
    double reals[kReals] = {};
    int64_t history;
    qxs_params(s->state, ints, &history);
    qxs_reals(s->state, reals);
    if (!make_state(s, ints, reals, history)) return nullptr;
    Py_RETURN_NONE;
}

PyObject *restore(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyBytes_Check(args[1])) {
        err::restore_arguments();
        return nullptr;
    }
    const char *name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return nullptr;
    const int32_t row = streaming_row(name);
    if (row < 0) {
        err::no_stream_named(args[0]);
        return nullptr;
    }
    const char *saved = PyBytes_AS_STRING(args[1]);
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(args[1]));
    const size_t size = qxs_loaded_size(saved, n);
    if (size == 0) {
        err::not_restored_format(name);
        return nullptr;
    }
    if (!fits(size)) {
        err::not_restored_memory(name, size, memory_limit());
        return nullptr;
    }
    // Zeroed: the ring slots that the saved form leaves out are as qxs_init leaves them.
    void *state = PyMem_Calloc(1, size);
    if (state == nullptr) return PyErr_NoMemory();
    const int32_t st = qxs_load(saved, n, state, size);
    const int32_t held = st == QXS_OK ? qxs_row(state) : -1;
    if (held != row) {
        PyMem_Free(state);
        if (st == QXS_BAD_CHECKSUM)
            err::not_restored_checksum(name);
        else if (st == QXS_OK)
            err::not_restored_other(name, row_at(static_cast<size_t>(held)).name);
        else
            err::not_restored_unsound(name);
        return nullptr;
    }
    Stream *s = alloc_stream(type_of(row), row);
    if (s == nullptr) {
        PyMem_Free(state);
        return nullptr;
    }
    s->state = state;
    s->size = size;
    return reinterpret_cast<PyObject *>(s);
}

PyObject *stream_memory(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) {
        err::at_most_one("_stream_memory");
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

}  // namespace vexa::native::stream
