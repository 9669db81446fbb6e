// The error for parameters a kernel refuses (its status 2), or for a status that the
// checks before a call should have made impossible: one mapping of a kernel's verdict to
// the error, for the functions and the streams alike.
#ifndef VEXA_NATIVE_REFUSALS_H
#define VEXA_NATIVE_REFUSALS_H

#include "numpy.h"

#include <cstdint>

#include "rows.h"

namespace vexa::native {

// Sets the error for `status` of row r's kernel over the integer and real parameters
// `given` (slots by parameter position; the arrays' are not read) and returns false.
// Status 2 names the parameter at fault: an integer below its least value, or the one
// real parameter that an accepted value in its place would make the call pass; else all
// of them together.
bool refused(const char *func, const Row &r, const qx::table::Slot *given, int32_t status);

}  // namespace vexa::native

#endif
