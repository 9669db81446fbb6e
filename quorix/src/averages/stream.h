// The streams of the recursive and weighted averages (EMA, SMA, WMA, DMA), one bar at a
// time in the order of their kernels (averages.cpp).
#ifndef QUORIX_AVERAGES_STREAM_H
#define QUORIX_AVERAGES_STREAM_H

#include "../stream/base.h"

namespace qxs {

// vx_ema, vx_sma: seeded with the first valid input, then prev * d[1] + x * d[2] with
// the input product formed first (k[0] = 1 once seeded, d[0] the previous output).
struct Recurse : Base {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        if (h.k[0]) {
            const double in = h.d[2] * x;
            h.d[0] = h.d[1] * h.d[0] + in;
        } else if (is_missing(x)) {
            *out = missing();
            return QXS_OK;
        } else {
            h.d[0] = x;
            h.k[0] = 1;
        }
        *out = h.d[0];
        return QXS_OK;
    }
};

struct Ema : Recurse {
    static constexpr uint32_t constants = 1u << 1 | 1u << 2;
    static void init(Head &h) {
        const double Nd = static_cast<double>(h.p[0]);
        h.d[1] = (Nd + -1.0) / (Nd + 1.0);
        h.d[2] = 2.0 / (Nd + 1.0);
    }
};

struct Sma : Recurse {
    static constexpr uint32_t constants = 1u << 1 | 1u << 2;
    static void init(Head &h) {
        const double Nd = static_cast<double>(h.p[0]);
        h.d[1] = static_cast<double>(static_cast<int64_t>(h.p[0]) - h.p[1]) / Nd;
        h.d[2] = static_cast<double>(h.p[1]) / Nd;
    }
};

// vx_wma: d[0] the previous output, d[1] the plain sum S, d[2] the first window's
// weighted sum W, d[3] the weight total T.
struct Wma : LastN {
    static constexpr uint32_t constants = 1u << 3;
    static void init(Head &h) {
        const int64_t N = h.p[0];
        h.d[3] = static_cast<double>(N * (N + 1) / 2);
    }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t k = since_first(h, x);
        const int64_t N = h.p[0];
        const double T = h.d[3];
        if (k < 0) {
            *out = missing();
        } else if (k < N) {
            h.d[2] = h.d[2] + x * static_cast<double>(k + 1);
            h.d[1] = h.d[1] + x;
            push(h, x);
            if (k < N - 1) {
                *out = missing();
            } else {
                h.d[0] = h.d[2] / T;
                *out = h.d[0];
            }
        } else {
            const double in = static_cast<double>(N) * x;
            h.d[0] = ((T * h.d[0] - h.d[1]) + in) / T;
            *out = h.d[0];
            h.d[1] = (h.d[1] - oldest(h)) + x;
            push(h, x);
        }
        return QXS_OK;
    }
};

// vx_dma: seeded with the first valid input; the weight of each later bar from A.
struct Dma : Base {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        if (h.k[0]) {
            const double w = v[1];
            const double keep = 1.0 - w;
            const double in = w * x;
            h.d[0] = h.d[0] * keep + in;
        } else if (is_missing(x)) {
            *out = missing();
            return QXS_OK;
        } else {
            h.d[0] = x;
            h.k[0] = 1;
        }
        *out = h.d[0];
        return QXS_OK;
    }
};

QXS_STREAM(vx_ema, Ema)
QXS_STREAM(vx_sma, Sma)
QXS_STREAM(vx_wma, Wma)
QXS_STREAM(vx_dma, Dma)

}  // namespace qxs

#endif
