// Look-back references: the value of a series at another bar, by fixed or per-bar
// offset, or carried from the latest bar where a condition held. Values are copied
// bit for bit; offsets are taken in 64 bits so no offset wraps into the series.
#include "../core/qx.h"

namespace {

inline int64_t clamp(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// A double's bits, so that selects run as integer moves that never touch the value.
using qx::bits_of;
using qx::of_bits;

// Shifted copies, built per instruction set for the width of their vector moves.
template <qx::Isa I>
int32_t ref_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    // Bar i reads a[i - N]; the bars whose source lies in the series are [lo, hi).
    const int64_t N64 = N;
    const int64_t lo = clamp(N64, 0, n), hi = clamp(n + N64, lo, n);
    constexpr int W = qx::lanes<I>;
    qx::fill<W>(out, qx::missing(), lo);
    if (hi > lo) qx::copy<W>(out + lo, a + (lo - N64), hi - lo);
    qx::fill<W>(out + hi, qx::missing(), n - hi);
    return QX_OK;
}

template <qx::Isa I>
int32_t refxv_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    // Bar i reads a[i + N]; the bars whose source lies in the series are [lo, hi), the
    // others keep their own value.
    const int64_t N64 = N;
    const int64_t lo = clamp(-N64, 0, n), hi = clamp(n - N64, lo, n);
    constexpr int W = qx::lanes<I>;
    qx::copy<W>(out, a, lo);
    if (hi > lo) qx::copy<W>(out + lo, a + (lo + N64), hi - lo);
    qx::copy<W>(out + hi, a + hi, n - hi);
    return QX_OK;
}

}  // namespace

QX_MULTIVERSION(vx_ref, ref_body);
QX_MULTIVERSION(vx_refxv, refxv_body);

extern "C" {

QX_API int32_t vx_ref_a(int32_t, const double *a, int32_t n, const double *N, int32_t N_n,
                        double *out, int32_t out_n) {
    if (int32_t st = qx::check(N_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    const uint64_t miss = bits_of(qx::missing());
    for (int64_t i = 0; i < n; ++i) {
        // NaN, infinities and offsets beyond int32 name no bar of a series of at most
        // INT32_MAX bars: missing. The range is tested before the cast (a bad offset is
        // replaced by 0 first), and the bar is then read at i itself and discarded, so
        // the loop has no branch.
        const double p = N[i];
        const bool in_range = p > -2147483649.0 && p < 2147483648.0;
        const int64_t j = i - static_cast<int64_t>(static_cast<int32_t>(in_range ? p : 0.0));
        const bool ok = in_range & (j >= 0) & (j < n);
        const uint64_t v = bits_of(a[ok ? j : i]);
        out[i] = of_bits(ok ? v : miss);
    }
    return QX_OK;
}

QX_API int32_t vx_refif(int32_t, const double *x, int32_t n, const double *c, int32_t c_n,
                        const double *v, int32_t v_n, double *out, int32_t out_n) {
    if (int32_t st = qx::check(c_n == n && v_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    // The held value is carried as its bits and chosen by masks, so the carried chain
    // is a few integer operations per bar and no branch depends on one bar's data.
    uint64_t held = bits_of(qx::missing());
    auto step = [&](int64_t i) {
        // Missing: exponent all ones and a non-zero fraction.
        const uint64_t gone = -static_cast<uint64_t>((held << 1) > 0xffe0000000000000ULL);
        out[i] = of_bits((bits_of(v[i]) & gone) | (held & ~gone));
        // True: any bit but the sign set, so a NaN condition counts as true and 0.0
        // and -0.0 are false; a true bar takes x[i] whatever it is, a NaN included.
        const uint64_t take = -static_cast<uint64_t>((bits_of(c[i]) << 1) != 0);
        held = (bits_of(x[i]) & take) | (held & ~take);
    };
    // Four bars at a time where no condition holds among them (the same test on the
    // bits): each takes the held value, or v where none is held.
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const qx::mask<2> t =
            ((qx::mask<2>)qx::load<2>(c + i) << 1) | ((qx::mask<2>)qx::load<2>(c + i + 2) << 1);
        if ((t[0] | t[1]) != 0) {
            for (int k = 0; k < 4; ++k) step(i + k);
            continue;
        }
        if ((held << 1) > 0xffe0000000000000ULL) {
            qx::store(out + i, qx::load<2>(v + i));
            qx::store(out + i + 2, qx::load<2>(v + i + 2));
        } else {
            const qx::vec<2> h = qx::splat<2>(of_bits(held));
            qx::store(out + i, h);
            qx::store(out + i + 2, h);
        }
    }
    for (; i < n; ++i) step(i);
    return QX_OK;
}

}  // extern "C"
