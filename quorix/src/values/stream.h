// The streams of the carried and summed-back values (VALUEWHEN, SUMBARS), one bar at a
// time in the order of their kernels (lang_values.cpp).
#ifndef QUORIX_VALUES_STREAM_H
#define QUORIX_VALUES_STREAM_H

#include "../stream/base.h"

namespace qxs {

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

QXS_STREAM(vx_valuewhen, Valuewhen)
QXS_STREAM(vx_sumbars, Sumbars)

}  // namespace qxs

#endif
