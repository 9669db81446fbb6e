// The zigzag: ZIG, PEAK, TROUGH, PEAKBARS and TROUGHBARS.
//
// Turning points are found in one forward pass over the non-missing bars. Until the
// first one, the lowest and highest values so far are kept; a value that has risen N
// percent from the lowest, (v - lo) / lo * 100 >= N, makes the lowest the first turning
// point (a trough), one that has fallen N percent from the highest, (hi - v) / hi * 100
// >= N, makes the highest a peak. After that the extreme since the last turning point
// is the candidate (a later value must beat it strictly to replace it), and a move of N
// percent back from it, measured the same way, confirms it as the next turning point.
// Peaks and troughs alternate. The candidate left at the end is a turning point too
// unless it is the last non-missing bar. The zigzag is the straight line through the
// first non-missing bar, the turning points and the last non-missing bar.
//
// The kernels allocate nothing: the forward pass stores the turning points' bars in
// out[0 .. k), and the second pass fills out from the last bar down, reading each
// stored entry before the bar that holds it is written (entry j sits at or before bar
// t_j, and bars are written from the top).
#include <cfloat>

#include "../core/qx.h"
#include "quorix_lang.h"

namespace {

struct Turns {
    int64_t count;  // turning points stored in out[0 .. count)
    bool first_is_peak;
    int64_t first;  // first and last non-missing bars (first = n when none)
    int64_t last;
};

inline bool rises(double from, double v, double pct) { return (v - from) / from * 100.0 >= pct; }
inline bool falls(double from, double v, double pct) { return (from - v) / from * 100.0 >= pct; }

Turns find_turns(const double *K, int64_t n, double pct, double *out) {
    Turns t{0, false, qx::first_valid(K, n), -1};
    if (t.first == n) return t;
    int64_t last = n - 1;
    while (qx::is_missing(K[last])) --last;
    t.last = last;

    int trend = 0;  // 0 unknown, 1 rising (candidate peak), -1 falling (candidate trough)
    double lo = K[t.first], hi = lo, cand = lo;
    int64_t lo_at = t.first, hi_at = t.first, cand_at = t.first;
    for (int64_t i = t.first + 1; i <= last; ++i) {
        const double v = K[i];
        if (qx::is_missing(v)) continue;
        if (trend == 0) {
            if (v > hi) {
                hi = v;
                hi_at = i;
            }
            if (v < lo) {
                lo = v;
                lo_at = i;
            }
            if (falls(hi, v, pct)) {
                out[t.count++] = static_cast<double>(hi_at);
                t.first_is_peak = true;
                trend = -1, cand = v, cand_at = i;
            } else if (rises(lo, v, pct)) {
                out[t.count++] = static_cast<double>(lo_at);
                t.first_is_peak = false;
                trend = 1, cand = v, cand_at = i;
            }
        } else if (trend > 0) {
            if (v > cand) {
                cand = v, cand_at = i;
            } else if (falls(cand, v, pct)) {
                out[t.count++] = static_cast<double>(cand_at);
                trend = -1, cand = v, cand_at = i;
            }
        } else {
            if (v < cand) {
                cand = v, cand_at = i;
            } else if (rises(cand, v, pct)) {
                out[t.count++] = static_cast<double>(cand_at);
                trend = 1, cand = v, cand_at = i;
            }
        }
    }
    if (trend != 0 && cand_at < last) out[t.count++] = static_cast<double>(cand_at);
    return t;
}

inline bool valid_percent(double pct) { return pct > 0.0 && pct <= DBL_MAX; }

// PEAK, TROUGH, PEAKBARS, TROUGHBARS: the M-th latest turning point of the wanted kind
// at or before each bar.
int32_t turn_at(const double *K, int32_t n, double pct, int32_t M, double *out, int32_t out_n,
                bool peak, bool bars) {
    if (int32_t st = qx::check(out_n == n, valid_percent(pct) && M >= 1)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n;
    const Turns t = find_turns(K, len, pct, out);
    const int64_t back = 2 * (static_cast<int64_t>(M) - 1);
    int64_t q = t.count - 1;  // the latest turning point at or before bar i
    int64_t tq = q >= 0 ? static_cast<int64_t>(out[q]) : 0;
    for (int64_t i = len - 1; i >= 0; --i) {
        while (q >= 0 && tq > i) {
            --q;
            if (q >= 0) tq = static_cast<int64_t>(out[q]);
        }
        double v = qx::missing();
        if (q >= 0) {
            // Turning points alternate: entry j is a peak when (j even) == first_is_peak.
            const bool q_is_peak = ((q % 2) == 0) == t.first_is_peak;
            const int64_t p = (q_is_peak == peak ? q : q - 1) - back;
            if (p >= 0) {
                const int64_t at = static_cast<int64_t>(out[p]);
                v = bars ? static_cast<double>(i - at) : K[at];
            }
        }
        out[i] = v;
    }
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_zig(int32_t, const double *K, int32_t n, double N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, valid_percent(N))) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n;
    const Turns t = find_turns(K, len, N, out);
    if (t.first == len) {
        qx::fill_missing(out, 0, len, len);
        return QX_OK;
    }
    qx::fill_missing(out, t.last + 1, len, len);
    // Segments from the last: [a, b] with b's value written by the segment to its
    // right (or here for the last bar), bars b .. a + 1 filled, then a becomes b.
    int64_t b = t.last;
    double pb = K[b];
    out[b] = pb;
    int64_t j = t.count - 1;
    for (;;) {
        const int64_t a = j >= 0 ? static_cast<int64_t>(out[j]) : t.first;
        const double pa = K[a];
        const double rise = pb - pa;
        const double span = static_cast<double>(b - a);
        for (int64_t i = b - 1; i > a; --i) out[i] = pa + rise * static_cast<double>(i - a) / span;
        out[a] = pa;
        if (j < 0) break;
        b = a, pb = pa;
        --j;
    }
    qx::fill_missing(out, 0, t.first, len);
    return QX_OK;
}

QX_API int32_t vx_peak(int32_t, const double *K, int32_t n, double N, int32_t M, double *out,
                       int32_t out_n) {
    return turn_at(K, n, N, M, out, out_n, true, false);
}

QX_API int32_t vx_trough(int32_t, const double *K, int32_t n, double N, int32_t M, double *out,
                         int32_t out_n) {
    return turn_at(K, n, N, M, out, out_n, false, false);
}

QX_API int32_t vx_peakbars(int32_t, const double *K, int32_t n, double N, int32_t M, double *out,
                           int32_t out_n) {
    return turn_at(K, n, N, M, out, out_n, true, true);
}

QX_API int32_t vx_troughbars(int32_t, const double *K, int32_t n, double N, int32_t M, double *out,
                             int32_t out_n) {
    return turn_at(K, n, N, M, out, out_n, false, true);
}

}  // extern "C"
