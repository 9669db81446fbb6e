// A / B timing of two builds of libquorix.so, natively, at n = 10**6: each kernel of
// one build against the same kernel of another (a baseline, e.g. the parent commit)
// and against a plain floor loop of its dependency chain, in interleaved rounds
// (thread CPU time). The full benchmark with the peers and the targets is bench/run.py;
// this is the quick before / after check while changing a kernel.
//
//   g++ -O3 -std=c++17 -ffp-contract=off -fno-fast-math -msse2 -mfpmath=sse
//       -Iquorix/include bench/native_ab.cpp -ldl -o /tmp/native_ab
//   /tmp/native_ab build-lib/libquorix.so [baseline/libquorix.so | -] [filter] [period]
//
// For each kernel: median ns/bar, median of the per-round ratios to the floor loop and
// to the baseline's kernel. The _A kernels run with a constant period series and with
// random periods 1 .. 2P - 1 and are compared with the baseline only.
#include <dlfcn.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "quorix.h"

namespace {

constexpr int64_t kN = 1000000;
constexpr int kRounds = 15;

struct Lib {
    void *h = nullptr;
    template <class F>
    F get(const char *name) const {
        return reinterpret_cast<F>(dlsym(h, name));
    }
};

// Thread CPU time: the machine is shared, and time spent descheduled is not the
// kernel's.
double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double seconds(const std::function<void()> &f) {
    const double t0 = now();
    f();
    return now() - t0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---- inputs ---------------------------------------------------------------------
std::vector<double> walk, walk2, weights, cond_f, period_const, period_rand, period_ref;
std::vector<uint8_t> cond_b, cond_rare;
std::vector<double> out(kN), sink(kN);

void make_inputs(int32_t P) {
    std::mt19937_64 g(12345);
    std::normal_distribution<double> nd;
    std::uniform_real_distribution<double> ud(0.0, 1.0);
    walk.resize(kN);
    walk2.resize(kN);
    weights.resize(kN);
    cond_f.resize(kN);
    cond_b.resize(kN);
    cond_rare.resize(kN);
    period_const.assign(kN, static_cast<double>(P));
    period_rand.resize(kN);
    period_ref.resize(kN);
    double w = 100.0, w2 = 100.0;
    for (int64_t i = 0; i < kN; ++i) {
        w += nd(g);
        w2 += nd(g);
        walk[i] = w;
        walk2[i] = w2;
        weights[i] = ud(g);
        cond_f[i] = ud(g) < 0.3 ? 1.0 : 0.0;
        cond_b[i] = ud(g) < 0.5 ? 1 : 0;
        cond_rare[i] = ud(g) < 0.02 ? 1 : 0;
        // Random periods 1 .. 2P - 1 (mean P).
        period_rand[i] = static_cast<double>(1 + static_cast<int>(ud(g) * (2 * P - 1)));
        period_ref[i] = static_cast<double>(static_cast<int>(ud(g) * 40) - 5);
    }
}

// ---- floor loops: the bare dependency chain of each kernel -----------------------
#define FLOOR __attribute__((noinline))

FLOOR void floor_running_total(const double *a, int64_t n, int64_t N, double *o) {
    double t = 0.0;
    for (int64_t j = 0; j < N; ++j) t += a[j];
    for (int64_t j = N; j < n; ++j) {
        t = (t - a[j - N]) + a[j];
        o[j] = t;
    }
}
FLOOR void floor_running_count(const double *a, int64_t n, int64_t N, double *o) {
    int32_t c = 0;
    for (int64_t j = N; j < n; ++j) {
        c += (a[j] != 0.0) - (a[j - N] != 0.0);
        o[j] = c;
    }
}
FLOOR void floor_recursion(const double *a, int64_t n, double wp, double wi, double *o) {
    double p = a[0];
    for (int64_t i = 1; i < n; ++i) {
        p = wp * p + wi * a[i];
        o[i] = p;
    }
}
FLOOR void floor_dma(const double *a, const double *A, int64_t n, double *o) {
    double p = a[0];
    for (int64_t i = 1; i < n; ++i) {
        p = p * (1.0 - A[i]) + A[i] * a[i];
        o[i] = p;
    }
}
FLOOR void floor_wma(const double *a, int64_t n, int64_t N, double *o) {
    const double T = static_cast<double>(N * (N + 1) / 2), Nd = static_cast<double>(N);
    double p = 1.0, S = 0.0;
    for (int64_t i = N; i < n; ++i) {
        p = ((T * p - S) + Nd * a[i]) / T;
        o[i] = p;
        S = (S - a[i - N]) + a[i];
    }
}
FLOOR void floor_copy(const double *a, int64_t n, double *o) {
    for (int64_t i = 0; i < n; ++i) o[i] = a[i];
}
FLOOR void floor_gather(const double *a, const double *p, int64_t n, double *o) {
    for (int64_t i = 40; i < n; ++i) o[i] = a[i - static_cast<int64_t>(p[i])];
}
uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
double of_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}
FLOOR void floor_held(const double *x, const double *c, const double *v, int64_t n, double *o) {
    uint64_t h = bits_of(NAN);
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t gone = -static_cast<uint64_t>((h << 1) > 0xffe0000000000000ULL);
        o[i] = of_bits((bits_of(v[i]) & gone) | (h & ~gone));
        const uint64_t take = -static_cast<uint64_t>((bits_of(c[i]) << 1) != 0);
        h = (bits_of(x[i]) & take) | (h & ~take);
    }
}
FLOOR void floor_cross(const double *x, const double *y, int64_t n, double *o) {
    for (int64_t i = 1; i < n; ++i) o[i] = ((y[i - 1] > x[i - 1]) & (x[i] > y[i])) ? 1.0 : 0.0;
}
FLOOR void floor_select(const uint8_t *c, const double *a, const double *b, int64_t n, double *o) {
    for (int64_t i = 0; i < n; ++i) {
        const double av = a[i], bv = b[i];
        o[i] = c[i] ? av : bv;
    }
}
FLOOR void floor_latest(const uint8_t *c, int64_t n, double *o) {
    int64_t last = 0;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t m = -static_cast<int64_t>(c[i] != 0);
        last = (i & m) | (last & ~m);
        o[i] = static_cast<double>(i - last + 1);
    }
}
FLOOR void floor_run(const uint8_t *c, int64_t n, double *o) {
    int64_t run = 0;
    for (int64_t i = 0; i < n; ++i) {
        run = (run + 1) & -static_cast<int64_t>(c[i] != 0);
        o[i] = static_cast<double>(run);
    }
}
FLOOR void floor_index(int64_t n, double *o) {
    for (int32_t i = 0; i < static_cast<int32_t>(n); ++i) o[i] = static_cast<double>(i);
}

