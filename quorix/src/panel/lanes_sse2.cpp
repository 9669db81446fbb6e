// The lane kernels with 2 lanes, built for the library's base instruction set (SSE2 on
// x86-64; plain vector code elsewhere).
#include "lanes_prelude.h"

#define QXP_W 2
namespace qx {
namespace panel {
namespace sse2 {
#include "lanes.inc"
}  // namespace sse2
}  // namespace panel
}  // namespace qx
