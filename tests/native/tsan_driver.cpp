// Thread driver, built with ThreadSanitizer: every kernel of the function table, the
// formula language's included (and the helpers that return values), called from 8 threads at once
// on shared inputs and separate outputs, round after round, each result compared bit for bit with a
// single-threaded run of the same call. Exit status 0 only with no difference (a data
// race stops the run through ThreadSanitizer itself).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "harness.h"
#include "patterns.h"

extern "C" const char *__tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}

namespace {

constexpr int kThreads = 8;

struct Job {
    const KernelEntry *e;
    Call call;  // inputs point into shared blocks; out and out_n set per thread
    int64_t n;
    int32_t status;  // of the single-threaded run
    std::vector<double> want;
};

// Shared, read-only inputs of every job.
std::vector<qxh::Block<unsigned char>> g_inputs;

const unsigned char *shared_input(const std::vector<unsigned char> &d) {
    qxh::Block<unsigned char> b(static_cast<int64_t>(d.size()));
    if (!d.empty()) std::memcpy(b.p, d.data(), d.size());
    g_inputs.push_back(std::move(b));
    return g_inputs.back().p;
}

std::vector<Job> make_jobs() {
    std::vector<Job> jobs;
    for (const KernelEntry &e : kKernels) {
        if (e.invoke == nullptr) {
            std::fprintf(stderr, "FINDING %s: in the function table but not built\n", e.name);
            std::exit(1);
        }
        const std::string kinds = qxh::input_kinds(e);
        const int m = qxh::count_ints(e);
        for (int64_t n : {17, 1000}) {
            const int32_t periods[] = {0, 1, 5, static_cast<int32_t>(n / 2),
                                       static_cast<int32_t>(n)};
            const int np = m == 0 && qxh::count_reals(e) == 0 ? 1 : 5;
            for (int v = 0; v < std::min(qxp::variants_of(kinds), 6); ++v) {
                const auto data = qxp::make_inputs(kinds, v, n);
                Job j;
                j.e = &e;
                j.n = n;
                for (size_t i = 0; i < kinds.size(); ++i) {
                    j.call.in[i] = shared_input(data[i]);
                    j.call.cnt[i] = static_cast<int32_t>(n);
                }
                for (int p = 0; p < np; ++p) {
                    for (int i = 0; i < m; ++i) j.call.ip[i] = i == 0 ? periods[p] : 2;
                    // Real parameters valid (a zigzag's percent; SAR's STEP and MAX), the
                    // first one varied with p.
                    for (int i = 0; i < qxh::count_reals(e); ++i)
                        j.call.rp[i] = i == 0 ? 0.5 + p : 20.0;
                    j.call.ctx = (p % 2) ? -3 : 0;
                    jobs.push_back(j);
                }
            }
        }
    }
    return jobs;
}

// Runs job j into `out` (length n, first filled with canaries).
int32_t run(const Job &j, double *out) {
    qxh::fill_canary(out, j.n);
    Call c = j.call;
    c.out = out;
    c.out_n = static_cast<int32_t>(j.n);
    return j.e->invoke(c);
}

struct HelperResult {
    int32_t ctxn_sum = 0;
    double arange_last = 0, zeros_sum = 0;
};

// The helpers with results, over a few arguments; each thread must get the same.
HelperResult run_helpers(int seed) {
    HelperResult r;
    const int32_t vals[] = {INT32_MIN, -1000, -1, 0, 1, 5, 1000, INT32_MAX};
    for (int32_t a : vals)
        for (int32_t b : vals) {
            r.ctxn_sum += ctxn(a, b, 5) ^ maxi(a, b) ^ mini(a, b);
        }
    double *p = arange(seed % 7, 300, 0.75);
    if (p) r.arange_last = p[(300 - seed % 7) * 4 / 3 - 1];
    std::free(p);
    double *z = zeros(100 + seed % 5);
    if (z)
        for (int i = 0; i < 100; ++i) r.zeros_sum += z[i];
    std::free(z);
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Job> jobs = make_jobs();
    uint64_t calls = 0;
    for (Job &j : jobs) {
        j.want.assign(static_cast<size_t>(j.n), 0.0);
        j.status = run(j, j.want.data());
        ++calls;
    }
    HelperResult helpers_want[kThreads];
    for (int t = 0; t < kThreads; ++t) helpers_want[t] = run_helpers(t);

    std::atomic<int> ready{0};
    std::atomic<uint64_t> diffs{0}, thread_calls{0};
    auto worker = [&](int t) {
        // Separate outputs per thread, one per length.
        qxh::Block<double> out17(17), out1000(1000);
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        uint64_t my_calls = 0;
        for (int r = 0; r < rounds; ++r) {
            // Each thread walks the jobs from its own offset, so different kernels and
            // the same kernel on the same inputs overlap.
            const size_t start =
                (static_cast<size_t>(t) * jobs.size()) / kThreads + static_cast<size_t>(r);
            for (size_t k = 0; k < jobs.size(); ++k) {
                const Job &j = jobs[(start + k) % jobs.size()];
                double *out = j.n == 17 ? out17.p : out1000.p;
                const int32_t st = run(j, out);
                ++my_calls;
                if (st != j.status || qxh::first_difference(out, j.want.data(), j.n, true) >= 0) {
                    if (diffs.fetch_add(1) < 20)
                        std::fprintf(
                            stderr,
                            "FINDING %s: thread %d round %d differs from the single-threaded run\n",
                            j.e->name, t, r);
                }
            }
            const HelperResult h = run_helpers(t);
            const HelperResult &w = helpers_want[t];
            if (h.ctxn_sum != w.ctxn_sum ||
                qxh::bits_of(h.arange_last) != qxh::bits_of(w.arange_last) ||
                qxh::bits_of(h.zeros_sum) != qxh::bits_of(w.zeros_sum)) {
                diffs.fetch_add(1);
                std::fprintf(stderr, "FINDING helpers: thread %d round %d differs\n", t, r);
            }
        }
        thread_calls.fetch_add(my_calls);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto &th : threads) th.join();
    calls += thread_calls.load();

    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("thread driver: %zu kernels, %zu calls per round, %d threads x %d rounds, %llu "
                "kernel calls, "
                "%llu differences, %.1f s\n",
                kNumKernels, jobs.size(), kThreads, rounds, static_cast<unsigned long long>(calls),
                static_cast<unsigned long long>(diffs.load()), secs);
    return diffs.load() == 0 ? 0 : 1;
}
