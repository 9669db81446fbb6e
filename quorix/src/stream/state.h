// The layout of a stream's state block and what every stream shares. Private to the
// stream library.
//
// A block is a Head followed by its ring: `cap` doubles, then (for the deques of LLV
// and HHV) `cap` int64 bar indices. Everything is plain data, so the block may be
// copied byte for byte; qxs_check vets one that comes from outside.
#ifndef QUORIX_STREAM_STATE_H
#define QUORIX_STREAM_STATE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../core/qx.h"
#include "quorix_stream.h"

namespace qxs {

using qx::bar_period;
using qx::bits_of;
using qx::is_missing;
using qx::missing;
using qx::of_bits;

// "qxstrm" and a layout version: a block of another layout is refused, never misread.
constexpr uint64_t kMagic = 0x71787374726d0002ULL;
// "qxsave" and a format version: the head of a saved form (qxs_save).
constexpr uint64_t kSavedMagic = 0x717873617665000bULL;

// A stream never takes more bars than this, so every index sum below stays exact.
constexpr int64_t kMaxBars = int64_t{1} << 62;

struct Head {
    uint64_t magic;
    uint64_t size;        // bytes of the whole block
    int32_t row;          // the row (qx::table::row_at)
    int32_t p[QXS_INTS];  // the integer parameters, in parameter order
    int32_t pad;
    double r[QXS_REALS];  // the real parameters, in parameter order
    int64_t history;      // per-bar period rows: the longest period served; else 0
    int64_t cap;          // ring elements
    int64_t bars;         // bars taken; the index of the next bar
    int64_t first;        // the first valid bar (or the first / latest true bar); -1: none yet
    int64_t head;         // next ring slot to write
    int64_t k[2];         // per stream: counts, a deque's front and length, a blank's rest
    double d[6];          // per stream: totals, the previous output, weights, constants
};
static_assert(sizeof(Head) % 8 == 0, "the ring follows the head at an 8-byte offset");
static_assert(QXS_INTS == 2 && QXS_REALS == 2,
              "the head of this layout (kMagic) holds two of each");

inline double *ring(Head &h) { return reinterpret_cast<double *>(&h + 1); }
inline const double *ring(const Head &h) { return reinterpret_cast<const double *>(&h + 1); }
inline int64_t *indices(Head &h) { return reinterpret_cast<int64_t *>(ring(h) + h.cap); }
inline const int64_t *indices(const Head &h) {
    return reinterpret_cast<const int64_t *>(ring(h) + h.cap);
}

// Appends v to the ring.
inline void push(Head &h, double v) {
    ring(h)[h.head] = v;
    h.head = h.head + 1 == h.cap ? 0 : h.head + 1;
}

// The value pushed `back` pushes ago (0: the newest); back < cap.
inline double back(const Head &h, int64_t back) {
    int64_t j = h.head - 1 - back;
    if (j < 0) j += h.cap;
    return ring(h)[j];
}

// The value in the slot that the next push overwrites: the oldest of a full ring.
inline double oldest(const Head &h) { return ring(h)[h.head]; }

// The checksum of a saved form. Each step is a bijection of the running value for a
// given word, so a change confined to one 8-byte word always changes the result; the
// final mix spreads every bit over the whole value.
inline uint64_t checksum(const unsigned char *p, size_t n) {
    constexpr uint64_t kMul = 0x9fb21c651e98df25ULL;
    uint64_t h = 0x243f6a8885a308d3ULL ^ (static_cast<uint64_t>(n) * kMul);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    uint64_t w = 0;
    std::memcpy(&w, p + i, n - i);
    h = (h ^ w ^ (static_cast<uint64_t>(n - i) << 56)) * kMul;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    return h ^ (h >> 32);
}

// What a stream is, for the table of streams (one per row).
struct Ops {
    // Ring elements of the state with these parameters, or -1 when they cannot be held.
    int64_t (*slots)(const int32_t *p, int64_t history);
    bool deque;    // the ring carries an int64 index per element
    bool history;  // the ring keeps the last `history` + 1 bars (qxs_keeps_history)
    bool fixed;    // the ring is the stream's own fixed state, not bars: saved whole
    // Fills the head for the first bar: its constants and starting values (never the
    // ring).
    void (*init)(Head &h);
    // Bit k: d[k] is a constant that init derives from the parameters, so that a state
    // whose parameters and constants disagree is refused.
    uint32_t constants;
    int32_t (*step)(Head &h, const double *v, double *out);
    // Checks of a block from outside beyond the common ones (ring slot in range).
    bool (*sound)(const Head &h);
    // Bars by which the values come late (look-ahead made final).
    int64_t (*delay)(const int32_t *p);
    // One bar of every symbol of a market (qxs_market_update), the step inlined.
    int32_t (*market)(unsigned char *states, size_t stride, int64_t count, int arrays,
                      const double *const *columns, const unsigned char *present, double *out,
                      int64_t *refused, int64_t *first);
};

}  // namespace qxs

#endif
