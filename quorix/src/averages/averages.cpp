// Recursive and weighted averages: each bar is built from the previous output and the
// current input, after the leading missing values are skipped.
#include "../core/qx.h"

namespace {

// out[f] = a[f] and every later bar prev * w_prev + a[i] * w_in, with constant weights.
// The previous output is carried in a register; it holds the bits just stored.
inline void recurse(const double *a, int64_t f, int64_t n, double w_prev, double w_in,
                    double *out) {
    double prev = a[f];
    out[f] = prev;
    for (int64_t i = f + 1; i < n; ++i) {
        // The input product is off the dependency chain; each product is rounded
        // before the sum.
        const double in = w_in * a[i];
        prev = w_prev * prev + in;
        out[i] = prev;
    }
}

}  // namespace

extern "C" {

QX_API int32_t vx_ema(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t f = qx::skip_missing(a, n, out);
    if (f >= n) return QX_OK;

    // N = 0 gives alpha = 2, beta = -1; N = 1 gives alpha = 1, beta = 0.
    const double Nd = static_cast<double>(N);
    const double beta = (Nd + -1.0) / (Nd + 1.0);
    const double alpha = 2.0 / (Nd + 1.0);
    recurse(a, f, n, beta, alpha, out);
    return QX_OK;
}

QX_API int32_t vx_sma(int32_t, const double *a, int32_t n, int32_t N, int32_t M, double *out,
                      int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t f = qx::skip_missing(a, n, out);
    if (f >= n) return QX_OK;

    // N - M in 64 bits: it spans up to 2^32 - 1 and is exact as a double. M is not
    // checked; N = 0 gives the IEEE quotients of division by zero.
    const double Nd = static_cast<double>(N);
    const double g = static_cast<double>(static_cast<int64_t>(N) - M) / Nd;
    const double h = static_cast<double>(M) / Nd;
    recurse(a, f, n, g, h, out);
    return QX_OK;
}

QX_API int32_t vx_wma(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N > 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t f = qx::skip_missing(a, n, out);
    if (f >= n) return QX_OK;

    // Sum of the weights 1 .. N, exact in 64 bits (below 2^62), then rounded once.
    const int64_t N64 = N;
    const double T = static_cast<double>(N64 * (N64 + 1) / 2);
    const double Nd = static_cast<double>(N);

    // First window, oldest bar weight 1.
    double W = 0.0, S = 0.0;
    auto take = [&](int64_t j) {
        W = W + a[j] * static_cast<double>(j - f + 1);
        S = S + a[j];
    };
    const int64_t first = qx::warm_up(out, f, N64, n, take);
    if (first >= n) return QX_OK;
    take(first);

    double prev = W / T;
    out[first] = prev;
    // The old weighted sum is taken back from the stored output (T * prev), not
    // carried on its own: that is what fixes the last bits.
    for (int64_t i = first + 1; i < n; ++i) {
        const double in = Nd * a[i];
        prev = ((T * prev - S) + in) / T;
        out[i] = prev;
        S = (S - a[i - N64]) + a[i];
    }
    return QX_OK;
}

QX_API int32_t vx_dma(int32_t, const double *a, int32_t n, const double *A, int32_t A_n,
                      double *out, int32_t out_n) {
    if (int32_t st = qx::check(A_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    const int64_t f = qx::skip_missing(a, n, out);
    if (f >= n) return QX_OK;

    // Weights up to A[f] are never read; a weight outside 0 .. 1 is used as it is.
    double prev = a[f];
    out[f] = prev;
    for (int64_t i = f + 1; i < n; ++i) {
        const double w = A[i];
        const double keep = 1.0 - w;
        const double in = w * a[i];
        prev = prev * keep + in;
        out[i] = prev;
    }
    return QX_OK;
}

}  // extern "C"
