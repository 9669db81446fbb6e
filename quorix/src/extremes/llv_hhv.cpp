// Window extremes: lowest / highest non-missing value of the last bars, with a fixed
// period (block prefix/suffix extremes, cost independent of the period) or a period
// read per bar (each window scanned afresh, several bars at once: per_bar.h). Both
// give the same bits: values are copied unchanged, NaN is skipped, and among equal
// extremes the newest bar wins (visible only as -0.0 against +0.0). Cmp is qx::Lowest
// or qx::Highest.
#include "../core/per_bar.h"
#include "../core/qx.h"

namespace {

// A double for the fixed-period passes: on SSE2 the low lane of a register, so that
// chains of minsd / maxsd run without moves between their steps. sel(v, best) is
// Cmp::pick on it.
#if defined(__SSE2__)
using Val = __m128d;
inline Val load(const double *p) { return _mm_load_sd(p); }
inline void store(double *p, Val v) { _mm_store_sd(p, v); }
inline Val make(double v) { return _mm_set_sd(v); }
inline double value(Val v) { return _mm_cvtsd_f64(v); }
template <class Cmp>
inline Val sel(Val v, Val best) {
    return Cmp::pick_sd(v, best);
}
#else
using Val = double;
inline Val load(const double *p) { return *p; }
inline void store(double *p, Val v) { *p = v; }
inline Val make(double v) { return v; }
inline double value(Val v) { return v; }
template <class Cmp>
inline Val sel(Val v, Val best) {
    return Cmp::pick(v, best);
}
#endif

// ---- fixed period -------------------------------------------------------------------
//
// The van Herk / Gil-Werman scheme, cost independent of N. The series is cut into
// blocks of N bars from bar 0. A full window that does not start on a block edge is the
// suffix x[s .. block end] of one block plus the prefix x[block start .. e] of the next;
// one backward pass per block gives the suffix extremes and one forward pass the prefix
// extremes. The windows of the first block are cut to the bars so far: its prefix
// extremes are the answer there.
//
// Nothing is allocated: the suffix extreme from start s is left in out[s + N - 1], the
// output of the window that starts at s, which lies in the next block and is read and
// overwritten when that block's forward pass reaches it.
//
// Every step is one branch-free sel: a missing input enters as Cmp::worst (sel(v,
// worst) maps NaN to worst and keeps every other value, +-inf included), which any
// value ties with or beats. Ties keep the newer value: a prefix takes each newer value
// unless the extreme so far is strictly better, a suffix takes each older value only
// when strictly better, and a window takes its older part (the suffix) only when
// strictly better than its newer part. So the result is the per-bar scan's value,
// bits included, unless it equals worst; only then can it stand for a window without
// any value, and Present tells the two apart.

// A loaded input with a missing value replaced by worst.
template <class Cmp>
inline Val clean(const double *p, Val worst) {
    return sel<Cmp>(load(p), worst);
}

// Whether x[from .. e] holds a non-missing value, for e that never decreases from one
// call to the next. Remembers the newest value found and how far the series has been
// looked at, so all calls of a pass together read each bar at most once.
struct Present {
    const double *x;
    int64_t seen = -1;  // bars 0 .. seen have been looked at
    int64_t last = -1;  // the newest of them that holds a value, or -1

    bool any(int64_t from, int64_t e) {
        for (int64_t j = e; j > seen; --j) {
            if (!qx::is_missing(x[j])) {
                last = j;
                break;
            }
        }
        if (e > seen) seen = e;
        return last >= from;
    }
};

// Stores the output of the window x[from .. e] whose extreme (missing inputs counted
// as worst) is m.
template <class Cmp>
inline void finish(double *out, Val m, int64_t from, int64_t e, Present &have) {
    if (__builtin_expect(value(m) == Cmp::worst, 0) && !have.any(from, e)) {
        out[e] = qx::missing();
        return;
    }
    store(out + e, m);
}

// Hints that the line holding base[i] will be read (write 0) or written (write 1)
// soon. i may lie past the end of the array: the address is formed in integers, and a
// prefetch never faults.
inline void fetch(const double *base, int64_t i, int write) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(base) + sizeof(double) * uint64_t(i);
    if (write)
        __builtin_prefetch(reinterpret_cast<const void *>(a), 1);
    else
        __builtin_prefetch(reinterpret_cast<const void *>(a), 0);
}

// Forward pass over block [B, B + N), cut at n: the prefix extremes, each combined
// with the suffix extreme that waits in out[e]. First: block 0, whose windows are cut
// to the bars so far and have no suffix part; neither has the block's last bar, whose
// window is the block itself.
template <class Cmp, bool First>
inline void forward(const double *x, int64_t n, int64_t B, int64_t N, double *out, Present &have) {
    const Val worst = make(Cmp::worst);
    const int64_t end = B + N - 1;
    const int64_t stop = end < n ? end : n;
    Val p = worst;
    for (int64_t e = B; e < stop; ++e) {
        // The backward pass over this block stores next into out[e + N - 1 ..]: fetch
        // those lines now, since it walks down through them, which hardware prefetchers
        // follow badly.
        fetch(out, e + N, 1);
        p = sel<Cmp>(p, clean<Cmp>(x + e, worst));
        finish<Cmp>(out, First ? p : sel<Cmp>(load(out + e), p), First ? 0 : e - N + 1, e, have);
    }
    if (end < n) finish<Cmp>(out, sel<Cmp>(p, clean<Cmp>(x + end, worst)), B, end, have);
}

