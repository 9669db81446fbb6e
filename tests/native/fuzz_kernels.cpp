// libFuzzer harness, built with ASan + UBSan: arbitrary bytes become one kernel call
// (kernel, context argument, integer parameters, counts, inputs), checked by check.h
// (status codes, untouched output on rejection, every element written, inputs never
// written, ctx ignored except by vx_ma, the per-bar reference) and against the kernels
// that must agree with it bit for bit. The first finding aborts, so libFuzzer keeps
// the input.
//
// Input layout, read front to back (past the end every byte reads as 0):
//   kernel   1 byte, index into every row of the table (row order) modulo their number
//   flags    1 byte: bit 0 one count replaced, bit 1 every count replaced by one value
//            (at most n; the buffers follow it)
//   length   1 byte b: b < 250 gives n = b, else n = 250 + (2 more bytes) % 775
//   ctx      an int (below)
//   ints     one int per integer parameter
//   reals    one real per real parameter
//   counts   with flag bit 0: a slot byte (modulo inputs + 1) and an int; with bit 1: an int
//   inputs   n elements per input, by kind (below)
// An int is 1 byte b: b < 12 picks an edge value of int_edges(n), b < 240 gives b - 112,
// b < 255 gives n + b - 247, b = 255 reads the next 4 bytes (little-endian).
// A series element is 1 byte b: b < 32 picks a special value, b < 255 gives
// (b - 143) / 2, b = 255 reads the next 8 bytes as a double. A period element: b < 32
// special periods, b < 64 gives n + b - 48, b < 255 gives b - 72, b = 255 reads 8 bytes.
// A condition element is the byte itself. A real is 1 byte b: b < 16 picks a special
// value, b < 255 gives (b - 32) / 2, b = 255 reads the next 8 bytes as a double.
#include <cmath>

#include "check.h"

