// The C interface of the streams (quorix_stream.h): one stream per row of the function
// table, found by the row's kernel (the streams themselves are in the family folders,
// stream.h), and the checks of a state block.
#include <new>

// The formula language's kernels are linked wherever the streams are.
#define QX_TABLE_WITH_EXTRAS
#include "quorix_lang.h"
#include "quorix_table.h"

// The streams of every family (each registers its streams by kernel: QXS_STREAM).
#include "../averages/stream.h"
#include "../bars/stream.h"
#include "../conditions/stream.h"
#include "../dispersion/stream.h"
#include "../extremes/stream.h"
#include "../refs/stream.h"
#include "../regression/stream.h"
#include "../sar/stream.h"
#include "../signals/stream.h"
#include "../totals/stream.h"
#include "../values/stream.h"

namespace qxs {
namespace {

// One entry per row, in row order (qx::table::row_at).
constexpr Ops kOps[] = {
#define QX_ROW(NAME, kernel) For<kernel>::ops,
#include "../core/rows.inc"
#undef QX_ROW
};
constexpr size_t kRows = qx::table::kNumRows;
static_assert(sizeof kOps / sizeof kOps[0] == kRows, "one entry per row");

const qx::table::Function &function(int32_t row) {
    return qx::table::row_at(static_cast<size_t>(row));
}

constexpr int count_of(const qx::table::Function &f, qx::table::Kind kind) {
    int m = 0;
    for (int i = 0; i < f.nparams; ++i) m += f.params[i].kind == kind;
    return m;
}

// A state holds QXS_INTS integer and QXS_REALS real parameters (Head::p, Head::r): a row
// with more of either cannot stream. The rows that stream are read from the table's EXEMPT
// column (tests/test_table.py checks it against the streams built): a comparison of
// function pointers is no constant expression under the sanitizers' instrumentation.
constexpr bool parameters_fit() {
    for (size_t r = 0; r < kRows; ++r)
        if (!(qx::table::row_at(r).exempt & qx::table::kNoStream) &&
            (count_of(qx::table::row_at(r), qx::table::Kind::Int) > QXS_INTS ||
             count_of(qx::table::row_at(r), qx::table::Kind::Real) > QXS_REALS))
            return false;
    return true;
}
static_assert(parameters_fit(), "a row that streams has more parameters than a state holds");

const Ops *ops_for(int32_t row) {
    if (row < 0 || static_cast<size_t>(row) >= kRows) return nullptr;
    return kOps[row].step ? &kOps[row] : nullptr;
}

bool has_periods(int32_t row) { return kOps[row].history; }

int count_kind(int32_t row, qx::table::Kind kind) { return count_of(function(row), kind); }

int count_ints(int32_t row) { return count_kind(row, qx::table::Kind::Int); }

int count_arrays(int32_t row) {
    return function(row).nparams - count_ints(row) - count_kind(row, qx::table::Kind::Real);
}

// The kernel's own verdict on the integer and real parameters: called over no bars, it
// runs its count and period checks and nothing else.
int32_t kernel_check(int32_t row, const int32_t *p, const double *r) {
    const qx::table::Function &f = function(row);
    qx::table::Slot slots[qx::table::kMaxParams] = {};
    for (int i = 0, m = 0, k = 0; i < f.nparams; ++i) {
        if (f.params[i].kind == qx::table::Kind::Int) slots[i].value = p[m++];
        if (f.params[i].kind == qx::table::Kind::Real) slots[i].real = r[k++];
    }
    return f.invoke(0, slots, nullptr, 0);
}

// The integer parameters as a state holds them: zero beyond the row's own (which fit:
// parameters_fit).
void read_ints(int32_t row, const int32_t *ints, int32_t p[QXS_INTS]) {
    for (int i = 0; i < QXS_INTS; ++i) p[i] = 0;
    const int m = count_ints(row);
    for (int i = 0; i < m && i < QXS_INTS; ++i) p[i] = ints[i];
}

// The real parameters as a state holds them: zero beyond the row's own (all of them
// when `reals` is null).
void read_reals(int32_t row, const double *reals, double r[QXS_REALS]) {
    for (int i = 0; i < QXS_REALS; ++i) r[i] = 0.0;
    const int m = count_kind(row, qx::table::Kind::Real);
    for (int i = 0; i < m && i < QXS_REALS && reals; ++i) r[i] = reals[i];
}

// The block size, or 0 when it cannot be held.
size_t block_size(const Ops &o, int32_t row, const int32_t *p, int64_t history) {
    if (!has_periods(row)) history = 0;
    if (history < 0 || history >= kMaxBars) return 0;
    const int64_t cap = o.slots(p, history);
    if (cap < 0) return 0;
    const uint64_t per = o.deque ? 16 : 8;
    const uint64_t room = (static_cast<uint64_t>(SIZE_MAX) - sizeof(Head)) / per;
    if (static_cast<uint64_t>(cap) > room) return 0;
    return sizeof(Head) + static_cast<size_t>(cap) * static_cast<size_t>(per);
}

// The ring slots of a sound state that hold bars: each bar writes at most one slot, the
// next one in turn (a deque's too: its front plus length grows by at most one per bar),
// so before the ring is full they are the first `bars`. The others are still as
// qxs_init left them (zeroed memory) and are never read before a bar writes them. A
// stream whose ring is its own fixed state (SAR's) holds it all from the start.
int64_t live_slots(const Head &h) {
    const Ops *o = ops_for(h.row);
    if (o != nullptr && o->fixed) return h.cap;
    return h.bars < h.cap ? h.bars : h.cap;
}

// Bytes per ring slot.
size_t slot_bytes(const Ops &o) { return o.deque ? 16 : 8; }

// The constants of `h` as init derives them from its parameters.
bool constants_agree(const Ops &o, const Head &h) {
    if (o.constants == 0) return true;
    Head fresh{};
    fresh.row = h.row;
    fresh.p[0] = h.p[0];
    fresh.p[1] = h.p[1];
    fresh.r[0] = h.r[0];
    fresh.r[1] = h.r[1];
    fresh.history = h.history;
    fresh.cap = h.cap;
    fresh.first = -1;
    o.init(fresh);
    for (int k = 0; k < 6; ++k)
        if ((o.constants >> k & 1u) && bits_of(fresh.d[k]) != bits_of(h.d[k])) return false;
    return true;
}

inline int32_t step(Head &h, const double *values, double *out) {
    const int32_t st = kOps[h.row].step(h, values, out);
    ++h.bars;
    return st;
}

}  // namespace
}  // namespace qxs