// Backward pass over the whole block [B, B + N) when another block follows: the suffix
// extreme from each start s in (B, B + N - 1] goes to out[s + N - 1] where that lies
// inside the series. The block's inputs are still in cache from its forward pass.
template <class Cmp>
inline void backward(const double *x, int64_t n, int64_t B, int64_t N, double *out) {
    const Val worst = make(Cmp::worst);
    const int64_t top = B + N - 1;
    const int64_t last = top < n - N ? top : n - N;  // the newest start whose window fits
    Val q = worst;
    int64_t s = top;
    for (; s > last; --s) q = sel<Cmp>(load(x + s), q);
    for (; s > B; --s) {
        q = sel<Cmp>(load(x + s), q);
        store(out + s + N - 1, q);
    }
}

// One step j of the paired passes over block [B, B + N) when the next block is whole
// too: the prefix chain p takes x[B + j], and the output of bar B + j is stored,
// combined with the suffix that waits in out[B + j] unless First (block 0, as in
// forward()); the suffix chain q takes x[B + N - 1 - j] (a missing one is passed over
// as it is: sel keeps q when its first operand is NaN) and its suffix goes to
// out[B + 2N - 2 - j], where the next block's forward pass reads it.
template <class Cmp, bool First>
inline void pair_step(const double *x, int64_t B, int64_t N, int64_t j, double *out, Val worst,
                      Val &p, Val &q, Present &have) {
    const int64_t e = B + j, s = B + N - 1 - j;
    p = sel<Cmp>(p, clean<Cmp>(x + e, worst));
    q = sel<Cmp>(load(x + s), q);
    finish<Cmp>(out, First ? p : sel<Cmp>(load(out + e), p), First ? 0 : e - N + 1, e, have);
    store(out + s + N - 1, q);
}

// The block's last bar, whose window is the block itself.
template <class Cmp>
inline void pair_end(const double *x, int64_t B, int64_t N, double *out, Val worst, Val p,
                     Present &have) {
    const int64_t e = B + N - 1;
    finish<Cmp>(out, sel<Cmp>(p, clean<Cmp>(x + e, worst)), B, e, have);
}

// The paired passes over block [B, B + N) while the next block is whole too
// (B + 2N - 1 <= n): two independent chains. With Fetch, the next block's inputs and
// the lines that its backward pass stores into are fetched ahead, one line of each per
// eight steps (the backward passes walk down through memory, which hardware prefetchers
// follow badly once a block spans many lines).
template <class Cmp, bool First, bool Fetch>
inline void both(const double *x, int64_t B, int64_t N, double *out, Present &have) {
    const Val worst = make(Cmp::worst);
    Val p = worst, q = worst;
    int64_t j = 0;
    if (Fetch) {
        for (; j + 8 <= N - 1; j += 8) {
            fetch(x, B + j + N, 0);
            fetch(out, B + j + 2 * N, 1);
            for (int k = 0; k < 8; ++k)
                pair_step<Cmp, First>(x, B, N, j + k, out, worst, p, q, have);
        }
    }
    for (; j < N - 1; ++j) pair_step<Cmp, First>(x, B, N, j, out, worst, p, q, have);
    pair_end<Cmp>(x, B, N, out, worst, p, have);
}

// The paired passes over two blocks at once, [B1, B1 + N) and [B2, B2 + N), each with
// its own Present: four independent chains. A long block's chains run one sel after
// the other through the whole block, so that one pair is bound by their latency; two
// pairs fill that time.
template <class Cmp, bool First, bool Fetch>
inline void both2(const double *x, int64_t B1, int64_t B2, int64_t N, double *out, Present &h1,
                  Present &h2) {
    const Val worst = make(Cmp::worst);
    Val p1 = worst, q1 = worst, p2 = worst, q2 = worst;
    int64_t j = 0;
    if (Fetch) {
        for (; j + 8 <= N - 1; j += 8) {
            fetch(x, B1 + j + N, 0);
            fetch(out, B1 + j + 2 * N, 1);
            fetch(x, B2 + j + N, 0);
            fetch(out, B2 + j + 2 * N, 1);
            for (int k = 0; k < 8; ++k) {
                pair_step<Cmp, First>(x, B1, N, j + k, out, worst, p1, q1, h1);
                pair_step<Cmp, false>(x, B2, N, j + k, out, worst, p2, q2, h2);
            }
        }
    }
    for (; j < N - 1; ++j) {
        pair_step<Cmp, First>(x, B1, N, j, out, worst, p1, q1, h1);
        pair_step<Cmp, false>(x, B2, N, j, out, worst, p2, q2, h2);
    }
    pair_end<Cmp>(x, B1, N, out, worst, p1, h1);
    pair_end<Cmp>(x, B2, N, out, worst, p2, h2);
}

