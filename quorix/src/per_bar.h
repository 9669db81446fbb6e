// The lane drivers of the per-bar-period kernels (MA_A, SUM_A, LLV_A, HHV_A),
// namespace qx::per_bar: several bars at once. A group of G = W x U consecutive bars
// is held in U vectors of W lanes, one bar per lane; at each step one unaligned load at
// a[i0 + t] gives every lane k the element a[i0 + k + t], so each lane walks its own
// window in the order of the one-bar loop and performs exactly its operations. Lanes
// whose window has not begun (or has ended) at a step are masked. When the whole group
// shares one period (a constant period series) there is nothing to mask. Private to the
// library; W is the number of doubles in one machine vector (qx::lanes<I>, qx.h). The
// lanes' loads overlap from one step to the next; each step's address goes through
// qx::opaque(), or the compiler would carry loads across steps in more registers than
// there are.
#ifndef QUORIX_PER_BAR_H
#define QUORIX_PER_BAR_H

#include "qx.h"

namespace qx {
namespace per_bar {

// True when p[0 .. G) all equal p[0] (false for a NaN).
template <int G>
inline bool same_period(const double *p) {
    bool same = true;
    for (int k = 0; k < G; ++k) same &= p[k] == p[0];
    return same;
}

// The window lengths of one group: L[k] > 0 for the lanes that the vector walk
// computes (0 for the others); lo and hi are the least and greatest of those.
template <int G>
struct Group {
    int64_t L[G];
    int64_t lo, hi;
};

// Takes out of the walk the lanes that are better walked alone: a length far above the
// group's mean would make every lane of the group wait for it, and the walk reads from
// a[i0 + 1 - hi], which must not lie before the series. Such lanes get L[k] = 0 and
// their bit in the result.
template <int G>
inline uint64_t settle(Group<G> &g, int64_t i0) {
    int64_t sum = 0, cnt = 0;
    for (int k = 0; k < G; ++k) {
        sum += g.L[k];
        cnt += g.L[k] > 0;
    }
    g.lo = INT64_MAX;
    g.hi = 0;
    if (cnt == 0) {
        g.lo = 0;
        return 0;
    }
    const int64_t cap = 2 * (sum / cnt) + 16;
    uint64_t alone = 0;
    for (int k = 0; k < G; ++k) {
        const int64_t L = g.L[k];
        if (L <= 0) continue;
        if (L > cap || i0 + 1 - L < 0) {
            alone |= uint64_t(1) << k;
            g.L[k] = 0;
            continue;
        }
        g.lo = L < g.lo ? L : g.lo;
        g.hi = L > g.hi ? L : g.hi;
    }
    if (g.hi == 0) g.lo = 0;
    return alone;
}

// The lanes' first steps 1 - L[k] as doubles (1 for a lane out of the walk: never in).
template <int W, int U>
inline void starts(const int64_t *L, vec<W> *start) {
    for (int u = 0; u < U; ++u) {
        start[u] = splat<W>(1.0);
        for (int k = 0; k < W; ++k)
            if (L[u * W + k] > 0) start[u][k] = static_cast<double>(1 - L[u * W + k]);
    }
}

// Lane lengths as doubles, 0 for a lane out of the walk.
template <int W>
inline vec<W> lengths(const int64_t *L) {
    vec<W> v = splat<W>(0.0);
    for (int k = 0; k < W; ++k) v[k] = static_cast<double>(L[k]);
    return v;
}

// For the lanes in `ask` (bit k: bar i0 + k, window length L[k] > 0): which windows
// a[i - L + 1 .. i] hold an element x with has(x). One pass over the union of those
// windows, carrying the index of the latest such element, so a group costs its span
// once rather than once per lane.
template <class Has>
inline uint64_t windows_holding(const double *a, int64_t i0, const int64_t *L, uint64_t ask,
                                Has has) {
    int64_t from = INT64_MAX, to = -1;
    for (int k = 0; ask >> k; ++k)
        if ((ask >> k) & 1) {
            from = i0 + k - L[k] + 1 < from ? i0 + k - L[k] + 1 : from;
            to = k;
        }
    // The element at index m lies in lane k's window when m > i0 + k - L[k]; an element
    // older than every window asked about is never counted.
    int64_t last = INT64_MIN;
    for (int64_t j = from; j < i0; ++j) last = has(a[j]) ? j : last;
    uint64_t held = 0;
    for (int64_t k = 0; k <= to; ++k) {
        last = has(a[i0 + k]) ? i0 + k : last;
        held |= static_cast<uint64_t>(last > i0 + k - L[k]) << k;
    }
    return held & ask;
}

// ---- window sums ------------------------------------------------------------------

// Sums in ascending index order, each lane from +0.0: lane k of acc[u] ends as the sum
// a[i - L + 1] + ... + a[i] of bar i = i0 + u W + k, taken left to right, as the one-bar
// loop takes it when the window holds no missing value (else the lane is NaN). Before a
// lane's window begins it adds the masked value +0.0 to its +0.0 start, which leaves it
// +0.0, bits included. Lanes out of the walk hold junk.
template <int W, int U>
inline void sums_mixed(const double *a, int64_t i0, const Group<W * U> &g, vec<W> *acc) {
    for (int u = 0; u < U; ++u) acc[u] = splat<W>(0.0);
    if (g.hi == 0) return;
    const double *base = a + i0;
    int64_t t = 1 - g.hi;
    if (g.lo < g.hi) {
        vec<W> start[U];
        starts<W, U>(g.L, start);
        for (; t < 1 - g.lo; ++t) {
            const vec<W> tv = splat<W>(static_cast<double>(t));
            const double *q = opaque(base + t);
            for (int u = 0; u < U; ++u) {
                const mask<W> on = tv >= start[u];
                acc[u] += (vec<W>)((mask<W>)load<W>(q + u * W) & on);
            }
        }
    }
    for (; t <= 0; ++t) {
        const double *q = opaque(base + t);
        for (int u = 0; u < U; ++u) acc[u] += load<W>(q + u * W);
    }
}

// The same when every lane has the window length L (i0 + 1 - L >= 0).
template <int W, int U>
inline void sums_equal(const double *a, int64_t i0, int64_t L, vec<W> *acc) {
    for (int u = 0; u < U; ++u) acc[u] = splat<W>(0.0);
    for (const double *p = a + i0 + 1 - L, *end = a + i0 + 1; p != end; ++p) {
        const double *q = opaque(p);
        for (int u = 0; u < U; ++u) acc[u] += load<W>(q + u * W);
    }
}

// Drives a per-bar-period sum kernel K over bars [0, n), the window of bar i being
// whole_window(p[i], i) (qx.h; 0: the bar is missing):
//   K::finish<W>(acc, len): the outputs of W lanes from their sums (len 0: missing);
//   K::kRecheck: a finished NaN is the missing value when the lane's window holds a
//     missing input and stays as it is otherwise (a NaN of the arithmetic);
//   K::bar(a, i, L): the one-bar loop, for lanes walked alone and the tail.
// A group of W x U bars that shares one period is walked at once; otherwise it is
// walked with masks in parts of W x H bars (fewer lanes wait less for the longest
// window, and the masks and sums still fit in registers).
template <int W, int U, int H, class K>
void sum_windows(const double *a, int64_t n, const double *p, double *out) {
    static_assert(U % H == 0 && W * U <= 64, "parts of a group; one bit per lane");
    constexpr int G = W * U, GH = W * H;
    // Stores the outputs of `vectors` vectors of lanes from bar i; len[u]: the lengths
    // as doubles, L: as integers. Lanes whose total is NaN are told apart afterwards,
    // and only when there are any (one test for the whole group).
    auto finish = [&](int64_t i, const int64_t *L, const vec<W> *len, const vec<W> *acc,
                      int vectors) {
        mask<W> nan = {};
        for (int u = 0; u < vectors; ++u) {
            store(out + i + u * W, K::template finish<W>(acc[u], len[u]));
            if (K::kRecheck) nan |= (acc[u] != acc[u]) & (len[u] > splat<W>(0.0));
        }
        if (!K::kRecheck || !bits<W>(nan)) return;
        uint64_t ask = 0;
        for (int u = 0; u < vectors; ++u)
            ask |= bits<W>((acc[u] != acc[u]) & (len[u] > splat<W>(0.0))) << (u * W);
        const uint64_t spoilt =
            windows_holding(a, i, L, ask, [](double v) { return is_missing(v); });
        for (int k = 0; spoilt >> k; ++k)
            if ((spoilt >> k) & 1) out[i + k] = missing();
    };
    int64_t i = 0;
    for (; i + G <= n; i += G) {
        const int64_t L0 = whole_window(p[i], i);
        const bool same = same_period<G>(p + i);
        if (same && L0 == 0 && whole_window(p[i], i + G - 1) == 0) {
            // Missing at the group's last bar, so at every bar of it.
            fill_missing(out, i, i + G, n);
            continue;
        }
        if (same && L0 > 0) {
            vec<W> acc[U], len[U];
            int64_t L[G];
            for (int k = 0; k < G; ++k) L[k] = L0;
            for (int u = 0; u < U; ++u) len[u] = splat<W>(static_cast<double>(L0));
            sums_equal<W, U>(a, i, L0, acc);
            finish(i, L, len, acc, U);
            continue;
        }
        for (int64_t h = i; h < i + G; h += GH) {
            Group<GH> g;
            for (int k = 0; k < GH; ++k) g.L[k] = whole_window(p[h + k], h + k);
            const uint64_t alone = settle(g, h);
            if (g.hi == 0 && alone == 0) {
                fill_missing(out, h, h + GH, n);
                continue;
            }
            vec<W> acc[H], len[H];
            for (int u = 0; u < H; ++u) len[u] = lengths<W>(g.L + u * W);
            sums_mixed<W, H>(a, h, g, acc);
            finish(h, g.L, len, acc, H);
            for (int k = 0; alone >> k; ++k)
                if ((alone >> k) & 1) out[h + k] = K::bar(a, h + k, whole_window(p[h + k], h + k));
        }
    }
    for (; i < n; ++i) {
        const int64_t L = whole_window(p[i], i);
        out[i] = L > 0 ? K::bar(a, i, L) : missing();
    }
}

// ---- window extremes --------------------------------------------------------------

// Extremes walked newest first from C::worst (qx::Lowest or qx::Highest): a lane ends
// on the newest extreme of its window's values, as the one-bar scan does, or on
// C::worst when it met only that infinity or no value at all (the caller tells the two
// apart). Past the oldest bar of a lane's window its loads are made NaN, which pick
// ignores.
template <int W, int U, class C>
inline void extremes_mixed(const double *a, int64_t i0, const Group<W * U> &g, vec<W> *best) {
    for (int u = 0; u < U; ++u) best[u] = splat<W>(C::worst);
    if (g.hi == 0) return;
    const double *base = a + i0;
    int64_t t = 0;
    for (; t > -g.lo; --t) {
        const double *q = opaque(base + t);
        for (int u = 0; u < U; ++u) best[u] = C::pick(load<W>(q + u * W), best[u]);
    }
    if (g.lo < g.hi) {
        vec<W> start[U];
        starts<W, U>(g.L, start);
        for (; t > -g.hi; --t) {
            const vec<W> tv = splat<W>(static_cast<double>(t));
            const double *q = opaque(base + t);
            for (int u = 0; u < U; ++u) {
                const mask<W> off = tv < start[u];
                best[u] = C::pick((vec<W>)((mask<W>)load<W>(q + u * W) | off), best[u]);
            }
        }
    }
}

template <int W, int U, class C>
inline void extremes_equal(const double *a, int64_t i0, int64_t L, vec<W> *best) {
    for (int u = 0; u < U; ++u) best[u] = splat<W>(C::worst);
    for (const double *p = a + i0, *end = a + i0 - L; p != end; --p) {
        const double *q = opaque(p);
        for (int u = 0; u < U; ++u) best[u] = C::pick(load<W>(q + u * W), best[u]);
    }
}

// The one-bar scan: the newest extreme of the values of a[i - L + 1 .. i], missing when
// there is none.
template <class C>
inline double extreme_bar(const double *a, int64_t i, int64_t L) {
    double best = missing();
    for (int64_t j = i; j > i - L; --j) {
        const double v = a[j];
        if (!is_missing(v) && (is_missing(best) || C::better(v, best))) best = v;
    }
    return best;
}

// Per-bar-period extremes over bars [0, n). p[i] truncated is the period of bar i: a
// missing, negative or beyond-int32 value makes the bar missing; 0, or a period longer
// than the bars so far, takes all bars from 0 to i, whose extreme is carried forward
// (folding each newer value in when not beaten strictly, the same result as the scan).
template <int W, int U, int H, class C>
void extreme_windows(const double *a, int64_t n, const double *p, double *out) {
    static_assert(U % H == 0 && W * U <= 64, "parts of a group; one bit per lane");
    constexpr int G = W * U, GH = W * H;
    // Window of bar i: > 0, 0 (missing) or -1 (all bars so far).
    auto length = [](double v, int64_t i) -> int64_t {
        int32_t P;
        if (!bar_period(v, &P) || P < 0) return 0;
        return (P == 0 || P > i) ? -1 : P;
    };
    double cum = missing();
    int64_t cum_next = 0;  // cum is the extreme of a[0 .. cum_next)
    auto all_so_far = [&](int64_t i) {
        for (; cum_next <= i; ++cum_next) {
            const double v = a[cum_next];
            if (!is_missing(v) && (is_missing(cum) || !C::better(cum, v))) cum = v;
        }
        return cum;
    };
    // A lane that ended on C::worst keeps it when its window holds a value (which is
    // then that infinity); else the bar is missing. One test for the whole group
    // first: such lanes are rare.
    auto finish = [&](int64_t i, const int64_t *L, const vec<W> *best, int vectors) {
        const vec<W> s = splat<W>(C::worst);
        mask<W> hit = {};
        for (int u = 0; u < vectors; ++u) {
            store(out + i + u * W, best[u]);
            hit |= best[u] == s;
        }
        if (!bits<W>(hit)) return;
        uint64_t ask = 0;
        for (int u = 0; u < vectors; ++u) {
            const mask<W> walked = lengths<W>(L + u * W) > splat<W>(0.0);
            ask |= bits<W>((best[u] == s) & walked) << (u * W);
        }
        const uint64_t none =
            ask & ~windows_holding(a, i, L, ask, [](double v) { return !is_missing(v); });
        for (int k = 0; none >> k; ++k)
            if ((none >> k) & 1) out[i + k] = missing();
    };
    int64_t i = 0;
    for (; i + G <= n; i += G) {
        const int64_t L0 = length(p[i], i);
        const bool same = same_period<G>(p + i);
        if (same && L0 <= 0 && length(p[i], i + G - 1) == L0) {
            // The whole group missing, or the whole group over all bars so far.
            for (int k = 0; k < G; ++k) out[i + k] = L0 == 0 ? missing() : all_so_far(i + k);
            continue;
        }
        if (same && L0 > 0) {
            vec<W> best[U];
            int64_t L[G];
            for (int k = 0; k < G; ++k) L[k] = L0;
            extremes_equal<W, U, C>(a, i, L0, best);
            finish(i, L, best, U);
            continue;
        }
        for (int64_t h = i; h < i + G; h += GH) {
            Group<GH> g;
            int64_t L[GH];
            for (int k = 0; k < GH; ++k) L[k] = g.L[k] = length(p[h + k], h + k);
            const uint64_t alone = settle(g, h);
            if (g.hi > 0) {
                vec<W> best[H];
                extremes_mixed<W, H, C>(a, h, g, best);
                finish(h, g.L, best, H);
            }
            for (int k = 0; k < GH; ++k) {
                if (L[k] == 0)
                    out[h + k] = missing();
                else if (L[k] < 0)
                    out[h + k] = all_so_far(h + k);
                else if ((alone >> k) & 1)
                    out[h + k] = extreme_bar<C>(a, h + k, L[k]);
            }
        }
    }
    for (; i < n; ++i) {
        const int64_t L = length(p[i], i);
        out[i] = L > 0 ? extreme_bar<C>(a, i, L) : L < 0 ? all_so_far(i) : missing();
    }
}

}  // namespace per_bar
}  // namespace qx

#endif
