// Input contents for the native harnesses: series, per-bar periods and condition
// bytes built from the edge values (missing values of several encodings, infinities,
// signed zeros, extremes, periods at and beyond the ends of the int32 range).
#ifndef QX_NATIVE_PATTERNS_H
#define QX_NATIVE_PATTERNS_H

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "harness.h"

namespace qxp {

const double kNaN = qxh::from_bits(0x7ff8000000000000ULL);
const double kNegNaN = qxh::from_bits(0xfff8000000000000ULL);
const double kPayloadNaN = qxh::from_bits(0x7ff8000000000abcULL);
const double kInf = HUGE_VAL;

constexpr int kSeriesPatterns = 6;
constexpr int kPeriodPatterns = 20;
constexpr int kCondPatterns = 6;

inline double series_value(int pattern, int64_t i, int64_t n) {
    static const double specials[] = {
        1.5,   kNaN,   kInf,    -2.25,    -kInf, -0.0,        0.0,
        1e308, -1e308, kNegNaN, 4.9e-324, 3.0,   kPayloadNaN, 9007199254740993.0,
        -7.0};
    const int64_t ns = sizeof specials / sizeof specials[0];
    switch (pattern) {
    case 0:  // finite, varied, with signed zeros
        if (i % 11 == 5) return -0.0;
        if (i % 13 == 6) return 0.0;
        return static_cast<double>((i * 7919) % 1000 - 500) * 0.37 +
               static_cast<double>(i % 7) * 1e-3;
    case 1:  // missing values, infinities, extremes, subnormals
        return specials[(i * 5 + 3) % ns];
    case 2:  // missing everywhere, in several NaN encodings
        return i % 3 == 0 ? kNaN : (i % 3 == 1 ? kNegNaN : kPayloadNaN);
    case 3:  // a leading missing run, then values, one infinity late
        if (i < n / 2) return kNaN;
        if (n > 4 && i == 3 * n / 4) return kInf;
        return static_cast<double>(i % 17) - 8.0;
    case 4:  // infinities of both signs between ones
        return i % 3 == 0 ? kInf : (i % 3 == 1 ? -kInf : 1.0);
    default:  // signed zeros, one signal in the middle
        return i == n / 2 ? 1.0 : (i % 2 ? -0.0 : 0.0);
    }
}

inline double period_value(int pattern, int64_t i, int64_t n) {
    static const double constants[] = {kNaN,          kInf,         -kInf,         1e300,
                                       -1e300,        2147483648.0, -2147483648.0, 2147483647.0,
                                       -2147483647.0, -0.5,         0.5,           2.9};
    const int64_t nc = sizeof constants / sizeof constants[0];
    if (pattern < nc) return constants[pattern];
    const double nd = static_cast<double>(n);
    switch (pattern) {
    case 12: {  // every special value and the values around n, bar after bar
        const double mix[] = {0.0,           1.0,  2.0,          3.0,          -1.0,  -0.0,
                              nd - 1,        nd,   nd + 1,       -nd - 1,      -nd,   2147483647.5,
                              -2147483648.5, kNaN, kInf,         -kInf,        1e300, 0.99,
                              -1.5,          2.9,  2147483648.0, -2147483649.0};
        return mix[i % static_cast<int64_t>(sizeof mix / sizeof mix[0])];
    }
    case 13: return static_cast<double>(i);      // the longest period with a full window
    case 14: return static_cast<double>(i + 1);  // one bar too long for the _a averages
    case 15: return nd;
    case 16: return -static_cast<double>(i);  // looks ahead to bar 2i
    case 17: return static_cast<double>(i % 5) + 0.99;
    case 18: return 1.0;
    default: return 0.0;
    }
}

inline uint8_t cond_value(int pattern, int64_t i, int64_t n) {
    switch (pattern) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 255;
    case 3: return static_cast<uint8_t>(i % 3 == 0 ? 0 : (i % 3 == 1 ? 1 : 255));
    case 4: return i == n - 1 ? 255 : 0;
    default: return i % 2 ? 0 : 255;
    }
}

inline int patterns_of(char kind) {
    return kind == 'P' ? kPeriodPatterns : (kind == 'C' ? kCondPatterns : kSeriesPatterns);
}

// Contents of every input for variant v: input j takes pattern (v + j) of its kind.
inline std::vector<std::vector<unsigned char>> make_inputs(const std::string &kinds, int v,
                                                           int64_t n) {
    std::vector<std::vector<unsigned char>> data;
    for (size_t j = 0; j < kinds.size(); ++j) {
        const char kind = kinds[j];
        const int pat = static_cast<int>((v + static_cast<int>(j)) % patterns_of(kind));
        std::vector<unsigned char> d;
        if (kind == 'C') {
            d.resize(static_cast<size_t>(n));
            for (int64_t i = 0; i < n; ++i) d[static_cast<size_t>(i)] = cond_value(pat, i, n);
        } else {
            d.resize(static_cast<size_t>(n) * sizeof(double));
            for (int64_t i = 0; i < n; ++i) {
                const double x = kind == 'P' ? period_value(pat, i, n) : series_value(pat, i, n);
                std::memcpy(d.data() + i * 8, &x, 8);
            }
        }
        data.push_back(std::move(d));
    }
    return data;
}

inline int variants_of(const std::string &kinds) {
    int v = 1;
    for (char k : kinds) v = std::max(v, patterns_of(k));
    return v;
}

}  // namespace qxp

#endif
