// Vectors of doubles across bars for the kernels that sum every window afresh: lane l
// works on the window of bar i + l, so each lane keeps the exact order of a scalar
// loop. Plain IEEE lane arithmetic only (no fused operations, no reassociation).
// Private to the library.
#ifndef QUORIX_LANES_H
#define QUORIX_LANES_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dispatch.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if QX_X86
#include <immintrin.h>
#endif

namespace qx {
namespace simd {

// Independent vectors per step. The width of a vector (2, 4 or 8 doubles) comes from
// the instruction set each kernel is built for (qx::lanes<I>, dispatch.h).
constexpr int kChains = 4;

template <int W>
struct Vec {
    typedef double type __attribute__((vector_size(W * sizeof(double))));
};

// Unaligned load of W doubles.
template <class V>
inline void load(V &v, const double *p) {
    std::memcpy(&v, p, sizeof v);
}

template <class V>
inline void store(double *p, const V &v) {
    std::memcpy(p, &v, sizeof v);
}

// |d| per lane: the sign bit cleared, as fabs does.
template <class V>
inline V abs(V d) {
    typedef int64_t M __attribute__((vector_size(sizeof(V))));
    const M cleared = reinterpret_cast<M>(d) & INT64_MAX;
    return reinterpret_cast<V>(cleared);
}

// The square root instruction itself (correctly rounded), without the errno path
// through the C library that std::sqrt keeps for NaN and negative arguments.
inline double root(double v) {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(v)));
#else
    return std::sqrt(v);
#endif
}

// Square root per lane, correctly rounded as the scalar one.
template <class V>
inline V root(V v) {
    for (unsigned l = 0; l < sizeof(V) / sizeof(double); ++l) v[l] = root(v[l]);
    return v;
}

#if defined(__SSE2__)
inline Vec<2>::type root(Vec<2>::type v) {
    return reinterpret_cast<Vec<2>::type>(_mm_sqrt_pd(reinterpret_cast<__m128d>(v)));
}
#endif

// The packed instructions of the wider builds: one vsqrtpd instead of a square root per
// lane. Not always_inline (see dispatch.h): flatten inlines them into their variant.
#if QX_X86
QX_TARGET_AVX2 inline Vec<4>::type root(Vec<4>::type v) {
    return reinterpret_cast<Vec<4>::type>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(v)));
}
// (The all-lanes mask form: GCC 12's plain _mm512_sqrt_pd trips its own
// maybe-uninitialized warning.)
QX_TARGET_AVX512 inline Vec<8>::type root(Vec<8>::type v) {
    const __m512d r = _mm512_maskz_sqrt_pd(static_cast<__mmask8>(0xFF), reinterpret_cast<__m512d>(v));
    return reinterpret_cast<Vec<8>::type>(r);
}
#endif

}  // namespace simd
}  // namespace qx

#endif
