// Test builds only: reports which variant the load-time dispatch picked, so that the
// tests can tell that a forced instruction set took effect.
#include "qx.h"

#if defined(QUORIX_FORCE_ISA)

extern "C" QX_API int32_t quorix_isa(void);

namespace {
template <qx::Isa I>
int32_t isa_body() {
    return static_cast<int32_t>(I);
}
}  // namespace

QX_MULTIVERSION(quorix_isa, isa_body);

#endif
