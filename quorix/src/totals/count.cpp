// Window counts of true (non-zero) condition values: fixed period with one running
// count (0: cumulative), per-bar period walked afresh.
#include "../core/qx.h"

namespace {

// vx_count's truth: non-zero, and a NaN counts as true (it compares unequal to 0).
inline int32_t true_or_nan(double x) { return x != 0.0 ? 1 : 0; }

// vx_count_a's truth: non-zero and not missing.
inline int64_t true_number(double x) { return (x != 0.0 && x == x) ? 1 : 0; }

}  // namespace

extern "C" {

QX_API int32_t vx_count(int32_t, const double *a, int32_t n, int32_t N, double *out,
                        int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    // The count never exceeds n, so a 32-bit int holds it.
    int32_t c = 0;
    if (N == 0) {
        // Cumulative from bar 0; leading missing values count as true too.
        for (int64_t i = 0; i < n; ++i) {
            c += true_or_nan(a[i]);
            out[i] = static_cast<double>(c);
        }
        return QX_OK;
    }

    const int64_t N64 = N;
    const int64_t s = qx::skip_missing(a, n, out);

    // First window.
    auto take = [&](int64_t i) { c += true_or_nan(a[i]); };
    const int64_t first = qx::warm_up(out, s, N64, n, take);
    if (first >= n) return QX_OK;
    take(first);
    out[first] = static_cast<double>(c);

    for (int64_t i = first + 1; i < n; ++i) {
        c += true_or_nan(a[i]) - true_or_nan(a[i - N64]);
        out[i] = static_cast<double>(c);
    }
    return QX_OK;
}

QX_API int32_t vx_count_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                          double *out, int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    // Counts are whole numbers below 2^31, exact in a double whatever the order of
    // counting, so each window count is a difference of prefix counts. First out[i] =
    // C[i], the number of true values in a[0 .. i]; then, from the newest bar down,
    // out[i] = C[i] - C[i - P], where out[i - P] still holds C[i - P]. A count of 0 comes
    // out as +0.0 (x - x), the same bits as a count converted from an integer. O(n)
    // whatever the periods.
    int64_t c = 0;
    for (int64_t i = 0; i < n; ++i) {
        c += true_number(a[i]);
        out[i] = static_cast<double>(c);
    }
    for (int64_t i = int64_t(n) - 1; i >= 0; --i) {
        int32_t P;
        // Truncation: a period in (-1, 0) becomes 0 and is not negative.
        if (!qx::bar_period(N[i], &P) || P < 0) {
            out[i] = qx::missing();
            continue;
        }
        // 0 means all bars so far (out[i] as it stands); so does a longer window.
        if (P != 0 && P <= i) out[i] = out[i] - out[i - P];
    }
    return QX_OK;
}

}  // extern "C"
