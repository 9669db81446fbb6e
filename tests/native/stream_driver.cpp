// Streams against the 1-D kernels, built with AddressSanitizer and
// UndefinedBehaviorSanitizer. For every row of the function table, over random series
// (missing runs at the start and in the middle, infinities, signed zeros, NaNs with
// payloads of both signs) and integer parameters around the window edges and beyond
// the length, each bar is taken by a stream and its value compared, bit for bit, with
// the row's kernel over the bars so far at that bar, and with the kernel over the whole
// series (streams never change a value afterwards). Also: qxs_run against qxs_update,
// a copy of the state continuing exactly, the parameters refused exactly where the
// kernel refuses them, refusals only where a bar reaches past the bars kept or ahead,
// the saved form restoring the same bytes and refusing any changed byte, and blocks
// with corrupted heads either refused by qxs_check or run without a fault.
// Exit status 0 only with no finding.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#define QX_TABLE_WITH_EXTRAS
#include "quorix_lang.h"
#include "quorix_stream.h"
#include "quorix_table.h"

namespace {

using qx::table::Function;
using qx::table::Kind;

int failures = 0;

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
// The same value: the same bits, or both missing. Which NaN an operation on two NaN
// operands gives depends on the order of the operands inside the instruction, which
// the compiler chooses; like the kernels, the streams promise the missing value there,
// not its payload.
bool same(double a, double b) { return bits(a) == bits(b) || (a != a && b != b); }

double of_bits(uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

void fail(const Function &f, const char *what, const int32_t *p, int64_t hist, int64_t bar,
          double got, double want) {
    if (++failures > 40) return;
    std::printf("%s(N=%d, M=%d, history=%" PRId64 ") bar %" PRId64 ": %s: got %.17g (%016" PRIx64
                "), want %.17g (%016" PRIx64 ")\n",
                f.name, p[0], p[1], hist, bar, what, got, bits(got), want, bits(want));
}

// A random series of the kind the kernels meet: a walk with runs of missing values,
// infinities, signed zeros and NaNs of other payloads mixed in.
std::vector<double> series(std::mt19937_64 &g, int64_t n, int flavour) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> x(static_cast<size_t>(n));
    double level = z(g) * 100;
    const double nan_payload[] = {of_bits(0x7ff8000000000000ULL), of_bits(0x7ff8000000000abcULL),
                                  of_bits(0xfff8000000000abcULL)};
    const int64_t lead = flavour == 0 ? 0 : static_cast<int64_t>(u(g) * 12);
    const int64_t mid = static_cast<int64_t>(u(g) * static_cast<double>(n));
    const int64_t midlen = flavour == 2 ? 1 + static_cast<int64_t>(u(g) * 5) : 0;
    for (int64_t i = 0; i < n; ++i) {
        level += z(g);
        double v = level;
        const double r = u(g);
        if (flavour == 3) v = r < 0.5 ? 0.0 : (r < 0.8 ? -0.0 : 1.0);  // ties of zeros
        if (flavour >= 1 && r < 0.04)
            v = nan_payload[static_cast<int>(u(g) * 3) % 3];
        else if (flavour >= 1 && r < 0.06)
            v = r < 0.05 ? HUGE_VAL : -HUGE_VAL;
        else if (r < 0.09)
            v = r < 0.075 ? 0.0 : -0.0;
        if (i < lead || (i >= mid && i < mid + midlen)) v = nan_payload[i % 3];
        x[static_cast<size_t>(i)] = v;
    }
    return x;
}

// Per-bar periods: small ones around the window edges, fractions, zeros, negatives and
// values at and beyond the ends of int32.
std::vector<double> periods(std::mt19937_64 &g, int64_t n, bool non_negative) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double specials[] = {
        NAN,   HUGE_VAL, -HUGE_VAL,    0.0,           -0.0,         -0.5,          0.5, 2.9,
        1e300, -1e300,   2147483648.0, -2147483648.0, 2147483647.0, -2147483649.0, 3e9, -1.5};
    std::vector<double> p(static_cast<size_t>(n));
    for (auto &v : p) {
        const double r = u(g);
        if (r < 0.12) {
            v = specials[static_cast<int>(u(g) * 16) % 16];
            if (non_negative && v < -0.9) v = -v;
        } else {
            v = (non_negative ? 0.0 : -3.0) + u(g) * (static_cast<double>(n) * 0.6 + 4.0);
        }
    }
    return p;
}

