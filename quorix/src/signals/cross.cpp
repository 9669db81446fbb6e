// Crossing above: one pass comparing each bar with the bar before it.
#include "../core/qx.h"

namespace {

// Built per instruction set: the loop is vectorised to the width of each.
template <qx::Isa I>
int32_t cross_body(int32_t, const double *x, int32_t n, const double *y, int32_t y_n, double *out,
                   int32_t out_n) {
    if (int32_t st = qx::check(y_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    // Bar 0 has no previous bar and keeps what the caller stored there. Strict on
    // both bars; any NaN makes a comparison false and the bar 0.0. The previous bar
    // is read again rather than carried, so the loop has no carried state and the
    // comparisons run as vector compares and masks, without branches.
    for (int64_t i = 1; i < n; ++i) {
        const bool up = (y[i - 1] > x[i - 1]) & (x[i] > y[i]);
        out[i] = up ? 1.0 : 0.0;
    }
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_cross, cross_body);
