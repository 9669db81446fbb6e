// The streams of the bar counters (BARSINCE, BARLAST, BARSLAST, BACKCOUNT, CURRBARSCOUNT),
// one bar at a time with the results of their kernels (bars.cpp, backcount.cpp).
#ifndef QUORIX_BARS_STREAM_H
#define QUORIX_BARS_STREAM_H

#include "../stream/base.h"

namespace qxs {

// vx_barsince: first holds the first true bar.
struct Barsince : Base {
    static int32_t step(Head &h, const double *v, double *out) {
        if (h.first < 0 && v[0] != 0.0) h.first = h.bars;
        *out = h.first < 0 ? 0.0 : static_cast<double>(h.bars - h.first + 1);
        return QXS_OK;
    }
};

// vx_barslast, vx_barlast: first holds the latest true bar.
struct Barslast : Base {
    static int32_t step(Head &h, const double *v, double *out) {
        if (v[0] != 0.0) h.first = h.bars;
        *out = h.first < 0 ? 0.0 : static_cast<double>(h.bars - h.first + 1);
        return QXS_OK;
    }
};

// vx_backcount: k[0] the run of true bars.
struct Backcount : Base {
    static bool sound(const Head &h) { return h.k[0] >= 0 && h.k[0] <= h.bars; }
    static int32_t step(Head &h, const double *v, double *out) {
        h.k[0] = v[0] != 0.0 ? h.k[0] + 1 : 0;
        *out = static_cast<double>(h.k[0]);
        return QXS_OK;
    }
};

struct Currbarscount : Base {
    static int32_t step(Head &h, const double *, double *out) {
        *out = static_cast<double>(h.bars);
        return QXS_OK;
    }
};

QXS_STREAM(vx_barsince, Barsince)
// vx_barlast and vx_barslast are one computation.
QXS_STREAM(vx_barlast, Barslast)
QXS_STREAM(vx_barslast, Barslast)
QXS_STREAM(vx_backcount, Backcount)
QXS_STREAM(vx_currbarscount, Currbarscount)

}  // namespace qxs

#endif
