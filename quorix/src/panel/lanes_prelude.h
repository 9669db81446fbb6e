// What lanes.inc needs, included before each instruction set's namespace opens (the
// included code itself includes nothing). Private to the library.
#ifndef QUORIX_PANEL_LANES_PRELUDE_H
#define QUORIX_PANEL_LANES_PRELUDE_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../dispatch.h"
#include "drive.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if QX_X86
#include <immintrin.h>
#endif

#endif