// Periods from which the paired passes fetch ahead; shorter blocks span a few lines,
// and the hardware prefetchers keep up with them unaided.
constexpr int64_t kFetchFrom = 32;

// The blocks from B on, the block before B done (its suffixes stored); the forward
// passes run in bar order, as Present needs. Fetch: N >= kFetchFrom.
template <class Cmp, bool Fetch>
void sweep(const double *x, int64_t n, int64_t B, int64_t N, double *out, Present &have) {
    for (; B + 2 * N - 1 <= n; B += N) both<Cmp, false, Fetch>(x, B, N, out, have);
    forward<Cmp, false>(x, n, B, N, out, have);
    // The last blocks, with every write kept inside the series.
    for (; B + N < n; B += N) {
        backward<Cmp>(x, n, B, N, out);
        forward<Cmp, false>(x, n, B + N, N, out, have);
    }
}

// Fixed period N (0: all bars), from bar 0. Each block's suffixes are stored before
// the next block's forward pass reads them. The first T - 1 blocks of each half of the
// series, [0, M) and [M, ...) with M = T N, go in pairs (both2), measured faster at
// every period, short ones included; the second half starts from the suffixes of
// block M - N, computed first, and has a Present of its own, whose windows reach no
// further back than bar M - N + 1.
template <class Cmp, bool Fetch>
void fixed_blocks(const double *x, int64_t n, int64_t N, double *out) {
    Present have{x};
    const int64_t T = n / (2 * N);
    if (T >= 2) {
        const int64_t M = T * N;
        Present have2{x, M - N, -1};
        backward<Cmp>(x, n, M - N, N, out);
        both2<Cmp, true, Fetch>(x, 0, M, N, out, have, have2);
        for (int64_t t = 1; t + 1 < T; ++t)
            both2<Cmp, false, Fetch>(x, t * N, M + t * N, N, out, have, have2);
        forward<Cmp, false>(x, n, M - N, N, out, have);
        sweep<Cmp, Fetch>(x, n, M + (T - 1) * N, N, out, have2);
        return;
    }
    both<Cmp, true, Fetch>(x, 0, N, out, have);
    sweep<Cmp, Fetch>(x, n, N, N, out, have);
}

template <class Cmp>
void fixed_window(const double *x, int64_t n, int64_t N, double *out) {
    if (N == 0 || N > n) N = n;
    if (2 * N - 1 > n) {
        // One block and part of another: the first forward pass, then the rest.
        Present have{x};
        forward<Cmp, true>(x, n, 0, N, out, have);
        for (int64_t B = 0; B + N < n; B += N) {
            backward<Cmp>(x, n, B, N, out);
            forward<Cmp, false>(x, n, B + N, N, out, have);
        }
        return;
    }
    if (N >= kFetchFrom)
        fixed_blocks<Cmp, true>(x, n, N, out);
    else
        fixed_blocks<Cmp, false>(x, n, N, out);
}

template <class Cmp>
int32_t fixed(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;
    fixed_window<Cmp>(x, n, N, out);
    return QX_OK;
}

// Per-bar periods: several bars at once, each lane scanning its own window newest first
// exactly as the per-bar scan does (per_bar.h); windows of all bars so far are carried.
template <class C, qx::Isa I>
int32_t extremes_per_bar(int32_t, const double *x, int32_t n, const double *p, int32_t p_n,
                         double *out, int32_t out_n) {
    if (int32_t st = qx::check(p_n == n && out_n == n, true)) return st;
    if (n <= 0) return QX_OK;
    qx::per_bar::extreme_windows<I, C>(x, n, p, out);
    return QX_OK;
}

template <qx::Isa I>
int32_t llv_a_body(int32_t c, const double *a, int32_t n, const double *N, int32_t N_n, double *o,
                   int32_t on) {
    return extremes_per_bar<qx::Lowest, I>(c, a, n, N, N_n, o, on);
}

template <qx::Isa I>
int32_t hhv_a_body(int32_t c, const double *a, int32_t n, const double *N, int32_t N_n, double *o,
                   int32_t on) {
    return extremes_per_bar<qx::Highest, I>(c, a, n, N, N_n, o, on);
}

// The fixed-period kernels, built for each instruction set: the passes are scalar,
// but the AVX2 build's three-operand forms save register moves (about 10%).
template <qx::Isa>
int32_t llv_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    return fixed<qx::Lowest>(a, n, N, out, out_n);
}
template <qx::Isa>
int32_t hhv_body(int32_t, const double *a, int32_t n, int32_t N, double *out, int32_t out_n) {
    return fixed<qx::Highest>(a, n, N, out, out_n);
}

}  // namespace

QX_MULTIVERSION(vx_llv, llv_body);
QX_MULTIVERSION(vx_hhv, hhv_body);
QX_MULTIVERSION(vx_llv_a, llv_a_body);
QX_MULTIVERSION(vx_hhv_a, hhv_a_body);
