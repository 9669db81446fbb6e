// The streams of the conditions over windows (EVERY, EXIST, LAST, LONGCROSS), one bar at
// a time with the counts of their kernels (lang_conditions.cpp).
#ifndef QUORIX_CONDITIONS_STREAM_H
#define QUORIX_CONDITIONS_STREAM_H

#include "../stream/base.h"

namespace qxs {

// vx_every, vx_exist: k[0] the true bars of the window (all bars so far for N = 0);
// missing before the first full window.
template <bool All>
struct WindowTruth : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const int64_t N = h.p[0], i = h.bars;
        const int64_t x = v[0] != 0.0;
        h.k[0] += x;
        if (N == 0) {
            *out = (All ? h.k[0] == i + 1 : h.k[0] > 0) ? 1.0 : 0.0;
            return QXS_OK;
        }
        if (i >= N) h.k[0] -= oldest(h) != 0.0;
        push(h, static_cast<double>(x));
        *out = i < N - 1 ? missing() : (All ? h.k[0] == N : h.k[0] > 0) ? 1.0 : 0.0;
        return QXS_OK;
    }
};

// vx_last: the window of bar i is bars i - A .. i - B (0 .. i - B for A = 0); k[0]
// counts its false bars. The ring keeps the bars back to A + 1 (B for A = 0).
struct Last : Base {
    static int64_t slots(const int32_t *p, int64_t) {
        return p[0] > 0 ? int64_t{p[0]} + 2 : int64_t{p[1]} + 1;
    }
    static int32_t step(Head &h, const double *v, double *out) {
        const int64_t a = h.p[0], b = h.p[1], i = h.bars;
        push(h, v[0] != 0.0 ? 1.0 : 0.0);
        const int64_t hi = i - b;
        if (hi >= 0) h.k[0] += back(h, b) == 0.0;
        if (a > 0) {
            if (i - a - 1 >= 0) h.k[0] -= back(h, a + 1) == 0.0;
            if (i - a < 0) {
                *out = missing();
                return QXS_OK;
            }
        } else if (hi < 0) {
            *out = missing();
            return QXS_OK;
        }
        *out = h.k[0] == 0 ? 1.0 : 0.0;
        return QXS_OK;
    }
};

// vx_longcross: k[0] the run of bars with A < B ending at the previous bar.
struct Longcross : Base {
    static bool sound(const Head &h) { return h.k[0] >= 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        *out = (h.k[0] >= h.p[0] && v[0] > v[1]) ? 1.0 : 0.0;
        h.k[0] = v[0] < v[1] ? h.k[0] + 1 : 0;
        return QXS_OK;
    }
};

QXS_STREAM(vx_every, WindowTruth<true>)
QXS_STREAM(vx_exist, WindowTruth<false>)
QXS_STREAM(vx_last, Last)
QXS_STREAM(vx_longcross, Longcross)

}  // namespace qxs

#endif
