// Length of the run of true bars ending at each bar, carried forward.
#include "../core/qx.h"

extern "C" {

QX_API int32_t vx_backcount(int32_t, const uint8_t *x, int32_t n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;

    // An integer run (exact below 2^31) cleared by an all-zero mask on a false bar,
    // so the loop carries no branch.
    int64_t run = 0;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t m = -static_cast<int64_t>(x[i] != 0);
        run = (run + 1) & m;
        out[i] = static_cast<double>(run);
    }
    return QX_OK;
}

}  // extern "C"
