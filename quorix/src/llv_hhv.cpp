// Window extremes: lowest / highest non-missing value of the last bars, with a fixed
// period or a period read per bar. Values are copied unchanged; among equal extremes
// the newest bar wins (visible only as -0.0 against +0.0).
#include "common.h"

namespace {

struct Lowest {
    static bool better(double v, double best) { return v < best; }
};
struct Highest {
    static bool better(double v, double best) { return v > best; }
};

// Extreme of the non-missing values of x[i - L + 1 .. i], walked newest first and
// replaced only by a strictly better value; missing when the window holds none.
template <class Cmp>
inline double window_extreme(const double *x, int64_t i, int64_t L) {
    double best = qx::missing();
    for (int64_t j = i; j > i - L; --j) {
        const double v = x[j];
        if (qx::is_missing(v)) continue;
        if (qx::is_missing(best) || Cmp::better(v, best)) best = v;
    }
    return best;
}

// Window length of bar i for period P >= 0: all bars so far when P = 0, else cut to them.
inline int64_t window_length(int64_t P, int64_t i) { return (P == 0 || P > i + 1) ? i + 1 : P; }

// The scan shared by all four kernels; length(i) gives the window length of bar i,
// or -1 when the bar has no valid period.
template <class Cmp, class Length>
void scan(const double *x, int64_t n, Length length, double *out) {
    for (int64_t i = 0; i < n; ++i) {
        const int64_t L = length(i);
        out[i] = L < 0 ? qx::missing() : window_extreme<Cmp>(x, i, L);
    }
}

template <class Cmp>
int32_t fixed(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;
    scan<Cmp>(x, n, [N](int64_t i) { return window_length(N, i); }, out);
    return QX_OK;
}

template <class Cmp>
int32_t per_bar(const double *x, int32_t n, const double *p, int32_t p_n, double *out,
                int32_t out_n) {
    if (int32_t st = qx::check(p_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    auto length = [p](int64_t i) -> int64_t {
        int32_t P;
        if (!qx::bar_period(p[i], &P) || P < 0) return -1;
        return window_length(P, i);
    };
    scan<Cmp>(x, n, length, out);
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
    return per_bar<Lowest>(a, n, N, N_n, out, out_n);
}

QX_API int32_t vx_hhv_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n) {
    return per_bar<Highest>(a, n, N, N_n, out, out_n);
}

}  // extern "C"
