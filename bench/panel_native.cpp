// Native timing of the panel drivers (quorix_panel.h), without Python: every row of the
// function table over a panel of symbols x bars in both layouts, one thread and two
// (std::thread, the columns cut at multiples of qxp_column_block()), beside the copy
// floor (the panel copied into an existing array). Prints ns per element (symbol-bar),
// the median of the rounds.
//
// Each thread's CPU time by default (PANEL_WALL=1: the wall clock; PANEL_MIN=1: the
// fastest round instead of the median). Built with
// -DVEXA_BENCH_FLOOR=ON (target panel_native). Usage:
//   panel_native [symbols] [bars] [N] [rounds] [NAME,NAME,...]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include <time.h>
#include <vector>

#include "quorix_panel.h"
#include "quorix_table.h"

namespace {

using qx::table::Function;
using qx::table::Kind;

struct Buffer {
    void *p = nullptr;
    explicit Buffer(size_t bytes) {
        if (posix_memalign(&p, 64, bytes ? bytes : 64) != 0) std::abort();
    }
    Buffer(const Buffer &) = delete;
    Buffer(Buffer &&o) noexcept : p(o.p) { o.p = nullptr; }
    ~Buffer() { std::free(p); }
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The median of the rounds, or their minimum with PANEL_MIN=1 (steadier for comparing
// two builds on a busy machine).
bool g_min = false;
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return g_min ? v[0] : v[v.size() / 2];
}

// One panel of each kind in both layouts: element (t, j) of layout C at t * m + j, of
// layout F at j * n + t.
struct Panels {
    int64_t n, m;
    std::vector<double> series[2], series2[2], periods[2], weights[2];
    std::vector<uint8_t> cond[2];
};

Panels make_panels(int64_t n, int64_t m, int32_t N) {
    Panels p{n, m, {}, {}, {}, {}, {}};
    std::mt19937_64 r(42);
    std::normal_distribution<double> step(0.0, 0.01);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int L = 0; L < 2; ++L) {
        for (auto *v : {&p.series[L], &p.series2[L], &p.periods[L], &p.weights[L]})
            v->assign(static_cast<size_t>(n * m), 0.0);
        p.cond[L].assign(static_cast<size_t>(n * m), 0);
    }
    for (int64_t j = 0; j < m; ++j) {
        double price = 100.0;
        double mean = price;
        for (int64_t t = 0; t < n; ++t) {
            price *= std::exp(step(r));
            mean = 0.9 * mean + 0.1 * price;
            const double rounded = std::round(price * 100.0) / 100.0;
            const double per = std::floor(u(r) * (2 * N - 1)) + 1.0 + 0.5;
            const double w = 0.05 + 0.1 * u(r);
            const uint8_t c = u(r) < 0.3;
            for (int L = 0; L < 2; ++L) {
                const size_t k = static_cast<size_t>(L == 0 ? t * m + j : j * n + t);
                p.series[L][k] = rounded;
                p.series2[L][k] = mean;
                p.periods[L][k] = per;
                p.weights[L][k] = w;
                p.cond[L][k] = c;
            }
        }
    }
    return p;
}

struct Setup {
    qxp_arg args[qx::table::kMaxParams];
    qxp_out out;
};

Setup setup(const Function &f, Panels &p, int L, double *out, int32_t N) {
    Setup s{};
    const int64_t bs = L == 0 ? p.m : 1, cs = L == 0 ? 1 : p.n;
    int series_seen = 0;
    for (int i = 0; i < f.nparams; ++i) {
        qxp_arg &a = s.args[i];
        a.bar_stride = bs;
        a.col_stride = cs;
        switch (f.params[i].kind) {
        case Kind::Series:
            // DMA's second series is its weight; other second series are a mean.
            if (series_seen++ == 0)
                a.data = p.series[L].data();
            else
                a.data =
                    std::strcmp(f.name, "DMA") == 0 ? p.weights[L].data() : p.series2[L].data();
            break;
        case Kind::Periods: a.data = p.periods[L].data(); break;
        case Kind::Cond: a.data = p.cond[L].data(); break;
        case Kind::Int: a.value = i == 1 ? N : 1; break;  // SMA's M = 1
        case Kind::Real: a.real = 0.5; break;
        }
    }
    s.out = {out, bs, cs};
    return s;
}

// The columns [0, m) cut into `threads` ranges at multiples of the column block.
std::vector<int64_t> cuts(int64_t m, int threads) {
    const int64_t b = qxp_column_block();
    std::vector<int64_t> c{0};
    for (int k = 1; k < threads; ++k) c.push_back(std::min(m, (m * k / threads + b - 1) / b * b));
    c.push_back(m);
    return c;
}

// The time of one thread's work: its own CPU time (the machine is shared, and time spent
// descheduled is not the kernel's), or the wall clock.
bool g_wall = false;
double thread_time() {
    if (g_wall) return now();
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The median over the rounds of the slowest thread's time.
template <class Work>
double timed(int threads, int rounds, Work work) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> each(static_cast<size_t>(threads));
        auto one = [&](int k) {
            const double t0 = thread_time();
            work(k);
            each[static_cast<size_t>(k)] = thread_time() - t0;
        };
        if (threads == 1) {
            one(0);
        } else {
            std::vector<std::thread> pool;
            for (int k = 0; k < threads; ++k) pool.emplace_back(one, k);
            for (auto &t : pool) t.join();
        }
        times.push_back(*std::max_element(each.begin(), each.end()));
    }
    return median(times);
}

}  // namespace

