// What lanes.inc needs, included before each instruction set's namespace opens (the
// included code itself includes nothing): the toolkit, the drivers' shared parts and the
// headers that a family's lane kernels share with its 1-D kernels. Private to the
// library.
#ifndef QUORIX_PANEL_LANES_PRELUDE_H
#define QUORIX_PANEL_LANES_PRELUDE_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../core/qx.h"
#include "../dispersion/dispersion.h"
#include "../regression/regression.h"
#include "drive.h"

#endif
