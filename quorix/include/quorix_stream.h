/* quorix streams: the functions of the function table one bar at a time, each value
 * bit for bit what the row's 1-D kernel gives at that bar over all the bars so far.
 *
 *   - A stream's state is one block of plain bytes that the caller allocates
 *     (qxs_state_size bytes, aligned to 8) and qxs_init fills. It holds no pointer: the
 *     ring buffers it needs are addressed by offsets inside the block, so a copy of the
 *     bytes is a copy of the stream. To save one, qxs_save writes its saved form: the
 *     head, only the ring slots that hold bars (a window of a million bars that has seen
 *     ten is saved with ten) and a checksum; qxs_load restores it, refusing a form whose
 *     checksum does not match or whose state qxs_check refuses.
 *   - qxs_update takes one bar and allocates nothing. The running and recursive
 *     functions cost O(1) per bar, LLV and HHV amortised O(1) (a monotonic deque),
 *     LLV_A and HHV_A O(log history) (a search in that deque), STD, STDDEV, STDP,
 *     AVEDEV and SLOPE O(N) and MA_A and SUM_A O(period) (they re-sum each window, as
 *     the kernels do).
 *   - The windowed functions keep their last N inputs, so a state grows with N. The
 *     per-bar period functions (the rows with a period series) and SUMBARS keep the last
 *     `history` + 1 bars: a bar whose period asks for more than `history` bars, where
 *     the 1-D kernel would read them, is refused (QXS_BEYOND_HISTORY).
 *   - Look-ahead: REF with N < 0 and REFXV with N > 0 give each bar's value once it is
 *     final, `delay` bars late (qxs_delay): the update of bar t returns the value of bar
 *     t - delay, and the missing value while t < delay. REF_A refuses a bar whose period
 *     is negative (QXS_LOOKS_AHEAD): how late its value becomes final varies per bar.
 *     Every other function is causal (delay 0).
 *   - A refused bar is still taken into the state, so that later bars stay exact; its
 *     own value is the missing value.
 *
 * Rows are indices into qx::table::kFunctions (quorix_table.h), continuing into
 * kExtraFunctions (the formula language's own kernels). Values come one per array parameter of the
 * row in parameter order: a series or a period as its double, a condition as 1.0 (true) or 0.0
 * (false; any value equal to 0 is false, any other true). Integer parameters come in `ints`, real
 * ones in `reals` (qxs_init_reals), each in parameter order.
 */
#ifndef QUORIX_STREAM_H
#define QUORIX_STREAM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QXS_API __declspec(dllexport)
#else
#define QXS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    QXS_OK = 0,
    QXS_BAD_PERIOD = 2,     /* an integer parameter the kernel refuses (its status 2) */
    QXS_BEYOND_HISTORY = 3, /* the bar's period reaches past the bars the stream keeps */
    QXS_LOOKS_AHEAD = 4,    /* the bar's value depends on bars still to come */
    QXS_NO_STREAM = -1,     /* a row outside the table, or one without a stream */
    QXS_BAD_STATE = -2,     /* a block that is not a sound state of this library */
    QXS_BAD_HISTORY = -3,   /* history < 0, or more bars than a state can address */
    QXS_BAD_CHECKSUM = -4   /* a saved form whose bytes were changed since it was saved */
};

/* The integer and the real parameters that a state holds (qxs_params, qxs_reals): no row
 * that streams has more of either. */
enum { QXS_INTS = 2, QXS_REALS = 2 };

/* 1 when row `row` streams, else 0. */
QXS_API int32_t qxs_streams(int32_t row);

/* 1 when the stream of row `row` keeps the last `history` + 1 bars (the per-bar period
 * rows, and SUMBARS, which sums back as far as its target needs), else 0. */
QXS_API int32_t qxs_keeps_history(int32_t row);

/* Bytes of the state of `row` with these integer parameters and, for the per-bar
 * period rows, `history` (ignored by the other rows). 0 when the row has no stream,
 * history is out of range, or the size would not fit a size_t. */
QXS_API size_t qxs_state_size(int32_t row, const int32_t *ints, int64_t history);

/* Fills `state` (`size` bytes, qxs_state_size of the same arguments) with the stream
 * before its first bar. Returns QXS_OK; QXS_BAD_PERIOD when the kernel refuses the
 * integer parameters (the same condition as its status 2); QXS_NO_STREAM,
 * QXS_BAD_HISTORY, or QXS_BAD_STATE for a size that does not match. Nothing is written
 * unless it returns QXS_OK. Only the head of the block is written: the ring behind it is
 * read only where bars have been written, so a long one costs nothing until bars come
 * (pass zeroed memory, e.g. from calloc, so that a saved block carries no old bytes). */
QXS_API int32_t qxs_init(int32_t row, const int32_t *ints, int64_t history, void *state,
                         size_t size);

/* qxs_init for a row with real parameters too (SAR's STEP and MAX): `reals` in parameter
 * order. qxs_init gives such a row 0.0 for each, which its kernel refuses. */
QXS_API int32_t qxs_init_reals(int32_t row, const int32_t *ints, const double *reals,
                               int64_t history, void *state, size_t size);

