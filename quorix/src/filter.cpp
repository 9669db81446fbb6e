// Signal filter: a kept signal blanks the W - 1 bars after it.
#include "common.h"

// The blank fill stays a loop of stores: a kernel calls no library function.
#pragma GCC optimize("no-tree-loop-distribute-patterns")

namespace {

// A signal is neither zero (of either sign) nor NaN; infinities are signals. From the
// bits without the sign, t: not 0 and not above the infinity's 0xffe0000000000000.
inline uint32_t signal_bit(const double *x) {
    uint64_t b;
    std::memcpy(&b, x, sizeof b);
    return (b << 1) - 1 < 0xffe0000000000000ULL;
}

// Short windows (W <= 8). The scan is a machine whose state r is the number of bars of
// the current blank still to come (0 .. W - 1): an open bar (r = 0) is copied and, if
// it is a signal, sets r = W - 1; a blanked bar reads +0.0 and counts r down, so a
// signal inside a blank opens nothing. A table built for this W steps the machine
// four bars at a time, from the state and the four bars' signal bits to the next state
// and the four bars' blank bits, so the carried chain is one table read per four bars
// and no branch depends on the data.
void short_blanks(const double *a, int64_t n, int64_t W, double *out) {
    uint8_t step[8 * 16];  // [r << 4 | signals] -> next r << 4 | blanks
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
            step[s << 4 | m] = static_cast<uint8_t>(r << 4 | blank);
        }
    uint32_t state = 0;  // r << 4
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t m = signal_bit(a + i) | signal_bit(a + i + 1) << 1 |
                           signal_bit(a + i + 2) << 2 | signal_bit(a + i + 3) << 3;
        const uint32_t e = step[state | m];
        state = e & 0xf0;
        for (int k = 0; k < 4; ++k) {
            uint64_t b;
            std::memcpy(&b, a + i + k, sizeof b);
            b &= static_cast<uint64_t>((e >> k) & 1) - 1;  // all ones when open
            std::memcpy(out + i + k, &b, sizeof b);
        }
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

}  // namespace

extern "C" {

QX_API int32_t vx_filter(int32_t, const double *a, int32_t n, int32_t N, double *out,
                         int32_t out_n) {
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
            for (int64_t j = i + 1; j < end; ++j) out[j] = 0.0;
            i = end;
        } else {
            ++i;
        }
    }
    return QX_OK;
}

}  // extern "C"
