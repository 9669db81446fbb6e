/* quorix panels: the kernels of the function table over two-dimensional panels of
 * bars x columns (one symbol per column), in any memory layout.
 *
 *   - Every column of a result is bit for bit what the row's 1-D kernel gives on that
 *     column alone (ctx = 0).
 *   - Python-free, allocation-free, no threads inside: the caller supplies scratch
 *     memory (qxp_scratch_size) and may call qxp_run from many threads at once on
 *     disjoint column ranges of one output.
 *   - Columns that sit next to each other in memory run one per vector lane; others are
 *     transposed through the scratch memory in blocks, or run one by one through the
 *     1-D kernel where that is as fast.
 */
#ifndef QUORIX_PANEL_H
#define QUORIX_PANEL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QXP_API __declspec(dllexport)
#else
#define QXP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One argument of a panel call, by parameter position (the function table's order).
 * An array parameter: element (bar t, column j) is at data + t*bar_stride + j*col_stride,
 * strides counted in elements of its type (double for series and period series, uint8_t
 * for condition series). A stride of 0 broadcasts: col_stride 0 gives every column the
 * same series, bar_stride 0 and col_stride 0 a scalar.
 * An integer parameter: value (data NULL); a real parameter: real. */
typedef struct {
    const void *data;
    int64_t bar_stride;
    int64_t col_stride;
    int32_t value;
    double real;
} qxp_arg;

/* The output panel: element (bar t, column j) at data + t*bar_stride + j*col_stride. It
 * must not overlap an input. Elements that the 1-D kernel leaves unwritten (bar 0 of
 * CROSS) keep what the caller stored there. */
typedef struct {
    double *data;
    int64_t bar_stride;
    int64_t col_stride;
} qxp_out;

/* Bytes of scratch memory that qxp_run needs for columns [c0, c1) of n bars of row `row`
 * with these arguments (0 when it reads and writes in place). The caller allocates it,
 * 64-byte aligned; one block per concurrent call. 0 for a row outside the table. */
QXP_API size_t qxp_scratch_size(int32_t row, int32_t n, int64_t c0, int64_t c1, const qxp_arg *args,
                                const qxp_out *out);

/* Computes columns [c0, c1) of the table's function `row` (index into
 * qx::table::kFunctions, continuing into kExtraFunctions when present) over n bars.
 * Returns 0, or the kernel's status (1 or 2) with nothing written when the call is
 * refused; the status is the one the 1-D kernel gives and does not depend on the
 * column. n <= 0 or c1 <= c0 writes nothing. A row outside the table or c0 < 0
 * returns -1 with nothing written. */
QXP_API int32_t qxp_run(int32_t row, int32_t n, int64_t c0, int64_t c1, const qxp_arg *args,
                        const qxp_out *out, void *scratch);

/* 1 when row `row` has lane kernels, else 0: its panels then run the 1-D kernel column
 * by column (as do layouts that the lane drivers do not serve). */
QXP_API int32_t qxp_has_lanes(int32_t row);

/* The column block of the lane kernels: a caller that splits the columns of a panel whose
 * columns are adjacent in memory (col_stride 1) among threads cuts the ranges at
 * multiples of it, so that no vector of lanes is split and no cache line is shared. */
QXP_API int64_t qxp_column_block(void);

#ifdef __cplusplus
}
#endif

#endif
