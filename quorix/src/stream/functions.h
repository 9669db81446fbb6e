// The stream of each kernel: its state and its step, one bar at a time, in the kernel's
// own order of operations (each kernel's source says why its order is what it is).
// Private to the stream library; stream.cpp lists them by kernel.
//
// In every step, i = h.bars is the index of the bar being taken; the caller advances
// h.bars after the step.
#ifndef QUORIX_STREAM_FUNCTIONS_H
#define QUORIX_STREAM_FUNCTIONS_H

#include <cmath>

#include "state.h"

namespace qxs {

// Defaults: no ring, nothing to check, causal.
struct Base {
    static constexpr bool deque = false;
    static constexpr bool history = false;    // keeps the last `history` + 1 bars
    static constexpr bool fixed = false;      // the ring is a fixed state, saved whole
    static constexpr uint32_t constants = 0;  // the d[] that init derives (Ops::constants)
    static int64_t slots(const int32_t *, int64_t) { return 0; }
    static void init(Head &) {}
    static bool sound(const Head &) { return true; }
    static int64_t delay(const int32_t *) { return 0; }
};

// A ring of the last N inputs (N the first integer parameter).
struct LastN : Base {
    static int64_t slots(const int32_t *p, int64_t) { return p[0]; }
};

// A ring of the last history + 1 bars (the per-bar period rows).
struct Kept : Base {
    static constexpr bool history = true;
    static int64_t slots(const int32_t *, int64_t history) { return history + 1; }
};

// Bars since the first valid one, or -1 before it; records it on the first valid value.
inline int64_t since_first(Head &h, double x) {
    if (h.first < 0) {
        if (is_missing(x)) return -1;
        h.first = h.bars;
    }
    return h.bars - h.first;
}

// ---- simple moving averages ----------------------------------------------------------

// vx_ma: warm-up from the first valid bar f; the first window is summed afresh at the
// first bar from f + N - 1 on whose input is not missing (k[0] = 1 once it is), then one
// running total, the leaving value subtracted first.
struct Ma : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t k = since_first(h, x);
        const int64_t N = h.p[0];
        const double period = static_cast<double>(N);
        if (k < 0) {
            *out = missing();
        } else if (h.k[0]) {
            const double leaving = oldest(h);
            h.d[0] = (h.d[0] - leaving) + x;
            push(h, x);
            *out = h.d[0] / period;
        } else {
            push(h, x);
            if (k < N - 1 || is_missing(x)) {
                *out = missing();
            } else {
                double total = 0.0;
                for (int64_t b = N - 1; b >= 0; --b) total += back(h, b);
                h.d[0] = total;
                h.k[0] = 1;
                *out = total / period;
            }
        }
        return QXS_OK;
    }
};

// The largest period `history` serves, where the kernel would read bars the stream no
// longer keeps.
inline bool beyond(const Head &h, int64_t period) { return period > h.history; }

// vx_ma_a: bar i needs 1 <= P <= i; the window summed from +0.0, oldest first, stopping
// at a missing input.
struct MaA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        push(h, v[0]);
        int32_t P;
        const int64_t i = h.bars;
        if (!bar_period(v[1], &P) || P <= 0 || i < P) {
            *out = missing();
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        double total = 0.0;
        int64_t b = P - 1;
        for (; b >= 0 && !is_missing(back(h, b)); --b) total += back(h, b);
        *out = (b >= 0 || is_missing(total)) ? missing() : total / static_cast<double>(P);
        return QXS_OK;
    }
};

// ---- recursive and weighted averages -------------------------------------------------

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

// ---- window sums and counts ----------------------------------------------------------

// vx_sum: N = 0 a cumulative sum that skips missing values; else warm-up from the first
// valid bar and one running total, the leaving value subtracted first (d[0]).
struct Sum : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0];
        if (N == 0) {
            if (!is_missing(x)) h.d[0] = h.d[0] + x;
            *out = h.d[0];
            return QXS_OK;
        }
        const int64_t k = since_first(h, x);
        if (k < 0) {
            *out = missing();
        } else if (k < N) {
            h.d[0] = h.d[0] + x;
            push(h, x);
            *out = k < N - 1 ? missing() : h.d[0];
        } else {
            h.d[0] = (h.d[0] - oldest(h)) + x;
            push(h, x);
            *out = h.d[0];
        }
        return QXS_OK;
    }
};

// vx_sum_a: bar i needs 1 <= P <= i; summed from +0.0, oldest first, a missing input
// spoiling the bar (opposite infinities keep the NaN of the arithmetic).
struct SumA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        push(h, v[0]);
        int32_t P;
        if (!bar_period(v[1], &P) || P < 1 || P > h.bars) {
            *out = missing();
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        double acc = 0.0;
        int64_t b = P - 1;
        for (; b >= 0 && !is_missing(back(h, b)); --b) acc = acc + back(h, b);
        *out = b >= 0 ? missing() : acc;
        return QXS_OK;
    }
};

