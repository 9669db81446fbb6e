/* quorix_lang.h: the kernels of the functions that the formula language adds to the
 * table (rows QX_EXTRA of quorix_functions.def). The contract is quorix.h's: ctx (not
 * read), each input's address and count, the integer and real parameters, then the
 * output's address and count; status 1 when a count differs from n, 2 for an invalid
 * parameter, checked in that order before anything is written; nothing allocated.
 * A condition series is bytes, 0 false and any other byte true. Several kernels use
 * their output as scratch before they fill it, so the output must not overlap an input.
 */
#ifndef QUORIX_LANG_H
#define QUORIX_LANG_H

#include "quorix.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- conditions over windows (quorix/src/conditions) -------------------- */

/* 1.0 where x is true at each of the last N bars (EVERY) or at one or more of them
 * (EXIST), else 0.0; missing at bars i < N - 1. N = 0: every bar from bar 0.
 * Invalid: N < 0. */
QX_API int32_t vx_every(int32_t ctx, const uint8_t *X, int32_t n, int32_t N, double *out,
                        int32_t out_n);
QX_API int32_t vx_exist(int32_t ctx, const uint8_t *X, int32_t n, int32_t N, double *out,
                        int32_t out_n);
/* 1.0 where x is true at every bar from i - A to i - B, both included (A = 0: from bar
 * 0), else 0.0; missing where bar i - A, or with A = 0 bar i - B, does not exist.
 * Invalid: A < 0, B < 0, or 0 < A < B. */
QX_API int32_t vx_last(int32_t ctx, const uint8_t *X, int32_t n, int32_t A, int32_t B, double *out,
                       int32_t out_n);
/* 1.0 where A[i] > B[i] and A[j] < B[j] at each of the N bars before i, else 0.0 (a
 * missing value makes a comparison false). Invalid: N < 1. */
QX_API int32_t vx_longcross(int32_t ctx, const double *A, int32_t n, const double *B, int32_t B_n,
                            int32_t N, double *out, int32_t out_n);

/* ---- carried values (quorix/src/values) --------------------------------- */

/* X at the latest bar j <= i where the condition was true, copied bit for bit;
 * missing before the first true bar. */
QX_API int32_t vx_valuewhen(int32_t ctx, const uint8_t *COND, int32_t n, const double *X,
                            int32_t X_n, double *out, int32_t out_n);
/* The number of bars, counted back from i (bar i counting 1), at which the running sum
 * of X (missing values add nothing), taken from bar i backwards, first reaches A[i];
 * missing when A[i] is missing or the sum of bars i .. 0 never reaches it. */
QX_API int32_t vx_sumbars(int32_t ctx, const double *X, int32_t n, const double *A, int32_t A_n,
                          double *out, int32_t out_n);

/* ---- bars to the window's extreme (quorix/src/extremes) ----------------- */

/* i - j for the bar j of the highest (lowest) non-missing value of the last N bars,
 * the newest of equal values; missing when the window has no value. The window is
 * cut to the bars so far; N = 0: all bars from 0. Invalid: N < 0. */
QX_API int32_t vx_hhvbars(int32_t ctx, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n);
QX_API int32_t vx_llvbars(int32_t ctx, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n);

/* ---- stop and reverse (quorix/src/sar) ---------------------------------- */

/* The parabolic SAR of the highs H and lows L: the first N bars with both values fix the
 * starting trend (up where H + L at the N-th is at least H + L at the first) and the SAR
 * (their lowest low, or highest high); then SAR + AF * (EP - SAR), kept beyond the
 * previous two bars, reversing to the extreme EP of the ended trend where the bar reaches
 * it, AF rising by STEP / 100 at each new extreme up to MAX / 100 (percent). Missing
 * before the start and at bars whose high or low is missing, which are left out.
 * Invalid: N < 1, or not 0 < STEP <= MAX <= 100 (NaN included). */
QX_API int32_t vx_sar(int32_t ctx, const double *H, int32_t n, const double *L, int32_t L_n,
                      int32_t N, double STEP, double MAX, double *out, int32_t out_n);

/* ---- dispersion (quorix/src/dispersion) --------------------------------- */

/* The frame of vx_std (first valid index s, mean from a running total, squared
 * deviations summed afresh from the oldest bar of the window): the sum A of squared
 * deviations divided by N - 1 (vx_var; exactly 0.0 from s on for N = 1), by N (vx_varp),
 * or A itself (vx_devsq). Invalid: N < 1. */
QX_API int32_t vx_var(int32_t ctx, const double *X, int32_t n, int32_t N, double *out,
                      int32_t out_n);
QX_API int32_t vx_varp(int32_t ctx, const double *X, int32_t n, int32_t N, double *out,
                       int32_t out_n);
QX_API int32_t vx_devsq(int32_t ctx, const double *X, int32_t n, int32_t N, double *out,
                        int32_t out_n);

/* ---- regression (quorix/src/regression) --------------------------------- */

/* The least-squares line through the last N bars at bar i: with Sx, D, Sy and Sxy
 * as vx_slope forms them, b = (Sxy * N - Sy * Sx) / D, a = (Sy - b * Sx) / N, and the
 * value a + b * (N - 1); missing at bars i < N - 1. Invalid: N < 1. */
QX_API int32_t vx_forcast(int32_t ctx, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n);

/* ---- zigzag (quorix/src/zig) -------------------------------------------- */

/* The zigzag of K with a reversal of N percent: straight lines through the first and
 * the last non-missing bars and the turning points between them. Invalid: N not > 0
 * (NaN included) or infinite. The output is used as scratch. */
QX_API int32_t vx_zig(int32_t ctx, const double *K, int32_t n, double N, double *out,
                      int32_t out_n);
/* K at the M-th latest peak (trough) of the zigzag at or before bar i, or the number of
 * bars since it (PEAKBARS, TROUGHBARS); missing when there are fewer than M.
 * Invalid: N as vx_zig, M < 1. */
QX_API int32_t vx_peak(int32_t ctx, const double *K, int32_t n, double N, int32_t M, double *out,
                       int32_t out_n);
QX_API int32_t vx_trough(int32_t ctx, const double *K, int32_t n, double N, int32_t M, double *out,
                         int32_t out_n);
QX_API int32_t vx_peakbars(int32_t ctx, const double *K, int32_t n, double N, int32_t M,
                           double *out, int32_t out_n);
QX_API int32_t vx_troughbars(int32_t ctx, const double *K, int32_t n, double N, int32_t M,
                             double *out, int32_t out_n);

#ifdef __cplusplus
}
#endif

#endif
