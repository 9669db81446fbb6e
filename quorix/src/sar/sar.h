// The parabolic SAR (stop and reverse) one bar at a time: the state and the step that the
// kernel (lang_sar.cpp) and its stream (stream.h) both run, so the two give the same bits.
// Private to the library.
//
// A bar whose high or low is missing is left out: its value is missing and the state
// does not change, so the SAR of the other bars is the SAR of the series without it.
// Over the bars with both values, t = 0, 1, 2, ...:
//
//   t < N - 1     missing; the highest high and the lowest low are gathered (a later
//                 value replaces them only when strictly beyond).
//   t = N - 1     the start: the trend is up when H[t] + L[t] >= H[0] + L[0] (each sum
//                 rounded), else down. Up: SAR = the lowest low of bars 0 .. N - 1 and
//                 the extreme EP = their highest high; down: SAR = the highest high and
//                 EP = the lowest low. AF = STEP / 100.
//   t >= N        s = SAR + AF * (EP - SAR) (the difference, then the product, then the
//                 sum), then, in an uptrend, s = L[t-1] where L[t-1] < s, then s = L[t-2]
//                 where t >= 2 and L[t-2] < s (a downtrend: the highs, where greater).
//                 Reversal of an uptrend where L[t] <= s: s = EP, or H[t] where H[t] > EP;
//                 the trend turns down with EP = L[t] and AF = STEP / 100. Otherwise, where
//                 H[t] > EP: EP = H[t] and AF = AF + STEP / 100, or MAX / 100 where that
//                 sum is greater. A downtrend mirrors this (H[t] >= s reverses it, s = EP
//                 or L[t] where L[t] < EP).
//
// STEP / 100 and MAX / 100 are divisions, rounded once each, formed at every bar.
#ifndef QUORIX_SAR_SAR_H
#define QUORIX_SAR_SAR_H

#include <cstdint>

#include "../core/qx.h"

namespace qx {
namespace sar {

// Plain data: the stream keeps it in its state block as bytes.
struct State {
    int64_t taken;  // bars with both values taken so far, counted up to N + 1
    int64_t trend;  // +1 up, -1 down, 0 before the start
    double first;   // H + L of the first of them
    double hi, lo;  // the highest high and the lowest low of the first N
    double sar, ep, af;
    double h1, l1;  // the previous bar's high and low
    double h2, l2;  // the bar's before it
};

// The parameters as the kernel accepts them: N >= 1 and 0 < STEP <= MAX <= 100 (NaN
// fails every comparison).
inline bool valid(int32_t N, double STEP, double MAX) {
    return N >= 1 && STEP > 0.0 && STEP <= MAX && MAX <= 100.0;
}

// The value of the bar (h, l), and the state after it.
inline double step(State &s, int64_t N, double STEP, double MAX, double h, double l) {
    if (h != h || l != l) return qx::missing();
    const double inc = STEP / 100.0;
    const int64_t t = s.taken;
    double value = qx::missing();
    if (t < N) {
        if (t == 0) {
            s.first = h + l;
            s.hi = h;
            s.lo = l;
        } else {
            if (h > s.hi) s.hi = h;
            if (l < s.lo) s.lo = l;
        }
        if (t == N - 1) {
            const double mid = h + l;
            const bool up = mid >= s.first;
            s.trend = up ? 1 : -1;
            s.sar = up ? s.lo : s.hi;
            s.ep = up ? s.hi : s.lo;
            s.af = inc;
            value = s.sar;
        }
    } else {
        const double gap = s.ep - s.sar;
        const double move = s.af * gap;
        double v = s.sar + move;
        if (s.trend > 0) {
            if (s.l1 < v) v = s.l1;
            if (t >= 2 && s.l2 < v) v = s.l2;
            if (l <= v) {
                v = h > s.ep ? h : s.ep;
                s.trend = -1;
                s.ep = l;
                s.af = inc;
            } else if (h > s.ep) {
                s.ep = h;
                const double af = s.af + inc;
                const double cap = MAX / 100.0;
                s.af = af > cap ? cap : af;
            }
        } else {
            if (s.h1 > v) v = s.h1;
            if (t >= 2 && s.h2 > v) v = s.h2;
            if (h >= v) {
                v = l < s.ep ? l : s.ep;
                s.trend = 1;
                s.ep = h;
                s.af = inc;
            } else if (l < s.ep) {
                s.ep = l;
                const double af = s.af + inc;
                const double cap = MAX / 100.0;
                s.af = af > cap ? cap : af;
            }
        }
        s.sar = v;
        value = v;
    }
    s.h2 = s.h1;
    s.l2 = s.l1;
    s.h1 = h;
    s.l1 = l;
    s.taken = t > N ? t : t + 1;  // beyond N, only t >= 2 is asked
    return value;
}

}  // namespace sar
}  // namespace qx

#endif
