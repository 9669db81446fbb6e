// Window extremes: lowest / highest non-missing value of the last bars, with a fixed
// period (block prefix/suffix extremes, cost independent of the period) or a period
// read per bar (each window scanned afresh). Both give the same bits: values are copied
// unchanged, NaN is skipped, and among equal extremes the newest bar wins (visible only
// as -0.0 against +0.0).
#include "common.h"
#include "window_a.h"

namespace {

// pick(a, b): a when strictly lower (higher) than b, else b: b on a tie, and b when
// either is NaN, since NaN compares false.
struct Lowest {
    static double pick(double a, double b) { return a < b ? a : b; }
};
struct Highest {
    static double pick(double a, double b) { return a > b ? a : b; }
};

// Folding one value v into a running extreme, newest wins on ties; a missing v leaves
// best alone. take_newer: v is newer, so it wins unless best is strictly better (a
// missing best is never better). take_older: v is older, so it wins only when strictly
// better, or when best is still missing.
template <class Cmp>
inline double take_newer(double best, double v) {
    return qx::is_missing(v) ? best : Cmp::pick(best, v);
}
template <class Cmp>
inline double take_older(double best, double v) {
    if (qx::is_missing(v)) return best;
    return qx::is_missing(best) ? v : Cmp::pick(v, best);
}

// The per-bar scan: the extreme of the non-missing values of x[i - L + 1 .. i], walked
// newest first, each older value taken only when strictly better; missing when the
// window holds none. Costs L steps per bar.
template <class Cmp>
inline double window_extreme(const double *x, int64_t i, int64_t L) {
    double best = qx::missing();
    for (int64_t j = i; j > i - L; --j) best = take_older<Cmp>(best, x[j]);
    return best;
}

// Fixed period N (0: all bars) with cost independent of N: the van Herk / Gil-Werman
// scheme. The series is cut into blocks of N bars from bar 0. A full window that does
// not start on a block edge is the suffix x[s .. block end] of one block plus the
// prefix x[block start .. e] of the next; so one backward pass per block gives the
// suffix extremes and one forward pass the prefix extremes. The windows of the first
// block are cut to the bars so far: its prefix extremes are the answer there.
//
// Nothing is allocated: the suffix extreme from start s is left in out[s + N - 1], the
// output of the window that starts at s, which lies in the next block and is written
// only when that block's forward pass reaches it and combines it with its prefix.
// Combining keeps the results of the per-bar scan exactly: NaN is skipped, a window
// without values gives the missing value, and the suffix (older bars) wins only when
// strictly better, so among equal values the newest still wins.
template <class Cmp>
void fixed_window(const double *x, int64_t n, int64_t N, double *out) {
    if (N == 0 || N > n) N = n;
    const double m = qx::missing();
    double p = m;
    for (int64_t e = 0; e < N; ++e) out[e] = p = take_newer<Cmp>(p, x[e]);

    for (int64_t b = 0; b + N < n; b += N) {
        // Suffix extremes of block [b, b + N) for the starts s in (b, b + N) whose
        // window ends inside the series (s + N - 1 < n). The block is whole here.
        const int64_t last = b + N - 1 < n - N ? b + N - 1 : n - N;
        if (last > b) {
            double q = m;
            int64_t s = b + N - 1;
            for (; s > last; --s) q = take_older<Cmp>(q, x[s]);
            for (; s > b; --s) out[s + N - 1] = q = take_older<Cmp>(q, x[s]);
        }
        // Next block: prefix extremes, each combined with the waiting suffix extreme;
        // the window that ends on the block's last bar is the block itself.
        const int64_t nb = b + N;
        const int64_t full = nb + N - 1;
        const int64_t stop = full < n ? full : n;
        p = m;
        for (int64_t e = nb; e < stop; ++e) {
            p = take_newer<Cmp>(p, x[e]);
            out[e] = take_older<Cmp>(p, out[e]);
        }
        if (full < n) out[full] = take_newer<Cmp>(p, x[full]);
    }
}

template <class Cmp>
int32_t fixed(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;
    fixed_window<Cmp>(x, n, N, out);
    return QX_OK;
}

// Per-bar periods: several bars at once, each lane scanning its own window newest first
// exactly as the per-bar scan does (window_a.h); windows of all bars so far are carried.
template <class C>
int32_t per_bar(const double *x, int32_t n, const double *p, int32_t p_n, double *out,
                int32_t out_n) {
    if (int32_t st = qx::check(p_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    qx::lanes::extreme_windows<2, 8, C>(x, n, p, out);
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_llv(int32_t, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n) {
    return fixed<Lowest>(a, n, N, out, out_n);
}

QX_API int32_t vx_hhv(int32_t, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n) {
    return fixed<Highest>(a, n, N, out, out_n);
}

QX_API int32_t vx_llv_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n) {
    return per_bar<qx::lanes::Low>(a, n, N, N_n, out, out_n);
}

QX_API int32_t vx_hhv_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n) {
    return per_bar<qx::lanes::High>(a, n, N, N_n, out, out_n);
}

}  // extern "C"
