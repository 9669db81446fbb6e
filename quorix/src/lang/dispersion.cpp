// Variances over N bars in the frame of vx_std: leading missing values skipped, the
// mean S / N from one running total, the squared deviations from it summed afresh
// from the window's oldest bar to its newest. So SQRT(VAR) is STD and SQRT(VARP) is
// STDP, bit for bit.
#include "../qx.h"
#include "quorix_lang.h"

namespace {

enum class Measure { Sample, Population, Sum };

template <Measure M>
int32_t variance(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 1)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n, w = N;
    const int64_t s = qx::first_valid(x, len);
    qx::fill_missing(out, 0, s, len);
    double S = 0.0;
    for (int64_t k = 0; k < w - 1 && s + k < len; ++k) {
        S = S + x[s + k];
        out[s + k] = qx::missing();
    }
    if (s + w - 1 >= len) return QX_OK;

    const double Nd = static_cast<double>(N);
    const double divisor = M == Measure::Sample ? static_cast<double>(N - 1) : Nd;
    for (int64_t i = s + w - 1; i < len; ++i) {
        const int64_t start = i - w + 1;
        S = S + x[i];
        const double m = S / Nd;
        double A = 0.0;
        for (int64_t j = start; j <= i; ++j) {
            const double d = x[j] - m;
            A = A + d * d;
        }
        if (M == Measure::Sum)
            out[i] = A;
        else if (M == Measure::Sample && N == 1)
            out[i] = 0.0;  // as vx_std: one bar has no spread, whatever it holds
        else
            out[i] = A / divisor;
        S = S - x[start];
    }
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_var(int32_t, const double *X, int32_t n, int32_t N, double *out, int32_t out_n) {
    return variance<Measure::Sample>(X, n, N, out, out_n);
}

QX_API int32_t vx_varp(int32_t, const double *X, int32_t n, int32_t N, double *out, int32_t out_n) {
    return variance<Measure::Population>(X, n, N, out, out_n);
}

QX_API int32_t vx_devsq(int32_t, const double *X, int32_t n, int32_t N, double *out,
                        int32_t out_n) {
    return variance<Measure::Sum>(X, n, N, out, out_n);
}

}  // extern "C"
