// The streams of the formula language's own kernels (quorix_lang.h), in the kernels'
// order of operations, as functions.h does for the kernels of quorix.h. The zigzag
// family reads later bars at every bar and has no stream.
#ifndef QUORIX_STREAM_LANG_H
#define QUORIX_STREAM_LANG_H

#include "../lang/sar.h"
#include "functions.h"

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

// vx_valuewhen: the held value (d[0]).
struct Valuewhen : Base {
    static void init(Head &h) { h.d[0] = missing(); }
    static int32_t step(Head &h, const double *v, double *out) {
        if (v[0] != 0.0) h.d[0] = v[1];
        *out = h.d[0];
        return QXS_OK;
    }
};

// vx_sumbars: each bar sums from itself backwards until the sum reaches its target,
// through the last history + 1 bars; a bar that needs older bars is refused.
struct Sumbars : Kept {
    static constexpr bool history = true;
    static int32_t step(Head &h, const double *v, double *out) {
        push(h, v[0]);
        *out = missing();
        const double target = v[1];
        if (is_missing(target)) return QXS_OK;
        const int64_t kept = h.bars + 1 < h.cap ? h.bars + 1 : h.cap;
        double acc = 0.0;
        for (int64_t b = 0; b < kept; ++b) {
            const double x = back(h, b);
            if (!is_missing(x)) acc = acc + x;
            if (acc >= target) {
                *out = static_cast<double>(b + 1);
                return QXS_OK;
            }
        }
        return kept < h.bars + 1 ? QXS_BEYOND_HISTORY : QXS_OK;
    }
};

// vx_var, vx_varp, vx_devsq: the frame of the dispersion kernels (Dispersion).
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

// vx_sar: the kernel's own step (lang/sar.h) over its state, kept in the ring as bytes
// (no index among them: any bytes there are safe to run); STEP and MAX are the real
// parameters r[0] and r[1].
// The ring holds the stream's state (qx::sar::State), not bars.
struct Sar : Base {
    static constexpr bool fixed = true;
    static constexpr int64_t kSlots = (sizeof(qx::sar::State) + 7) / 8;
    static int64_t slots(const int32_t *, int64_t) { return kSlots; }
    static qx::sar::State load(const Head &h) {
        qx::sar::State s;
        std::memcpy(&s, ring(h), sizeof s);
        return s;
    }
    static void init(Head &h) {
        const qx::sar::State s{};
        std::memcpy(ring(h), &s, sizeof s);
    }
    static bool sound(const Head &h) { return h.head == 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        qx::sar::State s = load(h);
        *out = qx::sar::step(s, h.p[0], h.r[0], h.r[1], v[0], v[1]);
        std::memcpy(ring(h), &s, sizeof s);
        return QXS_OK;
    }
};

}  // namespace qxs

#endif
