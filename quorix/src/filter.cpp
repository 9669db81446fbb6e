// Signal filter: a kept signal blanks the W - 1 bars after it.
#include "common.h"

extern "C" {

QX_API int32_t vx_filter(int32_t, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    // 64-bit window end: i + W stays exact for W up to INT32_MAX.
    const int64_t W = N == 0 ? static_cast<int64_t>(n) : static_cast<int64_t>(N);
    int64_t i = 0;
    while (i < n) {
        const double v = a[i];
        out[i] = v;
        // A signal is neither zero (of either sign) nor NaN; infinities are signals.
        if (v < 0.0 || v > 0.0) {
            const int64_t end = i + W < n ? i + W : static_cast<int64_t>(n);
            for (int64_t j = i + 1; j < end; ++j) out[j] = 0.0;
            i = end;
        } else {
            ++i;
        }
    }
    return QX_OK;
}

}  // extern "C"
