// Panel driver check, built with AddressSanitizer and UndefinedBehaviorSanitizer: every
// row of the function table, the formula language's rows included, through qxp_run over
// random panels, each column compared bit for bit with the row's 1-D kernel on that
// column alone.
//
// Panels of both layouts (bars adjacent or columns adjacent), padded and reversed ones,
// inputs shared by every column and scalars, column ranges that cut the lane blocks,
// leading missing runs of different lengths per column, missing values, infinities and
// signed zeros mid-series, periods around the window edges and beyond the length. Every
// panel, output and scratch block is its own exact-size allocation, so a read or write
// out of bounds stops the run; elements outside the columns asked for must keep their
// canaries. Run once per instruction set (QUORIX_ISA=sse2|avx2|avx512, see run.sh).
//
// Usage: qx_panel [trials per row] [seed]. Exit status 0 only with no finding.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quorix_panel.h"
#include "quorix_table.h"

namespace {

using qx::table::Function;
using qx::table::Kind;

constexpr uint64_t kCanaryBits = 0x7ff4deadbeef0001ULL;

uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

bool is_array(Kind k) { return k == Kind::Series || k == Kind::Periods || k == Kind::Cond; }

// A block of exactly `bytes` bytes, 64-byte aligned, so that ASan sees either end.
struct Block {
    void *p = nullptr;
    explicit Block(size_t bytes) {
        if (bytes > 0 && posix_memalign(&p, 64, bytes) != 0) {
            std::fprintf(stderr, "out of memory\n");
            std::abort();
        }
    }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    Block(Block &&o) noexcept : p(o.p) { o.p = nullptr; }
    ~Block() { std::free(p); }
};

using Rng = std::mt19937_64;

int64_t pick(Rng &r, int64_t lo, int64_t hi) {  // inclusive
    return std::uniform_int_distribution<int64_t>(lo, hi)(r);
}
template <class T, size_t M>
T pick_of(Rng &r, const T (&v)[M]) {
    return v[pick(r, 0, M - 1)];
}

// The layout of one panel argument: element (t, j) at base + t * bs + j * cs, in a block
// of `extent` elements whose first is at offset `origin` from the block.
struct Layout {
    int64_t bs = 0, cs = 0, origin = 0, extent = 0;
};

enum class Shape { c_order, fortran, padded_c, padded_f, reversed, shared, scalar };

Layout layout_of(Shape s, int64_t n, int64_t m) {
    Layout l;
    const int64_t n1 = n > 0 ? n : 1;
    switch (s) {
    case Shape::c_order: l = {m, 1, 0, n1 * m}; break;
    case Shape::fortran: l = {1, n1, 0, n1 * m}; break;
    case Shape::padded_c: l = {m + 3, 1, 1, n1 * (m + 3) + 1}; break;
    case Shape::padded_f: l = {1, n1 + 5, 2, (n1 + 5) * m + 2}; break;
    // Columns in reverse order and bars from the last row up.
    case Shape::reversed: l = {-m, -1, n1 * m - 1, n1 * m}; break;
    case Shape::shared: l = {1, 0, 0, n1}; break;
    case Shape::scalar: l = {0, 0, 0, 1}; break;
    }
    return l;
}

// One column's series: a leading missing run of its own length, then values with
// missing values, infinities and signed zeros sprinkled in at a rate of the panel's.
void fill_series(Rng &r, double *col, int64_t stride, int64_t n, double spice, bool integral) {
    static const double specials[] = {from_bits(0x7ff8000000000000ULL),
                                      from_bits(0xfff8000000000000ULL),
                                      from_bits(0x7ff8000000000abcULL),
                                      HUGE_VAL,
                                      -HUGE_VAL,
                                      0.0,
                                      -0.0,
                                      1e308,
                                      -1e308,
                                      4.9e-324};
    int64_t lead = 0;
    switch (pick(r, 0, 5)) {
    case 0: lead = pick(r, 0, 3); break;
    case 1: lead = pick(r, 0, n + 1); break;
    case 2: lead = n; break;
    default: break;
    }
    std::uniform_real_distribution<double> u(-100.0, 100.0), coin(0.0, 1.0);
    for (int64_t t = 0; t < n; ++t) {
        double v;
        if (t < lead)
            v = from_bits(0x7ff8000000000000ULL);
        else if (coin(r) < spice)
            v = pick_of(r, specials);
        else if (integral)  // many ties, zeros of both signs among them
            v = static_cast<double>(pick(r, -3, 3)) * (pick(r, 0, 1) ? 1.0 : -1.0);
        else
            v = u(r);
        col[t * stride] = v;
    }
}

// Per-bar periods: mostly small whole and fractional values, some wild ones.
void fill_periods(Rng &r, double *col, int64_t stride, int64_t n) {
    const double nd = static_cast<double>(n);
    const double wild[] = {from_bits(0x7ff8000000000000ULL),
                           HUGE_VAL,
                           -HUGE_VAL,
                           -1.0,
                           -0.5,
                           0.0,
                           0.5,
                           nd,
                           nd + 1.0,
                           2147483648.0,
                           -2147483649.0,
                           1e300};
    for (int64_t t = 0; t < n; ++t) {
        double v;
        const int64_t k = pick(r, 0, 9);
        if (k == 0)
            v = pick_of(r, wild);
        else if (k == 1)
            v = static_cast<double>(pick(r, 0, 40)) + 0.75;
        else
            v = static_cast<double>(pick(r, 0, 8));
        col[t * stride] = v;
    }
}

void fill_cond(Rng &r, uint8_t *col, int64_t stride, int64_t n) {
    const int64_t density = pick(r, 0, 4);  // 0: never true, 4: mostly true
    for (int64_t t = 0; t < n; ++t) {
        const bool on = pick(r, 0, 3) < density;
        static const uint8_t truths[] = {1, 2, 255};
        col[t * stride] = on ? pick_of(r, truths) : 0;
    }
}

// An integer parameter: around the window edges, beyond the length, negative, extreme.
int32_t pick_int(Rng &r, int64_t n) {
    const int64_t raw[] = {-1,    0,     1,     2,  3,         4,         5,     7,
                           8,     9,     16,    20, n - 1,     n,         n + 1, 2 * n,
                           n / 2, n - 2, n - 9, -n, INT32_MAX, INT32_MIN, -5,    33};
    int64_t v = pick_of(r, raw);
    if (v < INT32_MIN || v > INT32_MAX) v = 3;
    return static_cast<int32_t>(v);
}

// Two NaNs made by arithmetic: which operand's sign and payload an instruction passes
// on is not promised (the order of a commutative operation's operands is the
// compiler's), so a NaN matches a NaN, provided it is one that arithmetic on these inputs
// can give: the stored missing value, the default NaN of invalid operations, or the
// other NaN of the inputs. Every other value compares by its bits, so copied values
// (signed zeros, NaN payloads) must survive intact; a value read from padding (a
// signalling NaN) matches nothing.
bool same_nan(uint64_t got, uint64_t want) {
    auto nan = [](uint64_t b) { return (b << 1) > 0xffe0000000000000ULL && b != kCanaryBits; };
    if (!nan(got) || !nan(want)) return false;
    for (uint64_t m : {0x7ff8000000000000ULL, 0xfff8000000000000ULL, 0x7ff8000000000abcULL})
        if (got == m) return true;
    return false;
}

struct Failure {
    int count = 0;
    void report(const std::string &what) {
        if (++count <= 20) std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    }
};

// Every row, in the panels' numbering.
constexpr int32_t kRows = static_cast<int32_t>(qx::table::kNumRows);

struct Trial {
    const Function *f;
    int32_t row;
    int64_t n, m;  // bars, columns
    int64_t c0, c1;
    Shape shapes[qx::table::kMaxParams];
    Shape out_shape;
    int32_t ints[qx::table::kMaxParams];
    double reals[qx::table::kMaxParams];
    std::string describe() const {
        static const char *names[] = {"C", "F", "padC", "padF", "rev", "shared", "scalar"};
        char buf[256];
        int k = std::snprintf(
            buf, sizeof buf, "%s n=%lld m=%lld cols=[%lld,%lld) out=%s args=", f->name,
            static_cast<long long>(n), static_cast<long long>(m), static_cast<long long>(c0),
            static_cast<long long>(c1), names[static_cast<int>(out_shape)]);
        for (int i = 0; i < f->nparams && k > 0 && k < static_cast<int>(sizeof buf); ++i) {
            if (is_array(f->params[i].kind))
                k += std::snprintf(buf + k, sizeof buf - static_cast<size_t>(k), "%s ",
                                   names[static_cast<int>(shapes[i])]);
            else
                k += std::snprintf(buf + k, sizeof buf - static_cast<size_t>(k), "%d ", ints[i]);
        }
        return buf;
    }
};

void run_trial(const Trial &tr, Rng &r, Failure &fail) {
    const Function &f = *tr.f;
    const int64_t n = tr.n, m = tr.m;
    std::vector<Block> blocks;
    qxp_arg args[qx::table::kMaxParams] = {};
    Layout lay[qx::table::kMaxParams];
    const double spices[] = {0.0, 0.02, 0.05, 0.2};
    const double spice = pick_of(r, spices);
    const bool integral = pick(r, 0, 2) == 0;  // many ties among the values
    for (int i = 0; i < f.nparams; ++i) {
        const Kind k = f.params[i].kind;
        if (!is_array(k)) {
            args[i].value = tr.ints[i];
            args[i].real = tr.reals[i];
            continue;
        }
        lay[i] = layout_of(tr.shapes[i], n, m);
        const size_t size = k == Kind::Cond ? 1 : 8;
        blocks.emplace_back(static_cast<size_t>(lay[i].extent) * size);
        void *base = blocks.back().p;
        // Padding gets junk that no column may read.
        if (k == Kind::Cond)
            std::memset(base, 0x5a, static_cast<size_t>(lay[i].extent));
        else
            for (int64_t e = 0; e < lay[i].extent; ++e)
                static_cast<double *>(base)[e] = from_bits(0x7ff0000000000bad);
        const int64_t cols = tr.shapes[i] == Shape::shared || tr.shapes[i] == Shape::scalar ? 1 : m;
        const int64_t bars = tr.shapes[i] == Shape::scalar ? 1 : n;
        for (int64_t j = 0; j < cols; ++j) {
            const int64_t off = lay[i].origin + j * lay[i].cs;
            if (k == Kind::Cond) {
                uint8_t *col = static_cast<uint8_t *>(base) + off;
                fill_cond(r, col, lay[i].bs, bars);
            } else if (k == Kind::Periods) {
                fill_periods(r, static_cast<double *>(base) + off, lay[i].bs, bars);
            } else {
                fill_series(r, static_cast<double *>(base) + off, lay[i].bs, bars, spice, integral);
            }
        }
        args[i].data =
            static_cast<unsigned char *>(base) + size * static_cast<size_t>(lay[i].origin);
        args[i].bar_stride = lay[i].bs;
        args[i].col_stride = lay[i].cs;
    }
    const Layout ol = layout_of(tr.out_shape, n, m);
    Block out_block(static_cast<size_t>(ol.extent) * 8);
    double *ob = static_cast<double *>(out_block.p);
    for (int64_t e = 0; e < ol.extent; ++e) ob[e] = from_bits(kCanaryBits);
    const qxp_out out{ob + ol.origin, ol.bs, ol.cs};

    const size_t scratch_bytes =
        qxp_scratch_size(tr.row, static_cast<int32_t>(n), tr.c0, tr.c1, args, &out);
    Block scratch(scratch_bytes);
    const int32_t st = qxp_run(tr.row, static_cast<int32_t>(n), tr.c0, tr.c1, args, &out,
                               scratch_bytes > 0 ? scratch.p : nullptr);

    // The 1-D kernel on each column alone, from contiguous copies.
    qx::table::Slot slots[qx::table::kMaxParams] = {};
    std::vector<std::vector<unsigned char>> cols(static_cast<size_t>(f.nparams));
    std::vector<double> want(static_cast<size_t>(n > 0 ? n : 1));
    int32_t want_st = 0;
    for (int64_t j = 0; j < m; ++j) {
        const bool asked = j >= tr.c0 && j < tr.c1;
        for (int i = 0; i < f.nparams; ++i) {
            const Kind k = f.params[i].kind;
            slots[i].value = is_array(k) ? static_cast<int32_t>(n) : args[i].value;
            slots[i].real = args[i].real;
            if (!is_array(k)) continue;
            const size_t size = k == Kind::Cond ? 1 : 8;
            std::vector<unsigned char> &c = cols[static_cast<size_t>(i)];
            c.assign(static_cast<size_t>(n) * size + 1, 0);
            for (int64_t t = 0; t < n; ++t) {
                const unsigned char *src =
                    static_cast<const unsigned char *>(args[i].data) +
                    static_cast<int64_t>(size) * (t * args[i].bar_stride + j * args[i].col_stride);
                std::memcpy(c.data() + static_cast<size_t>(t) * size, src, size);
            }
            slots[i].data = c.data();
        }
        for (double &w : want) w = from_bits(kCanaryBits);
        const int32_t s = f.invoke(0, slots, want.data(), static_cast<int32_t>(n));
        if (j == 0) want_st = s;
        if (s != want_st) {
            fail.report(tr.describe() + ": the 1-D status depends on the column");
            return;
        }
        for (int64_t t = 0; t < n; ++t) {
            const double got = out.data[t * out.bar_stride + j * out.col_stride];
            const uint64_t expect =
                asked && st == 0 ? bits_of(want[static_cast<size_t>(t)]) : kCanaryBits;
            if (bits_of(got) != expect && !same_nan(bits_of(got), expect)) {
                char buf[160];
                std::snprintf(buf, sizeof buf,
                              ": status %d, column %lld bar %lld: got %.17g [%016llx] want "
                              "[%016llx]",
                              st, static_cast<long long>(j), static_cast<long long>(t), got,
                              static_cast<unsigned long long>(bits_of(got)),
                              static_cast<unsigned long long>(expect));
                fail.report(tr.describe() + buf);
                return;
            }
        }
    }
    if (m == 0) {
        for (int i = 0; i < f.nparams; ++i) {
            slots[i].value = is_array(f.params[i].kind) ? 0 : args[i].value;
            slots[i].real = args[i].real;
        }
        want_st = f.invoke(0, slots, nullptr, 0);
    }
    if (st != want_st)
        fail.report(tr.describe() + ": status " + std::to_string(st) + ", the 1-D kernel gives " +
                    std::to_string(want_st));
    // The padding between columns and bars keeps its canaries: every element that
    // changed is one of the panel's.
    int64_t changed = 0, in_panel = 0;
    for (int64_t e = 0; e < ol.extent; ++e) changed += bits_of(ob[e]) != kCanaryBits;
    for (int64_t j = 0; j < m; ++j)
        for (int64_t t = 0; t < n; ++t)
            in_panel += bits_of(out.data[t * out.bar_stride + j * out.col_stride]) != kCanaryBits;
    if (changed != in_panel) fail.report(tr.describe() + ": wrote outside the panel");
}

}  // namespace

