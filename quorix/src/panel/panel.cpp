// The panel entry points: the row, the status, then the driver.
#include "lanes.h"

namespace qx {
namespace panel {

const Function *row_of(int32_t row) {
    if (row < 0 || static_cast<size_t>(row) >= table::kNumRows) return nullptr;
    return &table::row_at(static_cast<size_t>(row));
}

namespace {

// The kernel's own checks, on no bars: every count agrees and none is read, so the
// status is the period check's (which no kernel makes depend on the count).
int32_t status(const Function &f, const qxp_arg *args) {
    table::Slot slots[table::kMaxParams] = {};
    for (int i = 0; i < f.nparams; ++i) {
        slots[i].value = is_array(f.params[i].kind) ? 0 : args[i].value;
        slots[i].real = args[i].real;
    }
    return f.invoke(0, slots, nullptr, 0);
}

}  // namespace
}  // namespace panel
}  // namespace qx

using namespace qx::panel;

extern "C" {

QXP_API size_t qxp_scratch_size(int32_t row, int32_t n, int64_t c0, int64_t c1, const qxp_arg *args,
                                const qxp_out *out) {
    const Function *f = row_of(row);
    if (f == nullptr || n <= 0 || c0 < 0 || c1 <= c0) return 0;
    const Call c{row, f, n, c0, c1, args, out};
    return plan(c).scratch;
}

QXP_API int32_t qxp_run(int32_t row, int32_t n, int64_t c0, int64_t c1, const qxp_arg *args,
                        const qxp_out *out, void *scratch) {
    const Function *f = row_of(row);
    if (f == nullptr || c0 < 0) return -1;
    if (int32_t st = status(*f, args)) return st;
    if (n <= 0 || c1 <= c0) return QX_OK;
    const Call c{row, f, n, c0, c1, args, out};
    return run(c, scratch);
}

QXP_API int32_t qxp_has_lanes(int32_t row) { return row_of(row) != nullptr && has_lanes(row); }

QXP_API int64_t qxp_column_block(void) { return 32; }

}  // extern "C"
