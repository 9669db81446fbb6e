// vexa._native's streams, published by vexa.stream: one type per row of the function table
// that streams (quorix_stream.h), each a subtype of vexa.stream.Stream.
//
//     s = vexa.stream.EMA(N=12)      # the integer and real parameters, as the batch function's
//     s.update(10.5)                 # one value per array parameter: the new bar's value
//     s.update_many(closes)          # many bars: an array of their values
//
// The object owns the state block (plain bytes); update is a METH_FASTCALL method that
// converts its numbers and calls qxs_update, so no Python code runs per bar. Three jobs:
// making a stream (stream_make.cpp: its parameters, its state, the memory it may take,
// restoring a pickled one), taking bars (stream_bars.cpp) and the types that publish it
// (stream_types.cpp).
#ifndef VEXA_NATIVE_STREAMS_H
#define VEXA_NATIVE_STREAMS_H

#include "../pyref.h"
#include "numpy.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "quorix_stream.h"
#include "rows.h"

namespace vexa::native::stream {

// The integer and the real parameters of a row, in parameter order, as a state holds
// them: arrays of the table's most (a row with more than a state holds has no stream:
// quorix's streams refuse to build).
constexpr int kInts = most_of(Kind::Int) > QXS_INTS ? most_of(Kind::Int) : QXS_INTS;
constexpr int kReals = most_of(Kind::Real) > QXS_REALS ? most_of(Kind::Real) : QXS_REALS;

struct Stream {
    PyObject_HEAD int32_t row;
    int32_t arrays;  // values per bar
    uint32_t cond;   // bit k: value k is a condition
    size_t size;     // bytes of the state
    void *state;     // PyMem_Malloc'd (16-byte aligned)
};

inline const Row &row_of(const Stream *s) { return row_at(static_cast<size_t>(s->row)); }

// "stream.EMA", the name that error texts give.
inline std::string stream_name(const Row &f) { return std::string("stream.") + f.name; }

// Whether the stream of `row` keeps the last max_period bars.
inline bool keeps_history(int32_t row) { return qxs_keeps_history(row) != 0; }

// ---- the types (stream_types.cpp) -----------------------------------------------------

// Adds Stream, _stream_types (name -> type), _stream_history (the names of the streams
// that keep max_period bars), _stream_restore and _stream_memory to the module.
bool add_streams(PyObject *module);

// The stream type of row `row`, or null when the row has no stream.
PyTypeObject *type_of(int32_t row);

// The row of a stream type, or of the stream type it derives from; -1 for the base.
int32_t row_of_type(PyTypeObject *t);

// The row of the function named `name` when it streams; -1 otherwise.
int32_t streaming_row(const char *name);

// ---- making a stream (stream_make.cpp) ------------------------------------------------

// tp_new of every stream type: the stream with the parameters given, before its first
// bar.
PyObject *stream_new(PyTypeObject *type, PyObject *args, PyObject *kwargs);

// A stream of `type` (row `row`) without a state yet.
Stream *alloc_stream(PyTypeObject *type, int32_t row);

// Gives `s` a fresh state for these parameters (in parameter order by kind) and history.
bool make_state(Stream *s, const int32_t *ints, const double *reals, int64_t history);

// reset(): the stream's state afresh, with its parameters.
PyObject *stream_reset(PyObject *self, PyObject *);

// _stream_restore(name, saved form): a pickled stream, vetted and restored.
PyObject *restore(PyObject *, PyObject *const *args, Py_ssize_t nargs);

// _stream_memory(n=None): the largest state a stream may have, in bytes.
PyObject *stream_memory(PyObject *, PyObject *const *args, Py_ssize_t nargs);

// Whether the kernel takes these parameters of `row`; else false with its error set.
bool vet_params(int32_t row, const int32_t *ints, const double *reals);

// A column of bars given to an update: the array of its numbers (bool, integer or float),
// refused naming `name` and `pname` otherwise. A masked array (and with `foreign`, a pandas
// or polars object) is read through vexa._wrap first, `like` set to it so that the result
// takes its kind. `hold` keeps what it returns alive. Null with the error set.
PyArrayObject *numeric_column(const std::string &name, const char *pname, PyObject *given,
                              bool foreign, Ref &hold, Ref &like);

// `arr` as float64 numbers in `hold` (a copy for a condition, read as 1 where true by the
// language's truth rule and 0 elsewhere). Null with the error set.
double *bar_values(PyArrayObject *arr, bool cond, Ref &hold);

// Whether a state (or the states of a market) of `size` bytes may be made: not beyond
// the machine's memory (stream_memory_limit; 0: unknown, no limit).
bool stream_fits(size_t size);
uint64_t stream_memory_limit();

// ---- market streams (stream_market.cpp) -----------------------------------------------

// vexa.stream.NAME(..., symbols=...): one stream per symbol, with these parameters.
PyObject *market_new(int32_t row, const int32_t *ints, const double *reals, int64_t history,
                     PyObject *symbols);

// Adds Market and _market_restore (whose module is `where`) to the module.
bool add_market(PyObject *module, PyObject *where);

// _market_restore(name, symbols, saved form): a pickled market, vetted and restored.
PyObject *market_restore(PyObject *, PyObject *const *args, Py_ssize_t nargs);

// ---- taking bars (stream_bars.cpp) ----------------------------------------------------

PyObject *stream_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *stream_update_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs);

}  // namespace vexa::native::stream

#endif
