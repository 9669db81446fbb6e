// The least-squares line through the last N bars, taken at the newest bar. The slope
// is formed as vx_slope forms it (same constants, same sums in the same order), so
// FORCAST's slope is SLOPE's, bit for bit.
#include "../core/qx.h"
#include "quorix_lang.h"
#include "regression.h"

extern "C" {

QX_API int32_t vx_forcast(int32_t, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 1)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n, w = N;
    qx::fill_missing(out, 0, w - 1, len);
    if (w > len) return QX_OK;

    const qx::regression::Constants c = qx::regression::constants(N);
    const double Nd = static_cast<double>(N), Sx = c.Sx, D = c.D;
    const double last = static_cast<double>(N - 1);
    for (int64_t i = w - 1; i < len; ++i) {
        const double *y = X + (i - w + 1);
        double Sy = 0.0, Sxy = 0.0;
        for (int64_t k = 0; k < w; ++k) {
            Sxy = Sxy + y[k] * static_cast<double>(k);
            Sy = Sy + y[k];
        }
        const double b = (Sxy * Nd - Sy * Sx) / D;
        const double a = (Sy - b * Sx) / Nd;
        out[i] = a + b * last;
    }
    return QX_OK;
}

}  // extern "C"
