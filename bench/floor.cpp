// Floor loops for the benchmark: for every kernel, the plain C++ loop of the same
// dependency chain (same operations in the same order), without the contract's edge
// work (count and period checks, leading missing values, bounds for extreme periods).
// Each has the signature of its kernel, so one native timing loop times both through
// a function pointer, and neither can be inlined into the loop.
//
// Built with the kernels' flags (-O3 -ffp-contract=off -fno-fast-math). The one-pass
// floors are written for speed as plain C++ would be (no intrinsics): both values
// loaded for a select, a condition that updates a carried value applied as a mask so
// that random conditions cost no branch mispredictions, 32-bit indices where a
// conversion should vectorise; the rest is left to the optimiser. The per-window floors (window
// extremes scanned per bar, the per-bar period kernels, dispersion and slope) are the
// scalar reference loop: vectorisation is switched off for them, because the figure
// they serve is "so many times faster than the scalar per-window loop".
//
// Not part of the library: nothing here is exported from quorix. The kernels' types
// come from the function table; the kernels themselves are the installed module's,
// passed in by address, so the table's references to them are weak here and left
// unresolved.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <tuple>

#include "quorix.h"

#define FL_PRAGMA_(x) _Pragma(#x)
#define QX_FUNCTION(NAME, kernel, ...) FL_PRAGMA_(weak kernel)
#define QX_EXTRA(...)
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION

#include "quorix_table.h"

#define FL_API extern "C" __attribute__((visibility("default")))

#if defined(__clang__)
#define FL_SCALAR
#define FL_NOVEC _Pragma("clang loop vectorize(disable) interleave(disable)")
#elif defined(__GNUC__)
#define FL_SCALAR __attribute__((optimize("no-tree-vectorize")))
#define FL_NOVEC
#else
#define FL_SCALAR
#define FL_NOVEC
#endif

