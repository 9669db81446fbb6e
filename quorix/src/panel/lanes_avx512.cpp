// The lane kernels with 8 lanes, every function built for AVX-512 with AVX512DQ, which
// moves a comparison's mask between a mask register and a vector in one instruction.
// Run only where the CPU has both (lanes.cpp). AVX-512 makes fused multiply-adds
// available; -ffp-contract=off keeps every operation rounded on its own.
#include "lanes_prelude.h"

#if QX_X86 && defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq"))), apply_to = function)
#elif QX_X86
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
#endif

#define QXP_W 8
namespace qx {
namespace panel {
namespace avx512 {
#include "lanes.inc"
}  // namespace avx512
}  // namespace panel
}  // namespace qx

#if QX_X86 && defined(__clang__)
#pragma clang attribute pop
#elif QX_X86
#pragma GCC pop_options
#endif
