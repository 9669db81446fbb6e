// Plain per-bar references of the kernels, for the sanitizer driver and the fuzzer.
// Each follows the documented algorithm step by step in the same order of operations,
// so numbers must match the kernels bit for bit. A reference is called only for calls
// whose counts agree; it does the period check (2) and the n <= 0 check itself, and
// writes nothing where the kernel must write nothing (the caller fills canaries).
#ifndef QX_NATIVE_REFERENCE_H
#define QX_NATIVE_REFERENCE_H

#include <cmath>
#include <cstdint>

#include "harness.h"

namespace qxref {

using RefFn = int32_t (*)(const Call &c, double *o);

struct Reference {
    const char *name;
    RefFn fn;
    bool exact;  // values are copies or whole counts: compare every bit, NaNs included
    // Scans every window afresh, the windows of the first bars cut to the bars so far:
    // costs about n * min(N, n) even where the kernel costs n.
    bool costly = false;
};

inline double M() { return qxh::from_bits(qxh::kMissingBits); }
inline bool miss(double v) { return v != v; }
inline const double *S(const Call &c, int k) { return static_cast<const double *>(c.in[k]); }
inline const uint8_t *C(const Call &c, int k) { return static_cast<const uint8_t *>(c.in[k]); }

inline int64_t first_valid(const double *a, int64_t n) {
    int64_t f = 0;
    while (f < n && miss(a[f])) ++f;
    return f;
}

// A per-bar period truncated toward zero; false when it is NaN or its truncation lies
// outside the int32 range.
inline bool bar_period(double p, int64_t *P) {
    if (miss(p)) return false;
    const double t = std::trunc(p);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) return false;
    *P = static_cast<int64_t>(t);
    return true;
}

// ---- moving averages ----------------------------------------------------------------

inline int32_t ma(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N <= 0) return 2;
    if (n <= 0) return 0;
    const double *a = S(c, 0);
    const int64_t f = first_valid(a, n);
    for (int64_t i = 0; i < f; ++i) o[i] = M();
    for (int64_t i = f; i <= f + N - 2 && i < n; ++i) o[i] = M();
    if (f + N - 1 >= n) return 0;
    int64_t off = N - 1;
    if (c.ctx < 0) {
        const int64_t tail = n + c.ctx + 1 - N;
        if (tail > off) off = tail;
    }
    if (off > INT32_MAX) off = INT32_MAX;
    if (off < INT32_MIN) off = INT32_MIN;
    int64_t s = f + off;
    if (s >= n) return 0;
    while (miss(a[s])) {
        o[s] = M();
        if (++s >= n) return 0;
    }
    const double Nd = static_cast<double>(N);
    double t = 0.0;
    for (int64_t j = s - N + 1; j <= s; ++j) t = t + a[j];
    o[s] = t / Nd;
    for (int64_t j = s + 1; j < n; ++j) {
        t = (t - a[j - N]) + a[j];
        o[j] = t / Nd;
    }
    return 0;
}

inline int32_t ma_a(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *a = S(c, 0), *p = S(c, 1);
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!bar_period(p[i], &P) || P <= 0 || i < P) {
            o[i] = M();
            continue;
        }
        double t = 0.0;
        bool bad = false;
        for (int64_t j = i - P + 1; j <= i; ++j) {
            if (miss(a[j])) {
                bad = true;
                break;
            }
            t = t + a[j];
        }
        o[i] = (bad || miss(t)) ? M() : t / static_cast<double>(P);
    }
    return 0;
}

// Recursive averages: out[f] = a[f], then prev * keep + input * take per bar.
inline int32_t recursive(const double *a, int64_t n, double keep, double take, double *o) {
    const int64_t f = first_valid(a, n);
    for (int64_t i = 0; i < f; ++i) o[i] = M();
    if (f >= n) return 0;
    o[f] = a[f];
    for (int64_t i = f + 1; i < n; ++i) {
        const double x = keep * o[i - 1];
        const double y = take * a[i];
        o[i] = x + y;
    }
    return 0;
}

inline int32_t ema(const Call &c, double *o) {
    const int64_t N = c.ip[0];
    if (N < 0) return 2;
    if (c.cnt[0] <= 0) return 0;
    const double Nd = static_cast<double>(N);
    return recursive(S(c, 0), c.cnt[0], (Nd + -1.0) / (Nd + 1.0), 2.0 / (Nd + 1.0), o);
}

