// The rows of the function table that vexa._native serves, numbered as the panel drivers
// and the streams number them (qx::table::row_at), and what the calls read off them.
#ifndef VEXA_NATIVE_ROWS_H
#define VEXA_NATIVE_ROWS_H

#include <cstddef>

#include "quorix_table.h"

namespace vexa::native {

using qx::table::Form;
using qx::table::Kind;
using qx::table::kMaxParams;
using qx::table::kNumRows;
using qx::table::row_at;
using Row = qx::table::Function;

// An array parameter: read from a series (or a scalar broadcast over the bars).
constexpr bool is_array(Kind k) {
    return k == Kind::Series || k == Kind::Periods || k == Kind::Cond;
}

// The number of parameters of kind `k` in row r.
constexpr int count_of(const Row &r, Kind k) {
    int m = 0;
    for (int i = 0; i < r.nparams; ++i) m += r.params[i].kind == k;
    return m;
}

// The most parameters of kind `k` that any row has: the size of an array that holds
// them for any row.
constexpr int most_of(Kind k) {
    int most = 0;
    for (size_t r = 0; r < kNumRows; ++r)
        if (count_of(row_at(r), k) > most) most = count_of(row_at(r), k);
    return most;
}

// The row that reads the period of each row per bar (MA -> MA_A; -1: none), worked out
// when compiled.
struct PerBarRows {
    int row[kNumRows];
};
constexpr PerBarRows kPerBar = [] {
    PerBarRows p{};
    for (size_t i = 0; i < kNumRows; ++i) p.row[i] = qx::table::per_bar_row(i);
    return p;
}();

}  // namespace vexa::native

#endif
