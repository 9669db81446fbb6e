// Window sums: fixed period with one running total (0: cumulative), per-bar period
// summed afresh.
#include "common.h"

extern "C" {

QX_API int32_t vx_sum(int32_t, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    if (N == 0) {
        // Cumulative sum in which a missing value adds nothing.
        double acc = 0.0;
        for (int64_t i = 0; i < n; ++i) {
            if (!qx::is_missing(a[i])) acc = acc + a[i];
            out[i] = acc;
        }
        return QX_OK;
    }

    const int64_t N64 = N;
    const int64_t s = qx::first_valid(a, n);
    qx::fill_missing(out, 0, s, n);

    // First window: warm-up bars, summed left to right.
    const int64_t end = s + N64 < n ? s + N64 : n;
    double acc = 0.0;
    for (int64_t i = s; i < end; ++i) {
        acc = acc + a[i];
        out[i] = qx::missing();
    }
    if (s + N64 - 1 >= n) return QX_OK;
    out[s + N64 - 1] = acc;

    // Leaving value first, then the entering one: the order fixes the rounding.
    for (int64_t i = s + N64; i < n; ++i) {
        acc = (acc - a[i - N64]) + a[i];
        out[i] = acc;
    }
    return QX_OK;
}

QX_API int32_t vx_sum_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    for (int64_t i = 0; i < n; ++i) {
        int32_t P;
        // A bar needs P + 1 bars up to itself: 1 <= P <= i. No cumulative mode.
        if (!qx::bar_period(N[i], &P) || P < 1 || P > i) {
            out[i] = qx::missing();
            continue;
        }
        double acc = 0.0;
        int64_t j = i - P + 1;
        for (; j <= i && !qx::is_missing(a[j]); ++j) acc = acc + a[j];
        // A missing input spoils the bar; opposite infinities give whatever NaN the
        // arithmetic gives.
        out[i] = j <= i ? qx::missing() : acc;
    }
    return QX_OK;
}

}  // extern "C"
