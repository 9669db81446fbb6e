// The lane kernels by table row, each built for every instruction set, and the choice of
// driver for a call (lanes.h).
#include "lanes.h"

#include "../core/dispatch.h"
#include "drive.h"

namespace qx {
namespace panel {

namespace {

const Entry *entry_for(Isa i, int32_t row) {
    switch (i) {
    case Isa::avx512: return avx512::entry_for(row);
    case Isa::avx2: return avx2::entry_for(row);
    default: return sse2::entry_for(row);
    }
}

bool is_array_param(const Call &c, int i) { return is_array(c.f->params[i].kind); }

// Every input's columns adjacent or shared, and the output's columns adjacent.
bool columns_adjacent(const Call &c) {
    if (c.out->col_stride != 1) return false;
    for (int i = 0; i < c.f->nparams; ++i)
        if (is_array_param(c, i) && c.args[i].col_stride != 1 && c.args[i].col_stride != 0)
            return false;
    return true;
}

// Every input's bars adjacent (or a scalar), and the output's bars adjacent.
bool bars_adjacent(const Call &c) {
    if (c.out->bar_stride != 1) return false;
    for (int i = 0; i < c.f->nparams; ++i) {
        if (!is_array_param(c, i)) continue;
        const qxp_arg &a = c.args[i];
        if (a.bar_stride != 1 && !(a.bar_stride == 0 && a.col_stride == 0)) return false;
    }
    return true;
}

}  // namespace

bool has_lanes(int32_t row) { return sse2::entry_for(row) != nullptr; }

Plan plan(const Call &c) {
    const Isa i = isa_now();
    const int64_t W = int64_t{2} << static_cast<int>(i);
    const Entry *e = entry_for(i, c.row);
    Runner runner = nullptr;
    size_t lane_scratch = 0;
    if (e != nullptr && c.c1 - c.c0 >= W) {
        if (columns_adjacent(c)) {
            runner = e->adjacent;
            lane_scratch = e->adjacent_size(c);
        } else if (e->transposed != nullptr && bars_adjacent(c)) {
            runner = e->transposed;
            lane_scratch = e->transposed_size(c);
        }
    }
    if (runner == nullptr) return {Plan::generic, nullptr, 0, c.c0, generic_scratch(c)};
    const int64_t rest = c.c0 + (c.c1 - c.c0) / W * W;
    lane_scratch = whole_lines(lane_scratch);
    const Call tail{c.row, c.f, c.n, rest, c.c1, c.args, c.out};
    return {Plan::lanes, runner, lane_scratch, rest, lane_scratch + generic_scratch(tail)};
}

int32_t run(const Call &c, void *scratch) {
    const Plan p = plan(c);
    if (p.kind == Plan::generic) return generic_run(c, scratch);
    p.runner({c.row, c.f, c.n, c.c0, p.rest, c.args, c.out}, scratch);
    if (p.rest == c.c1) return QX_OK;
    const Call tail{c.row, c.f, c.n, p.rest, c.c1, c.args, c.out};
    return generic_run(tail, static_cast<unsigned char *>(scratch) + p.lane_scratch);
}

}  // namespace panel
}  // namespace qx
