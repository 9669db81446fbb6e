// Running one row of the table over a panel (quorix_panel.h): its columns cut into
// chunks and shared among the pool's threads when the panel is large, each thread with
// scratch memory of its own, the GIL released around the work.
#ifndef VEXA_NATIVE_PANELS_H
#define VEXA_NATIVE_PANELS_H

#include <cstdint>

#include "quorix_panel.h"

namespace vexa::native {

// Elements of work (bars x columns) from which the GIL is released around the kernels.
constexpr int64_t kReleaseGil = int64_t(1) << 14;

// Runs row `row` over n bars of `cols` columns (args in parameter order, out the result)
// and stores the driver's status (0, or the kernel's refusal) in *status. False, with
// MemoryError set, when the scratch memory cannot be had. Called with the GIL held.
bool run_panel(int32_t row, int32_t n, int64_t cols, const qxp_arg *args, const qxp_out &out,
               int32_t *status);

}  // namespace vexa::native

#endif
