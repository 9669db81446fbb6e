// One checked kernel call, shared by the sanitizer driver and the fuzzer: every buffer
// from its own malloc at its exact size, canaries in the output, and the invariants
// that hold for every kernel (status codes, untouched output on rejection, every
// element its row writes written on success and the bars it keeps untouched, inputs
// never written, ctx ignored except by vx_ma),
// plus the per-bar reference where there is one.
#ifndef QX_NATIVE_CHECK_H
#define QX_NATIVE_CHECK_H

#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "reference.h"

namespace qxh {

struct Case {
    const KernelEntry *e = nullptr;
    int32_t ctx = 0;
    int32_t ints[4] = {};
    double reals[4] = {};
    int32_t counts[5] = {};  // one per input, then the output's
    int64_t nreal = 0;       // the length of every buffer
    // Raw contents per input: nreal doubles for S and P, nreal bytes for C.
    std::vector<std::vector<unsigned char>> data;
};

struct Reporter {
    uint64_t calls = 0;  // kernel invocations
    uint64_t findings = 0;
    uint64_t printed_limit = 40;
    bool abort_on_finding = false;  // the fuzzer stops at the first one
    // Status seen per kernel and integer parameters, for kernels without a reference:
    // the period check comes before the n <= 0 check, so it cannot depend on n.
    std::map<std::string, int32_t> status_of_params;

