// Values carried or accumulated backwards: VALUEWHEN and SUMBARS.
#include "../qx.h"
#include "quorix_lang.h"

extern "C" {

QX_API int32_t vx_valuewhen(int32_t, const uint8_t *COND, int32_t n, const double *X, int32_t X_n,
                            double *out, int32_t out_n) {
    if (int32_t st = qx::check(X_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    double held = qx::missing();
    for (int64_t i = 0; i < n; ++i) {
        if (COND[i] != 0) held = X[i];
        out[i] = held;
    }
    return QX_OK;
}

QX_API int32_t vx_sumbars(int32_t, const double *X, int32_t n, const double *A, int32_t A_n,
                          double *out, int32_t out_n) {
    if (int32_t st = qx::check(A_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    // Each bar sums afresh from itself backwards, in that order, until the sum reaches
    // its target: the cost is the number of bars needed.
    for (int64_t i = 0; i < n; ++i) {
        const double target = A[i];
        double result = qx::missing();
        if (!qx::is_missing(target)) {
            double acc = 0.0;
            for (int64_t j = i; j >= 0; --j) {
                if (!qx::is_missing(X[j])) acc = acc + X[j];
                if (acc >= target) {
                    result = static_cast<double>(i - j + 1);
                    break;
                }
            }
        }
        out[i] = result;
    }
    return QX_OK;
}

}  // extern "C"