int main(int argc, char **argv) {
    const int64_t m = argc > 1 ? std::atoll(argv[1]) : 1000;
    const int64_t n = argc > 2 ? std::atoll(argv[2]) : 2500;
    const int32_t N = argc > 3 ? std::atoi(argv[3]) : 20;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 21;
    const std::string only = argc > 5 ? std::string(",") + argv[5] + "," : "";
    g_wall = std::getenv("PANEL_WALL") != nullptr;
    g_min = std::getenv("PANEL_MIN") != nullptr;
    Panels p = make_panels(n, m, N);
    Buffer out(static_cast<size_t>(n * m) * sizeof(double));
    std::memset(out.p, 0, static_cast<size_t>(n * m) * sizeof(double));
    const double elems = static_cast<double>(n * m);

    std::printf("%lld symbols x %lld bars, N = %d, ns per element (median of %d)\n",
                static_cast<long long>(m), static_cast<long long>(n), N, rounds);
    for (int threads : {1, 2}) {
        const std::vector<int64_t> c = cuts(m, threads);
        const double t = timed(threads, rounds, [&](int k) {
            const size_t a = static_cast<size_t>(c[k] * n), b = static_cast<size_t>(c[k + 1] * n);
            std::memcpy(static_cast<double *>(out.p) + a, p.series[0].data() + a,
                        (b - a) * sizeof(double));
        });
        std::printf("%-14s %d thread%s  copy floor %6.3f\n", "copy", threads,
                    threads > 1 ? "s" : " ", t * 1e9 / elems);
    }
    std::printf("%-14s %8s %8s %8s %8s\n", "function", "C 1t", "C 2t", "F 1t", "F 2t");
    for (int32_t row = 0; row < static_cast<int32_t>(qx::table::kNumFunctions); ++row) {
        const Function &f = qx::table::kFunctions[row];
        if (!only.empty() && only.find(std::string(",") + f.name + ",") == std::string::npos)
            continue;
        double figures[2][2];
        for (int L = 0; L < 2; ++L) {
            const Setup s = setup(f, p, L, static_cast<double *>(out.p), N);
            for (int threads : {1, 2}) {
                const std::vector<int64_t> c = cuts(m, threads);
                std::vector<Buffer> scratch;
                for (int k = 0; k < threads; ++k)
                    scratch.emplace_back(qxp_scratch_size(row, static_cast<int32_t>(n), c[k],
                                                          c[k + 1], s.args, &s.out));
                int32_t status = 0;
                figures[L][threads - 1] = timed(threads, rounds, [&](int k) {
                    const int32_t st = qxp_run(row, static_cast<int32_t>(n), c[k], c[k + 1], s.args,
                                               &s.out, scratch[k].p);
                    if (st) status = st;
                });
                if (status) std::printf("%s: status %d\n", f.name, status);
            }
        }
        std::printf("%-14s %8.3f %8.3f %8.3f %8.3f\n", f.name, figures[0][0] * 1e9 / elems,
                    figures[0][1] * 1e9 / elems, figures[1][0] * 1e9 / elems,
                    figures[1][1] * 1e9 / elems);
    }
    return 0;
}
