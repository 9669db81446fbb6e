// The lane drivers of the per-bar-period kernels (MA_A, SUM_A, LLV_A, HHV_A),
// namespace qx::per_bar: several bars at once. A group of G = W x U consecutive bars
// is held in U vectors of W lanes, one bar per lane; at each step one unaligned load at
// a[i0 + t] gives every lane k the element a[i0 + k + t], so each lane walks its own
// window in the order of the one-bar loop and performs exactly its operations. Lanes
// whose window has not begun (or has ended) at a step are masked. When the whole group
// shares one period (a constant period series) there is nothing to mask. Private to the
// library; the drivers take the instruction set I of the kernel that calls them and
// walk vectors of width<I> lanes (below). The lanes' loads overlap from one step to the
// next; each step's address goes through qx::opaque(), or the compiler would carry
// loads across steps in more registers than there are.
#ifndef QUORIX_PER_BAR_H
#define QUORIX_PER_BAR_H

#include "qx.h"

namespace qx {
namespace per_bar {

// The walks of the per-bar-period kernels built for instruction set I: vectors of
// width<I> lanes, kVectors of them at once (enough independent chains to hide the
// latency of an addition). AVX-512 builds walk 256-bit vectors too: measured faster,
// since GCC builds the masks of 512-bit generic vectors lane by lane in these
// helpers, which are not compiled for AVX-512 themselves (dispatch.h).
template <Isa I>
constexpr int width = I == Isa::sse2 ? 2 : 4;
constexpr int kVectors = 8;

// True when p[0 .. G) all equal p[0] (false for a NaN).
template <int W, int G>
inline bool same_period(const double *p) {
    const vec<W> first = splat<W>(p[0]);
    mask<W> same = load<W>(p) == first;
    for (int u = 1; u < G / W; ++u) same &= load<W>(p + u * W) == first;
    return bits<W>(same) == (uint64_t(1) << W) - 1;
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

// Bar indices i, i + 1, ..., i + W - 1 as doubles (exact: below 2^31).
template <int W>
inline vec<W> bar_indices(int64_t i) {
    vec<W> v = splat<W>(static_cast<double>(i));
    for (int k = 0; k < W; ++k) v[k] += k;
    return v;
}

// whole_window (qx.h) for the W bars from i, as doubles: the truncated period P where
// 1 <= P <= the bar's index, else 0.
template <int W>
inline vec<W> whole_windows(const double *p, int64_t i) {
    const vec<W> P = periods<W>(load<W>(p)), zero = splat<W>(0.0);
    return ((P >= splat<W>(1.0)) & (P <= bar_indices<W>(i))) ? P : zero;
}

// Whether any of a[0 .. W x count) is missing.
template <int W>
inline bool any_missing(const double *a, int count) {
    mask<W> m = {};
    for (int u = 0; u < count; ++u) {
        const vec<W> v = load<W>(a + u * W);
        m |= v != v;
    }
    return bits<W>(m) != 0;
}

// The greatest lane of `count` vectors, and the least lane above 0 (+inf if none).
template <int W>
inline double greatest(const vec<W> *v, int count) {
    vec<W> m = v[0];
    for (int u = 1; u < count; ++u) m = m > v[u] ? m : v[u];
    double r = m[0];
    for (int k = 1; k < W; ++k) r = m[k] > r ? m[k] : r;
    return r;
}
template <int W>
inline double least_positive(const vec<W> *v, int count) {
    const vec<W> zero = splat<W>(0.0), inf = splat<W>(__builtin_huge_val());
    vec<W> m = inf;
    for (int u = 0; u < count; ++u) {
        const vec<W> x = v[u] > zero ? v[u] : inf;
        m = x < m ? x : m;
    }
    double r = m[0];
    for (int k = 1; k < W; ++k) r = m[k] < r ? m[k] : r;
    return r;
}

// Takes out of the walk of the lanes from bar h the ones better walked alone, copying
// len to walk with 0 for them and returning their bits: a window far longer than the
// mean of the others would make every lane wait for it, and the walk reads from
// a[h + 1 - hi], which must not lie before the series.
template <int W>
inline uint64_t apart(int64_t h, const vec<W> *len, vec<W> *walk, int count) {
    const vec<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    vec<W> total = zero, taken = zero;
    for (int u = 0; u < count; ++u) {
        total += len[u];
        taken += (vec<W>)((mask<W>)one & (len[u] > zero));
    }
    double sum = 0.0, cnt = 0.0;
    for (int k = 0; k < W; ++k) {
        sum += total[k];
        cnt += taken[k];
    }
    const vec<W> cap = splat<W>(cnt > 0.0 ? 2.0 * sum / cnt + 16.0 : 0.0);
    const vec<W> reach = splat<W>(static_cast<double>(h + 1));
    uint64_t alone = 0;
    for (int u = 0; u < count; ++u) {
        const mask<W> off = (len[u] > cap) | (len[u] > reach);
        alone |= bits<W>(off) << (u * W);
        walk[u] = off ? zero : len[u];
    }
    return alone;
}

// ---- window sums ------------------------------------------------------------------

// Sums in ascending index order, each lane from +0.0: lane k of acc[u] ends as the sum
// a[i - L + 1] + ... + a[i] of bar i = i0 + u W + k, L = len[u][k], taken left to right
// as the one-bar loop takes it. Lanes with L = 0 are out of the walk and hold junk; hi
// and lo are the greatest and the least L of the walked lanes (hi = 0: none), and the
// walk reads from a[i0 + 1 - hi], which must lie in the series. Before a lane's window
// begins it adds the masked value +0.0 to its +0.0 start, which leaves it +0.0, bits
// included.
template <int W, int U>
inline void sums_mixed(const double *a, int64_t i0, const vec<W> *len, int64_t lo, int64_t hi,
                       vec<W> *acc) {
    for (int u = 0; u < U; ++u) acc[u] = splat<W>(0.0);
    if (hi == 0) return;
    const double *base = a + i0;
    int64_t t = 1 - hi;
    if (lo < hi) {
        // Lane k takes part from step 1 - L on (1 for a lane out of the walk: never).
        vec<W> start[U];
        for (int u = 0; u < U; ++u) start[u] = splat<W>(1.0) - len[u];
        vec<W> tv = splat<W>(static_cast<double>(t));
        const vec<W> one = splat<W>(1.0);
        for (; t < 1 - lo; ++t, tv += one) {
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

// Drives a per-bar-period sum kernel K over bars [0, n). The window of bar i is
// whole_window(p[i], i) (qx.h), and a bar whose window holds a missing input is
// missing too: such a bar is taken out of the walk (the latest missing input is
// carried along the bars), so the walks sum only windows of values, and a NaN total
// can only be a NaN of the arithmetic (opposite infinities).
//   K::finish<W>(acc, len): the outputs of W lanes from their sums (len 0: missing);
//   K::bar(a, i, L): the one-bar loop, for lanes walked alone and the tail.
// A group of W x kVectors bars that shares one period is walked without masks.
template <Isa I, class K>
void sum_windows(const double *a, int64_t n, const double *p, double *out) {
    constexpr int W = width<I>, U = kVectors, G = W * U;
    const vec<W> zero = splat<W>(0.0);
    int64_t gap = -1;  // the latest bar so far whose input is missing, or -1
    // Sets len to 0 for the G bars from i whose window holds a missing input; hi: their
    // longest window.
    auto unspoil = [&](int64_t i, vec<W> *len, int64_t hi) {
        if (!any_missing<W>(a + i, U)) {
            // Only a missing input before these bars can lie in their windows, and one
            // before the longest of them lies in none.
            if (gap <= i - hi) return;
            const vec<W> g = splat<W>(static_cast<double>(gap));
            for (int u = 0; u < U; ++u)
                len[u] = g > bar_indices<W>(i + u * W) - len[u] ? zero : len[u];
            return;
        }
        for (int u = 0; u < U; ++u)
            for (int k = 0; k < W; ++k) {
                const int64_t b = i + u * W + k;
                gap = is_missing(a[b]) ? b : gap;
                if (static_cast<double>(gap) > static_cast<double>(b) - len[u][k]) len[u][k] = 0.0;
            }
    };
    int64_t i = 0;
    for (; i + G <= n; i += G) {
        vec<W> len[U], acc[U];
        const int64_t L0 = whole_window(p[i], i);
        uint64_t alone = 0;
        if (L0 > 0 && same_period<W, G>(p + i)) {
            for (int u = 0; u < U; ++u) len[u] = splat<W>(static_cast<double>(L0));
            unspoil(i, len, L0);
            sums_equal<W, U>(a, i, L0, acc);
        } else {
            for (int u = 0; u < U; ++u) len[u] = whole_windows<W>(p + i + u * W, i + u * W);
            int64_t hi = static_cast<int64_t>(greatest<W>(len, U));
            unspoil(i, len, hi);
            // No lane far longer than the others' mean (cap >= 16), none reaching
            // before the series: all are walked (the usual case), else some apart.
            vec<W> walk[U];
            const vec<W> *walked = len;
            if (hi > 16 || hi > i + 1) {
                alone = apart<W>(i, len, walk, U);
                walked = walk;
            }
            hi = static_cast<int64_t>(greatest<W>(walked, U));
            const int64_t lo = hi > 0 ? static_cast<int64_t>(least_positive<W>(walked, U)) : 0;
            sums_mixed<W, U>(a, i, walked, lo, hi, acc);
        }
        for (int u = 0; u < U; ++u) store(out + i + u * W, K::template finish<W>(acc[u], len[u]));
        for (int k = 0; alone >> k; ++k)
            if ((alone >> k) & 1)
                out[i + k] = K::bar(a, i + k, static_cast<int64_t>(len[k / W][k % W]));
    }
    for (; i < n; ++i) {
        const int64_t L = whole_window(p[i], i);
        out[i] = L > 0 ? K::bar(a, i, L) : missing();
    }
}

// ---- window extremes --------------------------------------------------------------

// Extremes walked newest first from C::worst (qx::Lowest or qx::Highest): lane k of
// best[u] ends on the newest extreme of the values of its window of L = len[u][k]
// bars, as the one-bar scan does, or on C::worst when it met only that infinity or no
// value at all (the caller tells the two apart). Lanes with L = 0 are out of the walk
// and hold junk; hi and lo are the greatest and the least L of the walked lanes
// (hi = 0: none), and the walk reads from a[i0 + 1 - hi], which must lie in the
// series. Past the oldest bar of a lane's window its loads are made NaN, which pick
// ignores.
template <int W, int U, class C>
inline void extremes_mixed(const double *a, int64_t i0, const vec<W> *len, int64_t lo, int64_t hi,
                           vec<W> *best) {
    for (int u = 0; u < U; ++u) best[u] = splat<W>(C::worst);
    if (hi == 0) return;
    const double *base = a + i0;
    int64_t t = 0;
    for (; t > -lo; --t) {
        const double *q = opaque(base + t);
        for (int u = 0; u < U; ++u) best[u] = C::pick(load<W>(q + u * W), best[u]);
    }
    if (lo < hi) {
        // Lane k takes part down to step 1 - L (1 for a lane out of the walk: never).
        vec<W> start[U];
        for (int u = 0; u < U; ++u) start[u] = splat<W>(1.0) - len[u];
        vec<W> tv = splat<W>(static_cast<double>(t));
        const vec<W> one = splat<W>(1.0);
        for (; t > -hi; --t, tv -= one) {
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

// The window of bar i for the per-bar period value v of LLV_A / HHV_A: the truncated
// period P when 1 <= P <= i, 0 when the bar is missing (a missing, negative or
// beyond-int32 value), -1 for all bars from 0 to i (P = 0, or a period longer than
// the bars so far).
inline int64_t extreme_window(double v, int64_t i) {
    int32_t P;
    if (!bar_period(v, &P) || P < 0) return 0;
    return (P == 0 || P > i) ? -1 : P;
}

// extreme_window for the W bars from i, as doubles.
template <int W>
inline vec<W> extreme_windows_of(const double *p, int64_t i) {
    const vec<W> P = periods<W>(load<W>(p)), zero = splat<W>(0.0);
    const vec<W> w = ((P == zero) | (P > bar_indices<W>(i))) ? splat<W>(-1.0) : P;
    return P < zero ? zero : w;
}

// Per-bar-period extremes over bars [0, n), the window of bar i being
// extreme_window(p[i], i). The extreme of all bars so far is carried forward (folding
// each newer value in when not beaten strictly, the same result as the scan). A group
// of W x kVectors bars that shares one period is walked without masks.
template <Isa I, class C>
void extreme_windows(const double *a, int64_t n, const double *p, double *out) {
    constexpr int W = width<I>, U = kVectors, G = W * U;
    const vec<W> zero = splat<W>(0.0), worst = splat<W>(C::worst);
    double cum = missing();
    int64_t cum_next = 0;  // cum is the extreme of a[0 .. cum_next)
    auto all_so_far = [&](int64_t i) {
        for (; cum_next <= i; ++cum_next) {
            const double v = a[cum_next];
            if (!is_missing(v) && (is_missing(cum) || !C::better(cum, v))) cum = v;
        }
        return cum;
    };
    // Stores the G walked lanes from bar i (window lengths in walked, 0 for lanes out
    // of the walk). A lane that ended on C::worst keeps it when its window holds a
    // value (which is then that infinity); else the bar is missing. One test for the
    // whole group first: such lanes are rare.
    auto finish = [&](int64_t i, const vec<W> *best, const vec<W> *walked) {
        mask<W> hit = {};
        for (int u = 0; u < U; ++u) {
            store(out + i + u * W, best[u]);
            hit |= (best[u] == worst) & (walked[u] > zero);
        }
        if (!bits<W>(hit)) return;
        uint64_t ask = 0;
        int64_t L[G];
        for (int u = 0; u < U; ++u) {
            ask |= bits<W>((best[u] == worst) & (walked[u] > zero)) << (u * W);
            for (int k = 0; k < W; ++k) L[u * W + k] = static_cast<int64_t>(walked[u][k]);
        }
        const uint64_t none =
            ask & ~windows_holding(a, i, L, ask, [](double v) { return !is_missing(v); });
        for (int k = 0; none >> k; ++k)
            if ((none >> k) & 1) out[i + k] = missing();
    };
    int64_t i = 0;
    for (; i + G <= n; i += G) {
        const int64_t L0 = extreme_window(p[i], i);
        const bool same = same_period<W, G>(p + i);
        if (same && L0 <= 0 && extreme_window(p[i], i + G - 1) == L0) {
            // The whole group missing, or the whole group over all bars so far.
            for (int k = 0; k < G; ++k) out[i + k] = L0 == 0 ? missing() : all_so_far(i + k);
            continue;
        }
        vec<W> best[U], len[U];
        if (same && L0 > 0) {
            for (int u = 0; u < U; ++u) len[u] = splat<W>(static_cast<double>(L0));
            extremes_equal<W, U, C>(a, i, L0, best);
            finish(i, best, len);
            continue;
        }
        uint64_t none = 0, all = 0, alone = 0;
        vec<W> walk[U], apart_walk[U];
        for (int u = 0; u < U; ++u) {
            len[u] = extreme_windows_of<W>(p + i + u * W, i + u * W);
            none |= bits<W>(len[u] == zero) << (u * W);
            all |= bits<W>(len[u] < zero) << (u * W);
            walk[u] = len[u] > zero ? len[u] : zero;
        }
        int64_t hi = static_cast<int64_t>(greatest<W>(walk, U));
        const vec<W> *walked = walk;
        // No lane far longer than the others' mean (cap >= 16), none reaching before
        // the series: all are walked (the usual case), else some apart.
        if (hi > 16 || hi > i + 1) {
            alone = apart<W>(i, walk, apart_walk, U);
            walked = apart_walk;
            hi = static_cast<int64_t>(greatest<W>(walked, U));
        }
        if (hi > 0) {
            const int64_t lo = static_cast<int64_t>(least_positive<W>(walked, U));
            extremes_mixed<W, U, C>(a, i, walked, lo, hi, best);
            finish(i, best, walked);
        }
        for (int k = 0; none >> k; ++k)
            if ((none >> k) & 1) out[i + k] = missing();
        for (int k = 0; all >> k; ++k)
            if ((all >> k) & 1) out[i + k] = all_so_far(i + k);
        for (int k = 0; alone >> k; ++k)
            if ((alone >> k) & 1)
                out[i + k] = extreme_bar<C>(a, i + k, static_cast<int64_t>(walk[k / W][k % W]));
    }
    for (; i < n; ++i) {
        const int64_t L = extreme_window(p[i], i);
        out[i] = L > 0 ? extreme_bar<C>(a, i, L) : L < 0 ? all_so_far(i) : missing();
    }
}

}  // namespace per_bar
}  // namespace qx

#endif
