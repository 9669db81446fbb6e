// The rows of the function table that vexa._native serves, numbered as the panel
// drivers number them: every table of quorix_table.h, one after another.
#ifndef VEXA_NATIVE_ROWS_H
#define VEXA_NATIVE_ROWS_H

#include <cstddef>
#include <cstring>

#include "quorix_table.h"

namespace vexa::native {

using qx::table::Form;
using qx::table::Kind;
using qx::table::kMaxParams;
using Row = qx::table::Function;

struct Table {
    const Row *rows;
    size_t count;
};

// A table listed here is served with no other change: its rows get function objects,
// and their numbers continue those of the tables before it.
constexpr Table kTables[] = {
    {qx::table::kFunctions, qx::table::kNumFunctions},
    {qx::table::kExtraFunctions, qx::table::kNumExtraFunctions},
};

constexpr size_t count_rows() {
    size_t n = 0;
    for (const Table &t : kTables) n += t.count;
    return n;
}
constexpr size_t kNumRows = count_rows();

constexpr const Row &row_at(size_t i) {
    for (const Table &t : kTables) {
        if (i < t.count) return t.rows[i];
        i -= t.count;
    }
    return kTables[0].rows[0];  // not reached for i < kNumRows
}

// An array parameter: read from a series (or a scalar broadcast over the bars).
constexpr bool is_array(Kind k) {
    return k == Kind::Series || k == Kind::Periods || k == Kind::Cond;
}

// The row that reads its period per bar (MA -> MA_A): the same name with "_A", whose
// parameters are the first one of `r` and a period series. -1 when there is none.
inline int per_bar_row(size_t r) {
    const Row &f = row_at(r);
    const size_t len = std::strlen(f.name);
    for (size_t i = 0; i < kNumRows; ++i) {
        const Row &g = row_at(i);
        if (std::strncmp(g.name, f.name, len) != 0 || std::strcmp(g.name + len, "_A") != 0)
            continue;
        if (g.nparams == 2 && g.params[0].kind == f.params[0].kind &&
            g.params[1].kind == Kind::Periods)
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace vexa::native

#endif
