// The rows of the function table that vexa._native serves, numbered as the panel drivers
// and the streams number them (qx::table::row_at).
#ifndef VEXA_NATIVE_ROWS_H
#define VEXA_NATIVE_ROWS_H

#include <cstddef>

#include "quorix_table.h"

namespace vexa::native {

using qx::table::Form;
using qx::table::Kind;
using qx::table::kMaxParams;
using Row = qx::table::Function;

using qx::table::kNumRows;
using qx::table::per_bar_row;
using qx::table::row_at;

// An array parameter: read from a series (or a scalar broadcast over the bars).
constexpr bool is_array(Kind k) {
    return k == Kind::Series || k == Kind::Periods || k == Kind::Cond;
}

}  // namespace vexa::native

#endif