/* Takes the next bar (`values`: one per array parameter) and stores in *out the value
 * of the newest final bar. Returns QXS_OK, or QXS_BEYOND_HISTORY / QXS_LOOKS_AHEAD for a
 * refused bar (taken all the same; *out is then the missing value). */
QXS_API int32_t qxs_update(void *state, const double *values, double *out);

/* n bars at once: column k of bar t at columns[k][t]; out[t] as qxs_update would give.
 * Stops after the first refused bar and returns its status; *done (when not NULL) is the
 * number of bars taken. */
QXS_API int32_t qxs_run(void *state, const double *const *columns, int64_t n, double *out,
                        int64_t *done);

/* Whether `size` bytes at `state` are a sound state (a copy of one that qxs_init made
 * and qxs_update advanced): QXS_OK, else QXS_BAD_STATE. A block that passes cannot
 * make qxs_update read or write outside it, and computes with the parameters its head
 * reports (the constants derived from them agree). */
QXS_API int32_t qxs_check(const void *state, size_t size);

/* The bytes of the saved form of a sound state: its head, the ring slots that hold bars
 * and an 8-byte checksum. */
QXS_API size_t qxs_saved_size(const void *state);

/* Writes the saved form of a sound state into `out` (`size` = qxs_saved_size bytes).
 * QXS_OK, or QXS_BAD_STATE for another size. The form is plain bytes in this machine's
 * byte order. */
QXS_API int32_t qxs_save(const void *state, void *out, size_t size);

/* The bytes of the state that `n` bytes of a saved form restore to (to allocate before
 * qxs_load); 0 when they are not a saved form of this library's format (its checksum
 * is not read here). */
QXS_API size_t qxs_loaded_size(const void *saved, size_t n);

/* Restores a saved form into `state` (`size` = qxs_loaded_size bytes, zeroed memory,
 * e.g. from calloc, as for qxs_init). QXS_OK; QXS_BAD_CHECKSUM when the bytes changed
 * since they were saved; QXS_BAD_STATE when they are no saved form or hold a state that
 * qxs_check refuses (the block is then not a state). */
QXS_API int32_t qxs_load(const void *saved, size_t n, void *state, size_t size);

/* The integer parameters (QXS_INTS slots, in parameter order, 0 beyond the row's own) and
 * the history of a sound state. */
QXS_API void qxs_params(const void *state, int32_t *ints, int64_t *history);

/* The real parameters of a sound state (QXS_REALS slots, in parameter order, 0.0 beyond
 * the row's own). */
QXS_API void qxs_reals(const void *state, double *reals);

/* The row, the bars taken so far and the delay (bars) of a sound state. */
QXS_API int32_t qxs_row(const void *state);
QXS_API int64_t qxs_bars(const void *state);
QXS_API int64_t qxs_delay(const void *state);

/* ---- a market: one stream per symbol, of one row and parameters -------------------
 *
 * `count` states made alike (qxs_init with the same arguments) in one block, symbol i's
 * at states + i * stride (stride >= qxs_state_size, a multiple of 8; a multiple of 64 at
 * 64-byte aligned states keeps each symbol's hot numbers on the fewest cache lines). */

/* Takes the next bar of every symbol whose present[i] is non-zero (present NULL: every
 * symbol): input k of symbol i at columns[k][i]. out[i] is symbol i's value, the missing
 * value for a symbol without a bar (its state untouched). Every present symbol takes its
 * bar, refused or not; returns QXS_OK, or the status of the first refused bar with *first
 * (when not NULL) its symbol and *refused (when not NULL) how many were refused. */
QXS_API int32_t qxs_market_update(void *states, size_t stride, int64_t count,
                                  const double *const *columns, const unsigned char *present,
                                  double *out, int64_t *refused, int64_t *first);

/* The bytes of the saved form of a market: each symbol's saved form (qxs_save), framed,
 * and a checksum of the whole. 0 when it would not fit a size_t. */
QXS_API size_t qxs_market_saved_size(const void *states, size_t stride, int64_t count);

/* Writes the saved form of a market of sound states into `out` (`size` bytes,
 * qxs_market_saved_size). QXS_OK, or QXS_BAD_STATE for another size. */
QXS_API int32_t qxs_market_save(const void *states, size_t stride, int64_t count, void *out,
                                size_t size);

/* The symbols and the size of each symbol's state (*size) of a saved market; -1 when the
 * bytes are not a saved market of this library's format (its checksum is not read here). */
QXS_API int64_t qxs_market_loaded(const void *saved, size_t n, size_t *size);

/* Restores a saved market into `states` (count * stride bytes of zeroed memory, stride at
 * least the size qxs_market_loaded gives). QXS_OK; QXS_BAD_CHECKSUM when the bytes changed
 * since they were saved; QXS_BAD_STATE when they are no saved market, a symbol's state is
 * not sound, or the symbols' rows or parameters differ. */
QXS_API int32_t qxs_market_load(const void *saved, size_t n, void *states, size_t stride,
                                int64_t count);

#ifdef __cplusplus
}
#endif

#endif