namespace {

inline double nan_value() {
    const uint64_t bits = 0x7ff8000000000000ULL;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline int64_t lesser(int64_t a, int64_t b) { return a < b ? a : b; }

inline int64_t first_valid(const double *a, int64_t n) {
    int64_t i = 0;
    while (i < n && a[i] != a[i]) ++i;
    return i;
}

// Per-bar period, truncated, with the range tested first; false when it names none.
inline bool period_of(double p, int64_t *out) {
    if (!(p > -2147483649.0 && p < 2147483648.0)) return false;
    *out = static_cast<int64_t>(static_cast<int32_t>(p));
    return true;
}

// Running window total, leaving value subtracted first; divide > 0 divides by N.
template <bool Divide>
inline void running_total(const double *a, int64_t n, int64_t N, double *out) {
    const double Nd = static_cast<double>(N);
    const int64_t w = lesser(N, n);
    double t = 0.0;
    for (int64_t i = 0; i < w; ++i) {
        t = t + a[i];
        out[i] = nan_value();
    }
    if (N > n) return;
    out[N - 1] = Divide ? t / Nd : t;
    for (int64_t i = N; i < n; ++i) {
        t = (t - a[i - N]) + a[i];
        out[i] = Divide ? t / Nd : t;
    }
}

// out[0] = a[0], then prev * w_prev + a[i] * w_in.
inline void recurrence(const double *a, int64_t n, double w_prev, double w_in, double *out) {
    double prev = a[0];
    out[0] = prev;
    for (int64_t i = 1; i < n; ++i) {
        prev = w_prev * prev + w_in * a[i];
        out[i] = prev;
    }
}

struct Low {
    static bool better(double v, double best) { return v < best; }
};
struct High {
    static bool better(double v, double best) { return v > best; }
};

// Newest bar first, NaN skipped, an older value taken only when strictly better. The
// comparison is written as a select (one min/max instruction), so random data costs
// no mispredicted branches; only the rare missing value branches.
template <class C>
FL_SCALAR inline double scan(const double *a, int64_t i, int64_t L) {
    double best = nan_value();
    FL_NOVEC
    for (int64_t j = i; j > i - L; --j) {
        const double v = a[j];
        if (v != v) continue;
        best = best != best ? v : (C::better(v, best) ? v : best);
    }
    return best;
}

enum class Disp { sample_sd, population_sd, mean_abs_dev };

// Mean from a running total, deviations summed afresh per window, oldest bar first.
template <Disp K>
FL_SCALAR void dispersion(const double *a, int64_t n, int64_t N, double *out) {
    const int64_t s = first_valid(a, n);
    for (int64_t i = 0; i < s; ++i) out[i] = nan_value();
    double S = 0.0;
    const int64_t first = s + N - 1;
    for (int64_t i = s; i < lesser(first, n); ++i) {
        S = S + a[i];
        out[i] = nan_value();
    }
    if (first >= n) return;
    const double Nd = static_cast<double>(N);
    const double div = K == Disp::sample_sd ? static_cast<double>(N - 1) : Nd;
    for (int64_t i = first; i < n; ++i) {
        const int64_t w = i - N + 1;
        S = S + a[i];
        const double m = S / Nd;
        double A = 0.0;
        FL_NOVEC
        for (int64_t j = w; j <= i; ++j) {
            const double d = a[j] - m;
            A = A + (K == Disp::mean_abs_dev ? std::fabs(d) : d * d);
        }
        if (K == Disp::mean_abs_dev)
            out[i] = A / div;
        else if (K == Disp::sample_sd && N == 1)
            out[i] = 0.0;
        else
            out[i] = std::sqrt(A / div);
        S = S - a[w];
    }
}

}  // namespace

// ---- one-pass chains ------------------------------------------------------------

FL_API int32_t fl_ma(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    running_total<true>(a, n, N, out);
    return 0;
}

FL_API int32_t fl_sum(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    running_total<false>(a, n, N, out);
    return 0;
}

FL_API int32_t fl_count(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    const int64_t w = lesser(N, n);
    int32_t c = 0;
    for (int64_t i = 0; i < w; ++i) {
        c += a[i] != 0.0;
        out[i] = nan_value();
    }
    if (N > n) return 0;
    out[N - 1] = c;
    for (int64_t i = N; i < n; ++i) {
        c += (a[i] != 0.0) - (a[i - N] != 0.0);
        out[i] = c;
    }
    return 0;
}

FL_API int32_t fl_ema(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    const double Nd = N;
    recurrence(a, n, (Nd + -1.0) / (Nd + 1.0), 2.0 / (Nd + 1.0), out);
    return 0;
}

FL_API int32_t fl_sma(int32_t, const double *a, int32_t n, int32_t N, int32_t M, double *out,
                      int32_t) {
    const double Nd = N;
    recurrence(a, n, static_cast<double>(int64_t{N} - M) / Nd, static_cast<double>(M) / Nd, out);
    return 0;
}

FL_API int32_t fl_wma(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    const double T = static_cast<double>(int64_t{N} * (int64_t{N} + 1) / 2);
    const double Nd = N;
    const int64_t w = lesser(N, n);
    double W = 0.0, S = 0.0;
    for (int64_t j = 0; j < w; ++j) {
        W = W + a[j] * static_cast<double>(j + 1);
        S = S + a[j];
        out[j] = nan_value();
    }
    if (N > n) return 0;
    double prev = W / T;
    out[N - 1] = prev;
    for (int64_t i = N; i < n; ++i) {
        prev = ((T * prev - S) + Nd * a[i]) / T;
        out[i] = prev;
        S = (S - a[i - N]) + a[i];
    }
    return 0;
}

FL_API int32_t fl_dma(int32_t, const double *a, int32_t n, const double *A, int32_t, double *out,
                      int32_t) {
    double prev = a[0];
    out[0] = prev;
    for (int64_t i = 1; i < n; ++i) {
        prev = prev * (1.0 - A[i]) + A[i] * a[i];
        out[i] = prev;
    }
    return 0;
}

FL_API int32_t fl_ref(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    // A shifted copy with the missing value where the bar does not exist.
    const int64_t k = N < 0 ? -int64_t{N} : N;
    const int64_t m = lesser(k, n);
    if (N >= 0) {
        for (int64_t i = 0; i < m; ++i) out[i] = nan_value();
        for (int64_t i = m; i < n; ++i) out[i] = a[i - m];
    } else {
        for (int64_t i = 0; i < n - m; ++i) out[i] = a[i + m];
        for (int64_t i = n - m; i < n; ++i) out[i] = nan_value();
    }
    return 0;
}

FL_API int32_t fl_refxv(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    // A shifted copy keeping the bar's own value where the bar does not exist.
    const int64_t k = N < 0 ? -int64_t{N} : N;
    const int64_t m = lesser(k, n);
    if (N >= 0) {
        for (int64_t i = 0; i < n - m; ++i) out[i] = a[i + m];
        for (int64_t i = n - m; i < n; ++i) out[i] = a[i];
    } else {
        for (int64_t i = 0; i < m; ++i) out[i] = a[i];
        for (int64_t i = m; i < n; ++i) out[i] = a[i - m];
    }
    return 0;
}

FL_API int32_t fl_refif(int32_t, const double *x, int32_t n, const double *c, int32_t,
                        const double *v, int32_t, double *out, int32_t) {
    double held = nan_value();
    for (int64_t i = 0; i < n; ++i) {
        out[i] = held != held ? v[i] : held;
        if (c[i] != 0.0) held = x[i];
    }
    return 0;
}

FL_API int32_t fl_cross(int32_t, const double *x, int32_t n, const double *y, int32_t, double *out,
                        int32_t) {
    for (int64_t i = 1; i < n; ++i) out[i] = ((y[i - 1] > x[i - 1]) & (x[i] > y[i])) ? 1.0 : 0.0;
    return 0;
}

FL_API int32_t fl_fif(int32_t, const uint8_t *c, int32_t n, const double *a, int32_t,
                      const double *b, int32_t, double *out, int32_t) {
    for (int64_t i = 0; i < n; ++i) {
        const double av = a[i], bv = b[i];
        out[i] = c[i] ? av : bv;
    }
    return 0;
}

FL_API int32_t fl_filter(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t) {
    const int64_t W = N == 0 ? n : N;
    int64_t i = 0;
    while (i < n) {
        out[i] = a[i];
        if (a[i] != 0.0 && a[i] == a[i]) {
            const int64_t end = lesser(i + W, n);
            for (int64_t j = i + 1; j < end; ++j) out[j] = 0.0;
            i = end;
        } else {
            ++i;
        }
    }
    return 0;
}

FL_API int32_t fl_barsince(int32_t, const uint8_t *c, int32_t n, double *out, int32_t) {
    int32_t i = 0;
    for (; i < n && !c[i]; ++i) out[i] = 0.0;
    const int32_t before = i - 1;
    for (; i < n; ++i) out[i] = static_cast<double>(i - before);
    return 0;
}

FL_API int32_t fl_barslast(int32_t, const uint8_t *c, int32_t n, double *out, int32_t) {
    int64_t i = 0;
    for (; i < n && !c[i]; ++i) out[i] = 0.0;
    int64_t last = i;
    for (; i < n; ++i) {
        const int64_t m = -static_cast<int64_t>(c[i] != 0);  // all ones on a true bar
        last = (i & m) | (last & ~m);
        out[i] = static_cast<double>(i - last + 1);
    }
    return 0;
}

FL_API int32_t fl_barlast(int32_t ctx, const uint8_t *c, int32_t n, double *out, int32_t out_n) {
    return fl_barslast(ctx, c, n, out, out_n);
}

FL_API int32_t fl_backcount(int32_t, const uint8_t *c, int32_t n, double *out, int32_t) {
    int64_t run = 0;
    for (int64_t i = 0; i < n; ++i) {
        run = (run + 1) & -static_cast<int64_t>(c[i] != 0);
        out[i] = static_cast<double>(run);
    }
    return 0;
}

FL_API int32_t fl_currbarscount(int32_t, const double *, int32_t n, double *out, int32_t) {
    for (int32_t i = 0; i < n; ++i) out[i] = static_cast<double>(i);
    return 0;
}

// ---- window extremes: the per-bar scan ------------------------------------------

FL_API FL_SCALAR int32_t fl_llv(int32_t, const double *a, int32_t n, int32_t N, double *out,
                                int32_t) {
    for (int64_t i = 0; i < n; ++i) out[i] = scan<Low>(a, i, N == 0 ? i + 1 : lesser(N, i + 1));
    return 0;
}

FL_API FL_SCALAR int32_t fl_hhv(int32_t, const double *a, int32_t n, int32_t N, double *out,
                                int32_t) {
    for (int64_t i = 0; i < n; ++i) out[i] = scan<High>(a, i, N == 0 ? i + 1 : lesser(N, i + 1));
    return 0;
}

// ---- per-bar periods: the scalar per-window loop --------------------------------

FL_API FL_SCALAR int32_t fl_ma_a(int32_t, const double *a, int32_t n, const double *p, int32_t,
                                 double *out, int32_t) {
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!period_of(p[i], &P) || P <= 0 || i < P) {
            out[i] = nan_value();
            continue;
        }
        double t = 0.0;
        int64_t j = i - P + 1;
        FL_NOVEC
        for (; j <= i && a[j] == a[j]; ++j) t = t + a[j];
        out[i] = (j <= i || t != t) ? nan_value() : t / static_cast<double>(P);
    }
    return 0;
}

