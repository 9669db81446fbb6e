// Signal filter: a kept signal blanks the W - 1 bars after it.
#include "../core/qx.h"

namespace {

// A signal is neither zero (of either sign) nor NaN; infinities are signals. From the
// bits without the sign, t: not 0 and not above the infinity's 0xffe0000000000000.
inline uint32_t signal_bit(const double *x) {
    uint64_t b;
    std::memcpy(&b, x, sizeof b);
    return (b << 1) - 1 < 0xffe0000000000000ULL;
}

// The signal bits of x[0 .. 4) (bit k: x[k] is a signal).
inline uint32_t signals4(const double *x) {
#if defined(__SSE2__)
    const __m128d z = _mm_setzero_pd(), lo = _mm_loadu_pd(x), hi = _mm_loadu_pd(x + 2);
    const int l = _mm_movemask_pd(_mm_or_pd(_mm_cmplt_pd(lo, z), _mm_cmpgt_pd(lo, z)));
    const int h = _mm_movemask_pd(_mm_or_pd(_mm_cmplt_pd(hi, z), _mm_cmpgt_pd(hi, z)));
    return static_cast<uint32_t>(l | h << 2);
#else
    return signal_bit(x) | signal_bit(x + 1) << 1 | signal_bit(x + 2) << 2 | signal_bit(x + 3) << 3;
#endif
}

// o[k] = x[k], or +0.0 where mask[k] is all ones: bits moved, never arithmetic.
inline void blank4(const double *x, const uint64_t *mask, double *o) {
#if defined(__SSE2__)
    const __m128i *m = reinterpret_cast<const __m128i *>(mask);
    const __m128d m0 = _mm_castsi128_pd(_mm_loadu_si128(m));
    const __m128d m1 = _mm_castsi128_pd(_mm_loadu_si128(m + 1));
    _mm_storeu_pd(o, _mm_andnot_pd(m0, _mm_loadu_pd(x)));
    _mm_storeu_pd(o + 2, _mm_andnot_pd(m1, _mm_loadu_pd(x + 2)));
#else
    for (int k = 0; k < 4; ++k) {
        uint64_t b;
        std::memcpy(&b, x + k, sizeof b);
        b &= ~mask[k];
        std::memcpy(o + k, &b, sizeof b);
    }
#endif
}

// Short windows (W <= 8). The scan is a machine whose state r is the number of bars of
// the current blank still to come (0 .. W - 1): an open bar (r = 0) is copied and, if
// it is a signal, sets r = W - 1; a blanked bar reads +0.0 and counts r down, so a
// signal inside a blank opens nothing. A table for each W steps the machine four bars
// at a time, from the state and the four bars' signal bits to the next state and the
// four bars' blank bits, so the carried chain is one table read per four bars and no
// branch depends on the data. The tables are constants, built by the compiler.
struct Steps {
    uint8_t next[9][8 * 16];  // [W][r << 4 | signals] -> next r << 4 | blanks
    uint64_t masks[16][4];    // blank bits -> one all-ones word per blanked bar
};

constexpr Steps make_steps() {
    Steps t{};
    for (int64_t W = 1; W <= 8; ++W)
        for (int64_t s = 0; s < W; ++s)
            for (uint32_t m = 0; m < 16; ++m) {
                int64_t r = s;
                uint32_t blank = 0;
                for (int k = 0; k < 4; ++k) {
                    if (r > 0) {
                        blank |= 1u << k;
                        --r;
                    } else if ((m >> k) & 1) {
                        r = W - 1;
                    }
                }
                t.next[W][s << 4 | m] = static_cast<uint8_t>(r << 4 | blank);
            }
    for (uint32_t b = 0; b < 16; ++b)
        for (int k = 0; k < 4; ++k) t.masks[b][k] = ((b >> k) & 1) ? ~uint64_t(0) : 0;
    return t;
}

constexpr Steps kSteps = make_steps();

void short_blanks(const double *a, int64_t n, int64_t W, double *out) {
    const uint8_t *step = kSteps.next[W];
    const auto &masks = kSteps.masks;
    uint32_t state = 0;  // r << 4
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t e = step[state | signals4(a + i)];
        state = e & 0xf0;
        blank4(a + i, masks[e & 0xf], out + i);
    }
    for (int64_t r = state >> 4; i < n; ++i) {
        if (r > 0) {
            out[i] = 0.0;
            --r;
        } else {
            out[i] = a[i];
            if (signal_bit(a + i)) r = W - 1;
        }
    }
}

// Built per instruction set for the width of the long blanks' stores.
template <qx::Isa I>
int32_t filter_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    // 64-bit window end: i + W stays exact for W up to INT32_MAX.
    const int64_t W = N == 0 ? static_cast<int64_t>(n) : static_cast<int64_t>(N);
    if (W <= 8) {
        short_blanks(a, n, W, out);
        return QX_OK;
    }
    // Long blanks: written in one run each and skipped by the scan.
    int64_t i = 0;
    while (i < n) {
        out[i] = a[i];
        if (signal_bit(a + i)) {
            const int64_t end = i + W < n ? i + W : static_cast<int64_t>(n);
            qx::fill<qx::lanes<I>>(out + i + 1, 0.0, end - i - 1);
            i = end;
        } else {
            ++i;
        }
    }
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_filter, filter_body);