// ---- the cases ------------------------------------------------------------------
struct Case {
    std::string name;
    std::function<void(const Lib &)> kernel;
    std::function<void()> floor;  // empty: compare with the baseline only
};

std::vector<Case> cases(int32_t P) {
    const int32_t n = static_cast<int32_t>(kN);
    const double *a = walk.data(), *b = walk2.data();
    double *o = out.data();
    double *s = sink.data();
    std::vector<Case> v;
    auto fixed = [&](const char *name, auto floor) {
        v.push_back(
            {name, [=](const Lib &L) { L.get<decltype(&vx_ma)>(name)(0, a, n, P, o, n); }, floor});
    };
    auto total_floor = [=] { floor_running_total(a, kN, P, s); };
    fixed("vx_ma", total_floor);
    fixed("vx_sum", total_floor);
    fixed("vx_ema", [=] { floor_recursion(a, kN, 0.9, 0.1, s); });
    fixed("vx_wma", [=] { floor_wma(a, kN, P, s); });
    fixed("vx_ref", [=] { floor_copy(a, kN, s); });
    fixed("vx_refxv", [=] { floor_copy(a, kN, s); });
    v.push_back({"vx_sum(N=0)",
                 [=](const Lib &L) { L.get<decltype(&vx_sum)>("vx_sum")(0, a, n, 0, o, n); },
                 [=] { floor_running_total(a, kN, 0, s); }});
    const double *cf = cond_f.data();
    v.push_back({"vx_count",
                 [=](const Lib &L) { L.get<decltype(&vx_count)>("vx_count")(0, cf, n, P, o, n); },
                 [=] { floor_running_count(cf, kN, P, s); }});
    v.push_back({"vx_filter",
                 [=](const Lib &L) { L.get<decltype(&vx_filter)>("vx_filter")(0, cf, n, 3, o, n); },
                 [=] { floor_copy(cf, kN, s); }});
    v.push_back({"vx_sma",
                 [=](const Lib &L) { L.get<decltype(&vx_sma)>("vx_sma")(0, a, n, P, 2, o, n); },
                 [=] { floor_recursion(a, kN, 0.9, 0.1, s); }});
    const double *w = weights.data();
    v.push_back({"vx_dma",
                 [=](const Lib &L) { L.get<decltype(&vx_dma)>("vx_dma")(0, a, n, w, n, o, n); },
                 [=] { floor_dma(a, w, kN, s); }});
    const double *pr = period_ref.data();
    v.push_back(
        {"vx_ref_a",
         [=](const Lib &L) { L.get<decltype(&vx_ref_a)>("vx_ref_a")(0, a, n, pr, n, o, n); },
         [=] { floor_gather(a, pr, kN, s); }});
    v.push_back(
        {"vx_refif",
         [=](const Lib &L) { L.get<decltype(&vx_refif)>("vx_refif")(0, a, n, cf, n, b, n, o, n); },
         [=] { floor_held(a, cf, b, kN, s); }});
    v.push_back({"vx_cross",
                 [=](const Lib &L) { L.get<decltype(&vx_cross)>("vx_cross")(0, a, n, b, n, o, n); },
                 [=] { floor_cross(a, b, kN, s); }});
    const uint8_t *cb = cond_b.data(), *cr = cond_rare.data();
    v.push_back(
        {"vx_fif",
         [=](const Lib &L) { L.get<decltype(&vx_fif)>("vx_fif")(0, cb, n, a, n, b, n, o, n); },
         [=] { floor_select(cb, a, b, kN, s); }});
    for (const char *name : {"vx_barslast", "vx_barlast"})
        v.push_back({name,
                     [=](const Lib &L) { L.get<decltype(&vx_barslast)>(name)(0, cr, n, o, n); },
                     [=] { floor_latest(cr, kN, s); }});
    v.push_back(
        {"vx_barsince",
         [=](const Lib &L) { L.get<decltype(&vx_barsince)>("vx_barsince")(0, cr, n, o, n); },
         [=] { floor_index(kN, s); }});
    v.push_back(
        {"vx_backcount",
         [=](const Lib &L) { L.get<decltype(&vx_backcount)>("vx_backcount")(0, cb, n, o, n); },
         [=] { floor_run(cb, kN, s); }});
    v.push_back({"vx_currbarscount",
                 [=](const Lib &L) {
                     L.get<decltype(&vx_currbarscount)>("vx_currbarscount")(0, a, n, o, n);
                 },
                 [=] { floor_index(kN, s); }});
    // Per-bar periods: constant and random series; compared with the baseline.
    for (const char *name : {"vx_ma_a", "vx_sum_a", "vx_count_a", "vx_llv_a", "vx_hhv_a"}) {
        const double *x = std::strcmp(name, "vx_count_a") == 0 ? cf : a;
        for (int r = 0; r < 2; ++r) {
            const double *p = r ? period_rand.data() : period_const.data();
            v.push_back(
                {std::string(name) + (r ? "(rand)" : "(const)"),
                 [=](const Lib &L) { L.get<decltype(&vx_ma_a)>(name)(0, x, n, p, n, o, n); },
                 {}});
        }
    }
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s lib.so [baseline.so] [filter] [period]\n", argv[0]);
        return 2;
    }
    Lib lib, base;
    lib.h = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (argc > 2 && std::strcmp(argv[2], "-") != 0) base.h = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (!lib.h || (argc > 2 && std::strcmp(argv[2], "-") != 0 && !base.h)) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    const char *filter = argc > 3 ? argv[3] : "";
    const int32_t P = argc > 4 ? std::atoi(argv[4]) : 20;
    make_inputs(P);
    std::printf("%-18s %9s %9s %9s %9s %9s\n", "kernel", "ns/bar", "floor", "x floor", "base",
                "x base");
    for (const Case &c : cases(P)) {
        if (*filter && c.name.find(filter) == std::string::npos) continue;
        std::vector<double> tk, tf, tb, rf, rb;
        for (int r = 0; r < kRounds; ++r) {
            const double k = seconds([&] { c.kernel(lib); });
            tk.push_back(k);
            if (c.floor) {
                const double f = seconds(c.floor);
                tf.push_back(f);
                rf.push_back(k / f);
            }
            if (base.h) {
                const double b = seconds([&] { c.kernel(base); });
                tb.push_back(b);
                rb.push_back(k / b);
            }
        }
        auto ns = [](const std::vector<double> &t) { return median(t) * 1e9 / kN; };
        std::printf("%-18s %9.3f", c.name.c_str(), ns(tk));
        if (c.floor)
            std::printf(" %9.3f %9.3f", ns(tf), median(rf));
        else
            std::printf(" %9s %9s", "-", "-");
        if (base.h) std::printf(" %9.3f %9.3f", ns(tb), median(rb));
        std::printf("\n");
    }
    return 0;
}
