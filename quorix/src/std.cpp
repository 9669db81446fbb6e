// Dispersion around the window mean: sample and population standard deviation and
// mean absolute deviation. One frame for all four: the mean of each window comes from
// a running total carried along the series, the deviations are summed afresh per
// window from its oldest bar to its newest.
#include <cmath>

#include "common.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The square root instruction itself (correctly rounded), without the errno path
// through the C library that std::sqrt keeps for NaN and negative arguments.
inline double root(double v) {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(v)));
#else
    return std::sqrt(v);
#endif
}

enum class Kind { sample_sd, population_sd, mean_abs_dev };

template <Kind K>
inline double measure(double d) {
    if (K == Kind::mean_abs_dev) return std::fabs(d);
    return d * d;
}

template <Kind K>
int32_t dispersion(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 1)) return st;
    if (n <= 0) return QX_OK;

    const int64_t s = qx::first_valid(x, n);
    qx::fill_missing(out, 0, s, n);

    // The first N - 1 values of the first window enter the running total; their bars
    // have no value yet.
    double S = 0.0;
    const int64_t first = s + N - 1;  // exact: no wrap for N near INT32_MAX
    const int64_t warm_end = first < n ? first : n;
    for (int64_t i = s; i < warm_end; ++i) {
        S = S + x[i];
        out[i] = qx::missing();
    }
    if (first >= n) return QX_OK;

    if (K == Kind::sample_sd && N == 1) {
        // No spread in a single bar: exactly 0 from s on, whatever x holds there.
        for (int64_t i = s; i < n; ++i) out[i] = 0.0;
        return QX_OK;
    }

    const double period = static_cast<double>(N);
    const double divisor =
        K == Kind::sample_sd ? static_cast<double>(static_cast<int64_t>(N) - 1) : period;
    for (int64_t i = first; i < n; ++i) {
        const int64_t w = i - N + 1;
        S = S + x[i];
        const double m = S / period;
        double A = 0.0;
        for (int64_t j = w; j <= i; ++j) A = A + measure<K>(x[j] - m);
        out[i] = K == Kind::mean_abs_dev ? A / divisor : root(A / divisor);
        // Leaves after the bar: the running total is never re-summed.
        S = S - x[w];
    }
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_std(int32_t, const double *a, int32_t n, int32_t N, double *out,
                      int32_t out_n) {
    return dispersion<Kind::sample_sd>(a, n, N, out, out_n);
}

QX_API int32_t vx_stddev(int32_t, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n) {
    return dispersion<Kind::population_sd>(a, n, N, out, out_n);
}

QX_API int32_t vx_stdp(int32_t, const double *a, int32_t n, int32_t N, double *out,
                       int32_t out_n) {
    return dispersion<Kind::population_sd>(a, n, N, out, out_n);
}

QX_API int32_t vx_avedev(int32_t, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n) {
    return dispersion<Kind::mean_abs_dev>(a, n, N, out, out_n);
}

}  // extern "C"
