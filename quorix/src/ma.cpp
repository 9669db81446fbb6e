// Simple moving averages: fixed period with a running total, per-bar period re-summed.
#include "common.h"

extern "C" {

QX_API int32_t vx_ma(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                     int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N > 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t f = qx::first_valid(a, n);
    qx::fill_missing(out, 0, f, n);
    qx::fill_missing(out, f, f + N - 1, n);
    if (f + N - 1 >= n) return QX_OK;

    int64_t s = f + ctxn(ctx, n, N);
    if (s >= n) return QX_OK;
    while (qx::is_missing(a[s])) {
        out[s] = qx::missing();
        if (++s >= n) return QX_OK;
    }

    const double period = static_cast<double>(N);
    double total = 0.0;
    for (int64_t j = s - N + 1; j <= s; ++j) total += a[j];
    out[s] = total / period;
    // Leaving value first, then the entering one: the order fixes the rounding.
    for (int64_t j = s + 1; j < n; ++j) {
        total = (total - a[j - N]) + a[j];
        out[j] = total / period;
    }
    return QX_OK;
}

QX_API int32_t vx_ma_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                       double *out, int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    for (int64_t i = 0; i < n; ++i) {
        int32_t P;
        // A bar needs P + 1 bars up to itself: P <= i.
        if (!qx::bar_period(N[i], &P) || P <= 0 || i < P) {
            out[i] = qx::missing();
            continue;
        }
        double total = 0.0;
        int64_t j = i - P + 1;
        for (; j <= i && !qx::is_missing(a[j]); ++j) total += a[j];
        out[i] = (j <= i || qx::is_missing(total)) ? qx::missing() : total / P;
    }
    return QX_OK;
}

}  // extern "C"
