// The parabolic SAR (stop and reverse) of the terminals: one pass over the bars with the
// step of sar.h, which the stream runs too.
#include "sar.h"

#include "../core/qx.h"
#include "quorix_lang.h"

extern "C" {

QX_API int32_t vx_sar(int32_t, const double *H, int32_t n, const double *L, int32_t L_n, int32_t N,
                      double STEP, double MAX, double *out, int32_t out_n) {
    if (int32_t st = qx::check(L_n == n && out_n == n, qx::sar::valid(N, STEP, MAX))) return st;
    if (n <= 0) return QX_OK;

    qx::sar::State s{};
    const int64_t len = n;
    for (int64_t i = 0; i < len; ++i) out[i] = qx::sar::step(s, N, STEP, MAX, H[i], L[i]);
    return QX_OK;
}

}  // extern "C"
