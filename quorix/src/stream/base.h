// What every stream step is built from (the family folders' stream.h files): the
// defaults of a stream, its rings, the bars it has taken, and the registry that keys each
// stream by its function's 1-D kernel. Private to the stream library.
//
// In every step, i = h.bars is the index of the bar being taken; the caller advances
// h.bars after the step.
#ifndef QUORIX_STREAM_BASE_H
#define QUORIX_STREAM_BASE_H

#include "quorix.h"
#include "quorix_lang.h"
#include "state.h"

namespace qxs {

// Defaults: no ring, nothing to check, causal.
struct Base {
    static constexpr bool deque = false;
    static constexpr bool history = false;    // keeps the last `history` + 1 bars
    static constexpr bool fixed = false;      // the ring is a fixed state, saved whole
    static constexpr uint32_t constants = 0;  // the d[] that init derives (Ops::constants)
    static int64_t slots(const int32_t *, int64_t) { return 0; }
    static void init(Head &) {}
    static bool sound(const Head &) { return true; }
    static int64_t delay(const int32_t *) { return 0; }
};

// A ring of the last N inputs (N the first integer parameter).
struct LastN : Base {
    static int64_t slots(const int32_t *p, int64_t) { return p[0]; }
};

// A ring of the last history + 1 bars (the per-bar period rows).
struct Kept : Base {
    static constexpr bool history = true;
    static int64_t slots(const int32_t *, int64_t history) { return history + 1; }
};

// Bars since the first valid one, or -1 before it; records it on the first valid value.
inline int64_t since_first(Head &h, double x) {
    if (h.first < 0) {
        if (is_missing(x)) return -1;
        h.first = h.bars;
    }
    return h.bars - h.first;
}

// The largest period `history` serves, where the kernel would read bars the stream no
// longer keeps.
inline bool beyond(const Head &h, int64_t period) { return period > h.history; }

// One bar of every symbol of a market: the states `stride` bytes apart, input k of symbol i
// at columns[k][i]; a symbol whose present[i] is 0 (present not null) is left as it is and
// gets the missing value. Returns the first refusal's status (QXS_OK: none).
template <class S>
int32_t market_step(unsigned char *states, size_t stride, int64_t count, int arrays,
                    const double *const *columns, const unsigned char *present, double *out,
                    int64_t *refused, int64_t *first) {
    int64_t bad = 0, at = -1;
    int32_t status = QXS_OK;
    double v[qx::table::kMaxParams] = {};
    for (int64_t i = 0; i < count; ++i) {
        if (present != nullptr && present[i] == 0) {
            out[i] = missing();
            continue;
        }
        Head &h = *reinterpret_cast<Head *>(states + static_cast<size_t>(i) * stride);
        for (int k = 0; k < arrays; ++k) v[k] = columns[k][i];
        const int32_t st = S::step(h, v, out + i);
        ++h.bars;
        if (st != QXS_OK && bad++ == 0) {
            status = st;
            at = i;
        }
    }
    *refused = bad;
    *first = at;
    return status;
}

template <class S>
constexpr Ops ops_of() {
    return Ops{&S::slots,    S::deque, S::history, S::fixed,  &S::init,
               S::constants, &S::step, &S::sound,  &S::delay, &market_step<S>};
}

// The stream of each function, keyed by its 1-D kernel: QXS_STREAM(kernel, S) beside the
// stream S registers it (a misspelt kernel does not compile). A kernel without one has
// none (step is null).
template <auto K>
struct For {
    static constexpr Ops ops{};
};
#define QXS_STREAM(kernel, ...)                                                                    \
    template <>                                                                                    \
    struct For<kernel> {                                                                           \
        static constexpr Ops ops = ::qxs::ops_of<__VA_ARGS__>();                                   \
    };

}  // namespace qxs

#endif
