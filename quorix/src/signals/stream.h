// The streams of the crossing, the selection and the signal filter (CROSS, FIF, FILTER),
// one bar at a time with the results of their kernels (cross.cpp, fif.cpp, filter.cpp).
#ifndef QUORIX_SIGNALS_STREAM_H
#define QUORIX_SIGNALS_STREAM_H

#include "../stream/base.h"

namespace qxs {

// vx_cross: 0.0 at bar 0 (the zero the bindings store there); d[0], d[1] the previous
// x and y.
struct Cross : Base {
    static int32_t step(Head &h, const double *v, double *out) {
        const bool up = h.bars > 0 && (h.d[1] > h.d[0]) & (v[0] > v[1]);
        *out = up ? 1.0 : 0.0;
        h.d[0] = v[0];
        h.d[1] = v[1];
        return QXS_OK;
    }
};

struct Fif : Base {
    static int32_t step(Head &, const double *v, double *out) {
        *out = v[0] != 0.0 ? v[1] : v[2];
        return QXS_OK;
    }
};

// vx_filter: k[0] the bars of the current blank still to come; N = 0 blanks to the
// end of the series, however long it grows.
struct Filter : Base {
    static bool sound(const Head &h) { return h.k[0] >= 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        if (h.k[0] > 0) {
            *out = 0.0;
            --h.k[0];
            return QXS_OK;
        }
        *out = v[0];
        if ((bits_of(v[0]) << 1) - 1 < 0xffe0000000000000ULL)
            h.k[0] = h.p[0] == 0 ? kMaxBars : h.p[0] - int64_t{1};
        return QXS_OK;
    }
};

QXS_STREAM(vx_cross, Cross)
QXS_STREAM(vx_fif, Fif)
QXS_STREAM(vx_filter, Filter)

}  // namespace qxs

#endif