int main(int argc, char **argv) {
    const long trials = argc > 1 ? std::atol(argv[1]) : 200;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 12345;
    Failure fail;
    long runs = 0;
    // The lane kernels choose their instruction set on each call; each variant in turn
    // (capped at what the CPU has), from the same seed.
    for (const char *isa : {"sse2", "avx2", "avx512"}) {
        setenv("QUORIX_ISA", isa, 1);
        Rng r(seed);
        const int before = fail.count;
        const Shape in_shapes[] = {Shape::c_order, Shape::fortran, Shape::padded_c, Shape::padded_f,
                                   Shape::reversed};
        const Shape out_shapes[] = {Shape::c_order, Shape::fortran, Shape::padded_c,
                                    Shape::padded_f, Shape::reversed};
        for (int32_t row = 0; row < kRows; ++row) {
            const Function &f = qx::table::row_at(static_cast<size_t>(row));
            for (long k = 0; k < trials; ++k) {
                Trial tr{};
                tr.f = &f;
                tr.row = row;
                const int64_t lengths[] = {0, 1, 2, 3, 5, 8, 17, 31, 64, 100, 257, 600};
                const int64_t widths[] = {1,  2,  3,  4,  5,  7,  8,  9, 15,
                                          16, 17, 23, 31, 32, 33, 40, 67};
                tr.n = pick_of(r, lengths);
                tr.m = pick_of(r, widths);
                if (pick(r, 0, 1) == 0) {
                    tr.c0 = 0;
                    tr.c1 = tr.m;
                } else {
                    tr.c0 = pick(r, 0, tr.m);
                    tr.c1 = pick(r, tr.c0, tr.m);
                }
                // One layout for the panel, the same for every panel argument most of the
                // time; secondary arguments now and then shared or scalar.
                const Shape main = pick_of(r, in_shapes);
                bool first_array = true;
                for (int i = 0; i < f.nparams; ++i) {
                    const Kind kind = f.params[i].kind;
                    if (!is_array(kind)) {
                        tr.ints[i] = pick_int(r, tr.n);
                        tr.reals[i] = std::uniform_real_distribution<double>(-2.0, 2.0)(r);
                        continue;
                    }
                    Shape s = pick(r, 0, 3) == 0 ? pick_of(r, in_shapes) : main;
                    if (!first_array) {
                        const int64_t b = pick(r, 0, 5);
                        if (b == 0) s = Shape::shared;
                        if (b == 1) s = Shape::scalar;
                    } else if (pick(r, 0, 15) == 0) {
                        s = Shape::shared;
                    }
                    tr.shapes[i] = s;
                    first_array = false;
                }
                tr.out_shape = pick(r, 0, 2) == 0 ? pick_of(r, out_shapes) : main;
                run_trial(tr, r, fail);
                ++runs;
            }
        }
        if (fail.count > before) std::fprintf(stderr, "(with QUORIX_ISA=%s)\n", isa);
    }
    std::printf("panel driver: %ld trials over %zu rows, seed %llu: %s\n", runs,
                static_cast<size_t>(kRows), seed,
                fail.count ? "FAILED" : "every column identical to its 1-D kernel");
    return fail.count ? 1 : 0;
}