FL_API FL_SCALAR int32_t fl_sum_a(int32_t, const double *a, int32_t n, const double *p, int32_t,
                                  double *out, int32_t) {
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!period_of(p[i], &P) || P < 1 || P > i) {
            out[i] = nan_value();
            continue;
        }
        double t = 0.0;
        int64_t j = i - P + 1;
        FL_NOVEC
        for (; j <= i && a[j] == a[j]; ++j) t = t + a[j];
        out[i] = j <= i ? nan_value() : t;
    }
    return 0;
}

FL_API FL_SCALAR int32_t fl_count_a(int32_t, const double *a, int32_t n, const double *p, int32_t,
                                    double *out, int32_t) {
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!period_of(p[i], &P) || P < 0) {
            out[i] = nan_value();
            continue;
        }
        const int64_t L = (P == 0 || P > i) ? i + 1 : P;
        int64_t c = 0;
        FL_NOVEC
        for (int64_t j = i; j > i - L; --j) c += (a[j] != 0.0 && a[j] == a[j]);
        out[i] = static_cast<double>(c);
    }
    return 0;
}

template <class C>
FL_SCALAR static void extremes_a(const double *a, int64_t n, const double *p, double *out) {
    for (int64_t i = 0; i < n; ++i) {
        int64_t P;
        if (!period_of(p[i], &P) || P < 0) {
            out[i] = nan_value();
            continue;
        }
        out[i] = scan<C>(a, i, (P == 0 || P > i + 1) ? i + 1 : P);
    }
}

