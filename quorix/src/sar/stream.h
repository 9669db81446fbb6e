// The stream of the parabolic SAR: the kernel's own step (sar.h), its state kept in the
// stream's block.
#ifndef QUORIX_SAR_STREAM_H
#define QUORIX_SAR_STREAM_H

#include "../stream/base.h"
#include "sar.h"

namespace qxs {

// vx_sar: the kernel's own step (sar.h) over its state, kept in the ring as bytes
// (no index among them: any bytes there are safe to run); STEP and MAX are the real
// parameters r[0] and r[1].
// The ring holds the stream's state (qx::sar::State), not bars.
struct Sar : Base {
    static constexpr bool fixed = true;
    static constexpr int64_t kSlots = (sizeof(qx::sar::State) + 7) / 8;
    static int64_t slots(const int32_t *, int64_t) { return kSlots; }
    static qx::sar::State load(const Head &h) {
        qx::sar::State s;
        std::memcpy(&s, ring(h), sizeof s);
        return s;
    }
    static void init(Head &h) {
        const qx::sar::State s{};
        std::memcpy(ring(h), &s, sizeof s);
    }
    static bool sound(const Head &h) { return h.head == 0; }
    static int32_t step(Head &h, const double *v, double *out) {
        qx::sar::State s = load(h);
        *out = qx::sar::step(s, h.p[0], h.r[0], h.r[1], v[0], v[1]);
        std::memcpy(ring(h), &s, sizeof s);
        return QXS_OK;
    }
};

QXS_STREAM(vx_sar, Sar)

}  // namespace qxs

#endif