// Weights for DMA, conditions as 0/1 and as floats (REFIF's c: zeros and NaN).
std::vector<double> weights(std::mt19937_64 &g, int64_t n) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> w(static_cast<size_t>(n));
    for (auto &v : w) {
        const double r = u(g);
        v = r < 0.03 ? NAN : r < 0.06 ? 1.5 : r < 0.1 ? 0.0 : u(g);
    }
    return w;
}

std::vector<double> flags(std::mt19937_64 &g, int64_t n, bool nan_too) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> c(static_cast<size_t>(n));
    for (auto &v : c) {
        const double r = u(g);
        v = r < 0.45 ? 0.0 : r < 0.5 ? -0.0 : (nan_too && r < 0.55) ? NAN : 1.0;
    }
    return c;
}

struct Inputs {
    std::vector<std::vector<double>> cols;    // one per array parameter, as the stream takes
    std::vector<std::vector<uint8_t>> bytes;  // the condition columns as the kernel takes them
};

Inputs make_inputs(const Function &f, std::mt19937_64 &g, int64_t n, int flavour) {
    Inputs in;
    for (int k = 0; k < f.nparams; ++k) {
        const qx::table::Param &q = f.params[k];
        if (q.kind == Kind::Int || q.kind == Kind::Real) continue;
        std::vector<double> c;
        if (q.kind == Kind::Periods)
            c = periods(g, n, std::strcmp(f.name, "REF_A") != 0 && flavour % 2 == 0);
        else if (q.kind == Kind::Cond)
            c = flags(g, n, false);
        else if (std::strcmp(f.name, "DMA") == 0 && k == 1)
            c = weights(g, n);
        else if (std::strcmp(f.name, "REFIF") == 0 && k == 1)
            c = flags(g, n, true);
        else
            c = series(g, n, flavour);
        std::vector<uint8_t> b(c.size());
        for (size_t i = 0; i < c.size(); ++i) b[i] = c[i] != 0.0;
        in.cols.push_back(std::move(c));
        in.bytes.push_back(std::move(b));
    }
    return in;
}

// The kernel over the first m bars; out starts as +0.0 (what the bindings store).
std::vector<double> kernel(const Function &f, const Inputs &in, const int32_t *p, const double *r,
                           int64_t m, int32_t *status) {
    qx::table::Slot s[qx::table::kMaxParams] = {};
    for (int k = 0, a = 0, i = 0, j = 0; k < f.nparams; ++k) {
        if (f.params[k].kind == Kind::Int) {
            s[k].value = p[i++];
            continue;
        }
        if (f.params[k].kind == Kind::Real) {
            s[k].real = r[j++];
            continue;
        }
        if (f.params[k].kind == Kind::Cond)
            s[k].data = in.bytes[static_cast<size_t>(a)].data();
        else
            s[k].data = in.cols[static_cast<size_t>(a)].data();
        s[k].value = static_cast<int32_t>(m);
        ++a;
    }
    std::vector<double> out(static_cast<size_t>(m) + 1, 0.0);
    *status = f.invoke(0, s, out.data(), static_cast<int32_t>(m));
    return out;
}

// Every row, in the streams' numbering.
constexpr size_t kRows = qx::table::kNumRows;
const Function &function(int32_t row) { return qx::table::row_at(static_cast<size_t>(row)); }

// The reach of bar i of a per-bar period row: how many bars back the kernel reads, or
// -1 when it reads no earlier bar, -2 for a bar it reads ahead of.
int64_t reach(const Function &f, double p, int64_t i) {
    if (std::strcmp(f.name, "SUMBARS") == 0) return i;  // as far back as its target needs
    if (!(p > -2147483649.0 && p < 2147483648.0)) return -1;
    const int64_t P = static_cast<int32_t>(p);
    const std::string name = f.name;
    if (name == "REF_A") return P < 0 ? -2 : P > i ? -1 : P;
    if (name == "MA_A" || name == "SUM_A") return (P >= 1 && P <= i) ? P : -1;
    // COUNT_A, LLV_A, HHV_A: windows of all bars so far need no history.
    return (P >= 1 && P <= i) ? P : -1;
}

