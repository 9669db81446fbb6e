/* quorix: indicator kernels of the stock-chart formula language over raw arrays.
 *
 * Contract shared by every kernel:
 *   - Arguments: the context argument ctx, then each input's address and count in
 *     parameter order, then the integer parameters, then the output's address and
 *     count. Counts are 32-bit signed ints; index 0 is the oldest bar.
 *   - Checks, in order, before anything is written: a count that differs from the
 *     first input's count n returns QX_BAD_COUNT; an invalid period returns
 *     QX_BAD_PERIOD; n <= 0 returns QX_OK without writing. A rejected call leaves
 *     the output untouched.
 *   - A value is missing when it compares unequal to itself. Where a kernel stores
 *     a missing value of its own accord it stores the quiet NaN 0x7ff8000000000000.
 *   - Kernels allocate nothing, keep no state and write only their output, which
 *     must not overlap an input. They are safe to call from many threads at once.
 *   - Only vx_ma reads ctx; every other kernel ignores it.
 */
#ifndef QUORIX_H
#define QUORIX_H

#include <stdint.h>

#if defined(_WIN32)
#define QX_API __declspec(dllexport)
#else
#define QX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum { QX_OK = 0, QX_BAD_COUNT = 1, QX_BAD_PERIOD = 2 };

/* ---- simple moving averages ---------------------------------------------- */

/* Moving mean over N bars with one running total, first value at f + N - 1
 * (f: first valid index). ctx < 0 moves the start toward the end (see ctxn).
 * Invalid: N <= 0. A missing value after f spoils every later bar. */
QX_API int32_t vx_ma(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                     int32_t out_n);
/* Moving mean with period trunc(N[i]) per bar, each window summed afresh; bar i needs
 * P <= i. A bad period or a missing value in the window spoils that bar only. */
QX_API int32_t vx_ma_a(int32_t ctx, const double *a, int32_t n, const double *N, int32_t N_n,
                       double *out, int32_t out_n);

/* ---- recursive and weighted averages ------------------------------------- */

