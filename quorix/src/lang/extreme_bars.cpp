// Bars back to the extreme of a window: HHVBARS and LLVBARS. The window of bar i is
// scanned from bar i backwards (the rule of LLV and HHV: missing values skipped, the
// newest of equal extremes kept); the cumulative mode (N = 0) carries its extreme.
#include "../qx.h"
#include "quorix_lang.h"

namespace {

template <bool Highest>
inline bool better(double v, double best) {
    return Highest ? v > best : v < best;
}

template <bool Highest>
int32_t extreme_bars(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n;
    if (N == 0) {
        int64_t at = -1;  // bar of the extreme so far
        for (int64_t i = 0; i < len; ++i) {
            // Equal to the extreme: the newer bar wins.
            if (!qx::is_missing(x[i]) && (at < 0 || !better<Highest>(x[at], x[i]))) at = i;
            out[i] = at < 0 ? qx::missing() : static_cast<double>(i - at);
        }
        return QX_OK;
    }
    const int64_t w = N;
    for (int64_t i = 0; i < len; ++i) {
        const int64_t stop = i - w < -1 ? -1 : i - w;
        int64_t at = -1;
        for (int64_t j = i; j > stop; --j) {
            if (qx::is_missing(x[j])) continue;
            if (at < 0 || better<Highest>(x[j], x[at])) at = j;
        }
        out[i] = at < 0 ? qx::missing() : static_cast<double>(i - at);
    }
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_hhvbars(int32_t, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n) {
    return extreme_bars<true>(X, n, N, out, out_n);
}

QX_API int32_t vx_llvbars(int32_t, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n) {
    return extreme_bars<false>(X, n, N, out, out_n);
}

}  // extern "C"
