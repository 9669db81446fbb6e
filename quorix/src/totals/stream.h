// The streams of the window totals (MA, MA_A, SUM, SUM_A, COUNT, COUNT_A), one bar at a
// time in the order of their kernels (ma.cpp, sum.cpp, count.cpp).
#ifndef QUORIX_TOTALS_STREAM_H
#define QUORIX_TOTALS_STREAM_H

#include "../stream/base.h"

namespace qxs {

// vx_ma: warm-up from the first valid bar f; the first window is summed afresh at the
// first bar from f + N - 1 on whose input is not missing (k[0] = 1 once it is), then one
// running total, the leaving value subtracted first.
struct Ma : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t k = since_first(h, x);
        const int64_t N = h.p[0];
        const double period = static_cast<double>(N);
        if (k < 0) {
            *out = missing();
        } else if (h.k[0]) {
            const double leaving = oldest(h);
            h.d[0] = (h.d[0] - leaving) + x;
            push(h, x);
            *out = h.d[0] / period;
        } else {
            push(h, x);
            if (k < N - 1 || is_missing(x)) {
                *out = missing();
            } else {
                double total = 0.0;
                for (int64_t b = N - 1; b >= 0; --b) total += back(h, b);
                h.d[0] = total;
                h.k[0] = 1;
                *out = total / period;
            }
        }
        return QXS_OK;
    }
};

// vx_ma_a: bar i needs 1 <= P <= i; the window summed from +0.0, oldest first, stopping
// at a missing input.
struct MaA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        push(h, v[0]);
        int32_t P;
        const int64_t i = h.bars;
        if (!bar_period(v[1], &P) || P <= 0 || i < P) {
            *out = missing();
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        double total = 0.0;
        int64_t b = P - 1;
        for (; b >= 0 && !is_missing(back(h, b)); --b) total += back(h, b);
        *out = (b >= 0 || is_missing(total)) ? missing() : total / static_cast<double>(P);
        return QXS_OK;
    }
};

// vx_sum: N = 0 a cumulative sum that skips missing values; else warm-up from the first
// valid bar and one running total, the leaving value subtracted first (d[0]).
struct Sum : LastN {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0];
        if (N == 0) {
            if (!is_missing(x)) h.d[0] = h.d[0] + x;
            *out = h.d[0];
            return QXS_OK;
        }
        const int64_t k = since_first(h, x);
        if (k < 0) {
            *out = missing();
        } else if (k < N) {
            h.d[0] = h.d[0] + x;
            push(h, x);
            *out = k < N - 1 ? missing() : h.d[0];
        } else {
            h.d[0] = (h.d[0] - oldest(h)) + x;
            push(h, x);
            *out = h.d[0];
        }
        return QXS_OK;
    }
};

// vx_sum_a: bar i needs 1 <= P <= i; summed from +0.0, oldest first, a missing input
// spoiling the bar (opposite infinities keep the NaN of the arithmetic).
struct SumA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        push(h, v[0]);
        int32_t P;
        if (!bar_period(v[1], &P) || P < 1 || P > h.bars) {
            *out = missing();
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        double acc = 0.0;
        int64_t b = P - 1;
        for (; b >= 0 && !is_missing(back(h, b)); --b) acc = acc + back(h, b);
        *out = b >= 0 ? missing() : acc;
        return QXS_OK;
    }
};

// vx_count: true is non-zero, a NaN included. k[0] the running count.
struct Count : LastN {
    static int64_t truth(double x) { return x != 0.0 ? 1 : 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        const int64_t N = h.p[0];
        if (N == 0) {
            h.k[0] += truth(x);
            *out = static_cast<double>(h.k[0]);
            return QXS_OK;
        }
        const int64_t k = since_first(h, x);
        if (k < 0) {
            *out = missing();
        } else if (k < N) {
            h.k[0] += truth(x);
            push(h, x);
            *out = k < N - 1 ? missing() : static_cast<double>(h.k[0]);
        } else {
            h.k[0] += truth(x) - truth(oldest(h));
            push(h, x);
            *out = static_cast<double>(h.k[0]);
        }
        return QXS_OK;
    }
};

// vx_count_a: true is non-zero and not missing. The ring holds the prefix counts C[j]
// (true values in bars 0 .. j, exact doubles); a window of P bars is C[i] - C[i - P],
// as the kernel forms it.
struct CountA : Kept {
    static int32_t step(Head &h, const double *v, double *out) {
        const double x = v[0];
        h.k[0] += (x != 0.0 && x == x) ? 1 : 0;
        const double c = static_cast<double>(h.k[0]);
        push(h, c);
        int32_t P;
        if (!bar_period(v[1], &P) || P < 0) {
            *out = missing();
            return QXS_OK;
        }
        if (P == 0 || P > h.bars) {
            *out = c;
            return QXS_OK;
        }
        if (beyond(h, P)) {
            *out = missing();
            return QXS_BEYOND_HISTORY;
        }
        *out = c - back(h, P);
        return QXS_OK;
    }
};

QXS_STREAM(vx_ma, Ma)
QXS_STREAM(vx_ma_a, MaA)
QXS_STREAM(vx_sum, Sum)
QXS_STREAM(vx_sum_a, SumA)
QXS_STREAM(vx_count, Count)
QXS_STREAM(vx_count_a, CountA)

}  // namespace qxs

#endif
