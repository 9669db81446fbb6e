// Digest of every kernel's outputs over a fixed set of inputs, for comparing the kernels
// built for different processors (CI compares an aarch64 build run under qemu with the
// x86-64 build). Numbers count to the last bit; a NaN counts as NaN whatever its sign and
// payload, since those of a NaN made by arithmetic (inf - inf) are the processor's choice
// and the kernels' contract leaves them open. Bars left unwritten (canaries) and status
// codes count too.
//
// The inputs come from a fixed generator seeded by the kernel's name: random walks of
// every scale, NaN with payloads of both signs, signalling NaN, infinities, signed
// zeros, subnormals, extremes, ties; per-bar periods of every kind (fractions, negatives,
// NaN, beyond int32); integer parameters at their edges, real ones from a short list.
// Every row's kernel, the formula language's included. Prints one line per kernel
// (name, digest, calls, input values, output values), then the digest of them all.
#include <cinttypes>
#include <cmath>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// splitmix64: small, fixed, the same on every platform.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
};

// A 64-bit word at a time; each step is a bijection of the running value, so one word
// that differs always changes the digest.
struct Digest {
    uint64_t h = 0xcbf29ce484222325ULL;
    void add(uint64_t v) {
        h ^= v;
        h = (h << 27 | h >> 37) * 0x100000001b3ULL;
    }
};

uint64_t name_seed(const char *name) {
    Digest d;
    for (const char *p = name; *p; ++p) d.add(static_cast<unsigned char>(*p));
    return d.h;
}

double special(Rng &r) {
    const uint64_t payload = r.next() & 0x0007ffffffffffffULL;
    switch (r.below(12)) {
    case 0: return qxh::from_bits(0x7ff8000000000000ULL | payload);        // quiet NaN
    case 1: return qxh::from_bits(0xfff8000000000000ULL | payload);        // negative quiet NaN
    case 2: return qxh::from_bits(0x7ff0000000000000ULL | (payload | 1));  // signalling
    case 3: return HUGE_VAL;
    case 4: return -HUGE_VAL;
    case 5: return 0.0;
    case 6: return -0.0;
    case 7: return qxh::from_bits(payload | 1);                       // subnormal
    case 8: return -qxh::from_bits(payload | 1);                      // negative subnormal
    case 9: return (r.below(2) ? 1 : -1) * 1.7976931348623157e308;    // largest
    case 10: return (r.below(2) ? 1 : -1) * 2.2250738585072014e-308;  // smallest normal
    default: return 9007199254740993.0;                               // 2^53 + 1
    }
}

// Series of one of six families.
void fill_series(Rng &r, int family, double *x, int64_t n) {
    // Scales written out: a libm's pow may round differently on another processor.
    const double scales[] = {1e-3, 1e-2, 0.1, 1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6};
    const double scale = scales[r.below(10)];
    double walk = (r.unit() - 0.5) * scale;
    for (int64_t i = 0; i < n; ++i) {
        walk += (r.unit() - 0.5) * scale;
        double v = walk;
        switch (family) {
        case 0: break;                                           // a random walk
        case 1: v = r.below(10) < 3 ? special(r) : walk; break;  // with specials
        case 2: v = static_cast<double>(static_cast<int64_t>(walk * 4)) / 4; break;  // ties
        case 3: v = qxh::from_bits(r.next() & 0x800fffffffffffffULL); break;         // subnormal
        case 4: v = (i % 2 ? -1 : 1) * (1e15 + walk); break;                         // cancellation
        default: v = i < n / 3 ? qxh::from_bits(0x7ff8000000000000ULL) : walk; break;
        }
        x[i] = v;
    }
}

void fill_periods(Rng &r, double *x, int64_t n) {
    const double nd = static_cast<double>(n);
    const double odd[] = {NAN,          HUGE_VAL, -HUGE_VAL, 2147483648.0, -2147483649.0,
                          2147483647.0, 1e300,    -0.0,      nd,           nd + 1,
                          -nd,          0.5,      -0.5,      -1.0,         -3.0};
    const int64_t nodd = sizeof odd / sizeof odd[0];
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t k = r.below(10);
        if (k < 6)
            x[i] = static_cast<double>(r.below(40));
        else if (k < 8)
            x[i] = r.unit() * 40.0;
        else
            x[i] = odd[r.below(nodd)];
    }
}

void fill_cond(Rng &r, uint8_t *x, int64_t n) {
    const uint64_t density = 1 + r.below(8);
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t v[] = {1, 2, 255};
        x[i] = r.below(density) == 0 ? v[r.below(3)] : 0;
    }
}