/* Exponential average, alpha = 2 / (N + 1), seeded with a[f]. Invalid: N < 0. */
QX_API int32_t vx_ema(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
/* Recursive average giving the input the weight M / N, seeded with a[f].
 * Invalid: N < 0 (M is not checked). */
QX_API int32_t vx_sma(int32_t ctx, const double *a, int32_t n, int32_t N, int32_t M, double *out,
                      int32_t out_n);
/* Linearly weighted average over N bars (newest weight N), first value at f + N - 1;
 * each bar updates the weighted sum taken from the previous output. Invalid: N <= 0. */
QX_API int32_t vx_wma(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
/* Recursive average with the per-bar input weight A[i], seeded with a[f]. */
QX_API int32_t vx_dma(int32_t ctx, const double *a, int32_t n, const double *A, int32_t A_n,
                      double *out, int32_t out_n);

/* ---- window sums --------------------------------------------------------- */

/* Moving sum over N bars with one running total; N = 0 is the cumulative sum that
 * skips missing values. Invalid: N < 0. */
QX_API int32_t vx_sum(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
/* Moving sum with period trunc(N[i]) per bar, each window summed afresh; bar i needs
 * 1 <= P <= i (no cumulative mode). A bad period or a missing value in the window
 * spoils that bar only. */
QX_API int32_t vx_sum_a(int32_t ctx, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n);

/* ---- window counts ------------------------------------------------------- */

/* Number of true (non-zero; NaN counts as true) values over N bars; N = 0 counts
 * from bar 0. Invalid: N < 0. */
QX_API int32_t vx_count(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                        int32_t out_n);
/* Count of true values (NaN counts as false) with period trunc(N[i]) per bar;
 * windows are cut to the bars so far, 0 (also from (-1, 0)) means all bars. A missing,
 * negative or out-of-range period spoils its bar. */
QX_API int32_t vx_count_a(int32_t ctx, const double *a, int32_t n, const double *N, int32_t N_n,
                          double *out, int32_t out_n);

/* ---- window extremes ----------------------------------------------------- */

/* Lowest / highest non-missing value of the last N bars (0: all bars), windows cut
 * to the bars so far, copied unchanged; a window without values gives missing; among
 * equal extremes the newest wins. Cost independent of N. Invalid: N < 0. */
QX_API int32_t vx_llv(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
QX_API int32_t vx_hhv(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
/* The same with period trunc(N[i]) per bar, each window scanned afresh; a missing,
 * negative or beyond-int32 period spoils its bar. */
QX_API int32_t vx_llv_a(int32_t ctx, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n);
QX_API int32_t vx_hhv_a(int32_t ctx, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n);

/* ---- dispersion ---------------------------------------------------------- */

/* Sample standard deviation (divisor N - 1; exactly 0 for N = 1) over N bars: mean
 * from a running total, deviations summed afresh per window. Leading missing values
 * are skipped; a missing or infinite value after them spoils every later bar (except
 * with N = 1 here). Invalid: N <= 0 (the same for the three below). */
QX_API int32_t vx_std(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
/* Population standard deviation (divisor N); vx_stddev and vx_stdp are identical. */
QX_API int32_t vx_stddev(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n);
QX_API int32_t vx_stdp(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                       int32_t out_n);
/* Mean absolute deviation from the window mean (divisor N). Invalid: N <= 0. */
QX_API int32_t vx_avedev(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n);

/* ---- regression slope ---------------------------------------------------- */

/* Least-squares slope over the last N bars, every window summed afresh; N = 0 fills
 * 1.0, N = 1 gives NaN everywhere (0 / 0). A missing or infinite value spoils only the
 * windows that hold it. Invalid: N < 0. */
QX_API int32_t vx_slope(int32_t ctx, const double *Y, int32_t n, int32_t N, double *out,
                        int32_t out_n);

/* ---- look-back references ------------------------------------------------ */

/* a[i - N], or missing where that bar does not exist. Every N is valid. */
QX_API int32_t vx_ref(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n);
/* a[i - trunc(N[i])], or missing where that bar does not exist or N[i] is missing
 * (an infinite or beyond-int32 N[i] names no bar). */
QX_API int32_t vx_ref_a(int32_t ctx, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n);
/* x at the latest earlier bar where c was true (non-zero or NaN), else v[i]. */
QX_API int32_t vx_refif(int32_t ctx, const double *x, int32_t n, const double *c, int32_t c_n,
                        const double *v, int32_t v_n, double *out, int32_t out_n);
/* a[i + N], or a[i] where that bar does not exist. Every N is valid. */
QX_API int32_t vx_refxv(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                        int32_t out_n);

/* ---- crossing, selection and filter -------------------------------------- */

/* 1.0 where x crosses strictly above y, else 0.0; bar 0 is not written. */
QX_API int32_t vx_cross(int32_t ctx, const double *x, int32_t n, const double *y, int32_t y_n,
                        double *out, int32_t out_n);
/* a[i] where the condition byte x[i] is non-zero, else b[i]. */
QX_API int32_t vx_fif(int32_t ctx, const uint8_t *x, int32_t n, const double *a, int32_t a_n,
                      const double *b, int32_t b_n, double *out, int32_t out_n);
/* Keeps a signal (non-zero, non-missing) and writes +0.0 over the N - 1 bars after it
 * (N = 0: to the end). Invalid: N < 0. */
QX_API int32_t vx_filter(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n);

/* ---- bar counters -------------------------------------------------------- */

/* Bars since the first true bar, counting it as 1; 0 before it. */
QX_API int32_t vx_barsince(int32_t ctx, const uint8_t *x, int32_t n, double *out, int32_t out_n);
/* Bars since the latest true bar, counting it as 1; 0 before the first. The two are
 * the same function. */
QX_API int32_t vx_barlast(int32_t ctx, const uint8_t *x, int32_t n, double *out, int32_t out_n);
QX_API int32_t vx_barslast(int32_t ctx, const uint8_t *x, int32_t n, double *out, int32_t out_n);
/* The bar index i at bar i; the values of Y are never read. */
QX_API int32_t vx_currbarscount(int32_t ctx, const double *Y, int32_t n, double *out,
                                int32_t out_n);
/* Length of the run of true bars ending at each bar. */
QX_API int32_t vx_backcount(int32_t ctx, const uint8_t *x, int32_t n, double *out, int32_t out_n);

/* ---- helpers ------------------------------------------------------------- */

QX_API int32_t maxi(int32_t a, int32_t b);
QX_API int32_t mini(int32_t a, int32_t b);
/* Start offset of vx_ma: N - 1 for ctx >= 0, else max(N - 1, n + ctx + 1 - N), computed
 * exactly and clamped to the int32 range. */
QX_API int32_t ctxn(int32_t ctx, int32_t n, int32_t N);
/* New malloc'ed block of trunc((stop - start) / step) values i * step + start; NULL
 * when that count is not positive or malloc fails. The caller frees it. */
QX_API double *arange(int32_t start, int32_t stop, double step);
/* New malloc'ed block of count +0.0 values; NULL when count <= 0 or malloc fails. */
QX_API double *zeros(int32_t count);
/* Prints `label = [v0, v1, ...]` with "%4g" per value and a newline; returns the
 * result of puts for the closing bracket. */
QX_API int aprint(const char *label, const double *values, int32_t count);

#ifdef __cplusplus
}
#endif

#endif
