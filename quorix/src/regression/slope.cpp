// Least-squares slope over the last N bars, abscissae 0 (oldest) to N - 1 (newest).
// Every window is summed afresh; only the constants of N are shared between bars.
//
// The sums run across bars: lane l of a vector holds the window of bar i + l, and at
// step k every lane adds its own k-th value, so each lane keeps the order of a single
// window and the bits do not change.
#include "../core/qx.h"
#include "regression.h"

namespace {

using SlopeConstants = qx::regression::Constants;

// Bars per group: U vectors of W lanes, two sums each.
template <int W, int U>
struct Windows {
    static constexpr int G = W * U;
    typedef qx::vec<W> V;

    const double *Y;
    int64_t N;
    double Nd;
    SlopeConstants c;

    // The G bars from i.
    void group(int64_t i, double *out) const {
        V Sy[U], Sxy[U];
        for (int u = 0; u < U; ++u) Sy[u] = Sxy[u] = qx::splat<W>(0.0);
        const double *p = Y + (i - N + 1);
        // The abscissa in every lane, counted up in doubles: exact, as every k < 2^31 is.
        V k = qx::splat<W>(0.0);
        const V one = qx::splat<W>(1.0);
        for (int64_t j = 0; j < N; ++j, ++p, k = k + one) {
            for (int u = 0; u < U; ++u) {
                const V y = qx::load<W>(p + u * W);
                Sxy[u] = Sxy[u] + y * k;
                Sy[u] = Sy[u] + y;
            }
        }
        for (int u = 0; u < U; ++u) qx::store(out + i + u * W, (Sxy[u] * Nd - Sy[u] * c.Sx) / c.D);
    }

    // One bar alone, in the same order.
    void single(int64_t i, double *out) const {
        const double *y = Y + (i - N + 1);
        double Sy = 0.0, Sxy = 0.0;
        for (int64_t k = 0; k < N; ++k) {
            Sxy = Sxy + y[k] * static_cast<double>(k);
            Sy = Sy + y[k];
        }
        out[i] = (Sxy * Nd - Sy * c.Sx) / c.D;
    }

    void run(int64_t n, double *out) const {
        int64_t i = N - 1;
        for (; i + G <= n; i += G) group(i, out);
        for (; i < n; ++i) single(i, out);
    }
};

// The kernel, built for each instruction set (2, 4 or 8 lanes).
template <qx::Isa I>
int32_t slope_body(int32_t, const double *Y, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    if (N == 0) {
        for (int64_t i = 0; i < n; ++i) out[i] = 1.0;
        return QX_OK;
    }
    // Bars before the first full window have no value (all of them when N > n).
    qx::fill_missing(out, 0, static_cast<int64_t>(N) - 1, n);
    if (N > n) return QX_OK;

    const Windows<qx::lanes<I>, qx::kChains> windows{Y, N, static_cast<double>(N),
                                                     qx::regression::constants(N)};
    windows.run(n, out);
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_slope, slope_body);