inline int32_t sma(const Call &c, double *o) {
    const int64_t N = c.ip[0], Mw = c.ip[1];
    if (N < 0) return 2;
    if (c.cnt[0] <= 0) return 0;
    const double Nd = static_cast<double>(N);
    return recursive(S(c, 0), c.cnt[0], static_cast<double>(N - Mw) / Nd,
                     static_cast<double>(Mw) / Nd, o);
}

inline int32_t wma(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N <= 0) return 2;
    if (n <= 0) return 0;
    const double *a = S(c, 0);
    const int64_t f = first_valid(a, n);
    for (int64_t i = 0; i < f; ++i) o[i] = M();
    if (f >= n) return 0;
    const double T = static_cast<double>(N * (N + 1) / 2);
    const double Nd = static_cast<double>(N);
    double W = 0.0, Ssum = 0.0;
    for (int64_t k = 0; k < N; ++k) {
        const int64_t j = f + k;
        if (j >= n) break;
        const double w = a[j] * static_cast<double>(k + 1);
        W = W + w;
        Ssum = Ssum + a[j];
        o[j] = M();
    }
    if (f + N - 1 >= n) return 0;
    o[f + N - 1] = W / T;
    for (int64_t i = f + N; i < n; ++i) {
        const double prevw = T * o[i - 1];
        const double in = Nd * a[i];
        o[i] = ((prevw - Ssum) + in) / T;
        Ssum = (Ssum - a[i - N]) + a[i];
    }
    return 0;
}

inline int32_t dma(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    if (n <= 0) return 0;
    const double *a = S(c, 0), *A = S(c, 1);
    const int64_t f = first_valid(a, n);
    for (int64_t i = 0; i < f; ++i) o[i] = M();
    if (f >= n) return 0;
    o[f] = a[f];
    for (int64_t i = f + 1; i < n; ++i) {
        const double x = o[i - 1] * (1.0 - A[i]);
        const double y = A[i] * a[i];
        o[i] = x + y;
    }
    return 0;
}

// ---- window sums and counts ---------------------------------------------------------

inline int32_t sum(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N < 0) return 2;
    if (n <= 0) return 0;
    const double *x = S(c, 0);
    if (N == 0) {
        double acc = 0.0;
        for (int64_t i = 0; i < n; ++i) {
            if (!miss(x[i])) acc = acc + x[i];
            o[i] = acc;
        }
        return 0;
    }
    const int64_t s = first_valid(x, n);
    for (int64_t i = 0; i < s; ++i) o[i] = M();
    double acc = 0.0;
    for (int64_t k = 0; k < N && s + k < n; ++k) {
        o[s + k] = M();
        acc = acc + x[s + k];
    }
    if (s + N - 1 >= n) return 0;
    o[s + N - 1] = acc;
    for (int64_t i = s + N; i < n; ++i) {
        acc = (acc - x[i - N]) + x[i];
        o[i] = acc;
    }
    return 0;
}

inline int32_t sum_a(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *x = S(c, 0), *p = S(c, 1);
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!bar_period(p[i], &P) || P < 1 || P > i) {
            o[i] = M();
            continue;
        }
        double acc = 0.0;
        bool bad = false;
        for (int64_t j = i - P + 1; j <= i; ++j) {
            if (miss(x[j])) {
                bad = true;
                break;
            }
            acc = acc + x[j];
        }
        o[i] = bad ? M() : acc;
    }
    return 0;
}

inline int32_t count(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N < 0) return 2;
    if (n <= 0) return 0;
    const double *x = S(c, 0);
    auto truth = [](double v) { return v != 0.0 || miss(v); };
    int64_t k = 0;
    if (N == 0) {
        for (int64_t i = 0; i < n; ++i) {
            if (truth(x[i])) ++k;
            o[i] = static_cast<double>(k);
        }
        return 0;
    }
    const int64_t s = first_valid(x, n);
    for (int64_t i = 0; i < s; ++i) o[i] = M();
    for (int64_t j = 0; j < N && s + j < n; ++j) {
        if (truth(x[s + j])) ++k;
        o[s + j] = M();
    }
    if (s + N - 1 >= n) return 0;
    o[s + N - 1] = static_cast<double>(k);
    for (int64_t i = s + N; i < n; ++i) {
        k = k - (truth(x[i - N]) ? 1 : 0) + (truth(x[i]) ? 1 : 0);
        o[i] = static_cast<double>(k);
    }
    return 0;
}

inline int32_t count_a(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *x = S(c, 0), *p = S(c, 1);
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!bar_period(p[i], &P) || P < 0) {
            o[i] = M();
            continue;
        }
        const int64_t L = P == 0 ? i + 1 : (P < i + 1 ? P : i + 1);
        double k = 0.0;
        for (int64_t j = i; j >= i - L + 1; --j)
            if (x[j] != 0.0 && !miss(x[j])) k = k + 1.0;
        o[i] = k;
    }
    return 0;
}

