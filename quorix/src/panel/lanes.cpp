// The lane kernels by table row, each built for every instruction set, and the choice of
// driver for a call (lanes.h).
#include "lanes.h"

#include <cstring>

#include "../dispatch.h"
#include "drive.h"

namespace qx {
namespace panel {

namespace {

// The instruction set of the lane kernels: the library's, with AVX-512 only where
// AVX512DQ comes with it (all but the Xeon Phi family).
Isa lane_isa() {
    Isa i = isa();
#if QX_X86
    if (i == Isa::avx512 && !detail::cpu_avx512dq()) i = Isa::avx2;
#endif
    return i;
}

const Entry *entry_for(Isa i, const char *kernel) {
    switch (i) {
    case Isa::avx512: return avx512::entry_for(kernel);
    case Isa::avx2: return avx2::entry_for(kernel);
    default: return sse2::entry_for(kernel);
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

// The kernels whose 1-D form runs as fast along the bars of a contiguous column as
// lanes through transposition would: copies and element-wise selections vectorised
// across bars, and window passes that the 1-D kernel already runs several bars per
// vector.
bool one_column_at_a_time(const char *kernel) {
    static const char *const kernels[] = {"vx_barsince"};
    for (const char *k : kernels)
        if (std::strcmp(k, kernel) == 0) return true;
    return false;
}

}  // namespace

Plan plan(const Call &c) {
    const Isa i = lane_isa();
    const int64_t W = int64_t{2} << static_cast<int>(i);
    const Entry *e = entry_for(i, c.f->kernel);
    Runner runner = nullptr;
    size_t lane_scratch = 0;
    if (e != nullptr && c.c1 - c.c0 >= W) {
        if (columns_adjacent(c)) {
            runner = e->adjacent;
            lane_scratch = e->adjacent_size(c);
        } else if (e->transposed != nullptr && bars_adjacent(c) &&
                   !one_column_at_a_time(c.f->kernel)) {
            runner = e->transposed;
            lane_scratch = e->transposed_size(c);
        }
    }
    if (runner == nullptr) return {Plan::generic, nullptr, 0, c.c0, generic_scratch(c)};
    const int64_t rest = c.c0 + (c.c1 - c.c0) / W * W;
    lane_scratch = whole_lines(lane_scratch);
    const Call tail{c.f, c.n, rest, c.c1, c.args, c.out};
    return {Plan::lanes, runner, lane_scratch, rest, lane_scratch + generic_scratch(tail)};
}

int32_t run(const Call &c, void *scratch) {
    const Plan p = plan(c);
    if (p.kind == Plan::generic) return generic_run(c, scratch);
    p.runner({c.f, c.n, c.c0, p.rest, c.args, c.out}, scratch);
    if (p.rest == c.c1) return QX_OK;
    const Call tail{c.f, c.n, p.rest, c.c1, c.args, c.out};
    return generic_run(tail, static_cast<unsigned char *>(scratch) + p.lane_scratch);
}

}  // namespace panel
}  // namespace qx