struct Totals {
    uint64_t calls = 0, inputs = 0, outputs = 0;
};

void digest_kernel(const KernelEntry &e, Digest &f, Totals &t) {
    Rng r{name_seed(e.name)};
    const std::string kinds = qxh::input_kinds(e);
    const int m = qxh::count_ints(e);
    const int mr = qxh::count_reals(e);
    const int64_t lengths[] = {0, 1, 2, 3, 7, 16, 61, 250, 1009, 4096, 20011};
    for (int64_t n : lengths) {
        const size_t un = static_cast<size_t>(n);
        for (int family = 0; family < 6; ++family) {
            std::vector<std::vector<double>> series(kinds.size(), std::vector<double>(un));
            std::vector<std::vector<uint8_t>> conds(kinds.size(), std::vector<uint8_t>(un));
            Call c;
            for (size_t j = 0; j < kinds.size(); ++j) {
                if (kinds[j] == 'C') {
                    fill_cond(r, conds[j].data(), n);
                    c.in[j] = conds[j].data();
                } else {
                    // A second input takes its neighbour's family, to vary the pairs.
                    const int fam = (family + static_cast<int>(j)) % 6;
                    if (kinds[j] == 'P')
                        fill_periods(r, series[j].data(), n);
                    else
                        fill_series(r, fam, series[j].data(), n);
                    c.in[j] = series[j].data();
                }
                c.cnt[j] = static_cast<int32_t>(n);
                t.inputs += un;
            }
            // Integer parameters: the edges for this length (short series only: some
            // kernels sum each window afresh) and a few random periods, each tried in the
            // first slot, the others from a short list.
            std::vector<int32_t> firsts =
                n <= 1009 ? qxh::int_edges(n) : std::vector<int32_t>{-1, 0, 1, 2, INT32_MAX};
            for (int k = 0; k < 3; ++k) firsts.push_back(static_cast<int32_t>(1 + r.below(60)));
            const int32_t seconds[] = {1, 2, 3, 20};
            // Real parameters (percentages, steps) from a short list, valid ones first,
            // each parameter a step further along it.
            const double reals[] = {2.0, 20.0, 0.5, 5.0, 100.0, 0.0, NAN, -1.0};
            const size_t nreals = sizeof reals / sizeof reals[0];
            size_t combos = m == 0 ? 1 : firsts.size();
            if (mr > 0 && combos < nreals) combos = nreals;
            std::vector<double> out(un + 1);
            for (size_t combo = 0; combo < combos; ++combo) {
                if (m > 0) c.ip[0] = firsts[combo % firsts.size()];
                for (int i = 1; i < m; ++i) c.ip[i] = seconds[(combo + static_cast<size_t>(i)) % 4];
                for (int i = 0; i < mr; ++i)
                    c.rp[i] = reals[(combo + static_cast<size_t>(i)) % nreals];
                c.ctx = combo % 3 == 2 ? static_cast<int32_t>(-(n / 3) - 1) : 0;
                qxh::fill_canary(out.data(), n);
                c.out = out.data();
                c.out_n = static_cast<int32_t>(n);
                const int32_t st = e.invoke(c);
                ++t.calls;
                f.add(static_cast<uint64_t>(static_cast<uint32_t>(st)));
                for (int64_t i = 0; i < n; ++i) {
                    const double v = out[static_cast<size_t>(i)];
                    uint64_t b = qxh::bits_of(v);
                    if (v != v && b != qxh::kCanaryBits) b = qxh::kMissingBits;
                    f.add(b);
                }
                t.outputs += un;
            }
        }
    }
}

}  // namespace

int main() {
    Digest all;
    Totals sum;
    int missing = 0;
    for (const KernelEntry &e : kKernels) {
        if (e.invoke == nullptr) {
            std::printf("%-18s in the function table but not built\n", e.name);
            ++missing;
            continue;
        }
        Digest f;
        Totals t;
        digest_kernel(e, f, t);
        all.add(f.h);
        sum.calls += t.calls;
        sum.inputs += t.inputs;
        sum.outputs += t.outputs;
        std::printf("%-18s %016" PRIx64 " %7" PRIu64 " calls %9" PRIu64 " in %10" PRIu64 " out\n",
                    e.name, f.h, t.calls, t.inputs, t.outputs);
    }
    std::printf("all %zu kernels      %016" PRIx64 " %7" PRIu64 " calls %9" PRIu64 " in %10" PRIu64
                " out\n",
                kNumKernels, all.h, sum.calls, sum.inputs, sum.outputs);
    return missing == 0 ? 0 : 1;
}