// ---- window extremes ----------------------------------------------------------------

inline double scan(const double *x, int64_t i, int64_t L, bool lowest) {
    double best = M();
    for (int64_t j = i; j >= i - L + 1; --j) {
        if (miss(x[j])) continue;
        if (miss(best) || (lowest ? x[j] < best : x[j] > best)) best = x[j];
    }
    return best;
}

template <bool Lowest>
int32_t extreme(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N < 0) return 2;
    for (int64_t i = 0; i < n; ++i)
        o[i] = scan(S(c, 0), i, N == 0 ? i + 1 : (N < i + 1 ? N : i + 1), Lowest);
    return 0;
}

template <bool Lowest>
int32_t extreme_a(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *p = S(c, 1);
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!bar_period(p[i], &P) || P < 0) {
            o[i] = M();
            continue;
        }
        o[i] = scan(S(c, 0), i, P == 0 ? i + 1 : (P < i + 1 ? P : i + 1), Lowest);
    }
    return 0;
}

// ---- dispersion and slope -----------------------------------------------------------

enum Measure { kStd, kStdp, kAvedev };

template <Measure K>
int32_t dispersion(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N < 1) return 2;
    if (n <= 0) return 0;
    const double *x = S(c, 0);
    const int64_t s = first_valid(x, n);
    for (int64_t i = 0; i < s; ++i) o[i] = M();
    double Ssum = 0.0;
    for (int64_t k = 0; k <= N - 2 && s + k < n; ++k) {
        Ssum = Ssum + x[s + k];
        o[s + k] = M();
    }
    if (s + N - 1 >= n) return 0;
    const double Nd = static_cast<double>(N);
    for (int64_t i = s + N - 1; i < n; ++i) {
        const int64_t w = i - N + 1;
        Ssum = Ssum + x[i];
        const double m = Ssum / Nd;
        double A = 0.0;
        for (int64_t j = w; j <= i; ++j) {
            const double d = x[j] - m;
            A = A + (K == kAvedev ? std::fabs(d) : d * d);
        }
        if (K == kStd)
            o[i] = N == 1 ? 0.0 : std::sqrt(A / static_cast<double>(N - 1));
        else if (K == kStdp)
            o[i] = std::sqrt(A / Nd);
        else
            o[i] = A / Nd;
        Ssum = Ssum - x[w];
    }
    return 0;
}

inline int32_t slope(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N < 0) return 2;
    if (n <= 0) return 0;
    const double *Y = S(c, 0);
    if (N == 0) {
        for (int64_t i = 0; i < n; ++i) o[i] = 1.0;
        return 0;
    }
    for (int64_t i = 0; i < (N < n ? N : n); ++i) o[i] = M();
    if (N > n) return 0;
    const __int128 N128 = N;
    const double Sx = static_cast<double>(N128 * (N128 - 1) / 2);
    const double Sxx = static_cast<double>(N128 * (N128 - 1) * (2 * N128 - 1) / 6);
    const double Nd = static_cast<double>(N);
    const double D = Nd * Sxx - Sx * Sx;
    for (int64_t i = N - 1; i < n; ++i) {
        double Sy = 0.0, Sxy = 0.0;
        for (int64_t k = 0; k < N; ++k) {
            const double y = Y[i - N + 1 + k];
            Sxy = Sxy + y * static_cast<double>(k);
            Sy = Sy + y;
        }
        const double u = Sxy * Nd;
        const double v = Sy * Sx;
        o[i] = (u - v) / D;
    }
    return 0;
}

// ---- references, signals, counters --------------------------------------------------

inline int32_t ref(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    for (int64_t i = 0; i < n; ++i) {
        const int64_t j = i - N;
        o[i] = (j >= 0 && j < n) ? S(c, 0)[j] : M();
    }
    return 0;
}

inline int32_t ref_a(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *p = S(c, 1);
    for (int64_t i = 0; i < n; ++i) {
        int64_t k;
        if (!bar_period(p[i], &k)) {
            // NaN, or an offset beyond int32 that names no bar of the series.
            o[i] = M();
            continue;
        }
        const int64_t j = i - k;
        o[i] = (j >= 0 && j < n) ? S(c, 0)[j] : M();
    }
    return 0;
}

inline int32_t refif(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *x = S(c, 0), *cond = S(c, 1), *v = S(c, 2);
    double held = M();
    for (int64_t i = 0; i < n; ++i) {
        o[i] = miss(held) ? v[i] : held;
        if (cond[i] != 0.0 || miss(cond[i])) held = x[i];
    }
    return 0;
}

