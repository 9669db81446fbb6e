// Sample and population standard deviation and mean absolute deviation over N bars, in
// the frame of dispersion.h.
#include "dispersion.h"

namespace {

using qx::dispersion::kernel;
using qx::dispersion::Kind;

// One body per kernel, built for each instruction set (2, 4 or 8 lanes).
template <qx::Isa I>
int32_t std_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    return kernel<Kind::sample_sd, I>(a, n, N, out, out_n);
}
template <qx::Isa I>
int32_t stdp_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    return kernel<Kind::population_sd, I>(a, n, N, out, out_n);
}
template <qx::Isa I>
int32_t avedev_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    return kernel<Kind::mean_abs_dev, I>(a, n, N, out, out_n);
}

}  // namespace

QX_MULTIVERSION(vx_std, std_body);
// vx_stddev and vx_stdp are one computation.
QX_MULTIVERSION(vx_stddev, stdp_body);
QX_MULTIVERSION(vx_stdp, stdp_body);
QX_MULTIVERSION(vx_avedev, avedev_body);
