// Values carried or accumulated backwards: VALUEWHEN and SUMBARS.
#include "../core/qx.h"
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
    // its target: the order of the additions gives the bits, so no sum is shared between
    // bars, and the cost is the number of bars needed. A target that no sum can reach is
    // known without summing, from running sums of the bars since the latest infinite
    // input (the wall): with P their prefix sums, lo the least of them (0 included) and
    // T the sum of their magnitudes, every sum formed back to the wall is at most
    // (P - lo) + (n + 1) 2^-49 T. A sum of k terms formed in any order differs from the
    // exact one by at most k u T / (1 - k u) (u = 2^-53), a prefix sum too; the bound
    // covers three such errors, those of its own three operations and of T, twice over,
    // while T is 0 or lies in [2^-900, 2^1000] (no sum overflows, no product underflows).
    // At the wall a finite sum becomes infinite: it reaches any target there when the
    // wall is +inf and none when -inf, then or later.
    const double slack = static_cast<double>(int64_t{n} + 1) * 0x1p-49;
    int64_t wall = -1;
    double total = 0.0, low = 0.0, size = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double x = X[i];
        if (std::isinf(x)) {
            wall = i;
            total = low = size = 0.0;
        } else if (!qx::is_missing(x)) {
            total = total + x;
            size = size + std::fabs(x);
            if (total < low) low = total;
        }
        const double target = A[i];
        double result = qx::missing();
        const bool bounded = size == 0.0 || (size >= 0x1p-900 && size <= 0x1p1000);
        if (qx::is_missing(target)) {
            // no value
        } else if (bounded && (total - low) + slack * size < target) {
            if (wall >= 0 && X[wall] > 0.0) result = static_cast<double>(i - wall + 1);
        } else {
            // Back to the wall, then the wall itself: a sum that has taken an infinity
            // and not reached the target is -inf or NaN, and stays so.
            double acc = 0.0;
            int64_t j = i;
            for (; j > wall; --j) {
                if (!qx::is_missing(X[j])) acc = acc + X[j];
                if (acc >= target) {
                    result = static_cast<double>(i - j + 1);
                    break;
                }
            }
            if (j == wall && wall >= 0 && acc + X[wall] >= target)
                result = static_cast<double>(i - wall + 1);
        }
        out[i] = result;
    }
    return QX_OK;
}

}  // extern "C"
