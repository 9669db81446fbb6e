// Grid driver, built with AddressSanitizer and UndefinedBehaviorSanitizer (qx_sanitize)
// and without them (qx_grid, the code as shipped, for other processors): calls every
// kernel of the function table (the formula language's included) over the edge values
// of lengths, integer and real parameters, context arguments, counts and input
// contents, and the helpers over theirs. Every
// buffer is its own exact-size block, so a read or write one element out of bounds
// stops the run; the invariants and references of check.h find wrong results.
// Exit status 0 only with no finding.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "check.h"
#include "patterns.h"

// Large requests fail instead of stopping the run, so that zeros and arange can be
// seen returning null when malloc fails.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=256:detect_leaks=1";
}

namespace {

using qxh::Case;
using qxh::Reporter;
using namespace qxp;

// ---- the kernel grid ----------------------------------------------------------------

void run_kernel_grid(const KernelEntry &e, Reporter &rep) {
    const std::string kinds = qxh::input_kinds(e);
    const size_t nin = kinds.size();
    const int m = qxh::count_ints(e);
    const int mr = qxh::count_reals(e);
    const int V = variants_of(kinds);
    const int64_t lengths[] = {0, 1, 2, 3, 17, 1000};
    const std::vector<double> real_edges = qxh::real_edges();

    for (int64_t n : lengths) {
        const std::vector<int32_t> edges = qxh::int_edges(n);
        // Every combination of the edge values over the integer and real parameters.
        size_t combos = 1;
        for (int i = 0; i < m; ++i) combos *= edges.size();
        for (int i = 0; i < mr; ++i) combos *= real_edges.size();
        std::vector<std::vector<unsigned char>> inputs[64];
        for (int v = 0; v < V; ++v) inputs[v] = make_inputs(kinds, v, n);

        for (size_t combo = 0; combo < combos; ++combo) {
            Case k;
            k.e = &e;
            size_t rest = combo;
            for (int i = 0; i < m; ++i) {
                k.ints[i] = edges[rest % edges.size()];
                rest /= edges.size();
            }
            for (int i = 0; i < mr; ++i) {
                k.reals[i] = real_edges[rest % real_edges.size()];
                rest /= real_edges.size();
            }
            for (int32_t ctx : qxh::ctx_edges(n)) {
                k.ctx = ctx;
                k.nreal = n;
                for (int v = 0; v < V; ++v) {
                    k.data = inputs[v];
                    for (size_t i = 0; i <= nin; ++i) k.counts[i] = static_cast<int32_t>(n);
                    qxh::check_case(k, rep);
                    if (v != 0) continue;
                    // Each count in turn off by one, negative, or at the ends of int32,
                    // the buffers staying n long: status 1, nothing read or written.
                    const int64_t wrong[] = {n + 1, n - 1, -1, INT32_MIN, INT32_MAX};
                    for (size_t slot = 0; slot <= nin; ++slot)
                        for (int64_t w : wrong) {
                            if (w == n) continue;
                            for (size_t i = 0; i <= nin; ++i) k.counts[i] = static_cast<int32_t>(n);
                            k.counts[slot] = static_cast<int32_t>(w);
                            qxh::check_case(k, rep);
                        }
                }
                // Negative counts that agree: nothing written, nothing read (empty blocks).
                const int64_t negative[] = {-1, -n - 1, INT32_MIN};
                for (int64_t w : negative) {
                    k.nreal = 0;
                    k.data = make_inputs(kinds, 0, 0);
                    for (size_t i = 0; i <= nin; ++i) k.counts[i] = static_cast<int32_t>(w);
                    qxh::check_case(k, rep);
                }
            }
        }
    }
}

// Long series with a period near their length, for the fixed-period kernels: constants
// that grow with the period (sums of abscissae and their squares, weight totals) must
// stay exact where a 64-bit product of three periods would overflow.
void run_long_series(const KernelEntry &e, Reporter &rep) {
    const std::string kinds = qxh::input_kinds(e);
    const int m = qxh::count_ints(e);
    if (m == 0 || kinds.find('P') != std::string::npos) return;
    const int64_t n = 3100000;
    const size_t nin = kinds.size();
    for (int v : {0, 3}) {
        Case k;
        k.e = &e;
        k.nreal = n;
        k.data = make_inputs(kinds, v, n);
        for (size_t i = 0; i <= nin; ++i) k.counts[i] = static_cast<int32_t>(n);
        // Real parameters at valid values (a zigzag's percent; SAR's STEP and MAX).
        for (int i = 0; i < qxh::count_reals(e); ++i) k.reals[i] = i == 0 ? 2.0 : 20.0;
        for (int64_t N : {n - 1, n}) {
            k.ints[0] = static_cast<int32_t>(N);
            for (int i = 1; i < m; ++i) k.ints[i] = 1;
            k.ctx = 0;
            qxh::check_case(k, rep, nullptr, false);
            if (qxref::reads_ctx(e.name)) {
                k.ctx = -1;
                qxh::check_case(k, rep, nullptr, false);
            }
        }
    }
}

// ---- helpers ------------------------------------------------------------------------

struct HelperReport {
    uint64_t calls = 0, findings = 0;
    void fail(const std::string &what) {
        ++findings;
        if (findings <= 40) std::fprintf(stderr, "FINDING helper: %s\n", what.c_str());
    }
};

const int32_t kIntEdges[] = {
    INT32_MIN, INT32_MIN + 1, -1001, -1000,         -5,       -1, 0, 1, 3, 5, 7,
    10,        100,           1000,  INT32_MAX - 1, INT32_MAX};

void run_min_max_ctxn(HelperReport &h) {
    for (int32_t a : kIntEdges)
        for (int32_t b : kIntEdges) {
            h.calls += 2;
            if (maxi(a, b) != (a > b ? a : b))
                h.fail("maxi(" + std::to_string(a) + "," + std::to_string(b) + ")");
            if (mini(a, b) != (a < b ? a : b))
                h.fail("mini(" + std::to_string(a) + "," + std::to_string(b) + ")");
        }
    for (int32_t ctx : kIntEdges)
        for (int32_t n : kIntEdges)
            for (int32_t N : kIntEdges) {
                int64_t want = static_cast<int64_t>(N) - 1;
                if (ctx < 0) want = std::max(want, static_cast<int64_t>(n) + ctx + 1 - N);
                want = std::min<int64_t>(std::max<int64_t>(want, INT32_MIN), INT32_MAX);
                ++h.calls;
                if (ctxn(ctx, n, N) != want)
                    h.fail("ctxn(" + std::to_string(ctx) + "," + std::to_string(n) + "," +
                           std::to_string(N) + ") = " + std::to_string(ctxn(ctx, n, N)) +
                           ", want " + std::to_string(want));
            }
}

// Blocks above this many elements are refused by the allocator configured above.
constexpr int64_t kMallocLimit = 256LL * 1024 * 1024 / 8;
// Built without AddressSanitizer (qx_grid), malloc has no such limit and may grant a
// block of many gigabytes: requests above the limit are left out there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAllocatorCapped = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAllocatorCapped = true;
#else
constexpr bool kAllocatorCapped = false;
#endif
#else
constexpr bool kAllocatorCapped = false;
#endif

void run_arange(HelperReport &h) {
    const int32_t ends[] = {INT32_MIN, INT32_MIN + 1, -1000,         -7,       -1, 0, 1, 5,
                            10,        1000,          INT32_MAX - 1, INT32_MAX};
    const double steps[] = {1.0,     -1.0,         3.0,          -2.5, 0.5,  -0.5,   2.9,  1e-300,
                            -1e-300, 1e300,        0.0,          -0.0, kInf, -kInf,  kNaN, 4.9e-324,
                            1000.0,  4294967295.0, 2147483647.0, 0.7,  7.0,  -1024.5};
    for (int32_t start : ends)
        for (int32_t stop : ends)
            for (double step : steps) {
                const double q = static_cast<double>(static_cast<int64_t>(stop) - start) / step;
                const double t = std::trunc(q);
                const int64_t count = (t >= 1.0 && t <= 2147483647.0) ? static_cast<int64_t>(t) : 0;
                if (count > kMallocLimit && !kAllocatorCapped) continue;
                const std::string what = "arange(" + std::to_string(start) + ", " +
                                         std::to_string(stop) + ", " + qxh::describe_value(step) +
                                         ")";
                ++h.calls;
                double *p = arange(start, stop, step);
                if (count <= 0 || count > kMallocLimit) {
                    // No elements, or a block the allocator refuses: null.
                    if (p != nullptr) h.fail(what + " is not null");
                } else if (p == nullptr) {
                    h.fail(what + " is null, want " + std::to_string(count) + " elements");
                } else {
                    const double first = static_cast<double>(start);
                    for (int64_t i = 0; i < count; ++i) {
                        const double prod = static_cast<double>(i) * step;
                        const double want = prod + first;
                        if (qxh::bits_of(p[i]) != qxh::bits_of(want)) {
                            h.fail(what + " element " + std::to_string(i) + " = " +
                                   qxh::describe_value(p[i]) + ", want " +
                                   qxh::describe_value(want));
                            break;
                        }
                    }
                }
                std::free(p);
            }
}

void run_zeros(HelperReport &h) {
    const int32_t counts[] = {INT32_MIN, -1, 0,    1,       2,
                              3,         17, 1000, 1 << 20, static_cast<int32_t>(kMallocLimit + 1),
                              INT32_MAX};
    for (int32_t count : counts) {
        if (count > kMallocLimit && !kAllocatorCapped) continue;
        ++h.calls;
        double *p = zeros(count);
        if (count <= 0 || count > kMallocLimit) {
            if (p != nullptr) h.fail("zeros(" + std::to_string(count) + ") is not null");
        } else if (p == nullptr) {
            h.fail("zeros(" + std::to_string(count) + ") is null");
        } else {
            for (int32_t i = 0; i < count; ++i)
                if (qxh::bits_of(p[i]) != 0) {
                    h.fail("zeros(" + std::to_string(count) + ") element " + std::to_string(i) +
                           " not +0.0");
                    break;
                }
        }
        std::free(p);
    }
}

// aprint writes to standard output: capture it in a file and compare with the line
// built from the same formats.
void run_aprint(HelperReport &h) {
    const double values[] = {1.0,         2.5,  kNaN,    kNegNaN,  kInf,         -kInf,
                             -0.0,        0.0,  1e300,   4.9e-324, -123456789.0, 0.0001,
                             kPayloadNaN, 1e-5, 99999.0, 100000.0, 2147483648.0};
    const int64_t nv = sizeof values / sizeof values[0];
    const int32_t counts[] = {INT32_MIN, -1, 0, 1, 2, 3, static_cast<int32_t>(nv)};
    char path[] = "/tmp/qx_aprint_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        h.fail("aprint: no temporary file");
        return;
    }
    for (int32_t count : counts) {
        const int32_t used = count > 0 ? count : 0;
        // Exactly as many values as printed, so an extra read trips the sanitizer.
        qxh::Block<double> blk(used);
        for (int32_t i = 0; i < used; ++i) blk.p[i] = values[i];
        std::string want = "lbl = [";
        for (int32_t i = 0; i < used; ++i) {
            char buf[64];
            std::snprintf(buf, sizeof buf, i == 0 ? "%4g" : ", %4g", values[i]);
            want += buf;
        }
        want += "]\n";

        std::fflush(stdout);
        const int saved = dup(1);
        if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || dup2(fd, 1) < 0) {
            h.fail("aprint: cannot redirect standard output");
            break;
        }
        ++h.calls;
        const int r = aprint("lbl", blk.p, count);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);

        std::string got;
        char buf[4096];
        lseek(fd, 0, SEEK_SET);
        for (ssize_t k; (k = read(fd, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(k));
        if (got != want)
            h.fail("aprint count " + std::to_string(count) + " printed [" + got + "], want [" +
                   want + "]");
        if (r < 0)
            h.fail("aprint count " + std::to_string(count) + " returned " + std::to_string(r));
    }
    close(fd);
    unlink(path);
}

}  // namespace

