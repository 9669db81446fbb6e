// The streams of the look-back references (REF, REFXV, REF_A, REFIF), one bar at a time
// with the results of their kernels (refs.cpp).
#ifndef QUORIX_REFS_STREAM_H
#define QUORIX_REFS_STREAM_H

#include "../stream/base.h"

namespace qxs {

// vx_ref. N > 0: the value N bars back from the ring (missing before bar N). N < 0
// looks ahead: bar t's value is the input |N| bars later, so the update of bar t gives
// bar t - |N|'s value, the input itself.
struct Ref : Base {
    static int64_t slots(const int32_t *p, int64_t) { return p[0] > 0 ? p[0] : 0; }
    static int64_t delay(const int32_t *p) { return p[0] < 0 ? -static_cast<int64_t>(p[0]) : 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0];
        if (N > 0) {
            *out = h.bars >= N ? oldest(h) : missing();
            push(h, x);
        } else {
            *out = h.bars >= -N ? x : missing();
        }
        return QXS_OK;
    }
};

// vx_refxv. N < 0: the value |N| bars back, the bar's own value before that. N > 0
// looks ahead, given N bars late as with REF.
struct Refxv : Base {
    static int64_t slots(const int32_t *p, int64_t) {
        return p[0] < 0 ? -static_cast<int64_t>(p[0]) : 0;
    }
    static int64_t delay(const int32_t *p) { return p[0] > 0 ? p[0] : 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0];
        if (N < 0) {
            *out = h.bars >= -N ? oldest(h) : x;
            push(h, x);
        } else {
            *out = h.bars >= N ? x : missing();
        }
        return QXS_OK;
    }
};

// vx_ref_a: the value trunc(p) bars back; NaN and offsets beyond int32 name no bar.
// A negative offset reads a later bar: refused.
struct RefA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        push(h, v[0]);
        int32_t k;
        *out = missing();
        if (!bar_period(v[1], &k) || k > h.bars) return QXS_OK;
        if (k < 0) return QXS_LOOKS_AHEAD;
        if (beyond(h, k)) return QXS_BEYOND_HISTORY;
        *out = back(h, k);
        return QXS_OK;
    }
};

// vx_refif: the held value as bits (d[0]), the kernel's masks in the same order.
struct Refif : Base {
    static void init(Head &h) { h.d[0] = missing(); }
    static int32_t step(Head &h, const double *v, double *out) {
        uint64_t held = bits_of(h.d[0]);
        const uint64_t gone = -static_cast<uint64_t>((held << 1) > 0xffe0000000000000ULL);
        *out = of_bits((bits_of(v[2]) & gone) | (held & ~gone));
        const uint64_t take = -static_cast<uint64_t>((bits_of(v[1]) << 1) != 0);
        held = (bits_of(v[0]) & take) | (held & ~take);
        h.d[0] = of_bits(held);
        return QXS_OK;
    }
};

QXS_STREAM(vx_ref, Ref)
QXS_STREAM(vx_refxv, Refxv)
QXS_STREAM(vx_ref_a, RefA)
QXS_STREAM(vx_refif, Refif)

}  // namespace qxs

#endif
