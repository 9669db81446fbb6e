// The streams of the dispersions (STD, STDDEV, STDP, AVEDEV, VAR, VARP, DEVSQ), one bar
// at a time in the frame of their kernels (dispersion.h).
#ifndef QUORIX_DISPERSION_STREAM_H
#define QUORIX_DISPERSION_STREAM_H

#include "../stream/base.h"
#include "dispersion.h"

namespace qxs {

using qx::dispersion::Kind;

// vx_std, vx_stddev, vx_stdp, vx_avedev, vx_var, vx_varp, vx_devsq: the running total d[0] carries
// the window's first N - 1 values from the first valid bar on; each bar adds its input, takes the
// mean, lets the oldest value leave, and sums the deviations afresh, oldest first.
template <Kind K>
struct Dispersion : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t k = since_first(h, x);
        const int64_t N = h.p[0];
        if (k < 0) {
            *out = missing();
            return QXS_OK;
        }
        if (k < N - 1) {
            h.d[0] = h.d[0] + x;
            push(h, x);
            *out = missing();
            return QXS_OK;
        }
        push(h, x);
        if ((K == Kind::sample_sd || K == Kind::sample_var) && N == 1) {
            *out = 0.0;
            return QXS_OK;
        }
        const double period = static_cast<double>(N);
        const bool sample = K == Kind::sample_sd || K == Kind::sample_var;
        const double divisor = sample ? static_cast<double>(static_cast<int64_t>(N) - 1) : period;
        h.d[0] = h.d[0] + x;
        const double m = h.d[0] / period;
        h.d[0] = h.d[0] - oldest(h);
        double A = 0.0;
        for (int64_t b = N - 1; b >= 0; --b) {
            const double d = back(h, b) - m;
            A = A + (K == Kind::mean_abs_dev ? std::fabs(d) : d * d);
        }
        if (K == Kind::sum_sq)
            *out = A;
        else if (K == Kind::sample_var || K == Kind::population_var || K == Kind::mean_abs_dev)
            *out = A / divisor;
        else
            *out = std::sqrt(A / divisor);
        return QXS_OK;
    }
};

QXS_STREAM(vx_std, Dispersion<Kind::sample_sd>)
// vx_stddev and vx_stdp are one computation.
QXS_STREAM(vx_stddev, Dispersion<Kind::population_sd>)
QXS_STREAM(vx_stdp, Dispersion<Kind::population_sd>)
QXS_STREAM(vx_avedev, Dispersion<Kind::mean_abs_dev>)
QXS_STREAM(vx_var, Dispersion<Kind::sample_var>)
QXS_STREAM(vx_varp, Dispersion<Kind::population_var>)
QXS_STREAM(vx_devsq, Dispersion<Kind::sum_sq>)

}  // namespace qxs

#endif
