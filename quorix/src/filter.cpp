// Signal filter: a kept signal blanks the W - 1 bars after it.
#include "common.h"

// The blank fill stays a loop of stores: kernels call no library functions, and
// compilers otherwise turn a zero-store loop into a call to memset.
#if defined(__clang__)
#if __has_attribute(no_builtin)
#define QX_FILL_IN_LINE __attribute__((no_builtin("memset")))
#endif
#elif defined(__GNUC__)
#define QX_FILL_IN_LINE __attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif
#ifndef QX_FILL_IN_LINE
#define QX_FILL_IN_LINE
#endif

extern "C" {

QX_API QX_FILL_IN_LINE int32_t vx_filter(int32_t, const double *a, int32_t n, int32_t N,
                                         double *out, int32_t out_n) {
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
