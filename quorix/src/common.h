// What every kernel shares: the missing value, the first valid index, the opening
// checks and the per-bar period truncation. Private to the library.
#ifndef QUORIX_COMMON_H
#define QUORIX_COMMON_H

#include <cstdint>
#include <cstring>

#include "quorix.h"

namespace qx {

// The quiet NaN stored wherever a kernel has no value of its own accord.
inline double missing() {
    const uint64_t bits = 0x7ff8000000000000ULL;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline bool is_missing(double v) { return v != v; }

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

// A per-bar period truncated toward zero. The range is tested before the cast, so
// NaN, infinities and values beyond the int32 range never reach it (the cast would be
// undefined); they report false. Values in (-2^31 - 1, 2^31) truncate into the range.
inline bool bar_period(double p, int32_t *out) {
    if (!(p > -2147483649.0 && p < 2147483648.0)) return false;
    *out = static_cast<int32_t>(p);
    return true;
}

}  // namespace qx

#endif
