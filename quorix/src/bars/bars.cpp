// Bar counters, one forward pass each. Counts are kept as integers (exact, below
// 2^31) and converted when stored; where a condition changes a carried value it
// enters as an all-ones / all-zero mask, so the loop carries no branch.
#include "../core/qx.h"

namespace {

// Bars since the latest true bar, the true bar counting 1; 0 before the first.
inline void bars_since_latest(const uint8_t *x, int64_t n, double *out) {
    int64_t i = 0;
    for (; i < n && x[i] == 0; ++i) out[i] = 0.0;
    int64_t last = i;  // index of the latest true bar
    for (; i < n; ++i) {
        const int64_t m = -static_cast<int64_t>(x[i] != 0);
        last = (i & m) | (last & ~m);
        out[i] = static_cast<double>(i - last + 1);
    }
}

// The two counters that are a conversion of the bar index, built per instruction set:
// the conversion is vectorised to the width of each.
template <qx::Isa I>
int32_t barsince_body(int32_t, const uint8_t *x, int32_t n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    int32_t i = 0;
    for (; i < n && x[i] == 0; ++i) out[i] = 0.0;
    // From the first true bar f on: i - f + 1; later conditions are not read. The
    // index stays below n and the count at most n, so 32 bits hold both exactly and
    // the conversion runs as a vector.
    const int32_t before = i - 1;
    for (; i < n; ++i) out[i] = static_cast<double>(i - before);
    return QX_OK;
}

template <qx::Isa I>
int32_t currbarscount_body(int32_t, const double *, int32_t n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    // Only the count of Y matters; its values are never read. A 32-bit index (below
    // n) lets the conversion run as a vector.
    for (int32_t i = 0; i < n; ++i) out[i] = static_cast<double>(i);
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_barsince, barsince_body);
QX_MULTIVERSION(vx_currbarscount, currbarscount_body);

extern "C" {

QX_API int32_t vx_barslast(int32_t, const uint8_t *x, int32_t n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    bars_since_latest(x, n, out);
    return QX_OK;
}

QX_API int32_t vx_barlast(int32_t, const uint8_t *x, int32_t n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    bars_since_latest(x, n, out);
    return QX_OK;
}

}  // extern "C"
