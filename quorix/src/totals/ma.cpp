// Simple moving averages: fixed period with a running total, per-bar period re-summed.
#include "../core/per_bar.h"
#include "../core/qx.h"

namespace {

// vx_ma_a through the lane driver (per_bar.h), which leaves out the bars whose window
// holds a missing input. A NaN total that remains (opposite infinities) makes the bar
// missing, as in the one-bar loop. The divisions run on whole vectors after the sums.
struct MaA {
    template <int W>
    static qx::vec<W> finish(qx::vec<W> acc, qx::vec<W> len) {
        const qx::vec<W> zero = qx::splat<W>(0.0), one = qx::splat<W>(1.0);
        const qx::vec<W> q = acc / (len > zero ? len : one);
        return ((acc == acc) & (len > zero)) ? q : qx::splat<W>(qx::missing());
    }
    // The one-bar loop: summed left to right from +0.0, stopping at a missing input.
    static double bar(const double *a, int64_t i, int64_t P) {
        double total = 0.0;
        int64_t j = i - P + 1;
        for (; j <= i && !qx::is_missing(a[j]); ++j) total += a[j];
        return (j <= i || qx::is_missing(total)) ? qx::missing() : total / static_cast<double>(P);
    }
};

// Built per instruction set for the width of its walks (per_bar.h).
template <qx::Isa I>
int32_t ma_a_body(int32_t, const double *a, int32_t n, const double *N, int32_t N_n, double *out,
                  int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    qx::per_bar::sum_windows<I, MaA>(a, n, N, out);
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_ma_a, ma_a_body);

extern "C" {

QX_API int32_t vx_ma(int32_t ctx, const double *a, int32_t n, int32_t N, double *out,
                     int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N > 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t f = qx::skip_missing(a, n, out);
    if (qx::warm_up(out, f, N, n, [](int64_t) {}) >= n) return QX_OK;

    int64_t s = f + ctxn(ctx, n, N);
    if (s >= n) return QX_OK;
    while (qx::is_missing(a[s])) {
        out[s] = qx::missing();
        if (++s >= n) return QX_OK;
    }

    const double period = static_cast<double>(N);
    double total = 0.0;
    for (int64_t j = s - N + 1; j <= s; ++j) total += a[j];
    out[s] = total / period;
    // Leaving value first, then the entering one: the order fixes the rounding.
    for (int64_t j = s + 1; j < n; ++j) {
        total = (total - a[j - N]) + a[j];
        out[j] = total / period;
    }
    return QX_OK;
}

}  // extern "C"
