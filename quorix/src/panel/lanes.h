// The choice of driver for a panel call: the lane kernels where the row has them and
// the layout suits one of the lane drivers (drive.h), else the generic driver. The
// choice depends on the call alone (and the instruction set), so qxp_scratch_size and
// qxp_run agree. Private to the library.
#ifndef QUORIX_PANEL_LANES_H
#define QUORIX_PANEL_LANES_H

#include "panel.h"

namespace qx {
namespace panel {

struct Plan {
    enum Kind { generic, lanes } kind;
    void (*runner)(const Call &, void *);  // the lane driver of columns [c0, rest)
    size_t lane_scratch;                   // its scratch, whole lines
    int64_t rest;                          // columns [rest, c1) go through the generic driver
    size_t scratch;                        // in all
};

Plan plan(const Call &c);
int32_t run(const Call &c, void *scratch);

// Whether row `row` has lane kernels (the same rows in every instruction set).
bool has_lanes(int32_t row);

}  // namespace panel
}  // namespace qx

#endif