void one_case(int32_t row, const Function &f, const Inputs &in, const int32_t *p, const double *r,
              int64_t hist, std::mt19937_64 &g) {
    const int64_t n = static_cast<int64_t>(in.cols[0].size());
    int32_t st;
    kernel(f, in, p, r, 0, &st);
    const size_t size = qxs_state_size(row, p, hist);
    if (size == 0 || size > (size_t{64} << 20)) return;  // a ring too large to hold here
    std::vector<uint64_t> block((size + 7) / 8);
    const int32_t init = qxs_init_reals(row, p, r, hist, block.data(), size);
    if ((init == QXS_BAD_PERIOD) != (st == QX_BAD_PERIOD) || (init != 0 && init != 2)) {
        fail(f, "init disagrees with the kernel's check", p, hist, -1, init, st);
        return;
    }
    if (init != 0) return;
    const int64_t delay = qxs_delay(block.data());
    const std::vector<double> whole = kernel(f, in, p, r, n, &st);
    const int64_t copy_at = n / 2;
    std::vector<uint64_t> twin;
    std::vector<double> streamed(static_cast<size_t>(n));
    double v[qx::table::kMaxParams];
    for (int64_t t = 0; t < n; ++t) {
        if (t == copy_at) {
            if (qxs_check(block.data(), size) != QXS_OK)
                fail(f, "check of a sound state", p, hist, t, 0, 0);
            twin = block;
        }
        for (size_t k = 0; k < in.cols.size(); ++k) v[k] = in.cols[k][static_cast<size_t>(t)];
        double got;
        const int32_t ust = qxs_update(block.data(), v, &got);
        streamed[static_cast<size_t>(t)] = got;
        if (ust != QXS_OK) {
            // Refused: only a per-bar period row, only where the bar reaches past the
            // bars kept or ahead; the value is the missing value.
            const int64_t r =
                qxs_keeps_history(row) ? reach(f, in.cols[1][static_cast<size_t>(t)], t) : -1;
            const bool ok =
                (ust == QXS_LOOKS_AHEAD && r == -2) || (ust == QXS_BEYOND_HISTORY && r > hist);
            if (!ok || bits(got) != 0x7ff8000000000000ULL)
                fail(f, "refused a bar", p, hist, t, ust, static_cast<double>(r));
            continue;
        }
        if (qxs_keeps_history(row) && std::strcmp(f.name, "SUMBARS") != 0) {
            const int64_t r = reach(f, in.cols[1][static_cast<size_t>(t)], t);
            if (r == -2 || r > hist) fail(f, "took a bar it must refuse", p, hist, t, got, r);
        }
        const int64_t b = t - delay;
        if (b < 0) {
            if (bits(got) != 0x7ff8000000000000ULL)
                fail(f, "value before any bar is final", p, hist, t, got, NAN);
            continue;
        }
        const std::vector<double> prefix = kernel(f, in, p, r, t + 1, &st);
        const double want = prefix[static_cast<size_t>(b)];
        if (!same(got, want))
            fail(f, "differs from the kernel over the bars so far", p, hist, t, got, want);
        if (!same(got, whole[static_cast<size_t>(b)]))
            fail(f, "differs from the kernel over the whole series", p, hist, t, got,
                 whole[static_cast<size_t>(b)]);
    }
    // The copy continues exactly, through qxs_run.
    if (!twin.empty()) {
        std::vector<const double *> cols;
        for (auto &c : in.cols) cols.push_back(c.data() + copy_at);
        std::vector<double> out(static_cast<size_t>(n - copy_at));
        int64_t done = 0, at = 0;
        while (at < n - copy_at) {
            std::vector<const double *> from;
            for (auto c : cols) from.push_back(c + at);
            qxs_run(twin.data(), from.data(), n - copy_at - at, out.data() + at, &done);
            at += done;
            if (done == 0) break;
        }
        for (int64_t t = copy_at; t < n; ++t)
            if (bits(out[static_cast<size_t>(t - copy_at)]) !=
                bits(streamed[static_cast<size_t>(t)]))
                fail(f, "the copied state, through qxs_run, differs", p, hist, t,
                     out[static_cast<size_t>(t - copy_at)], streamed[static_cast<size_t>(t)]);
        if (std::memcmp(twin.data(), block.data(), size) != 0)
            fail(f, "the copied state ends in other bytes", p, hist, n, 0, 0);
    }
    // The saved form: restored to the same bytes; any one byte changed, or the form cut
    // short, refused (the checksum); a head edited with its checksum made anew refused,
    // or sound enough to run (below, with the blocks).
    {
        const size_t n_saved = qxs_saved_size(block.data());
        std::vector<unsigned char> saved(n_saved);
        if (qxs_save(block.data(), saved.data(), n_saved) != QXS_OK ||
            qxs_loaded_size(saved.data(), n_saved) != size)
            fail(f, "save", p, hist, n, 0, 0);
        std::vector<uint64_t> loaded((size + 7) / 8, 0);
        if (qxs_load(saved.data(), n_saved, loaded.data(), size) != QXS_OK ||
            std::memcmp(loaded.data(), block.data(), size) != 0)
            fail(f, "a saved state restored to other bytes", p, hist, n, 0, 0);
        // Every byte of the head, then some of the ring, and the checksum itself.
        std::uniform_int_distribution<size_t> anywhere(0, n_saved - 1);
        for (size_t k = 0; k < 160; ++k) {
            const size_t at = k < 136 ? k : k < 152 ? anywhere(g) : n_saved - 160 + k;
            std::vector<unsigned char> bad = saved;
            bad[at] ^= static_cast<unsigned char>(1u << (g() % 8));
            std::vector<uint64_t> into((size + 7) / 8, 0);
            const size_t want = qxs_loaded_size(bad.data(), n_saved);
            if (want == size && qxs_load(bad.data(), n_saved, into.data(), size) == QXS_OK)
                fail(f, "a changed byte of a saved state was not noticed", p, hist,
                     static_cast<int64_t>(at), 0, 0);
        }
        if (qxs_loaded_size(saved.data(), n_saved - 1) != 0)
            fail(f, "a saved state cut short", p, hist, n, 0, 0);
    }
    // Corrupted heads: refused, or sound enough to run without a fault (the sanitizers
    // watch the block's bounds).
    std::uniform_int_distribution<size_t> byte(0, 159 < size ? 159 : size - 1);
    for (int trial = 0; trial < 8; ++trial) {
        std::vector<uint64_t> bad = block;
        unsigned char *raw = reinterpret_cast<unsigned char *>(bad.data());
        raw[byte(g)] ^= static_cast<unsigned char>(1u << (g() % 8));
        if (qxs_check(bad.data(), size) != QXS_OK) continue;
        for (int64_t t = 0; t < 40 && t < n; ++t) {
            for (size_t k = 0; k < in.cols.size(); ++k) v[k] = in.cols[k][static_cast<size_t>(t)];
            double got;
            qxs_update(bad.data(), v, &got);
        }
    }
    if (qxs_check(block.data(), size - 8) == QXS_OK)
        fail(f, "check of a short block", p, hist, n, 0, 0);
}

}  // namespace

