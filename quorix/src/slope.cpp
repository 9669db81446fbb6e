// Least-squares slope over the last N bars, abscissae 0 (oldest) to N - 1 (newest).
// Every window is summed afresh; only the constants of N are shared between bars.
#include "common.h"

namespace {

__extension__ typedef unsigned __int128 u128;

struct SlopeConstants {
    double Sx;   // sum of the abscissae, N(N-1)/2
    double Sxx;  // sum of their squares, N(N-1)(2N-1)/6
    double D;    // N * Sxx - Sx * Sx
};

// The nearest double to v (ties to even), for v < 2^106: both halves of the split
// are exact doubles and the scaling by 2^53 is exact, so the one addition is the only
// rounding.
inline double nearest_double(u128 v) {
    const double hi = static_cast<double>(static_cast<uint64_t>(v >> 53));
    const double lo = static_cast<double>(static_cast<uint64_t>(v) & ((uint64_t{1} << 53) - 1));
    return hi * 9007199254740992.0 + lo;
}

// Both sums are formed exactly (N(N-1)(2N-1) needs up to 94 bits for N near 2^31)
// and rounded once to the nearest double.
inline SlopeConstants slope_constants(int32_t N) {
    const u128 p = static_cast<u128>(static_cast<uint32_t>(N));
    const double Sx = nearest_double(p * (p - 1) / 2);
    const double Sxx = nearest_double(p * (p - 1) * (2 * p - 1) / 6);
    const double Nd = static_cast<double>(N);
    return {Sx, Sxx, Nd * Sxx - Sx * Sx};
}

}  // namespace

extern "C" {

QX_API int32_t vx_slope(int32_t, const double *Y, int32_t n, int32_t N, double *out,
                        int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    if (N == 0) {
        for (int64_t i = 0; i < n; ++i) out[i] = 1.0;
        return QX_OK;
    }
    // Bars before the first full window have no value (all of them when N > n).
    qx::fill_missing(out, 0, static_cast<int64_t>(N) - 1, n);
    if (N > n) return QX_OK;

    const SlopeConstants c = slope_constants(N);
    const double Nd = static_cast<double>(N);
    for (int64_t i = static_cast<int64_t>(N) - 1; i < n; ++i) {
        const double *y = Y + (i - N + 1);
        double Sy = 0.0, Sxy = 0.0;
        for (int64_t k = 0; k < N; ++k) {
            Sxy = Sxy + y[k] * static_cast<double>(k);
            Sy = Sy + y[k];
        }
        out[i] = (Sxy * Nd - Sy * c.Sx) / c.D;
    }
    return QX_OK;
}

}  // extern "C"
