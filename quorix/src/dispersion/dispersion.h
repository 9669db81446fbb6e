// Dispersion around the window mean, one frame for the 1-D kernels of STD, STDDEV, STDP,
// AVEDEV (std.cpp) and VAR, VARP, DEVSQ (lang_variances.cpp): leading missing values
// skipped, the mean of each window from a running total carried along the series
// (total / N), the deviations from it summed afresh per window from its oldest bar to
// its newest; then the sum divided by N - 1 or N and its root (STD, STDP), divided
// (AVEDEV, VAR, VARP) or kept (DEVSQ). Private to the library.
//
// The per-window pass runs across bars: lane l of a vector holds the window of bar
// i + l, and at step j every lane adds the deviation of its own j-th bar, so each lane
// sums in exactly the order of a single window and the bits do not change. The running
// total for the means (a serial chain) is carried in order, one group of bars ahead.
#ifndef QUORIX_DISPERSION_H
#define QUORIX_DISPERSION_H

#include "../core/qx.h"

namespace qx {
namespace dispersion {

enum class Kind { sample_sd, population_sd, mean_abs_dev, sample_var, population_var, sum_sq };

constexpr bool sample(Kind K) { return K == Kind::sample_sd || K == Kind::sample_var; }
constexpr bool rooted(Kind K) { return K == Kind::sample_sd || K == Kind::population_sd; }

template <Kind K, class V>
inline V measure(V d) {
    if (K == Kind::mean_abs_dev) return qx::abs(d);
    return d * d;
}
template <Kind K>
inline double measure(double d) {
    if (K == Kind::mean_abs_dev) return std::fabs(d);
    return d * d;
}

// The result from the deviation sum A, one value or a vector of them.
template <Kind K, class T>
inline T result(T A, double divisor) {
    if (K == Kind::sum_sq) return A;
    if (rooted(K)) return qx::root(A / divisor);
    return A / divisor;
}

// Bars per group: U vectors of W lanes. While the second pass of one group runs, the
// running total (a serial chain of additions) steps through the bars of the next
// group, one bar per step of the pass, so the two proceed side by side.
template <Kind K, int W, int U>
struct Frame {
    static constexpr int G = W * U;
    typedef qx::vec<W> V;

    const double *x;
    int64_t N;
    double period, divisor;

    // Bar i of the running total: add the entering value, keep the total of the bar,
    // then let the window's oldest value leave.
    double step(double S, int64_t i, double *total) const {
        S = S + x[i];
        *total = S;
        return S - x[i - N + 1];
    }

    // The running totals of `count` bars in means[] divided by N, in place (lanes give
    // the same quotients as single divisions).
    void divide(double *means, int64_t count) const {
        if (count == G) {
            for (int u = 0; u < U; ++u)
                qx::store(means + u * W, qx::load<W>(means + u * W) / period);
        } else {
            for (int64_t b = 0; b < count; ++b) means[b] = means[b] / period;
        }
    }

    // Second pass of the G bars from i (means[0 .. G) their means). Meanwhile the
    // running total S steps through the next `count` bars (count <= G), whose means
    // go to next[]. Returns S.
    double group(int64_t i, const double *means, double S, int64_t count, double *next,
                 double *out) const {
        V m[U], A[U];
        for (int u = 0; u < U; ++u) {
            m[u] = qx::load<W>(means + u * W);
            A[u] = qx::splat<W>(0.0);
        }
        const double *p = x + (i - N + 1);
        auto pass = [&](int64_t j) {
            for (int u = 0; u < U; ++u) {
                const V v = qx::load<W>(p + j + u * W);
                A[u] = A[u] + measure<K>(v - m[u]);
            }
        };
        const int64_t both = count < N ? count : N;
        int64_t j = 0;
        for (; j < both; ++j) {
            pass(j);
            S = step(S, i + G + j, next + j);
        }
        for (; j < N; ++j) pass(j);
        for (; j < count; ++j) S = step(S, i + G + j, next + j);
        // The next means before this group's results, which queue on the divider.
        divide(next, count);
        for (int u = 0; u < U; ++u) qx::store(out + i + u * W, result<K>(A[u], divisor));
        return S;
    }

    // The windows of fewer than G bars from i, one at a time in the same order.
    void tail(int64_t i, const double *means, int64_t count, double *out) const {
        for (int64_t b = 0; b < count; ++b) {
            const double mb = means[b];
            const double *p = x + (i + b - N + 1);
            double A = 0.0;
            for (int64_t j = 0; j < N; ++j) A = A + measure<K>(p[j] - mb);
            out[i + b] = result<K>(A, divisor);
        }
    }

    // Every bar from `first` on; S holds the first N - 1 values of the first window.
    void run(double S, int64_t first, int64_t n, double *out) const {
        alignas(64) double means[2][G];
        int cur = 0;
        int64_t i = first;
        int64_t count = n - i < G ? n - i : G;
        for (int64_t b = 0; b < count; ++b) S = step(S, i + b, means[cur] + b);
        divide(means[cur], count);
        while (count == G) {
            const int64_t next = i + G;
            const int64_t next_count = n - next < G ? n - next : G;
            S = group(i, means[cur], S, next_count, means[cur ^ 1], out);
            i = next;
            count = next_count;
            cur ^= 1;
        }
        tail(i, means[cur], count, out);
    }
};

// The kernel over x[0 .. n): leading missing values stored as missing, then the first
// N - 1 bars of the first window missing, then one result per bar.
template <Kind K, Isa I>
int32_t kernel(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 1)) return st;
    if (n <= 0) return QX_OK;

    const int64_t s = qx::skip_missing(x, n, out);

    // The first N - 1 values of the first window enter the running total; their bars
    // have no value yet.
    double S = 0.0;
    const int64_t first = qx::warm_up(out, s, N, n, [&](int64_t i) { S = S + x[i]; });
    if (first >= n) return QX_OK;

    if (sample(K) && N == 1) {
        // No spread in a single bar: exactly 0 from s on, whatever x holds there.
        for (int64_t i = s; i < n; ++i) out[i] = 0.0;
        return QX_OK;
    }

    const double period = static_cast<double>(N);
    const double divisor = sample(K) ? static_cast<double>(static_cast<int64_t>(N) - 1) : period;
    const Frame<K, qx::lanes<I>, qx::kChains> frame{x, N, period, divisor};
    frame.run(S, first, n, out);
    return QX_OK;
}

}  // namespace dispersion
}  // namespace qx

#endif