int main() {
    std::mt19937_64 g(20261207);
    int64_t cases = 0;
    for (int32_t row = 0; row < static_cast<int32_t>(kRows); ++row) {
        const Function &f = function(row);
        // Every function streams but those that read later bars at every bar.
        const bool always_ahead = f.ahead == qx::table::Ahead::Always;
        if (qxs_streams(row) == always_ahead) {
            std::printf("%s: %s\n", f.name, always_ahead ? "streams" : "has no stream");
            ++failures;
        }
        if (always_ahead || !qxs_streams(row)) continue;
        int m = 0, reals = 0;
        for (int k = 0; k < f.nparams; ++k) {
            m += f.params[k].kind == Kind::Int;
            reals += f.params[k].kind == Kind::Real;
        }
        // Real parameters (SAR's STEP and MAX): accepted pairs, and pairs the kernel
        // refuses (zero, NaN, infinite, out of order, beyond 100).
        const double kReals[][2] = {{2.0, 20.0},  {7.5, 7.5},  {0.5, 100.0}, {0.0, 20.0},
                                    {30.0, 20.0}, {NAN, 20.0}, {2.0, 101.0}, {2.0, HUGE_VAL}};
        const int nreals = reals == 0 ? 1 : static_cast<int>(sizeof kReals / sizeof kReals[0]);
        for (int64_t n : {1, 2, 3, 7, 40, 150}) {
            const int32_t n32 = static_cast<int32_t>(n);
            const int32_t edges[] = {0,       1,  2,  3,    5,         n32 - 1,  n32,
                                     n32 + 1, -1, -2, -n32, INT32_MIN, INT32_MAX};
            const int ne = sizeof edges / sizeof edges[0];
            const int combos = m == 0 ? 1 : m == 1 ? ne : ne * ne;
            for (int flavour = 0; flavour < 4; ++flavour) {
                const Inputs in = make_inputs(f, g, n, flavour);
                for (int c = 0; c < combos * nreals; ++c) {
                    const int pc = c % combos;
                    const int32_t p[2] = {m >= 1 ? edges[pc % ne] : 0, m >= 2 ? edges[pc / ne] : 0};
                    const double *r = reals == 0 ? nullptr : kReals[c / combos];
                    if (qxs_keeps_history(row)) {
                        for (int64_t hist : {int64_t{0}, int64_t{1}, int64_t{4}, n}) {
                            one_case(row, f, in, p, r, hist, g);
                            ++cases;
                        }
                    } else {
                        one_case(row, f, in, p, r, 0, g);
                        ++cases;
                    }
                }
            }
        }
    }
    std::printf("streams: %" PRId64 " cases over %zu rows, %d findings\n", cases, kRows, failures);
    return failures == 0 ? 0 : 1;
}
