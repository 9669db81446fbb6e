// The kernels' toolkit, namespace qx: the one header a kernel's source includes, and
// the one version of each piece that kernels share. Private to the library.
//
//   missing values, checks    missing, is_missing, first_valid, fill_missing, check
//   periods                   bar_period (a per-bar period truncated), whole_window
//   leading bars              skip_missing (leading missing values), warm_up (the
//                             bars before the first full window)
//   bit casts                 bits_of, of_bits
//   vectors of W doubles      vec.h: vec<W>, mask<W>, load, store, splat, bits, abs,
//                             root, widen; here periods (bar_period per lane) and
//                             kChains independent vectors per step
//   moves                     opaque, copy, fill (loops that stay loops)
//   window extremes           Lowest, Highest (one policy for every extreme kernel)
//   instruction sets          Isa, lanes<I>, QX_MULTIVERSION (dispatch.h)
//
// A new kernel: its declaration in quorix.h (quorix_lang.h for the formula language's
// own, whose sources are named lang_*.cpp) and its row in quorix_functions.def; its
// source, in the folder of its family, includes this header and opens as every kernel does
// (qx::check, then QX_OK for n <= 0, then the work). A kernel built per instruction set is a
// template on qx::Isa that reads its vector width as qx::lanes<I> (2, 4 or 8 doubles), exported by
// QX_MULTIVERSION(kernel, body) (dispatch.h; signals/cross.cpp is the smallest
// example); a window kernel that skips leading missing values starts with skip_missing
// and warm_up (totals/sum.cpp). The per-bar-period lane drivers build on this header
// (per_bar.h), and so do the panels' lane kernels and the streams.
#ifndef QUORIX_QX_H
#define QUORIX_QX_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dispatch.h"
#include "quorix.h"
#include "vec.h"