    void finding(const Case &k, const std::string &what) {
        ++findings;
        if (findings <= printed_limit || abort_on_finding) {
            std::string s = std::string("FINDING ") + k.e->name + ": " + what +
                            " (ctx=" + std::to_string(k.ctx) + " ints=";
            const int m = count_ints(*k.e);
            for (int i = 0; i < m; ++i) s += (i ? "," : "") + std::to_string(k.ints[i]);
            const int mr = count_reals(*k.e);
            if (mr > 0) s += " reals=";
            for (int i = 0; i < mr; ++i) s += (i ? "," : "") + describe_value(k.reals[i]);
            s += " counts=";
            const size_t nin = input_kinds(*k.e).size();
            for (size_t i = 0; i <= nin; ++i) s += (i ? "," : "") + std::to_string(k.counts[i]);
            s += " len=" + std::to_string(k.nreal) + ")";
            std::fprintf(stderr, "%s\n", s.c_str());
        }
        if (abort_on_finding) std::abort();
    }
};

struct Buffers {
    std::vector<Block<unsigned char>> in;
    Block<double> out;
};

inline Buffers make_buffers(const Case &k) {
    Buffers b;
    for (const auto &d : k.data) {
        Block<unsigned char> blk(static_cast<int64_t>(d.size()));
        if (!d.empty()) std::memcpy(blk.p, d.data(), d.size());
        b.in.push_back(std::move(blk));
    }
    b.out = Block<double>(k.nreal);
    fill_canary(b.out.p, k.nreal);
    return b;
}

inline Call make_call(const Case &k, const Buffers &b, int32_t ctx) {
    Call c;
    c.ctx = ctx;
    const size_t nin = b.in.size();
    for (size_t i = 0; i < nin; ++i) {
        c.in[i] = b.in[i].p;
        c.cnt[i] = k.counts[i];
    }
    for (int i = 0; i < 4; ++i) c.ip[i] = k.ints[i];
    for (int i = 0; i < 4; ++i) c.rp[i] = k.reals[i];
    c.out = b.out.p;
    c.out_n = k.counts[nin];
    return c;
}

inline bool counts_agree(const Case &k, size_t nin) {
    for (size_t i = 1; i <= nin; ++i)
        if (k.counts[i] != k.counts[0]) return false;
    return true;
}

// Runs the case, checks it, and returns the output (canaries where nothing was
// written) and the status, for callers that compare kernels with each other.
inline int32_t check_case(const Case &k, Reporter &rep, std::vector<double> *result = nullptr,
                          bool costly_references = true) {
    const KernelEntry &e = *k.e;
    const size_t nin = input_kinds(e).size();
    if (e.invoke == nullptr) {
        rep.finding(k, "in the function table but not built");
        return -1;
    }
    Buffers b = make_buffers(k);
    const Call c = make_call(k, b, k.ctx);
    const int32_t st = e.invoke(c);
    ++rep.calls;
    const int64_t n = k.nreal;
    const double *out = b.out.p;

    for (size_t i = 0; i < nin; ++i)
        if (!k.data[i].empty() && std::memcmp(b.in[i].p, k.data[i].data(), k.data[i].size()) != 0)
            rep.finding(k, "input " + std::to_string(i) + " was written");

    if (st < 0 || st > 2) rep.finding(k, "status " + std::to_string(st) + " is not 0, 1 or 2");
    const bool agree = counts_agree(k, nin);
    if (!agree && st != 1) rep.finding(k, "counts disagree but status " + std::to_string(st));

    if (st != 0) {
        for (int64_t i = 0; i < n; ++i)
            if (!is_canary(out[i])) {
                rep.finding(k, "rejected call (status " + std::to_string(st) + ") wrote bar " +
                                   std::to_string(i));
                break;
            }
    }

    // A row that keeps its first bars (WRITES FROM_BAR_1) leaves them as stored.
    if (st == 0)
        for (int64_t i = 0; i < e.first_written && i < n; ++i)
            if (!is_canary(out[i]))
                rep.finding(k, "wrote bar " + std::to_string(i) + ", which its row keeps");

    const qxref::Reference *r = qxref::find(e.name);
    if (r != nullptr && r->costly && !costly_references) r = nullptr;
    if (agree && r != nullptr) {
        std::vector<double> want(static_cast<size_t>(n > 0 ? n : 0), canary());
        Call rc = c;
        rc.out = want.data();
        const int32_t want_st = r->fn(rc, want.data());
        if (st != want_st)
            rep.finding(k,
                        "status " + std::to_string(st) + ", reference " + std::to_string(want_st));
        else if (st == 0 && n > 0) {
            const int64_t d = first_difference(out, want.data(), n, r->exact);
            if (d >= 0)
                rep.finding(k, "bar " + std::to_string(d) + ": got " + describe_value(out[d]) +
                                   ", reference " + describe_value(want[static_cast<size_t>(d)]));
        }
    } else if (agree) {
        if (st == 2 && count_ints(e) + count_reals(e) == 0)
            rep.finding(k, "status 2 without an integer or real parameter");
        std::string key = e.name;
        for (int i = 0; i < count_ints(e); ++i) key += "," + std::to_string(k.ints[i]);
        for (int i = 0; i < count_reals(e); ++i) key += "," + std::to_string(bits_of(k.reals[i]));
        auto it = rep.status_of_params.find(key);
        if (it == rep.status_of_params.end())
            rep.status_of_params[key] = st;
        else if (it->second != st)
            rep.finding(k, "status " + std::to_string(st) + " here but " +
                               std::to_string(it->second) + " with the same parameters elsewhere");
        if (st == 0)
            for (int64_t i = e.first_written; i < n; ++i)
                if (is_canary(out[i])) {
                    rep.finding(k, "status 0 but bar " + std::to_string(i) + " not written");
                    break;
                }
    }

    // Every kernel but vx_ma ignores ctx: the same call with ctx = 0 gives the same bits.
    if (k.ctx != 0 && !qxref::reads_ctx(e.name)) {
        Buffers b0 = make_buffers(k);
        const Call c0 = make_call(k, b0, 0);
        const int32_t st0 = e.invoke(c0);
        ++rep.calls;
        if (st0 != st)
            rep.finding(k, "status depends on ctx: " + std::to_string(st) + " vs " +
                               std::to_string(st0) + " with ctx 0");
        else if (first_difference(out, b0.out.p, n, true) >= 0)
            rep.finding(k, "output depends on ctx");
    }

    if (result) result->assign(out, out + n);
    return st;
}

}  // namespace qxh

#endif