// vx_count: true is non-zero, a NaN included. k[0] the running count.
struct Count : LastN {
    static int64_t truth(double x) { return x != 0.0 ? 1 : 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0];
        if (N == 0) {
            h.k[0] += truth(x);
            *out = static_cast<double>(h.k[0]);
            return QXS_OK;
        }
        const int64_t k = since_first(h, x);
        if (k < 0) {
            *out = missing();
        } else if (k < N) {
            h.k[0] += truth(x);
            push(h, x);
            *out = k < N - 1 ? missing() : static_cast<double>(h.k[0]);
        } else {
            h.k[0] += truth(x) - truth(oldest(h));
            push(h, x);
            *out = static_cast<double>(h.k[0]);
        }
        return QXS_OK;
    }
};

// vx_count_a: true is non-zero and not missing. The ring holds the prefix counts C[j]
// (true values in bars 0 .. j, exact doubles); a window of P bars is C[i] - C[i - P],
// as the kernel forms it.
struct CountA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        h.k[0] += (x != 0.0 && x == x) ? 1 : 0;
        const double c = static_cast<double>(h.k[0]);
        push(h, c);
        int32_t P;
        if (!bar_period(v[1], &P) || P < 0) {
            *out = missing();
            return QXS_OK;
        }
        if (P == 0 || P > h.bars) {
            *out = c;
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        *out = c - back(h, P);
        return QXS_OK;
    }
};

// ---- window extremes -----------------------------------------------------------------

struct Lowest {
    static bool better(double a, double b) { return a < b; }
};
struct Highest {
    static bool better(double a, double b) { return a > b; }
};

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

// ---- dispersion ----------------------------------------------------------------------

enum class Spread {
    sample_sd,
    population_sd,
    mean_abs_dev,
    sample_var,      // vx_var
    population_var,  // vx_varp
    squares          // vx_devsq
};

// vx_std, vx_stddev, vx_stdp, vx_avedev: the running total d[0] carries the window's
// first N - 1 values from the first valid bar on; each bar adds its input, takes the
// mean, lets the oldest value leave, and sums the deviations afresh, oldest first.
template <Spread K>
struct Dispersion : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t k = since_first(h, x);
        const int64_t N = h.p[0];
        if (k < 0) {
            *out = missing();
            return QXS_OK;
        }
        if (k < N - 1) {
            h.d[0] = h.d[0] + x;
            push(h, x);
            *out = missing();
            return QXS_OK;
        }
        push(h, x);
        if ((K == Spread::sample_sd || K == Spread::sample_var) && N == 1) {
            *out = 0.0;
            return QXS_OK;
        }
        const double period = static_cast<double>(N);
        const bool sample = K == Spread::sample_sd || K == Spread::sample_var;
        const double divisor = sample ? static_cast<double>(static_cast<int64_t>(N) - 1) : period;
        h.d[0] = h.d[0] + x;
        const double m = h.d[0] / period;
        h.d[0] = h.d[0] - oldest(h);
        double A = 0.0;
        for (int64_t b = N - 1; b >= 0; --b) {
            const double d = back(h, b) - m;
            A = A + (K == Spread::mean_abs_dev ? std::fabs(d) : d * d);
        }
        if (K == Spread::squares)
            *out = A;
        else if (K == Spread::sample_var || K == Spread::population_var ||
                 K == Spread::mean_abs_dev)
            *out = A / divisor;
        else
            *out = std::sqrt(A / divisor);
        return QXS_OK;
    }
};

// ---- regression slope ----------------------------------------------------------------

// vx_slope: N = 0 gives 1.0; else every window of N bars summed afresh, oldest first,
// with the constants of N formed exactly and rounded once (d[0] Sx, d[1] D).
struct Slope : LastN {
    __extension__ typedef unsigned __int128 u128;
    static double nearest_double(u128 v) {
        const double hi = static_cast<double>(static_cast<uint64_t>(v >> 53));
        const double lo = static_cast<double>(static_cast<uint64_t>(v) & ((uint64_t{1} << 53) - 1));
        return hi * 9007199254740992.0 + lo;
    }
    static constexpr uint32_t constants = 1u << 0 | 1u << 1;
    static void init(Head &h) {
        if (h.p[0] <= 0) return;
        const u128 p = static_cast<u128>(static_cast<uint32_t>(h.p[0]));
        const double Sx = nearest_double(p * (p - 1) / 2);
        const double Sxx = nearest_double(p * (p - 1) * (2 * p - 1) / 6);
        const double Nd = static_cast<double>(h.p[0]);
        h.d[0] = Sx;
        h.d[1] = Nd * Sxx - Sx * Sx;
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

// ---- look-back references ------------------------------------------------------------

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

// ---- crossing, selection and filter --------------------------------------------------

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

// ---- bar counters --------------------------------------------------------------------

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

}  // namespace qxs

#endif