namespace qx {

// ---- missing values and checks ----------------------------------------------------

// The quiet NaN stored wherever a kernel has no value of its own accord.
inline double missing() {
    const uint64_t bits = 0x7ff8000000000000ULL;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline bool is_missing(double v) { return v != v; }

// A double's bits and back, for choices made on the bits (selects that never touch the
// value, tests of zero, NaN and infinity by the exponent).
inline uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
inline double of_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Index of the first element that is not missing, or n when there is none.
inline int64_t first_valid(const double *a, int64_t n) {
    int64_t i = 0;
    while (i < n && is_missing(a[i])) ++i;
    return i;
}

// Stores the missing value at out[from .. to), clipped to [0, n).
inline void fill_missing(double *out, int64_t from, int64_t to, int64_t n) {
    if (from < 0) from = 0;
    if (to > n) to = n;
    const double m = missing();
    for (int64_t i = from; i < to; ++i) out[i] = m;
}

// The common opening of every kernel: count check (1), then period check (2).
inline int32_t check(bool counts_agree, bool period_valid) {
    if (!counts_agree) return QX_BAD_COUNT;
    if (!period_valid) return QX_BAD_PERIOD;
    return QX_OK;
}

// ---- periods ----------------------------------------------------------------------

// A per-bar period truncated toward zero. The range is tested before the cast, so
// NaN, infinities and values beyond the int32 range never reach it (the cast would be
// undefined); they report false. Values in (-2^31 - 1, 2^31) truncate into the range.
inline bool bar_period(double p, int32_t *out) {
    if (!(p > -2147483649.0 && p < 2147483648.0)) return false;
    *out = static_cast<int32_t>(p);
    return true;
}

// The window of bar i for the per-bar period value p of a kernel that needs P + 1 bars
// up to bar i (MA_A, SUM_A): P when 1 <= P <= i, else 0 (the bar is missing). A period
// valid at bar i is valid, with the same window, at every later bar.
inline int64_t whole_window(double p, int64_t i) {
    int32_t P;
    return (bar_period(p, &P) && P >= 1 && P <= i) ? P : 0;
}

// ---- leading bars -----------------------------------------------------------------

// Stores the missing value over the leading missing values of a[0 .. n) and returns
// the index s of the first value that is not missing (n when there is none): the bar
// from which a kernel that skips leading missing values starts.
inline int64_t skip_missing(const double *a, int64_t n, double *out) {
    const int64_t s = first_valid(a, n);
    fill_missing(out, 0, s, n);
    return s;
}

// The warm-up of a window of N >= 1 bars whose first window starts at bar s: the bars
// s .. s + N - 2 (cut at n) have no full window. Each is handed to take(i) in bar
// order, so that the kernel gathers them into its first window, and stored as
// missing. Returns s + N - 1, the first bar with a full window (n or beyond when the
// series ends first).
template <class Take>
inline int64_t warm_up(double *out, int64_t s, int64_t N, int64_t n, Take take) {
    const int64_t first = s + N - 1;
    const int64_t end = first < n ? first : n;
    for (int64_t i = s; i < end; ++i) {
        take(i);
        out[i] = missing();
    }
    return first;
}

// ---- vectors of W doubles (vec.h) -------------------------------------------------

// Independent vectors per step of the kernels that sum every window afresh.
constexpr int kChains = 4;

// bar_period lane by lane, as doubles: p truncated toward zero where it lies in
// (-2^31 - 1, 2^31), and -2^31 elsewhere and for NaN (the "integer indefinite" of the
// conversion instructions), a negative period that no kernel accepts, as bar_period's
// false. The wider forms are packed instructions in helpers of their own target,
// taking the vector through a pointer (see root_packed).
#if QX_X86
QX_TARGET_AVX2 inline void periods_packed(vec<4> *v) {
    double *p = reinterpret_cast<double *>(v);
    _mm256_storeu_pd(p, _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(_mm256_loadu_pd(p))));
}
QX_TARGET_AVX512 inline void periods_packed(vec<8> *v) {
    double *p = reinterpret_cast<double *>(v);
    const __mmask8 all = 0xFF;  // (the mask forms: see root_packed)
    _mm512_storeu_pd(
        p, _mm512_maskz_cvtepi32_pd(all, _mm512_maskz_cvttpd_epi32(all, _mm512_loadu_pd(p))));
}
#endif
template <int W>
inline vec<W> periods(vec<W> p) {
#if QX_X86
    if constexpr (W == 2) {
        return reinterpret_cast<vec<2>>(
            _mm_cvtepi32_pd(_mm_cvttpd_epi32(reinterpret_cast<__m128d>(p))));
    } else {
        periods_packed(&p);
        return p;
    }
#else
    for (int k = 0; k < W; ++k) {
        int32_t P;
        p[k] = bar_period(p[k], &P) ? static_cast<double>(P) : -2147483648.0;
    }
    return p;
#endif
}

// ---- moves ------------------------------------------------------------------------
//
// Copies and fills as loops of vector moves. A kernel calls no library function, and
// GCC turns a plain copy or fill loop into a call of memcpy / memset; here the store
// address passes through opaque(), so the loop is not recognised and stays a loop.

// Hides where p points from the optimiser: no idiom recognition, no reuse of loads
// across iterations.
template <class T>
inline T *opaque(T *p) {
    __asm__("" : "+r"(p));
    return p;
}

// dst[0 .. m) = src[0 .. m), bits unchanged, W doubles per move. The ranges do not
// overlap.
template <int W>
inline void copy(double *dst, const double *src, int64_t m) {
    int64_t i = 0;
    for (; i + 2 * W <= m; i += 2 * W) {
        const vec<W> v0 = load<W>(src + i), v1 = load<W>(src + i + W);
        double *d = opaque(dst + i);
        store(d, v0);
        store(d + W, v1);
    }
    for (; i < m; ++i) *opaque(dst + i) = src[i];
}

// dst[0 .. m) = v, W doubles per move.
template <int W>
inline void fill(double *dst, double v, int64_t m) {
    const vec<W> x = splat<W>(v);
    int64_t i = 0;
    for (; i + 2 * W <= m; i += 2 * W) {
        double *d = opaque(dst + i);
        store(d, x);
        store(d + W, x);
    }
    for (; i < m; ++i) *opaque(dst + i) = v;
}

// ---- window extremes --------------------------------------------------------------
//
// Lowest and Highest, the two orders of LLV / HHV and their per-bar-period forms:
//   better(v, than)   v is strictly lower (higher) than `than`;
//   pick(v, best)     v when strictly better, else best: best on a tie, and best when
//                     either is NaN (NaN compares false). On doubles, and lane by lane
//                     on vectors of them;
//   pick_sd(v, best)  the same choice in the low lane of an SSE register, spelt as the
//                     one minsd / maxsd instruction that computes exactly it (GCC would
//                     otherwise rewrite a comparison with an infinity into a longer
//                     sequence);
//   worst             the infinity that every value ties with or beats: the start of a
//                     walk over a window, and the stand-in for a missing input where a
//                     kernel must not branch on one.

struct Lowest {
    static constexpr double worst = __builtin_huge_val();
    static bool better(double v, double than) { return v < than; }
    template <class T>
    static T pick(T v, T best) {
        return v < best ? v : best;
    }
#if defined(__SSE2__)
    static __m128d pick_sd(__m128d v, __m128d best) { return _mm_min_sd(v, best); }
#endif
};

struct Highest {
    static constexpr double worst = -__builtin_huge_val();
    static bool better(double v, double than) { return v > than; }
    template <class T>
    static T pick(T v, T best) {
        return v > best ? v : best;
    }
#if defined(__SSE2__)
    static __m128d pick_sd(__m128d v, __m128d best) { return _mm_max_sd(v, best); }
#endif
};

}  // namespace qx

#endif
