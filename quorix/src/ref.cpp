// Look-back references: the value of a series at another bar, by fixed or per-bar
// offset, or carried from the latest bar where a condition held. Values are copied
// bit for bit; offsets are taken in 64 bits so no offset wraps into the series.
#include "common.h"

extern "C" {

QX_API int32_t vx_ref(int32_t, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t j = i - static_cast<int64_t>(N);
        out[i] = (j >= 0 && j < n) ? a[j] : qx::missing();
    }
    return QX_OK;
}

QX_API int32_t vx_ref_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    for (int64_t i = 0; i < n; ++i) {
        // NaN, infinities and offsets beyond int32 name no bar of a series of at most
        // INT32_MAX bars: missing. The range is tested before the cast.
        int32_t k;
        if (!qx::bar_period(N[i], &k)) {
            out[i] = qx::missing();
            continue;
        }
        const int64_t j = i - static_cast<int64_t>(k);
        out[i] = (j >= 0 && j < n) ? a[j] : qx::missing();
    }
    return QX_OK;
}

QX_API int32_t vx_refif(int32_t, const double *x, int32_t n, const double *c, int32_t c_n,
                        const double *v, int32_t v_n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(c_n == n && v_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    double held = qx::missing();
    for (int64_t i = 0; i < n; ++i) {
        out[i] = qx::is_missing(held) ? v[i] : held;
        // NaN != 0 holds, so a missing condition counts as true; a true bar takes
        // x[i] whatever it is, a NaN included.
        if (c[i] != 0.0) held = x[i];
    }
    return QX_OK;
}

QX_API int32_t vx_refxv(int32_t, const double *a, int32_t n, int32_t N, double *out,
                        int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t j = i + static_cast<int64_t>(N);
        out[i] = (j >= 0 && j < n) ? a[j] : a[i];
    }
    return QX_OK;
}

}  // extern "C"
