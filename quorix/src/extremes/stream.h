// The streams of the window extremes (LLV, HHV, LLV_A, HHV_A) and of the bars back to
// them (HHVBARS, LLVBARS), one bar at a time with the results of their kernels
// (llv_hhv.cpp, lang_bars.cpp). Cmp is qx::Lowest or qx::Highest.
#ifndef QUORIX_EXTREMES_STREAM_H
#define QUORIX_EXTREMES_STREAM_H

#include "../stream/base.h"

namespace qxs {

// The newest non-missing value wins unless the one held is strictly better: the newest
// of equal extremes (-0.0 against +0.0).
template <class Cmp>
inline void take_extreme(double &best, double x) {
    if (!is_missing(x) && (is_missing(best) || !Cmp::better(best, x))) best = x;
}

// A monotonic deque of (value, bar) in the ring, k[0] its front slot and k[1] its length:
// the values strictly better than every newer one among the last `window` bars, oldest
// first. Its first entry from any bar s on is the extreme of bars s .. i, the newest of
// equal ones (a new value removes the held values it ties with).
template <class Cmp>
struct Deque {
    static bool sound(const Head &h) {
        return h.k[0] >= 0 && h.k[1] >= 0 &&
               (h.cap == 0 ? h.k[0] == 0 && h.k[1] == 0 : h.k[0] < h.cap && h.k[1] <= h.cap);
    }
    static int64_t slot(const Head &h, int64_t q) {
        const int64_t j = h.k[0] + q;
        return j >= h.cap ? j - h.cap : j;
    }
    // Takes bar i's value x; bars up to i - window leave first, so it never holds more
    // than `window` entries.
    static void take(Head &h, double x, int64_t i, int64_t window) {
        double *val = ring(h);
        int64_t *bar = indices(h);
        const int64_t cap = h.cap;
        int64_t &front = h.k[0], &len = h.k[1];
        while (len > 0 && bar[front] <= i - window) {
            front = front + 1 == cap ? 0 : front + 1;
            --len;
        }
        if (is_missing(x)) return;
        // Never true of a state that this code advanced (the deque holds bars of one
        // window); it keeps a block with corrupted bar numbers inside its ring.
        if (len == cap) {
            front = front + 1 == cap ? 0 : front + 1;
            --len;
        }
        while (len > 0 && !Cmp::better(val[slot(h, len - 1)], x)) --len;
        const int64_t j = slot(h, len);
        val[j] = x;
        bar[j] = i;
        ++len;
    }
    // The position of the first entry from bar s on (len when there is none): a binary
    // search, the bars rising from the front.
    static int64_t from(const Head &h, int64_t s) {
        const int64_t *bar = indices(h);
        int64_t lo = 0, hi = h.k[1];
        while (lo < hi) {
            const int64_t mid = lo + (hi - lo) / 2;
            if (bar[slot(h, mid)] < s)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }
};

// vx_llv, vx_hhv. N = 0: the extreme of all bars so far (d[0], its bar first). N > 0:
// the deque of the last N bars, whose front is the window's extreme. Bars: the bars back
// to that extreme instead of its value (vx_hhvbars, vx_llvbars).
template <class Cmp, bool Bars = false>
struct Extreme : LastN {
    static constexpr bool deque = true;
    static void init(Head &h) { h.d[0] = missing(); }
    static bool sound(const Head &h) { return Deque<Cmp>::sound(h); }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0], i = h.bars;
        if (N == 0) {
            if (!is_missing(x) && (is_missing(h.d[0]) || !Cmp::better(h.d[0], x))) {
                h.d[0] = x;
                h.first = i;
            }
            *out = Bars ? (h.first < 0 ? missing() : static_cast<double>(i - h.first)) : h.d[0];
            return QXS_OK;
        }
        Deque<Cmp>::take(h, x, i, N);
        const int64_t front = h.k[0];
        if (h.k[1] == 0)
            *out = missing();
        else if (Bars)
            *out = static_cast<double>(i - indices(h)[front]);
        else
            *out = ring(h)[front];
        return QXS_OK;
    }
};

// vx_llv_a, vx_hhv_a: a window of L = min(P, i + 1) bars (all bars for P = 0), whose
// extreme the kernel finds scanning newest first, the newest of equal ones. A window of
// all bars so far is the running extreme d[0]; a shorter one is the first entry of the
// deque of the kept bars from its oldest bar on (the same value: O(log history) per bar
// instead of a scan of P bars).
template <class Cmp>
struct ExtremeA : Kept {
    static constexpr bool deque = true;
    static void init(Head &h) { h.d[0] = missing(); }
    static bool sound(const Head &h) { return Deque<Cmp>::sound(h); }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t i = h.bars;
        Deque<Cmp>::take(h, x, i, h.cap);
        take_extreme<Cmp>(h.d[0], x);
        int32_t P;
        if (!bar_period(v[1], &P) || P < 0) {
            *out = missing();
            return QXS_OK;
        }
        if (P == 0 || P > i) {
            *out = h.d[0];
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        const int64_t q = Deque<Cmp>::from(h, i - P + 1);
        *out = q < h.k[1] ? ring(h)[Deque<Cmp>::slot(h, q)] : missing();
        return QXS_OK;
    }
};

QXS_STREAM(vx_llv, Extreme<qx::Lowest>)
QXS_STREAM(vx_hhv, Extreme<qx::Highest>)
QXS_STREAM(vx_llv_a, ExtremeA<qx::Lowest>)
QXS_STREAM(vx_hhv_a, ExtremeA<qx::Highest>)
QXS_STREAM(vx_hhvbars, Extreme<qx::Highest, true>)
QXS_STREAM(vx_llvbars, Extreme<qx::Lowest, true>)

}  // namespace qxs

#endif
