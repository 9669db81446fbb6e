// Copies and fills as loops of vector moves. A kernel calls no library function, and
// GCC turns a plain copy or fill loop into a call of memcpy / memset; here the store
// address passes through an empty asm statement, so the loop is not recognised and
// stays a loop. W is the number of doubles in one machine vector (dispatch.h builds
// one copy of a kernel per instruction set). Private to the library.
#ifndef QUORIX_VMOVE_H
#define QUORIX_VMOVE_H

#include <cstdint>
#include <cstring>

namespace qx {

// Hides where p points from the optimiser: no idiom recognition, no reuse of loads
// across iterations.
template <class T>
inline T *opaque(T *p) {
    __asm__("" : "+r"(p));
    return p;
}

namespace vmove {

template <int W>
struct V {
    typedef double d __attribute__((vector_size(8 * W)));
};

// dst[0 .. m) = src[0 .. m), bits unchanged. The ranges do not overlap.
template <int W>
inline void copy(double *dst, const double *src, int64_t m) {
    typedef typename V<W>::d vd;
    int64_t i = 0;
    for (; i + 2 * W <= m; i += 2 * W) {
        vd v0, v1;
        std::memcpy(&v0, src + i, sizeof v0);
        std::memcpy(&v1, src + i + W, sizeof v1);
        double *d = opaque(dst + i);
        std::memcpy(d, &v0, sizeof v0);
        std::memcpy(d + W, &v1, sizeof v1);
    }
    for (; i < m; ++i) *opaque(dst + i) = src[i];
}

// dst[0 .. m) = v.
template <int W>
inline void fill(double *dst, double v, int64_t m) {
    typedef typename V<W>::d vd;
    vd x = {};
    for (int k = 0; k < W; ++k) x[k] = v;
    int64_t i = 0;
    for (; i + 2 * W <= m; i += 2 * W) {
        double *d = opaque(dst + i);
        std::memcpy(d, &x, sizeof x);
        std::memcpy(d + W, &x, sizeof x);
    }
    for (; i < m; ++i) *opaque(dst + i) = v;
}

}  // namespace vmove
}  // namespace qx

#endif
