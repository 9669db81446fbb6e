// What the native harnesses share: every kernel of the function table behind one
// uniform call, exact-size buffers, canaries, bit comparisons and the edge values of
// the grid.
#ifndef QX_NATIVE_HARNESS_H
#define QX_NATIVE_HARNESS_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "quorix.h"
#include "quorix_lang.h"

// Every kernel of the table is declared weak, so that one that the table names but no
// source defines shows up as a null row (the harnesses report it) instead of a link
// error that hides every other result.
#define QXH_PRAGMA_(x) _Pragma(#x)
#define QX_FUNCTION(NAME, kernel, ...) QXH_PRAGMA_(weak kernel)
#define QX_EXTRA(NAME, kernel, ...) QXH_PRAGMA_(weak kernel)
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION

// Every row, the formula language's own included (the harnesses link their kernels).
#ifndef QX_TABLE_WITH_EXTRAS
#define QX_TABLE_WITH_EXTRAS
#endif
#include "quorix_table.h"

// One kernel call with every argument in a uniform shape: input addresses and counts
// in parameter order, integer parameters in order, real parameters in order, the output
// and its count.
struct Call {
    int32_t ctx = 0;
    const void *in[4] = {};
    int32_t cnt[4] = {};
    int32_t ip[4] = {};
    double rp[4] = {};
    double *out = nullptr;
    int32_t out_n = 0;
};

using Invoke = int32_t (*)(const Call &);

struct KernelEntry {
    const char *name;    // the kernel's C name, "vx_ma"
    const char *kinds;   // one letter per parameter: S series, P period series, C condition,
                         // I int, R real
    const char *params;  // parameter names, comma-separated
    Invoke invoke;       // null when the kernel is in the table but not built
    int first_written;   // the first bar a call that succeeds writes (CROSS keeps bar 0)
};

namespace qxh_table {

using qx::table::Function;
using qx::table::Kind;
using qx::table::kMaxParams;

constexpr char letter(Kind k) {
    switch (k) {
    case Kind::Series: return 'S';
    case Kind::Periods: return 'P';
    case Kind::Cond: return 'C';
    case Kind::Int: return 'I';
    default: return 'R';
    }
}

struct Shape {
    char kinds[kMaxParams + 1] = {};
    char params[64] = {};
};

constexpr Shape shape_of(const Function &f) {
    Shape s;
    size_t at = 0;
    for (int p = 0; p < f.nparams; ++p) {
        s.kinds[p] = letter(f.params[p].kind);
        if (p > 0) s.params[at++] = ',';
        for (const char *c = f.params[p].name; *c; ++c) s.params[at++] = *c;
    }
    return s;
}

template <size_t... I>
constexpr auto shapes(std::index_sequence<I...>) {
    struct All {
        Shape row[sizeof...(I)];
    };
    return All{{shape_of(qx::table::row_at(I))...}};
}
constexpr auto kShapes = shapes(std::make_index_sequence<qx::table::kNumRows>{});

// Row I's kernel called from a Call: inputs, integer and real parameters taken in order
// into the table's slots.
template <size_t I>
int32_t call_row(const Call &c) {
    constexpr const Function &f = qx::table::row_at(I);
    qx::table::Slot s[kMaxParams] = {};
    int in = 0, ip = 0, rp = 0;
    for (int p = 0; p < f.nparams; ++p) {
        if (f.params[p].kind == Kind::Int) {
            s[p].value = c.ip[ip++];
        } else if (f.params[p].kind == Kind::Real) {
            s[p].real = c.rp[rp++];
        } else {
            s[p].data = c.in[in];
            s[p].value = c.cnt[in];
            ++in;
        }
    }
    return f.invoke(c.ctx, s, c.out, c.out_n);
}

template <size_t... I>
auto entries(std::index_sequence<I...>) {
    // Whether each row's kernel was built (a weak symbol left undefined is null), in
    // row order: the QX_FUNCTION rows, then the QX_EXTRA rows.
    const bool built[] = {
#define QX_FUNCTION(NAME, kernel, ...) &kernel != nullptr,
#define QX_EXTRA(...)
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION
#define QX_FUNCTION(...)
#define QX_EXTRA(NAME, kernel, ...) &kernel != nullptr,
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION
    };
    static_assert(sizeof built == sizeof...(I), "one kernel per row");
    struct All {
        KernelEntry row[sizeof...(I)];
    };
    return All{
        {KernelEntry{qx::table::row_at(I).kernel, kShapes.row[I].kinds, kShapes.row[I].params,
                     built[I] ? &call_row<I> : nullptr, qx::table::row_at(I).first_written}...}};
}

}  // namespace qxh_table

