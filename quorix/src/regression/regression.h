// The constants of the least-squares line through N bars (abscissae 0, oldest, to N - 1,
// newest) that SLOPE and FORCAST share in every form (slope.cpp, lang_forcast.cpp, their
// lanes and streams), so that FORCAST's slope is SLOPE's, bit for bit. Private to the
// library.
#ifndef QUORIX_REGRESSION_REGRESSION_H
#define QUORIX_REGRESSION_REGRESSION_H

#include <cstdint>

namespace qx {
namespace regression {

__extension__ typedef unsigned __int128 u128;

// The nearest double to v (ties to even), for v < 2^106: both halves of the split are
// exact doubles and the scaling by 2^53 is exact, so the one addition is the only
// rounding.
inline double nearest_double(u128 v) {
    const double hi = static_cast<double>(static_cast<uint64_t>(v >> 53));
    const double lo = static_cast<double>(static_cast<uint64_t>(v) & ((uint64_t{1} << 53) - 1));
    return hi * 9007199254740992.0 + lo;
}

struct Constants {
    double Sx;   // sum of the abscissae, N(N-1)/2
    double Sxx;  // sum of their squares, N(N-1)(2N-1)/6
    double D;    // N * Sxx - Sx * Sx
};

// Both sums are formed exactly (N(N-1)(2N-1) needs up to 94 bits for N near 2^31) and
// rounded once to the nearest double. N >= 0.
inline Constants constants(int32_t N) {
    const u128 p = static_cast<u128>(static_cast<uint32_t>(N));
    const double Sx = nearest_double(p * (p - 1) / 2);
    const double Sxx = nearest_double(p * (p - 1) * (2 * p - 1) / 6);
    const double Nd = static_cast<double>(N);
    return {Sx, Sxx, Nd * Sxx - Sx * Sx};
}

}  // namespace regression
}  // namespace qx

#endif
