// What the panel drivers share: the table's rows, the layouts of the arguments and the
// scratch memory. Private to the library.
#ifndef QUORIX_PANEL_PANEL_H
#define QUORIX_PANEL_PANEL_H

#include <cstddef>
#include <cstdint>

#if defined(QX_TABLE_WITH_EXTRAS)
#include "quorix_lang.h"
#endif
#include "quorix_panel.h"
#include "quorix_table.h"

namespace qx {
namespace panel {

using table::Function;
using table::Kind;

// The row `row` of the table (the extra rows continue the numbering), or null.
const Function *row_of(int32_t row);

inline bool is_array(Kind k) { return k == Kind::Series || k == Kind::Periods || k == Kind::Cond; }
inline size_t element_size(Kind k) { return k == Kind::Cond ? 1 : sizeof(double); }

// Scratch blocks start on cache lines.
constexpr size_t kLine = 64;
inline size_t whole_lines(size_t bytes) { return (bytes + kLine - 1) / kLine * kLine; }

// Element (t, j) of an array argument, as a byte address.
inline const unsigned char *at(const qxp_arg &a, size_t size, int64_t t, int64_t j) {
    return static_cast<const unsigned char *>(a.data) +
           static_cast<int64_t>(size) * (t * a.bar_stride + j * a.col_stride);
}
inline double *at(const qxp_out &o, int64_t t, int64_t j) {
    return o.data + t * o.bar_stride + j * o.col_stride;
}

// One call, checked: the row and its arguments. The driver that computes it is chosen
// from this alone, so the scratch size and the run agree.
struct Call {
    int32_t row;
    const Function *f;
    int32_t n;
    int64_t c0, c1;
    const qxp_arg *args;
    const qxp_out *out;
};

// Column by column through the row's 1-D kernel: inputs whose bars are adjacent are
// read in place, others gathered into scratch (a series shared by every column once);
// an output column whose bars are not adjacent is gathered, computed and scattered.
size_t generic_scratch(const Call &c);
int32_t generic_run(const Call &c, void *scratch);

}  // namespace panel
}  // namespace qx

#endif