FL_API FL_SCALAR int32_t fl_llv_a(int32_t, const double *a, int32_t n, const double *p, int32_t,
                                  double *out, int32_t) {
    extremes_a<Low>(a, n, p, out);
    return 0;
}

FL_API FL_SCALAR int32_t fl_hhv_a(int32_t, const double *a, int32_t n, const double *p, int32_t,
                                  double *out, int32_t) {
    extremes_a<High>(a, n, p, out);
    return 0;
}

FL_API FL_SCALAR int32_t fl_ref_a(int32_t, const double *a, int32_t n, const double *p, int32_t,
                                  double *out, int32_t) {
    for (int64_t i = 0; i < n; ++i) {
        int64_t k;
        const int64_t j = period_of(p[i], &k) ? i - k : -1;
        out[i] = (j >= 0 && j < n) ? a[j] : nan_value();
    }
    return 0;
}

// ---- dispersion and slope: the scalar per-window loop ---------------------------

FL_API FL_SCALAR int32_t fl_std(int32_t, const double *a, int32_t n, int32_t N, double *out,
                                int32_t) {
    dispersion<Disp::sample_sd>(a, n, N, out);
    return 0;
}

FL_API FL_SCALAR int32_t fl_stddev(int32_t, const double *a, int32_t n, int32_t N, double *out,
                                   int32_t) {
    dispersion<Disp::population_sd>(a, n, N, out);
    return 0;
}

FL_API FL_SCALAR int32_t fl_stdp(int32_t, const double *a, int32_t n, int32_t N, double *out,
                                 int32_t) {
    dispersion<Disp::population_sd>(a, n, N, out);
    return 0;
}

FL_API FL_SCALAR int32_t fl_avedev(int32_t, const double *a, int32_t n, int32_t N, double *out,
                                   int32_t) {
    dispersion<Disp::mean_abs_dev>(a, n, N, out);
    return 0;
}

