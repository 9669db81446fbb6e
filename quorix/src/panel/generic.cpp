// The generic panel driver: every row of the table, one column at a time through its
// 1-D kernel.
#include <cstring>

#include "panel.h"

namespace qx {
namespace panel {

namespace {

// dst[t] = element (t, j) of a, for t in [0, n).
void gather(unsigned char *dst, const qxp_arg &a, size_t size, int64_t j, int64_t n) {
    const unsigned char *src = at(a, size, 0, j);
    const int64_t step = static_cast<int64_t>(size) * a.bar_stride;
    if (size == sizeof(double)) {
        for (int64_t t = 0; t < n; ++t, src += step) std::memcpy(dst + 8 * t, src, 8);
    } else {
        for (int64_t t = 0; t < n; ++t, src += step) dst[t] = *src;
    }
}

// Whether an array argument is read in place: its bars adjacent.
bool in_place(const qxp_arg &a) { return a.bar_stride == 1; }

}  // namespace

size_t generic_scratch(const Call &c) {
    size_t bytes = 0;
    for (int i = 0; i < c.f->nparams; ++i) {
        const Kind k = c.f->params[i].kind;
        if (is_array(k) && !in_place(c.args[i]))
            bytes += whole_lines(static_cast<size_t>(c.n) * element_size(k));
    }
    if (c.out->bar_stride != 1) bytes += whole_lines(static_cast<size_t>(c.n) * sizeof(double));
    return bytes;
}

int32_t generic_run(const Call &c, void *scratch) {
    const Function &f = *c.f;
    const int64_t n = c.n;
    table::Slot slots[table::kMaxParams] = {};
    unsigned char *staged[table::kMaxParams] = {};
    unsigned char *spare = static_cast<unsigned char *>(scratch);
    for (int i = 0; i < f.nparams; ++i) {
        const Kind k = f.params[i].kind;
        const qxp_arg &a = c.args[i];
        slots[i].value = is_array(k) ? c.n : a.value;
        slots[i].real = a.real;
        if (!is_array(k) || in_place(a)) continue;
        staged[i] = spare;
        spare += whole_lines(static_cast<size_t>(n) * element_size(k));
        // A series shared by every column is gathered once.
        if (a.col_stride == 0) {
            gather(staged[i], a, element_size(k), 0, n);
            slots[i].data = staged[i];
            staged[i] = nullptr;
        }
    }
    double *out_staged = c.out->bar_stride == 1 ? nullptr : reinterpret_cast<double *>(spare);

    for (int64_t j = c.c0; j < c.c1; ++j) {
        for (int i = 0; i < f.nparams; ++i) {
            const Kind k = f.params[i].kind;
            if (!is_array(k)) continue;
            if (in_place(c.args[i])) {
                slots[i].data = at(c.args[i], element_size(k), 0, j);
            } else if (staged[i] != nullptr) {
                gather(staged[i], c.args[i], element_size(k), j, n);
                slots[i].data = staged[i];
            }
        }
        double *o = out_staged != nullptr ? out_staged : at(*c.out, 0, j);
        if (out_staged != nullptr) {
            // What the kernel leaves unwritten keeps the caller's value.
            const double *src = at(*c.out, 0, j);
            for (int64_t t = 0; t < n; ++t) o[t] = src[t * c.out->bar_stride];
        }
        if (int32_t st = f.invoke(0, slots, o, c.n)) return st;
        if (out_staged != nullptr) {
            double *dst = at(*c.out, 0, j);
            for (int64_t t = 0; t < n; ++t) dst[t * c.out->bar_stride] = o[t];
        }
    }
    return QX_OK;
}

}  // namespace panel
}  // namespace qx