using namespace qxs;

extern "C" {

QXS_API int32_t qxs_streams(int32_t row) { return ops_for(row) != nullptr; }

QXS_API int32_t qxs_keeps_history(int32_t row) {
    const Ops *o = ops_for(row);
    return o != nullptr && o->history;
}

QXS_API size_t qxs_state_size(int32_t row, const int32_t *ints, int64_t history) {
    const Ops *o = ops_for(row);
    if (!o) return 0;
    int32_t p[QXS_INTS];
    read_ints(row, ints, p);
    return block_size(*o, row, p, history);
}

QXS_API int32_t qxs_init(int32_t row, const int32_t *ints, int64_t history, void *state,
                         size_t size) {
    return qxs_init_reals(row, ints, nullptr, history, state, size);
}

QXS_API int32_t qxs_init_reals(int32_t row, const int32_t *ints, const double *reals,
                               int64_t history, void *state, size_t size) {
    const Ops *o = ops_for(row);
    if (!o) return QXS_NO_STREAM;
    int32_t p[QXS_INTS];
    double r[QXS_REALS];
    read_ints(row, ints, p);
    read_reals(row, reals, r);
    if (kernel_check(row, p, r) == QX_BAD_PERIOD) return QXS_BAD_PERIOD;
    if (!has_periods(row)) history = 0;
    const size_t want = block_size(*o, row, p, history);
    if (want == 0) return QXS_BAD_HISTORY;
    if (size != want || !state) return QXS_BAD_STATE;
    Head *h = new (state) Head{};
    h->magic = kMagic;
    h->size = size;
    h->row = row;
    h->p[0] = p[0];
    h->p[1] = p[1];
    h->r[0] = r[0];
    h->r[1] = r[1];
    h->history = history;
    h->cap = o->slots(p, history);
    h->first = -1;
    o->init(*h);
    return QXS_OK;
}

QXS_API int32_t qxs_update(void *state, const double *values, double *out) {
    return step(*static_cast<Head *>(state), values, out);
}

QXS_API int32_t qxs_run(void *state, const double *const *columns, int64_t n, double *out,
                        int64_t *done) {
    Head &h = *static_cast<Head *>(state);
    const int arrays = count_arrays(h.row);
    double v[qx::table::kMaxParams] = {};
    int32_t st = QXS_OK;
    int64_t t = 0;
    while (t < n && st == QXS_OK) {
        for (int k = 0; k < arrays; ++k) v[k] = columns[k][t];
        st = step(h, v, out + t);
        ++t;
    }
    if (done) *done = t;
    return st;
}

QXS_API int32_t qxs_check(const void *state, size_t size) {
    if (!state || size < sizeof(Head)) return QXS_BAD_STATE;
    Head h;
    std::memcpy(&h, state, sizeof h);
    const Ops *o = h.magic == kMagic ? ops_for(h.row) : nullptr;
    if (!o || h.size != size) return QXS_BAD_STATE;
    // The same parameters as init accepts, giving this very size and ring.
    int32_t p[QXS_INTS];
    double r[QXS_REALS];
    read_ints(h.row, h.p, p);
    read_reals(h.row, h.r, r);
    if (p[0] != h.p[0] || p[1] != h.p[1] || std::memcmp(r, h.r, sizeof r) != 0 ||
        kernel_check(h.row, p, r) == QX_BAD_PERIOD)
        return QXS_BAD_STATE;
    if (!has_periods(h.row) && h.history != 0) return QXS_BAD_STATE;
    if (block_size(*o, h.row, p, h.history) != size || h.cap != o->slots(p, h.history))
        return QXS_BAD_STATE;
    // Every index a step forms stays in the ring and exact.
    const bool head_ok = h.cap == 0 ? h.head == 0 : (h.head >= 0 && h.head < h.cap);
    if (!head_ok || h.bars < 0 || h.bars >= kMaxBars || h.first < -1 || h.first > h.bars ||
        h.k[0] < -kMaxBars || h.k[0] > kMaxBars || h.k[1] < -kMaxBars || h.k[1] > kMaxBars)
        return QXS_BAD_STATE;
    // The constants that the parameters give: a head whose parameters were changed
    // would report them while computing with the old ones.
    if (!constants_agree(*o, h)) return QXS_BAD_STATE;
    return o->sound(h) ? QXS_OK : QXS_BAD_STATE;
}

QXS_API size_t qxs_saved_size(const void *state) {
    const Head &h = *static_cast<const Head *>(state);
    const int64_t live = live_slots(h);
    return sizeof(Head) + static_cast<size_t>(live) * slot_bytes(kOps[h.row]) + 8;
}

QXS_API int32_t qxs_save(const void *state, void *out, size_t size) {
    const Head &h = *static_cast<const Head *>(state);
    if (!out || size != qxs_saved_size(state)) return QXS_BAD_STATE;
    const size_t live = static_cast<size_t>(live_slots(h));
    auto *o = static_cast<unsigned char *>(out);
    Head saved = h;
    saved.magic = kSavedMagic;
    std::memcpy(o, &saved, sizeof saved);
    size_t at = sizeof saved;
    std::memcpy(o + at, ring(h), live * 8);
    at += live * 8;
    if (kOps[h.row].deque) {
        std::memcpy(o + at, indices(h), live * 8);
        at += live * 8;
    }
    const uint64_t sum = checksum(o, at);
    std::memcpy(o + at, &sum, 8);
    return QXS_OK;
}

QXS_API size_t qxs_loaded_size(const void *saved, size_t n) {
    if (!saved || n < sizeof(Head) + 8) return 0;
    Head h;
    std::memcpy(&h, saved, sizeof h);
    const Ops *o = h.magic == kSavedMagic ? ops_for(h.row) : nullptr;
    if (!o || h.cap < 0 || h.bars < 0 || h.size < sizeof(Head)) return 0;
    const uint64_t live = static_cast<uint64_t>(live_slots(h));
    const uint64_t per = slot_bytes(*o);
    if (live > (n - sizeof(Head) - 8) / per || n != sizeof(Head) + live * per + 8) return 0;
    if ((h.size - sizeof(Head)) / per < static_cast<uint64_t>(h.cap)) return 0;
    return static_cast<size_t>(h.size);
}

QXS_API int32_t qxs_load(const void *saved, size_t n, void *state, size_t size) {
    const size_t want = qxs_loaded_size(saved, n);
    if (want == 0 || size != want || !state) return QXS_BAD_STATE;
    const auto *in = static_cast<const unsigned char *>(saved);
    uint64_t sum;
    std::memcpy(&sum, in + n - 8, 8);
    if (checksum(in, n - 8) != sum) return QXS_BAD_CHECKSUM;
    Head h;
    std::memcpy(&h, in, sizeof h);
    h.magic = kMagic;
    const size_t live = static_cast<size_t>(live_slots(h));
    auto *out = static_cast<unsigned char *>(state);
    std::memcpy(out, &h, sizeof h);
    std::memcpy(out + sizeof h, in + sizeof h, live * 8);
    if (kOps[h.row].deque)
        std::memcpy(out + sizeof h + static_cast<size_t>(h.cap) * 8, in + sizeof h + live * 8,
                    live * 8);
    return qxs_check(state, size);
}

QXS_API void qxs_params(const void *state, int32_t *ints, int64_t *history) {
    const Head &h = *static_cast<const Head *>(state);
    for (int i = 0; i < QXS_INTS; ++i) ints[i] = h.p[i];
    *history = h.history;
}

QXS_API void qxs_reals(const void *state, double *reals) {
    const Head &h = *static_cast<const Head *>(state);
    for (int i = 0; i < QXS_REALS; ++i) reals[i] = h.r[i];
}

QXS_API int32_t qxs_row(const void *state) { return static_cast<const Head *>(state)->row; }

QXS_API int64_t qxs_bars(const void *state) { return static_cast<const Head *>(state)->bars; }

QXS_API int64_t qxs_delay(const void *state) {
    const Head &h = *static_cast<const Head *>(state);
    return kOps[h.row].delay(h.p);
}

// ---- a market ------------------------------------------------------------------------

QXS_API int32_t qxs_market_update(void *states, size_t stride, int64_t count,
                                  const double *const *columns, const unsigned char *present,
                                  double *out, int64_t *refused, int64_t *first) {
    int64_t bad = 0, at = -1;
    int32_t status = QXS_OK;
    if (count > 0) {
        auto *base = static_cast<unsigned char *>(states);
        const int32_t row = reinterpret_cast<Head *>(base)->row;
        status = kOps[row].market(base, stride, count, count_arrays(row), columns, present, out,
                                  &bad, &at);
    }
    if (refused) *refused = bad;
    if (first) *first = at;
    return status;
}

}  // extern "C"