inline int32_t refxv(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    const double *x = S(c, 0);
    for (int64_t i = 0; i < n; ++i) {
        const int64_t j = i + N;
        o[i] = (j >= 0 && j < n) ? x[j] : x[i];
    }
    return 0;
}

inline int32_t cross(const Call &c, double *o) {
    const int64_t n = c.cnt[0];
    const double *x = S(c, 0), *y = S(c, 1);
    for (int64_t i = 1; i < n; ++i) o[i] = (y[i - 1] > x[i - 1] && x[i] > y[i]) ? 1.0 : 0.0;
    return 0;
}

inline int32_t fif(const Call &c, double *o) {
    for (int64_t i = 0; i < c.cnt[0]; ++i) o[i] = C(c, 0)[i] != 0 ? S(c, 1)[i] : S(c, 2)[i];
    return 0;
}

inline int32_t filter(const Call &c, double *o) {
    const int64_t n = c.cnt[0], N = c.ip[0];
    if (N < 0) return 2;
    const double *x = S(c, 0);
    const int64_t W = N == 0 ? n : N;
    int64_t i = 0;
    while (i < n) {
        o[i] = x[i];
        if (x[i] != 0.0 && !miss(x[i])) {
            for (int64_t j = i + 1; j <= i + W - 1 && j < n; ++j) o[j] = 0.0;
            i = i + W;
        } else {
            i = i + 1;
        }
    }
    return 0;
}

inline int32_t barsince(const Call &c, double *o) {
    const uint8_t *x = C(c, 0);
    int64_t f = -1;
    for (int64_t i = 0; i < c.cnt[0]; ++i) {
        if (f < 0 && x[i] != 0) f = i;
        o[i] = f < 0 ? 0.0 : static_cast<double>(i - f + 1);
    }
    return 0;
}

// Searches back from every bar for the latest true bar.
inline int32_t barslast(const Call &c, double *o) {
    const uint8_t *x = C(c, 0);
    for (int64_t i = 0; i < c.cnt[0]; ++i) {
        int64_t j = i;
        while (j >= 0 && x[j] == 0) --j;
        o[i] = j < 0 ? 0.0 : static_cast<double>(i - j + 1);
    }
    return 0;
}

inline int32_t currbarscount(const Call &c, double *o) {
    for (int64_t i = 0; i < c.cnt[0]; ++i) o[i] = static_cast<double>(i);
    return 0;
}

inline int32_t backcount(const Call &c, double *o) {
    const uint8_t *x = C(c, 0);
    for (int64_t i = 0; i < c.cnt[0]; ++i) o[i] = x[i] == 0 ? 0.0 : (i == 0 ? 1.0 : o[i - 1] + 1.0);
    return 0;
}

inline const Reference kReferences[] = {
    {"vx_ma", ma, false},
    {"vx_ma_a", ma_a, false},
    {"vx_ema", ema, false},
    {"vx_sma", sma, false},
    {"vx_wma", wma, false},
    {"vx_dma", dma, false},
    {"vx_sum", sum, false},
    {"vx_sum_a", sum_a, false},
    {"vx_count", count, true},
    {"vx_count_a", count_a, true},
    {"vx_llv", extreme<true>, true, true},
    {"vx_hhv", extreme<false>, true, true},
    {"vx_llv_a", extreme_a<true>, true},
    {"vx_hhv_a", extreme_a<false>, true},
    {"vx_std", dispersion<kStd>, false},
    {"vx_stddev", dispersion<kStdp>, false},
    {"vx_stdp", dispersion<kStdp>, false},
    {"vx_avedev", dispersion<kAvedev>, false},
    {"vx_slope", slope, false},
    {"vx_ref", ref, true},
    {"vx_ref_a", ref_a, true},
    {"vx_refif", refif, true},
    {"vx_refxv", refxv, true},
    {"vx_cross", cross, true},
    {"vx_fif", fif, true},
    {"vx_filter", filter, true},
    {"vx_barsince", barsince, true},
    {"vx_barlast", barslast, true},
    {"vx_barslast", barslast, true},
    {"vx_currbarscount", currbarscount, true},
    {"vx_backcount", backcount, true},
};

inline const Reference *find(const char *name) {
    for (const Reference &r : kReferences)
        if (std::strcmp(r.name, name) == 0) return &r;
    return nullptr;
}

// Only vx_ma reads the context argument; every other kernel must ignore it.
inline bool reads_ctx(const char *name) { return std::strcmp(name, "vx_ma") == 0; }

}  // namespace qxref

#endif
