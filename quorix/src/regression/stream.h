// The streams of the least-squares line (SLOPE, FORCAST), every window summed afresh as
// their kernels sum it (slope.cpp, lang_forcast.cpp).
#ifndef QUORIX_REGRESSION_STREAM_H
#define QUORIX_REGRESSION_STREAM_H

#include "../stream/base.h"
#include "regression.h"

namespace qxs {

// vx_slope: N = 0 gives 1.0; else every window of N bars summed afresh, oldest first,
// with the constants of N formed exactly and rounded once (d[0] Sx, d[1] D).
struct Slope : LastN {
    static constexpr uint32_t constants = 1u << 0 | 1u << 1;
    static void init(Head &h) {
        if (h.p[0] <= 0) return;
        const qx::regression::Constants c = qx::regression::constants(h.p[0]);
        h.d[0] = c.Sx;
        h.d[1] = c.D;
    }
    static int32_t step(Head &h, const double *v, double *out) {
        const int64_t N = h.p[0];
        if (N == 0) {
            *out = 1.0;
            return QXS_OK;
        }
        push(h, v[0]);
        if (h.bars < N - 1) {
            *out = missing();
            return QXS_OK;
        }
        double Sy = 0.0, Sxy = 0.0;
        for (int64_t k = 0; k < N; ++k) {
            const double y = back(h, N - 1 - k);
            Sxy = Sxy + y * static_cast<double>(k);
            Sy = Sy + y;
        }
        *out = (Sxy * static_cast<double>(N) - Sy * h.d[0]) / h.d[1];
        return QXS_OK;
    }
};

// vx_forcast: the line of SLOPE's sums at the newest bar (Slope).
struct Forcast : Slope {
    static int32_t step(Head &h, const double *v, double *out) {
        const int64_t N = h.p[0];
        push(h, v[0]);
        if (h.bars < N - 1) {
            *out = missing();
            return QXS_OK;
        }
        double Sy = 0.0, Sxy = 0.0;
        for (int64_t k = 0; k < N; ++k) {
            const double y = back(h, N - 1 - k);
            Sxy = Sxy + y * static_cast<double>(k);
            Sy = Sy + y;
        }
        const double Nd = static_cast<double>(N), Sx = h.d[0];
        const double b = (Sxy * Nd - Sy * Sx) / h.d[1];
        const double a = (Sy - b * Sx) / Nd;
        *out = a + b * static_cast<double>(N - 1);
        return QXS_OK;
    }
};

QXS_STREAM(vx_slope, Slope)
QXS_STREAM(vx_forcast, Forcast)

}  // namespace qxs

#endif