namespace {

// "qxmarket" and a format version: the head of a saved market.
constexpr uint64_t kMarketMagic = 0x71786d6b74000001ULL;

const unsigned char *symbol_at(const void *states, size_t stride, int64_t i) {
    return static_cast<const unsigned char *>(states) + static_cast<size_t>(i) * stride;
}

}  // namespace

extern "C" {

// A saved market: the magic, the symbols, the state size, then per symbol the length of its
// saved form and the form, and a checksum of everything before it.
QXS_API size_t qxs_market_saved_size(const void *states, size_t stride, int64_t count) {
    if (count < 0) return 0;
    size_t n = 32;
    for (int64_t i = 0; i < count; ++i) {
        const size_t one = qxs_saved_size(symbol_at(states, stride, i)) + 8;
        if (n > SIZE_MAX - one) return 0;
        n += one;
    }
    return n;
}

QXS_API int32_t qxs_market_save(const void *states, size_t stride, int64_t count, void *out,
                                size_t size) {
    if (!out || size == 0 || size != qxs_market_saved_size(states, stride, count))
        return QXS_BAD_STATE;
    auto *o = static_cast<unsigned char *>(out);
    const uint64_t size0 = count > 0 ? reinterpret_cast<const Head *>(states)->size : 0;
    const uint64_t head[3] = {kMarketMagic, static_cast<uint64_t>(count), size0};
    std::memcpy(o, head, sizeof head);
    size_t at = sizeof head;
    for (int64_t i = 0; i < count; ++i) {
        const void *state = symbol_at(states, stride, i);
        const uint64_t n = qxs_saved_size(state);
        std::memcpy(o + at, &n, 8);
        at += 8;
        if (qxs_save(state, o + at, static_cast<size_t>(n)) != QXS_OK) return QXS_BAD_STATE;
        at += static_cast<size_t>(n);
    }
    const uint64_t sum = checksum(o, at);
    std::memcpy(o + at, &sum, 8);
    return QXS_OK;
}

QXS_API int64_t qxs_market_loaded(const void *saved, size_t n, size_t *size) {
    if (!saved || n < 32) return -1;
    uint64_t head[3];
    std::memcpy(head, saved, sizeof head);
    if (head[0] != kMarketMagic || head[1] > static_cast<uint64_t>(kMaxBars) ||
        (head[1] > 0 && head[2] < sizeof(Head)) || head[2] > SIZE_MAX)
        return -1;
    // Every symbol takes at least its length and a head: a count beyond the bytes is no
    // saved market.
    if (head[1] > (n - 32) / (8 + sizeof(Head) + 8)) return -1;
    if (size) *size = static_cast<size_t>(head[2]);
    return static_cast<int64_t>(head[1]);
}

QXS_API int32_t qxs_market_load(const void *saved, size_t n, void *states, size_t stride,
                                int64_t count) {
    size_t size = 0;
    if (!states || qxs_market_loaded(saved, n, &size) != count || size > stride)
        return QXS_BAD_STATE;
    const auto *in = static_cast<const unsigned char *>(saved);
    uint64_t sum;
    std::memcpy(&sum, in + n - 8, 8);
    if (checksum(in, n - 8) != sum) return QXS_BAD_CHECKSUM;
    size_t at = 24;
    int32_t p0[QXS_INTS] = {}, p[QXS_INTS];
    double r0[QXS_REALS] = {}, r[QXS_REALS];
    int64_t h0 = 0, h;
    int32_t row0 = -1;
    for (int64_t i = 0; i < count; ++i) {
        uint64_t len;
        if (n - 8 - at < 8) return QXS_BAD_STATE;
        std::memcpy(&len, in + at, 8);
        at += 8;
        if (len > n - 8 - at) return QXS_BAD_STATE;
        void *state = static_cast<unsigned char *>(states) + static_cast<size_t>(i) * stride;
        const int32_t st = qxs_load(in + at, static_cast<size_t>(len), state, size);
        if (st != QXS_OK) return st;
        at += static_cast<size_t>(len);
        qxs_params(state, p, &h);
        qxs_reals(state, r);
        if (i == 0) {
            row0 = qxs_row(state);
            std::memcpy(p0, p, sizeof p);
            std::memcpy(r0, r, sizeof r);
            h0 = h;
        } else if (qxs_row(state) != row0 || std::memcmp(p, p0, sizeof p) != 0 ||
                   std::memcmp(r, r0, sizeof r) != 0 || h != h0) {
            return QXS_BAD_STATE;
        }
    }
    return at == n - 8 ? QXS_OK : QXS_BAD_STATE;
}

}  // extern "C"
