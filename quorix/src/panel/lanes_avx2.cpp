// The lane kernels with 4 lanes, every function built for AVX2 (without FMA: no
// operation is fused either way, -ffp-contract=off). Run only where the CPU has AVX2
// (lanes.cpp).
#include "lanes_prelude.h"

#if QX_X86 && defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif QX_X86
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#define QXP_W 4
namespace qx {
namespace panel {
namespace avx2 {
#include "lanes.inc"
}  // namespace avx2
}  // namespace panel
}  // namespace qx

#if QX_X86 && defined(__clang__)
#pragma clang attribute pop
#elif QX_X86
#pragma GCC pop_options
#endif
