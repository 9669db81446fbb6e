// Window sums: fixed period with one running total (0: cumulative), per-bar period
// summed afresh.
#include "../core/per_bar.h"
#include "../core/qx.h"

namespace {

// vx_sum_a through the lane driver (per_bar.h), which leaves out the bars whose window
// holds a missing input: a NaN total that remains comes from opposite infinities, and
// the bar keeps it, as the one-bar loop does.
struct SumA {
    template <int W>
    static qx::vec<W> finish(qx::vec<W> acc, qx::vec<W> len) {
        return len > qx::splat<W>(0.0) ? acc : qx::splat<W>(qx::missing());
    }
    // The one-bar loop: summed left to right from +0.0; a missing input spoils the bar,
    // opposite infinities give whatever NaN the arithmetic gives.
    static double bar(const double *a, int64_t i, int64_t P) {
        double acc = 0.0;
        int64_t j = i - P + 1;
        for (; j <= i && !qx::is_missing(a[j]); ++j) acc = acc + a[j];
        return j <= i ? qx::missing() : acc;
    }
};

// Built per instruction set for the width of its walks (per_bar.h).
template <qx::Isa I>
int32_t sum_a_body(int32_t, const double *a, int32_t n, const double *N, int32_t N_n, double *out,
                   int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    qx::per_bar::sum_windows<I, SumA>(a, n, N, out);
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_sum_a, sum_a_body);

extern "C" {

QX_API int32_t vx_sum(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    if (N == 0) {
        // Cumulative sum in which a missing value adds nothing.
        double acc = 0.0;
        for (int64_t i = 0; i < n; ++i) {
            if (!qx::is_missing(a[i])) acc = acc + a[i];
            out[i] = acc;
        }
        return QX_OK;
    }

    const int64_t N64 = N;
    const int64_t s = qx::skip_missing(a, n, out);

    // First window: summed left to right.
    double acc = 0.0;
    auto take = [&](int64_t i) { acc = acc + a[i]; };
    const int64_t first = qx::warm_up(out, s, N64, n, take);
    if (first >= n) return QX_OK;
    take(first);
    out[first] = acc;

    // Leaving value first, then the entering one: the order fixes the rounding.
    for (int64_t i = first + 1; i < n; ++i) {
        acc = (acc - a[i - N64]) + a[i];
        out[i] = acc;
    }
    return QX_OK;
}

}  // extern "C"
