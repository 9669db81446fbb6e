// Variances over N bars in the frame of vx_std (../dispersion.h): leading missing values
// skipped, the mean S / N from one running total, the squared deviations from it summed
// afresh from the window's oldest bar to its newest. So SQRT(VAR) is STD and SQRT(VARP)
// is STDP, bit for bit; DEVSQ is the sum itself.
#include "dispersion.h"
#include "quorix_lang.h"

namespace {

using qx::dispersion::kernel;
using qx::dispersion::Kind;

template <qx::Isa I>
int32_t var_body(int32_t, const double *X, int32_t n, int32_t N, double *out, int32_t out_n) {
    return kernel<Kind::sample_var, I>(X, n, N, out, out_n);
}
template <qx::Isa I>
int32_t varp_body(int32_t, const double *X, int32_t n, int32_t N, double *out, int32_t out_n) {
    return kernel<Kind::population_var, I>(X, n, N, out, out_n);
}
template <qx::Isa I>
int32_t devsq_body(int32_t, const double *X, int32_t n, int32_t N, double *out, int32_t out_n) {
    return kernel<Kind::sum_sq, I>(X, n, N, out, out_n);
}

}  // namespace

QX_MULTIVERSION(vx_var, var_body);
QX_MULTIVERSION(vx_varp, varp_body);
QX_MULTIVERSION(vx_devsq, devsq_body);
