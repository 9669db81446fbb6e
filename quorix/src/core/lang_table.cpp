// Compiles the table's QX_EXTRA rows against the kernels of quorix_lang.h: a row whose
// parameter kinds disagree with its kernel's signature stops the build here.
#if !defined(QX_TABLE_WITH_EXTRAS)
#define QX_TABLE_WITH_EXTRAS
#endif
#include "quorix_table.h"

static_assert(qx::table::kNumExtraFunctions > 0, "the rows of quorix_lang.h's kernels");