namespace {

struct Reader {
    const uint8_t *p;
    size_t size, at = 0;
    uint8_t byte() { return at < size ? p[at++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    double f64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(byte()) << (8 * i);
        return qxh::from_bits(v);
    }
};

const double kNaN = qxh::from_bits(0x7ff8000000000000ULL);
const double kInf = HUGE_VAL;

const double kSeriesSpecials[32] = {kNaN,
                                    -kNaN,
                                    qxh::from_bits(0x7ff8000000000abcULL),
                                    qxh::from_bits(0x7ff0000000000001ULL),
                                    kInf,
                                    -kInf,
                                    0.0,
                                    -0.0,
                                    1e308,
                                    -1e308,
                                    1.7976931348623157e308,
                                    -1.7976931348623157e308,
                                    4.9e-324,
                                    -4.9e-324,
                                    2.2250738585072014e-308,
                                    1e-300,
                                    9007199254740992.0,
                                    9007199254740993.0,
                                    -9007199254740992.0,
                                    1e16,
                                    0.1,
                                    0.2,
                                    0.3,
                                    -0.1,
                                    1.0 / 3.0,
                                    2.0 / 3.0,
                                    1e15 + 0.3,
                                    123456.789,
                                    -98765.4321,
                                    2147483648.0,
                                    -2147483649.0,
                                    1e-5};

const double kPeriodSpecials[32] = {kNaN,         -kNaN,         kInf,          -kInf,
                                    1e300,        -1e300,        2147483648.0,  -2147483648.0,
                                    2147483647.0, -2147483647.0, -0.5,          0.5,
                                    2.9,          -1.5,          0.99,          -0.0,
                                    2147483647.5, -2147483648.5, 2147483648.5,  -2147483649.0,
                                    3e9,          -3e9,          4.9e-324,      -4.9e-324,
                                    1.0 - 1e-16,  1.5,           1e10,          -1e10,
                                    65536.5,      4294967296.0,  -4294967296.0, 0.0};

int32_t read_int(Reader &r, int64_t n) {
    const uint8_t b = r.byte();
    if (b < 12) {
        const std::vector<int32_t> edges = qxh::int_edges(n);
        return edges[b % edges.size()];
    }
    if (b < 240) return static_cast<int32_t>(b) - 112;
    if (b < 255) {
        const int64_t v = n + b - 247;
        return static_cast<int32_t>(v);
    }
    return static_cast<int32_t>(r.u32());
}

double read_series(Reader &r) {
    const uint8_t b = r.byte();
    if (b < 32) return kSeriesSpecials[b];
    if (b < 255) return (static_cast<double>(b) - 143.0) / 2.0;
    return r.f64();
}

double read_period(Reader &r, int64_t n) {
    const uint8_t b = r.byte();
    if (b < 32) return kPeriodSpecials[b];
    if (b < 64) return static_cast<double>(n + b - 48);
    if (b < 255) return static_cast<double>(b) - 72.0;
    return r.f64();
}

// Real parameters (percentages, steps): specials, then halves from -8 to 111.
const double kRealSpecials[16] = {kNaN,   -kNaN, kInf,  -kInf, 0.0,   -0.0,  4.9e-324, -1.0,
                                  1e-300, 0.01,  99.99, 100.0, 100.5, 1e300, 2.0,      20.0};

double read_real(Reader &r) {
    const uint8_t b = r.byte();
    if (b < 16) return kRealSpecials[b];
    if (b < 255) return (static_cast<double>(b) - 32.0) / 2.0;
    return r.f64();
}

qxh::Reporter &reporter() {
    static qxh::Reporter rep;
    rep.abort_on_finding = true;
    return rep;
}

void fail(const qxh::Case &k, const std::string &what) { reporter().finding(k, what); }

// The same case run through another kernel of the same shape must give the same status
// and bits: vx_stddev / vx_stdp, vx_barlast / vx_barslast.
void same_as(const qxh::Case &k, const char *other, int32_t st, const std::vector<double> &out) {
    const KernelEntry *e = qxh::find_kernel(other);
    if (e == nullptr || e->invoke == nullptr) return;
    qxh::Case k2 = k;
    k2.e = e;
    std::vector<double> out2;
    const int32_t st2 = qxh::check_case(k2, reporter(), &out2);
    if (st2 != st || qxh::first_difference(out.data(), out2.data(), k.nreal, true) >= 0)
        fail(k, std::string("differs from ") + other);
}

// A fixed period N against the per-bar kernel given N at every bar: vx_llv / vx_llv_a,
// vx_hhv / vx_hhv_a (N >= 0), vx_ref / vx_ref_a (every N).
void same_as_per_bar(const qxh::Case &k, const char *other, int32_t st,
                     const std::vector<double> &out) {
    const KernelEntry *e = qxh::find_kernel(other);
    if (e == nullptr || e->invoke == nullptr || st != 0 || !qxh::counts_agree(k, 1)) return;
    qxh::Case k2 = k;
    k2.e = e;
    const double p = static_cast<double>(k.ints[0]);
    std::vector<unsigned char> periods(static_cast<size_t>(k.nreal) * sizeof(double));
    for (int64_t i = 0; i < k.nreal; ++i) std::memcpy(periods.data() + i * 8, &p, 8);
    k2.data = {k.data[0], periods};
    k2.counts[0] = k2.counts[1] = k2.counts[2] = k.counts[0];
    std::vector<double> out2;
    const int32_t st2 = qxh::check_case(k2, reporter(), &out2);
    if (st2 != 0 || qxh::first_difference(out.data(), out2.data(), k.nreal, true) >= 0)
        fail(k, std::string("differs from ") + other + " with the period at every bar");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader r{data, size};
    qxh::Case k;
    k.e = &kKernels[r.byte() % kNumKernels];
    if (k.e->invoke == nullptr) fail(k, "in the function table but not built");
    const uint8_t flags = r.byte();
    const uint8_t lb = r.byte();
    int64_t n = lb;
    if (lb >= 250) n = 250 + ((r.byte() | (r.byte() << 8)) % 775);

    const std::string kinds = qxh::input_kinds(*k.e);
    const size_t nin = kinds.size();
    k.ctx = read_int(r, n);
    for (int i = 0; i < qxh::count_ints(*k.e); ++i) k.ints[i] = read_int(r, n);
    for (int i = 0; i < qxh::count_reals(*k.e); ++i) k.reals[i] = read_real(r);
    for (size_t i = 0; i <= nin; ++i) k.counts[i] = static_cast<int32_t>(n);
    k.nreal = n;
    if (flags & 2) {
        // Every count the same value (at most n), negative ones included; the buffers
        // are as long as the counts say, or empty.
        int32_t c = read_int(r, n);
        if (c > n) c = static_cast<int32_t>(n);
        for (size_t i = 0; i <= nin; ++i) k.counts[i] = c;
        k.nreal = c < 0 ? 0 : c;
    }
    if (flags & 1) k.counts[r.byte() % (nin + 1)] = read_int(r, n);

    for (char kind : kinds) {
        std::vector<unsigned char> d;
        if (kind == 'C') {
            for (int64_t i = 0; i < k.nreal; ++i) d.push_back(r.byte());
        } else {
            d.resize(static_cast<size_t>(k.nreal) * sizeof(double));
            for (int64_t i = 0; i < k.nreal; ++i) {
                const double v = kind == 'P' ? read_period(r, k.nreal) : read_series(r);
                std::memcpy(d.data() + i * 8, &v, 8);
            }
        }
        k.data.push_back(std::move(d));
    }

    std::vector<double> out;
    const int32_t st = qxh::check_case(k, reporter(), &out);
    // Kernels that must agree bit for bit (looked up once, compared by address).
    static const KernelEntry *stddev = qxh::find_kernel("vx_stddev"),
                             *barlast = qxh::find_kernel("vx_barlast"),
                             *llv = qxh::find_kernel("vx_llv"), *hhv = qxh::find_kernel("vx_hhv"),
                             *ref = qxh::find_kernel("vx_ref");
    if (k.e == stddev) same_as(k, "vx_stdp", st, out);
    if (k.e == barlast) same_as(k, "vx_barslast", st, out);
    if (k.e == llv) same_as_per_bar(k, "vx_llv_a", st, out);
    if (k.e == hhv) same_as_per_bar(k, "vx_hhv_a", st, out);
    if (k.e == ref) same_as_per_bar(k, "vx_ref_a", st, out);
    return 0;
}
