// Conditions over windows of bars: EVERY, EXIST, LAST and LONGCROSS. Each carries an
// integer count of the bars of its window that fail (or hold), one pass over the bars.
#include "../core/qx.h"
#include "quorix_lang.h"

namespace {

// EVERY (want_all) or EXIST over the last N bars: the number of true bars in the
// window, updated as it slides.
int32_t window_truth(const uint8_t *x, int32_t n, int32_t N, double *out, int32_t out_n,
                     bool want_all) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n;
    int64_t count = 0;  // true bars in the window
    if (N == 0) {
        for (int64_t i = 0; i < len; ++i) {
            count += x[i] != 0;
            const bool ok = want_all ? count == i + 1 : count > 0;
            out[i] = ok ? 1.0 : 0.0;
        }
        return QX_OK;
    }
    const int64_t w = N;
    for (int64_t i = 0; i < len; ++i) {
        count += x[i] != 0;
        if (i >= w) count -= x[i - w] != 0;
        if (i < w - 1) {
            out[i] = qx::missing();
        } else {
            const bool ok = want_all ? count == w : count > 0;
            out[i] = ok ? 1.0 : 0.0;
        }
    }
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_every(int32_t, const uint8_t *X, int32_t n, int32_t N, double *out,
                        int32_t out_n) {
    return window_truth(X, n, N, out, out_n, true);
}

QX_API int32_t vx_exist(int32_t, const uint8_t *X, int32_t n, int32_t N, double *out,
                        int32_t out_n) {
    return window_truth(X, n, N, out, out_n, false);
}

QX_API int32_t vx_last(int32_t, const uint8_t *X, int32_t n, int32_t A, int32_t B, double *out,
                       int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, A >= 0 && B >= 0 && (A == 0 || A >= B))) return st;
    if (n <= 0) return QX_OK;

    // The window of bar i is [lo, hi] with hi = i - B and lo = i - A (or 0); `failed`
    // counts its false bars. Index arithmetic in 64 bits: A and B may be near 2^31.
    const int64_t len = n, a = A, b = B;
    int64_t failed = 0;
    for (int64_t i = 0; i < len; ++i) {
        const int64_t hi = i - b;
        if (hi >= 0) failed += X[hi] == 0;  // the bar entering the window
        if (a > 0) {
            const int64_t gone = i - a - 1;  // the bar leaving it
            if (gone >= 0) failed -= X[gone] == 0;
            if (i - a < 0) {
                out[i] = qx::missing();
                continue;
            }
        } else if (hi < 0) {
            out[i] = qx::missing();
            continue;
        }
        out[i] = failed == 0 ? 1.0 : 0.0;
    }
    return QX_OK;
}

QX_API int32_t vx_longcross(int32_t, const double *A, int32_t n, const double *B, int32_t B_n,
                            int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(B_n == n && out_n == n, N >= 1)) return st;
    if (n <= 0) return QX_OK;

    // `below`: the length of the run of bars with A < B that ends at the previous bar.
    const int64_t len = n, w = N;
    int64_t below = 0;
    for (int64_t i = 0; i < len; ++i) {
        out[i] = (below >= w && A[i] > B[i]) ? 1.0 : 0.0;
        below = A[i] < B[i] ? below + 1 : 0;
    }
    return QX_OK;
}

}  // extern "C"
