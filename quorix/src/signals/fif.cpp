// Bar-by-bar selection between two series by a condition series.
#include "../core/qx.h"

namespace {

// Built per instruction set: the loop is vectorised to the width of each.
template <qx::Isa I>
int32_t fif_body(int32_t, const uint8_t *x, int32_t n, const double *a, int32_t a_n,
                 const double *b, int32_t b_n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(a_n == n && b_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    // Both values are loaded so the choice is a plain select; it moves bits, no
    // arithmetic touches them, so the chosen value is copied exactly and the other
    // one has no effect whatever it holds.
    for (int64_t i = 0; i < n; ++i) {
        const double av = a[i], bv = b[i];
        out[i] = x[i] != 0 ? av : bv;
    }
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_fif, fif_body);
