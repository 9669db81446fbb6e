// The generic panel driver: every row of the table, one column at a time through its
// 1-D kernel. Arguments whose bars are adjacent are read in place; the others are
// gathered into scratch a group of columns at a time, bar by bar, so that a panel with
// adjacent columns (C order) is read along its rows rather than down a column per pass;
// a series shared by every column is gathered once. An output whose bars are not
// adjacent is gathered likewise (what the kernel leaves unwritten keeps the caller's
// value), computed column by column and scattered back by rows.
#include <cstring>

#include "panel.h"

namespace qx {
namespace panel {

namespace {

// Whether an array argument is read in place: its bars adjacent.
bool in_place(const qxp_arg &a) { return a.bar_stride == 1; }

// Scratch per group of columns at most, and columns per group at most.
constexpr size_t kGroupBytes = size_t{1} << 20;
constexpr int64_t kGroupMax = 16;

// The scratch of one column of every argument gathered per column (shared ones apart),
// and of the ones gathered once.
struct Needs {
    size_t per_column = 0, once = 0;
};

Needs needs(const Call &c) {
    Needs s;
    const size_t n = static_cast<size_t>(c.n);
    for (int i = 0; i < c.f->nparams; ++i) {
        const Kind k = c.f->params[i].kind;
        if (!is_array(k) || in_place(c.args[i])) continue;
        (c.args[i].col_stride == 0 ? s.once : s.per_column) += whole_lines(n * element_size(k));
    }
    if (c.out->bar_stride != 1) s.per_column += whole_lines(n * sizeof(double));
    return s;
}

// Columns per group: as many as fit kGroupBytes, at least one.
int64_t group_of(const Call &c, const Needs &s) {
    int64_t g = s.per_column == 0 ? kGroupMax : static_cast<int64_t>(kGroupBytes / s.per_column);
    if (g > kGroupMax) g = kGroupMax;
    if (g > c.c1 - c.c0) g = c.c1 - c.c0;
    return g < 1 ? 1 : g;
}

// Columns [j, j + g) of a, bars [0, n), into dst: column l at dst + l * pitch bytes.
template <class T>
void gather_as(unsigned char *dst, size_t pitch, const qxp_arg &a, int64_t j, int64_t g,
               int64_t n) {
    const T *base = static_cast<const T *>(a.data);
    for (int64_t t = 0; t < n; ++t) {
        const T *src = base + t * a.bar_stride + j * a.col_stride;
        for (int64_t l = 0; l < g; ++l, src += a.col_stride)
            reinterpret_cast<T *>(dst + static_cast<size_t>(l) * pitch)[t] = *src;
    }
}

void gather(unsigned char *dst, size_t pitch, const qxp_arg &a, size_t size, int64_t j, int64_t g,
            int64_t n) {
    if (size == 1)
        gather_as<uint8_t>(dst, pitch, a, j, g, n);
    else
        gather_as<double>(dst, pitch, a, j, g, n);
}

}  // namespace

size_t generic_scratch(const Call &c) {
    const Needs s = needs(c);
    return s.once + static_cast<size_t>(group_of(c, s)) * s.per_column;
}

int32_t generic_run(const Call &c, void *scratch) {
    const Function &f = *c.f;
    const int64_t n = c.n;
    const Needs s = needs(c);
    const int64_t group = group_of(c, s);
    table::Slot slots[table::kMaxParams] = {};
    unsigned char *staged[table::kMaxParams] = {};
    size_t pitch[table::kMaxParams] = {};
    unsigned char *spare = static_cast<unsigned char *>(scratch);
    for (int i = 0; i < f.nparams; ++i) {
        const Kind k = f.params[i].kind;
        const qxp_arg &a = c.args[i];
        slots[i].value = is_array(k) ? c.n : a.value;
        slots[i].real = a.real;
        if (!is_array(k) || in_place(a)) continue;
        pitch[i] = whole_lines(static_cast<size_t>(n) * element_size(k));
        staged[i] = spare;
        if (a.col_stride == 0) {
            gather(spare, pitch[i], a, element_size(k), 0, 1, n);
            slots[i].data = spare;
            staged[i] = nullptr;
            spare += pitch[i];
        } else {
            spare += pitch[i] * static_cast<size_t>(group);
        }
    }
    const bool out_staged = c.out->bar_stride != 1;
    const size_t out_pitch = whole_lines(static_cast<size_t>(n) * sizeof(double));
    const qxp_arg out_as_arg{c.out->data, c.out->bar_stride, c.out->col_stride, 0, 0.0};

    for (int64_t j = c.c0; j < c.c1; j += group) {
        const int64_t g = c.c1 - j < group ? c.c1 - j : group;
        for (int i = 0; i < f.nparams; ++i)
            if (staged[i] != nullptr)
                gather(staged[i], pitch[i], c.args[i], element_size(f.params[i].kind), j, g, n);
        if (out_staged) gather(spare, out_pitch, out_as_arg, sizeof(double), j, g, n);
        for (int64_t l = 0; l < g; ++l) {
            for (int i = 0; i < f.nparams; ++i) {
                const Kind k = f.params[i].kind;
                if (!is_array(k)) continue;
                if (in_place(c.args[i]))
                    slots[i].data = at(c.args[i], element_size(k), 0, j + l);
                else if (staged[i] != nullptr)
                    slots[i].data = staged[i] + static_cast<size_t>(l) * pitch[i];
            }
            double *o = out_staged
                            ? reinterpret_cast<double *>(spare + static_cast<size_t>(l) * out_pitch)
                            : at(*c.out, 0, j + l);
            if (int32_t st = f.invoke(0, slots, o, c.n)) return st;
        }
        if (out_staged) {
            for (int64_t t = 0; t < n; ++t) {
                double *dst = at(*c.out, t, j);
                for (int64_t l = 0; l < g; ++l, dst += c.out->col_stride)
                    *dst = reinterpret_cast<const double *>(spare + l * out_pitch)[t];
            }
        }
    }
    return QX_OK;
}

}  // namespace panel
}  // namespace qx
