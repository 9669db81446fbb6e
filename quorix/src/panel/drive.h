// What the lane drivers of every instruction set share (lanes.inc holds the drivers and
// the kernels, built once per instruction set): rows of lanes, scalar access for the
// kernels' set-up scans, the sizes of tiles and chunks, and the entries by which
// lanes.cpp finds a row's lane kernel. Private to the library.
#ifndef QUORIX_PANEL_DRIVE_H
#define QUORIX_PANEL_DRIVE_H

#include <cstdint>

#include "../core/qx.h"
#include "panel.h"

namespace qx {
namespace panel {

// Rows of one input stream: row t at p + ((t - base) & wrap) * pitch, its lanes
// adjacent, or one value for every lane (not adjacent) where the argument is shared by
// every column. wrap is all ones for rows in place, and the ring's size less one for
// rows in a ring of transposed rows.
struct Rows {
    const void *p;
    int64_t pitch;
    int64_t base;
    bool adjacent;
    int64_t wrap;
    template <class T>
    const T *row(int64_t t) const {
        return static_cast<const T *>(p) + ((t - base) & wrap) * pitch;
    }
};

// Rows of the output, lanes adjacent.
struct OutRows {
    double *p;
    int64_t pitch;
    int64_t base;
    double *row(int64_t t) const { return p + (t - base) * pitch; }
};

// Element (t, j) of a series argument, for the kernels' set-up scans.
inline double element(const qxp_arg &a, int64_t t, int64_t j) {
    return static_cast<const double *>(a.data)[t * a.bar_stride + j * a.col_stride];
}

// The first bar of column j that is not missing, or n.
inline int64_t first_valid(const qxp_arg &a, int64_t j, int64_t n) {
    int64_t t = 0;
    while (t < n && is_missing(element(a, t, j))) ++t;
    return t;
}

// Bars per tile of the adjacent driver (kTile) and per chunk of the transposed one
// (kChunk). A tile's rows lie a page or more apart, and a tile of 8 rows touches half
// the pages of one of 16: measured faster with 4 KiB pages (window passes and the
// kernels of several inputs most), alike with huge pages (as numpy gives large arrays).
constexpr int64_t kTile = 8;
constexpr int64_t kChunk = 16;

using Runner = void (*)(const Call &, void *);
using Sizer = size_t (*)(const Call &);

// A row's lane kernel in one instruction set: its drivers and their scratch sizes (all
// null for a row without lanes). transposed is null for kernels that run on adjacent
// columns only.
struct Entry {
    Runner adjacent;
    Sizer adjacent_size;
    Runner transposed;
    Sizer transposed_size;
};

// The lane kernel of row `row` (qx::table::row_at) in each instruction set, or null.
namespace sse2 {
const Entry *entry_for(int32_t row);
}
namespace avx2 {
const Entry *entry_for(int32_t row);
}
namespace avx512 {
const Entry *entry_for(int32_t row);
}

}  // namespace panel
}  // namespace qx

#endif
