// The least-squares line through the last N bars, taken at the newest bar. The slope
// is formed as vx_slope forms it (same constants, same sums in the same order), so
// FORCAST's slope is SLOPE's, bit for bit.
#include "../qx.h"
#include "quorix_lang.h"

namespace {

__extension__ typedef unsigned __int128 u128;

// The nearest double to v < 2^106: both halves are exact doubles, the scaling by 2^53
// is exact, so the one addition is the only rounding.
inline double nearest_double(u128 v) {
    const double hi = static_cast<double>(static_cast<uint64_t>(v >> 53));
    const double lo = static_cast<double>(static_cast<uint64_t>(v) & ((uint64_t{1} << 53) - 1));
    return hi * 9007199254740992.0 + lo;
}

}  // namespace

extern "C" {

QX_API int32_t vx_forcast(int32_t, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 1)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n, w = N;
    qx::fill_missing(out, 0, w - 1, len);
    if (w > len) return QX_OK;

    // Sx = N(N-1)/2 and Sxx = N(N-1)(2N-1)/6, exact in 128 bits, each rounded once.
    const u128 p = static_cast<u128>(static_cast<uint32_t>(N));
    const double Sx = nearest_double(p * (p - 1) / 2);
    const double Sxx = nearest_double(p * (p - 1) * (2 * p - 1) / 6);
    const double Nd = static_cast<double>(N);
    const double D = Nd * Sxx - Sx * Sx;
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
