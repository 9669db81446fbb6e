// Vectors of W doubles, namespace qx: the one vector toolkit of the library, for the
// kernels built per instruction set (qx.h, dispatch.h) and for the panels' lane kernels
// (panel/lanes.inc). Private to the library.
//
//   vec<W>, mask<W>           W doubles, and the comparison masks of them
//   load, store, splat        unaligned moves, one value in every lane (bits unchanged)
//   bits                      lane k of a mask as bit k
//   abs, root                 |d| and the square root, lane by lane, as fabs and the
//                             correctly rounded scalar root give them
//   widen                     W condition bytes as doubles
//
// The operations are written once, in vec_ops.inc: here in namespace qx for the kernels
// (which are built per instruction set by inlining, dispatch.h), and again inside each
// instruction set's namespace of the lane kernels (panel/lanes.inc), built under that
// target: a 256- or 512-bit vector passed by value between code built for different
// targets would travel two ways (Clang refuses such a call). The instructions wider than
// SSE2 are in the *_packed helpers below, each of its own target, taking the vector
// through a pointer; both copies call them.
#ifndef QUORIX_VEC_H
#define QUORIX_VEC_H

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

// GCC vector extensions (Clang has them too): lane-wise IEEE arithmetic, no fused
// operations, no reassociation, so a lane that does a scalar loop's operations in its
// order gives its bits. W is 2, 4 or 8, one machine vector of the instruction set that
// the kernel is built for (lanes<I>); the wider types need no target attribute.
// Comparing two vectors gives a mask<W>: all ones in a lane where the comparison
// holds, else zero.

template <int W>
struct Lanes {
    typedef double vec __attribute__((vector_size(8 * W)));
    typedef int64_t mask __attribute__((vector_size(8 * W)));
};
template <int W>
using vec = typename Lanes<W>::vec;
template <int W>
using mask = typename Lanes<W>::mask;

// Lane k of a mask as bit k (bits, vec_ops.inc).
#if QX_X86
QX_TARGET_AVX2 inline uint64_t bits_packed(const mask<4> *m) {
    return static_cast<uint64_t>(
        _mm256_movemask_pd(_mm256_loadu_pd(reinterpret_cast<const double *>(m))));
}
QX_TARGET_AVX512 inline uint64_t bits_packed(const mask<8> *m) {
    const __m512i v = _mm512_loadu_si512(m);
    return static_cast<uint64_t>(_mm512_test_epi64_mask(v, v));
}
#endif

// The square root of every lane in one vsqrtpd (root, vec_ops.inc). Flatten inlines it
// into the kernels' variants (dispatch.h), the lane kernels' own inlining into theirs,
// and the round trip through memory disappears.
#if QX_X86
QX_TARGET_AVX2 inline void root_packed(vec<4> *v) {
    double *p = reinterpret_cast<double *>(v);
    _mm256_storeu_pd(p, _mm256_sqrt_pd(_mm256_loadu_pd(p)));
}
// (The all-lanes mask form: GCC 12's plain _mm512_sqrt_pd trips its own
// maybe-uninitialized warning.)
QX_TARGET_AVX512 inline void root_packed(vec<8> *v) {
    double *p = reinterpret_cast<double *>(v);
    _mm512_storeu_pd(p, _mm512_maskz_sqrt_pd(static_cast<__mmask8>(0xFF), _mm512_loadu_pd(p)));
}
#endif

// W condition bytes as doubles (widen, vec_ops.inc): one conversion per vector.
#if QX_X86
QX_TARGET_AVX2 inline void widen_packed(const uint8_t *p, vec<4> *v) {
    int32_t four;
    std::memcpy(&four, p, sizeof four);
    _mm256_storeu_pd(reinterpret_cast<double *>(v),
                     _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four))));
}
// (The all-lanes mask form: GCC 12's plain _mm512_cvtepi32_pd trips its own
// maybe-uninitialized warning.)
QX_TARGET_AVX512 inline void widen_packed(const uint8_t *p, vec<8> *v) {
    _mm512_storeu_pd(reinterpret_cast<double *>(v),
                     _mm512_maskz_cvtepi32_pd(static_cast<__mmask8>(0xFF),
                                              _mm256_cvtepu8_epi32(_mm_loadl_epi64(
                                                  reinterpret_cast<const __m128i *>(p)))));
}
#endif

#include "vec_ops.inc"

}  // namespace qx

#endif