// Arguments: kernel names to run alone (no helpers); none runs everything.
int main(int argc, char **argv) {
    const auto t0 = std::chrono::steady_clock::now();
    Reporter rep;
    for (const KernelEntry &e : kKernels) {
        bool chosen = argc == 1;
        for (int i = 1; i < argc; ++i) chosen |= std::strcmp(argv[i], e.name) == 0;
        if (!chosen) continue;
        const uint64_t before = rep.calls;
        const auto k0 = std::chrono::steady_clock::now();
        if (e.invoke == nullptr) {
            qxh::Case k;
            k.e = &e;
            rep.finding(k, "in the function table but not built");
            continue;
        }
        run_kernel_grid(e, rep);
        run_long_series(e, rep);
        std::printf("  %-18s %-4s %9llu calls %6.1f s\n", e.name, e.kinds,
                    static_cast<unsigned long long>(rep.calls - before),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - k0).count());
        std::fflush(stdout);
    }
    HelperReport h;
    if (argc == 1) {
        run_min_max_ctxn(h);
        run_arange(h);
        run_zeros(h);
        run_aprint(h);
    }

    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("sanitizer grid: %zu kernels, %llu kernel calls, %llu helper calls, %llu findings, "
                "%.1f s\n",
                kNumKernels, static_cast<unsigned long long>(rep.calls),
                static_cast<unsigned long long>(h.calls),
                static_cast<unsigned long long>(rep.findings + h.findings), secs);
    return rep.findings + h.findings == 0 ? 0 : 1;
}