FL_API FL_SCALAR int32_t fl_slope(int32_t, const double *Y, int32_t n, int32_t N, double *out,
                                  int32_t) {
    if (N == 0) {
        for (int64_t i = 0; i < n; ++i) out[i] = 1.0;
        return 0;
    }
    for (int64_t i = 0; i < lesser(int64_t{N} - 1, n); ++i) out[i] = nan_value();
    if (N > n) return 0;
    // Exact for the periods a benchmark uses (N(N-1)(2N-1) well below 2^63).
    const int64_t N64 = N;
    const double Sx = static_cast<double>(N64 * (N64 - 1) / 2);
    const double Sxx = static_cast<double>(N64 * (N64 - 1) * (2 * N64 - 1) / 6);
    const double Nd = N;
    const double D = Nd * Sxx - Sx * Sx;
    for (int64_t i = N64 - 1; i < n; ++i) {
        const double *y = Y + (i - N64 + 1);
        double Sy = 0.0, Sxy = 0.0;
        FL_NOVEC
        for (int64_t k = 0; k < N64; ++k) {
            Sxy = Sxy + y[k] * static_cast<double>(k);
            Sy = Sy + y[k];
        }
        out[i] = (Sxy * Nd - Sy * Sx) / D;
    }
    return 0;
}

// ---- native timing loops ----------------------------------------------------------
// One loop per row of the function table: it calls fn, a kernel of that row or a floor
// loop with the same signature, `calls` times back to back with the arguments in the
// slots (built once, before the loop) and returns the mean time of one call in
// nanoseconds, so that no Python call overhead enters the figure.

namespace {

// CLOCK_THREAD_CPUTIME_ID counts only the time this thread ran, so a sample is not
// lengthened while other work on a shared machine holds the core; CLOCK_MONOTONIC is
// wall time.
clockid_t g_clock = CLOCK_THREAD_CPUTIME_ID;

inline double now_ns() {
    timespec t;
    clock_gettime(g_clock, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <class F>
double time_as(void *fn, const qx::table::Slot *slots, double *out, int32_t out_n, int64_t calls) {
    const F f = reinterpret_cast<F>(fn);
    const auto args = qx::table::arguments<F>(0, slots, out, out_n);
    const double t0 = now_ns();
    for (int64_t k = 0; k < calls; ++k) std::apply(f, args);
    return (now_ns() - t0) / static_cast<double>(calls);
}

template <class F>
int32_t call_as(void *fn, const qx::table::Slot *slots, double *out, int32_t out_n) {
    return std::apply(reinterpret_cast<F>(fn), qx::table::arguments<F>(0, slots, out, out_n));
}

using Timer = double (*)(void *, const qx::table::Slot *, double *, int32_t, int64_t);
using Caller = int32_t (*)(void *, const qx::table::Slot *, double *, int32_t);

// By row: the loops for the row kernel's signature.
const Timer kTimers[] = {
#define QX_FUNCTION(NAME, kernel, ...) &time_as<decltype(&kernel)>,
#define QX_EXTRA(...)
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION
};
const Caller kCallers[] = {
#define QX_FUNCTION(NAME, kernel, ...) &call_as<decltype(&kernel)>,
#define QX_EXTRA(...)
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION
};
static_assert(sizeof kTimers / sizeof kTimers[0] == qx::table::kNumFunctions, "one per row");

bool valid_row(int32_t row) {
    return row >= 0 && static_cast<size_t>(row) < qx::table::kNumFunctions;
}

}  // namespace

// cpu != 0: thread CPU time (the default); 0: wall time.
FL_API void vb_use_cpu_clock(int32_t cpu) {
    g_clock = cpu ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
}

// The kernel name of a row ("vx_ma"), so that a caller can tell that its row numbers
// are this library's; null past the end of the table.
FL_API const char *vb_row_kernel(int32_t row) {
    return valid_row(row) ? qx::table::kFunctions[row].kernel : nullptr;
}

// Mean ns of one call of fn (a kernel or floor of the row's signature) over `calls`
// calls with context 0, the slots in parameter order and the output; NaN for no row.
FL_API double vb_time(int32_t row, void *fn, const qx::table::Slot *slots, double *out,
                      int32_t out_n, int64_t calls) {
    return valid_row(row) ? kTimers[row](fn, slots, out, out_n, calls) : nan_value();
}

// One call of fn as vb_time makes it; its status, or -1 for no row.
FL_API int32_t vb_call(int32_t row, void *fn, const qx::table::Slot *slots, double *out,
                       int32_t out_n) {
    return valid_row(row) ? kCallers[row](fn, slots, out, out_n) : -1;
}