// The kernels of every row of the function table, in row order (qx::table::row_at):
// vexa._vexa's, then the formula language's.
inline const auto kKernelTable =
    qxh_table::entries(std::make_index_sequence<qx::table::kNumRows>{});
inline const KernelEntry (&kKernels)[qx::table::kNumRows] = kKernelTable.row;
constexpr size_t kNumKernels = qx::table::kNumRows;

namespace qxh {

constexpr uint64_t kMissingBits = 0x7ff8000000000000ULL;
// A signalling-NaN pattern that no kernel produces: marks output not written.
constexpr uint64_t kCanaryBits = 0x7ff4deadbeef0001ULL;

inline uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
inline double from_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}
inline double canary() { return from_bits(kCanaryBits); }
inline bool is_canary(double v) { return bits_of(v) == kCanaryBits; }

// The kinds of a kernel's inputs (integer and real parameters left out), in order.
inline std::string input_kinds(const KernelEntry &e) {
    std::string s;
    for (const char *k = e.kinds; *k; ++k)
        if (*k != 'I' && *k != 'R') s += *k;
    return s;
}
inline int count_ints(const KernelEntry &e) {
    int m = 0;
    for (const char *k = e.kinds; *k; ++k) m += *k == 'I';
    return m;
}
inline int count_reals(const KernelEntry &e) {
    int m = 0;
    for (const char *k = e.kinds; *k; ++k) m += *k == 'R';
    return m;
}
inline const KernelEntry *find_kernel(const char *name) {
    for (const KernelEntry &e : kKernels)
        if (std::strcmp(e.name, name) == 0) return &e;
    return nullptr;
}

// Integer parameter edge values for a series of n bars, duplicates removed.
inline std::vector<int32_t> int_edges(int64_t n) {
    const int64_t raw[] = {INT32_MIN, INT32_MIN + 1LL, -n - 1,          -n,       -1, 0, 1, n - 1,
                           n,         n + 1,           INT32_MAX - 1LL, INT32_MAX};
    std::vector<int32_t> out;
    for (int64_t v : raw) {
        if (v < INT32_MIN || v > INT32_MAX) continue;
        bool seen = false;
        for (int32_t w : out) seen |= w == v;
        if (!seen) out.push_back(static_cast<int32_t>(v));
    }
    return out;
}

// Real parameter edge values (percentages and steps): missing, infinities, signed zeros,
// the smallest subnormal, values inside and just past 0 to 100.
inline std::vector<double> real_edges() {
    return {from_bits(kMissingBits),
            -HUGE_VAL,
            -1.0,
            -0.0,
            0.0,
            4.9e-324,
            0.5,
            2.0,
            20.0,
            100.0,
            100.5,
            HUGE_VAL};
}

// Context argument edge values.
inline std::vector<int32_t> ctx_edges(int64_t n) {
    const int64_t raw[] = {0, INT32_MIN, -n - 1, -1, 1, INT32_MAX};
    std::vector<int32_t> out;
    for (int64_t v : raw) {
        bool seen = false;
        for (int32_t w : out) seen |= w == v;
        if (!seen) out.push_back(static_cast<int32_t>(v));
    }
    return out;
}

// One block from its own malloc, of exactly `count` elements, so that a read or write
// one element past either end lands outside it (malloc(0) included).
template <class T>
struct Block {
    T *p = nullptr;
    int64_t n = 0;
    Block() = default;
    explicit Block(int64_t count)
        : p(static_cast<T *>(std::malloc(sizeof(T) * static_cast<size_t>(count)))), n(count) {
        if (p == nullptr && count > 0) {
            std::fprintf(stderr, "harness: out of memory\n");
            std::abort();
        }
    }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    Block(Block &&o) noexcept : p(o.p), n(o.n) {
        o.p = nullptr;
        o.n = 0;
    }
    Block &operator=(Block &&o) noexcept {
        std::swap(p, o.p);
        std::swap(n, o.n);
        return *this;
    }
    ~Block() { std::free(p); }
};

inline void fill_canary(double *out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) out[i] = canary();
}

// Equality of two outputs: every bit, or (values) every bit of numbers and any NaN
// where the other has a NaN. Canaries compare by bits in both modes. Returns the first
// differing index, or -1.
inline int64_t first_difference(const double *got, const double *want, int64_t n, bool exact) {
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t g = bits_of(got[i]), w = bits_of(want[i]);
        if (g == w) continue;
        if (!exact && got[i] != got[i] && want[i] != want[i] && g != kCanaryBits &&
            w != kCanaryBits)
            continue;
        return i;
    }
    return -1;
}

inline std::string describe_value(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g [0x%016llx]", v,
                  static_cast<unsigned long long>(bits_of(v)));
    return buf;
}

}  // namespace qxh

#endif
