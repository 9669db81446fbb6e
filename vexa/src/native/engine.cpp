// The formula engine (engine.h). A program is a list of instructions (opcode, destination,
// operands...) over four kinds of operand: a number (broadcast over the panel), an input
// panel, a register (a scratch block of n bars x B columns, one set per thread) and an
// output panel, the final array of a value the caller keeps. Each block of B columns runs
// the whole program: element-wise opcodes as loops over the block, calls through the
// table's panel drivers (qxp_run) on the block's columns. Every element gets the
// operations of numpy's ufuncs in the formula's order, so the bits are those of the
// evaluation one whole panel at a time; a kernel's refusal stops the run and is returned.
#include "engine.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VEXA_ENGINE_SSE2 1
#endif

#include "quorix_panel.h"

#include "pool.h"
#include "rows.h"

namespace vexa::native::engine {
namespace {

#define VEXA_ENGINE_OPS(X)                                                                         \
    X(ADD, "add", 2)                                                                               \
    X(SUB, "sub", 2)                                                                               \
    X(MUL, "mul", 2)                                                                               \
    X(DIV, "div", 2)                                                                               \
    X(GT, "gt", 2)                                                                                 \
    X(GE, "ge", 2)                                                                                 \
    X(LT, "lt", 2)                                                                                 \
    X(LE, "le", 2)                                                                                 \
    X(EQ, "eq", 2)                                                                                 \
    X(NE, "ne", 2)                                                                                 \
    X(AND, "and", 2)                                                                               \
    X(OR, "or", 2)                                                                                 \
    X(NEG, "neg", 1)                                                                               \
    X(ABS, "ABS", 1)                                                                               \
    X(MAX, "MAX", 2)                                                                               \
    X(MIN, "MIN", 2)                                                                               \
    X(NOT, "NOT", 1)                                                                               \
    X(SQRT, "SQRT", 1)                                                                             \
    X(SIGN, "SIGN", 1)                                                                             \
    X(BETWEEN, "BETWEEN", 3)                                                                       \
    X(RANGE, "RANGE", 3)                                                                           \
    X(LOAD, "load", 1)                                                                             \
    X(STORE, "store", 1)                                                                           \
    X(CALL, "call", -1)

enum Op : int {
#define X(id, name, arity) OP_##id,
    VEXA_ENGINE_OPS(X)
#undef X
        kNumOps
};

constexpr const char *kOpNames[] = {
#define X(id, name, arity) name,
    VEXA_ENGINE_OPS(X)
#undef X
};

constexpr int kArity[] = {
#define X(id, name, arity) arity,
    VEXA_ENGINE_OPS(X)
#undef X
};

// Operand kinds: the low two bits of an operand, its index above them.
enum Kind2 : int { K_CONST = 0, K_INPUT = 1, K_REG = 2, K_OUT = 3 };

// Elements (bars x columns) from which the blocks are shared among threads.
constexpr int64_t kParallel = int64_t(1) << 16;
// Bytes of registers per thread that the default block width aims at.
constexpr int64_t kRegisterBytes = int64_t(2) << 20;
constexpr int64_t kMaxBlock = 64;
constexpr int64_t kLineDoubles = 8;
constexpr size_t kAlign = 64;

// A panel as the loops read it: element (t, j) at p[t*bs + j*cs].
struct View {
    double *p;
    int64_t bs, cs;
    double &at(int64_t t, int64_t j) const { return p[t * bs + j * cs]; }
};

struct Panel {
    double *p;
    int64_t bs, cs;
};

struct Instr {
    int op = 0;
    int32_t dst = 0;
    int nargs = 0;
    int32_t row = 0;
    int32_t operand[kMaxParams] = {};  // operands (array parameters of a call)
    int32_t value[kMaxParams] = {};    // integer parameters of a call
    double real[kMaxParams] = {};      // real parameters of a call
    uint8_t flag[kMaxParams] = {};     // a number given as a condition: its truth
    size_t scratch = 0;                // bytes of scratch memory its call needs
};

struct Engine {
    std::vector<Instr> code;
    std::vector<double> consts;
    std::vector<Panel> inputs, outs;
    int64_t n = 0, m = 0, block = 0;
    int64_t nregs = 0;
    size_t reg_bytes = 0, cond_bytes = 0, kernel_bytes = 0, each = 0;
    char *arena = nullptr;
    std::atomic<int32_t> status{0};
};

size_t round_up(size_t v, size_t to) { return (v + to - 1) / to * to; }

inline double quiet(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    u |= uint64_t(1) << 51;
    std::memcpy(&x, &u, sizeof u);
    return x;
}

inline double truth(double x) { return std::fabs(x) > 0.0 ? 1.0 : 0.0; }

View view_of(const Engine &e, int32_t operand, int64_t c0, char *base) {
    const int kind = operand & 3;
    const int64_t k = operand >> 2;
    switch (kind) {
    case K_CONST: return {const_cast<double *>(&e.consts[static_cast<size_t>(k)]), 0, 0};
    case K_INPUT: {
        const Panel &p = e.inputs[static_cast<size_t>(k)];
        return {p.p + c0 * p.cs, p.bs, p.cs};
    }
    case K_REG: return {reinterpret_cast<double *>(base) + k * e.n * e.block, e.block, 1};
    default: {
        const Panel &p = e.outs[static_cast<size_t>(k)];
        return {p.p + c0 * p.cs, p.bs, p.cs};
    }
    }
}

// The loops over a block: every operand a register (n x B, contiguous) or a number
// (step 0), count = n * B elements in one pass (the columns of a last, narrower block
// beyond its width hold values of no use, never stored).
template <int SA, class F>
void unary(double *d, const double *a, int64_t count, F f) {
    for (int64_t i = 0; i < count; ++i) d[i] = f(a[i * SA]);
}

template <int SA, int SB, class F>
void binary_steps(double *d, const double *a, const double *b, int64_t count, F f) {
    int64_t i = 0;
#ifdef VEXA_ENGINE_SSE2
    // Two elements at a time where the operator has a form on SSE2 vectors.
    if constexpr (std::is_invocable_v<F, __m128d, __m128d>) {
        const __m128d ka = _mm_set1_pd(a[0]), kb = _mm_set1_pd(b[0]);
        for (; i + 2 <= count; i += 2) {
            const __m128d x = SA ? _mm_loadu_pd(a + i) : ka;
            const __m128d y = SB ? _mm_loadu_pd(b + i) : kb;
            _mm_storeu_pd(d + i, f(x, y));
        }
    }
#endif
    for (; i < count; ++i) d[i] = f(a[i * SA], b[i * SB]);
}

template <class F>
void binary(double *d, const View &a, const View &b, int64_t count, F f) {
    if (a.bs == 0)
        binary_steps<0, 1>(d, a.p, b.p, count, f);
    else if (b.bs == 0)
        binary_steps<1, 0>(d, a.p, b.p, count, f);
    else
        binary_steps<1, 1>(d, a.p, b.p, count, f);
}

template <class F>
void ternary(double *d, const View &a, const View &b, const View &c, int64_t count, F f) {
    const int64_t sa = a.bs != 0, sb = b.bs != 0, sc = c.bs != 0;
    for (int64_t i = 0; i < count; ++i) d[i] = f(a.p[i * sa], b.p[i * sb], c.p[i * sc]);
}

template <class F>
void unary_view(double *d, const View &a, int64_t count, F f) {
    if (a.bs == 0)
        unary<0>(d, a.p, count, f);
    else
        unary<1>(d, a.p, count, f);
}

// The arithmetic operators, each with numpy's NaN where the first operand is one (the
// first operand's, quieted, as x86's SSE gives it): the compiler may put the operands
// of a sum or product in either order, which changes which NaN the instruction passes
// when both are NaN. A NaN of the second operand alone passes either way; an invalid
// operation gives the instruction's own.
inline double first_nan(double a, double r) { return a != a ? quiet(a) : r; }
inline double add(double a, double b) { return first_nan(a, a + b); }
inline double sub(double a, double b) { return first_nan(a, a - b); }
inline double mul(double a, double b) { return first_nan(a, a * b); }
inline double divide(double a, double b) { return first_nan(a, a / b); }

// The operators as functors on one double and, with SSE2, on two.
#ifdef VEXA_ENGINE_SSE2
inline __m128d first_nan(__m128d a, __m128d r) {
    const __m128d m = _mm_cmpunord_pd(a, a);
    const __m128d q = _mm_or_pd(a, _mm_castsi128_pd(_mm_set1_epi64x(int64_t(1) << 51)));
    return _mm_or_pd(_mm_and_pd(m, q), _mm_andnot_pd(m, r));
}
inline __m128d one_where(__m128d m) { return _mm_and_pd(m, _mm_set1_pd(1.0)); }
inline __m128d truth_mask(__m128d a) {
    const __m128d mag = _mm_andnot_pd(_mm_set1_pd(-0.0), a);
    return _mm_cmpgt_pd(mag, _mm_setzero_pd());
}
#define VEXA_VEC(expr)                                                                             \
    __m128d operator()(__m128d a, __m128d b) const { return expr; }
#else
#define VEXA_VEC(expr)
#endif

#define VEXA_BINARY(Name, scalar, vector)                                                          \
    struct Name {                                                                                  \
        double operator()(double a, double b) const { return scalar; }                             \
        VEXA_VEC(vector)                                                                           \
    };

VEXA_BINARY(Add, add(a, b), first_nan(a, _mm_add_pd(a, b)))
VEXA_BINARY(Sub, sub(a, b), first_nan(a, _mm_sub_pd(a, b)))
VEXA_BINARY(Mul, mul(a, b), first_nan(a, _mm_mul_pd(a, b)))
VEXA_BINARY(Div, divide(a, b), first_nan(a, _mm_div_pd(a, b)))
VEXA_BINARY(Gt, a > b ? 1.0 : 0.0, one_where(_mm_cmpgt_pd(a, b)))
VEXA_BINARY(Ge, a >= b ? 1.0 : 0.0, one_where(_mm_cmpge_pd(a, b)))
VEXA_BINARY(Lt, a < b ? 1.0 : 0.0, one_where(_mm_cmplt_pd(a, b)))
VEXA_BINARY(Le, a <= b ? 1.0 : 0.0, one_where(_mm_cmple_pd(a, b)))
VEXA_BINARY(Eq, a == b ? 1.0 : 0.0, one_where(_mm_cmpeq_pd(a, b)))
VEXA_BINARY(Ne, (a < b || a > b) ? 1.0 : 0.0,
            one_where(_mm_or_pd(_mm_cmplt_pd(a, b), _mm_cmpgt_pd(a, b))))
VEXA_BINARY(And, (std::fabs(a) > 0.0 && std::fabs(b) > 0.0) ? 1.0 : 0.0,
            one_where(_mm_and_pd(truth_mask(a), truth_mask(b))))
VEXA_BINARY(Or, (std::fabs(a) > 0.0 || std::fabs(b) > 0.0) ? 1.0 : 0.0,
            one_where(_mm_or_pd(truth_mask(a), truth_mask(b))))
// numpy's where(isnan(b), b, where(b > a, b, a)), and the same with b < a.
VEXA_BINARY(Max, b != b ? b : (b > a ? b : a), [&] {
    const __m128d m = _mm_or_pd(_mm_cmpunord_pd(b, b), _mm_cmpgt_pd(b, a));
    return _mm_or_pd(_mm_and_pd(m, b), _mm_andnot_pd(m, a));
}())
VEXA_BINARY(Min, b != b ? b : (b < a ? b : a), [&] {
    const __m128d m = _mm_or_pd(_mm_cmpunord_pd(b, b), _mm_cmplt_pd(b, a));
    return _mm_or_pd(_mm_and_pd(m, b), _mm_andnot_pd(m, a));
}())

#undef VEXA_BINARY
#undef VEXA_VEC

void elementwise(const Instr &in, double *d, const View *v, int64_t count) {
    switch (in.op) {
    case OP_ADD: return binary(d, v[0], v[1], count, Add{});
    case OP_SUB: return binary(d, v[0], v[1], count, Sub{});
    case OP_MUL: return binary(d, v[0], v[1], count, Mul{});
    case OP_DIV: return binary(d, v[0], v[1], count, Div{});
    case OP_GT: return binary(d, v[0], v[1], count, Gt{});
    case OP_GE: return binary(d, v[0], v[1], count, Ge{});
    case OP_LT: return binary(d, v[0], v[1], count, Lt{});
    case OP_LE: return binary(d, v[0], v[1], count, Le{});
    case OP_EQ: return binary(d, v[0], v[1], count, Eq{});
    case OP_NE: return binary(d, v[0], v[1], count, Ne{});
    case OP_AND: return binary(d, v[0], v[1], count, And{});
    case OP_OR: return binary(d, v[0], v[1], count, Or{});
    case OP_MAX: return binary(d, v[0], v[1], count, Max{});
    case OP_MIN: return binary(d, v[0], v[1], count, Min{});
    case OP_NEG: return unary_view(d, v[0], count, [](double a) { return -a; });
    case OP_ABS: return unary_view(d, v[0], count, [](double a) { return std::fabs(a); });
    case OP_NOT: return unary_view(d, v[0], count, [](double a) { return 1.0 - truth(a); });
    case OP_SQRT: return unary_view(d, v[0], count, [](double a) { return std::sqrt(a); });
    case OP_SIGN:
        return unary_view(d, v[0], count, [](double a) {
            return a > 0.0 ? 1.0 : (a < 0.0 ? -1.0 : (a == 0.0 ? 0.0 : std::nan("")));
        });
    case OP_BETWEEN:
        return ternary(d, v[0], v[1], v[2], count, [](double a, double b, double c) {
            return ((a >= b && a <= c) || (a >= c && a <= b)) ? 1.0 : 0.0;
        });
    case OP_RANGE:
        return ternary(d, v[0], v[1], v[2], count,
                       [](double a, double b, double c) { return (a > b && a < c) ? 1.0 : 0.0; });
    default: return;
    }
}

// Rows ahead that the copies between a panel and a register prefetch: the rows of a
// panel whose columns are adjacent lie a page or more apart, beyond the reach of the
// hardware's prefetchers.
constexpr int64_t kAhead = 8;

// w doubles from src to dst: a few cache lines, inline (a call of memcpy per row of a
// block costs more than the copy).
inline void copy_row(double *dst, const double *src, int64_t w) {
    int64_t l = 0;
#ifdef VEXA_ENGINE_SSE2
    for (; l + 2 <= w; l += 2) _mm_storeu_pd(dst + l, _mm_loadu_pd(src + l));
#endif
    for (; l < w; ++l) dst[l] = src[l];
}

// Columns [0, w) of a panel view into a register (n x B): row by row where the panel's
// columns are adjacent, else column by column.
void load(double *r, const View &a, int64_t n, int64_t w, int64_t B) {
    if (a.bs == 1 && B == 1) {
        std::memcpy(r, a.p, static_cast<size_t>(n) * sizeof(double));
        return;
    }
    if (a.cs == 1 && a.bs != 1) {
        for (int64_t t = 0; t < n; ++t) {
            if (t + kAhead < n) {
                const double *p = a.p + (t + kAhead) * a.bs;
                for (int64_t l = 0; l < w; l += 8) __builtin_prefetch(p + l, 0);
                __builtin_prefetch(p + w - 1, 0);
            }
            copy_row(r + t * B, a.p + t * a.bs, w);
        }
        return;
    }
    for (int64_t j = 0; j < w; ++j) {
        const double *p = a.p + j * a.cs;
        for (int64_t t = 0; t < n; ++t) r[t * B + j] = p[t * a.bs];
    }
}

// The reverse: columns [0, w) of a register into a panel view.
void store(const View &o, const double *r, int64_t n, int64_t w, int64_t B) {
    if (o.bs == 1 && B == 1) {
        std::memcpy(o.p, r, static_cast<size_t>(n) * sizeof(double));
        return;
    }
    if (o.cs == 1 && o.bs != 1) {
        for (int64_t t = 0; t < n; ++t) {
            if (t + kAhead < n) {
                double *p = o.p + (t + kAhead) * o.bs;
                for (int64_t l = 0; l < w; l += 8) __builtin_prefetch(p + l, 1);
                __builtin_prefetch(p + w - 1, 1);
            }
            copy_row(o.p + t * o.bs, r + t * B, w);
        }
        return;
    }
    for (int64_t j = 0; j < w; ++j) {
        double *p = o.p + j * o.cs;
        for (int64_t t = 0; t < n; ++t) p[t * o.bs] = r[t * B + j];
    }
}

// The call's arguments over the block's columns [0, w); a condition is its operand's
// truth, written into the thread's condition buffers.
void call_args(const Engine &e, const Instr &in, const View *v, uint8_t *cond, qxp_arg *args) {
    const Row &r = row_at(static_cast<size_t>(in.row));
    const int64_t count = e.n * e.block;
    for (int i = 0; i < r.nparams; ++i) {
        qxp_arg &a = args[i];
        a = qxp_arg{};
        const Kind k = r.params[i].kind;
        if (k == Kind::Int) {
            a.value = in.value[i];
        } else if (k == Kind::Real) {
            a.real = in.real[i];
        } else if (k == Kind::Cond) {
            if ((in.operand[i] & 3) == K_CONST) {
                a.data = &in.flag[i];
            } else {
                uint8_t *c = cond + static_cast<size_t>(i) * static_cast<size_t>(count);
                const double *x = v[i].p;
                for (int64_t q = 0; q < count; ++q) c[q] = std::fabs(x[q]) > 0.0 ? 1 : 0;
                a.data = c;
                a.bar_stride = e.block;
                a.col_stride = 1;
            }
        } else {
            a.data = v[i].p;
            a.bar_stride = v[i].bs;
            a.col_stride = v[i].cs;
        }
    }
}

void run_block(void *ctx, size_t blk, int worker) {
    Engine &e = *static_cast<Engine *>(ctx);
    if (e.status.load(std::memory_order_relaxed) != 0) return;
    char *base = e.arena + static_cast<size_t>(worker) * e.each;
    auto *cond = reinterpret_cast<uint8_t *>(base + e.reg_bytes);
    void *kscratch = e.kernel_bytes ? base + e.reg_bytes + e.cond_bytes : nullptr;
    const int64_t c0 = static_cast<int64_t>(blk) * e.block;
    const int64_t w = e.m - c0 < e.block ? e.m - c0 : e.block;
    const int64_t count = e.n * e.block;
    View v[kMaxParams];
    for (const Instr &in : e.code) {
        const View d = view_of(e, in.dst, c0, base);
        for (int i = 0; i < in.nargs; ++i)
            if (in.op != OP_CALL || in.operand[i] >= 0) v[i] = view_of(e, in.operand[i], c0, base);
        if (in.op == OP_LOAD) {
            load(d.p, v[0], e.n, w, e.block);
        } else if (in.op == OP_STORE) {
            store(d, v[0].p, e.n, w, e.block);
        } else if (in.op != OP_CALL) {
            elementwise(in, d.p, v, count);
        } else {
            qxp_arg args[kMaxParams];
            call_args(e, in, v, cond, args);
            // Bars a kernel leaves unwritten (bar 0 of CROSS) read +0.0, as in a direct
            // call.
            for (int64_t j = 0; j < w; ++j) d.p[j * d.cs] = 0.0;
            const qxp_out out{d.p, d.bs, d.cs};
            const int32_t s =
                qxp_run(in.row, static_cast<int32_t>(e.n), 0, w, args, &out, kscratch);
            if (s != 0) {
                e.status.store(s, std::memory_order_relaxed);
                return;
            }
        }
    }
}

// A float64 panel of n x m (or any shape when n < 0), read in place.
bool panel_of(PyObject *obj, bool writeable, Panel *p, int64_t *n, int64_t *m) {
    if (!PyArray_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "_engine: panels must be numpy arrays");
        return false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(obj);
    if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISALIGNED(a) || (writeable && !PyArray_ISWRITEABLE(a)) ||
        PyArray_STRIDES(a)[0] % 8 != 0 || PyArray_STRIDES(a)[1] % 8 != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "_engine: panels must be aligned 2-D float64 arrays in native order");
        return false;
    }
    if (*n < 0) {
        *n = PyArray_DIM(a, 0);
        *m = PyArray_DIM(a, 1);
    } else if (PyArray_DIM(a, 0) != *n || PyArray_DIM(a, 1) != *m) {
        PyErr_SetString(PyExc_ValueError, "_engine: panels of different shapes");
        return false;
    }
    p->p = static_cast<double *>(PyArray_DATA(a));
    p->bs = PyArray_STRIDES(a)[0] / 8;
    p->cs = PyArray_STRIDES(a)[1] / 8;
    return true;
}

bool bad_code(const char *what) {
    PyErr_Format(PyExc_ValueError, "_engine: %s", what);
    return false;
}

bool read_int(PyObject *o, long long lo, long long hi, int32_t *out) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < lo || v > hi) return bad_code("a number of the code out of range");
    *out = static_cast<int32_t>(v);
    return true;
}

// An operand of one of the kinds in `kinds` (a bit per kind) that exists.
bool operand_ok(const Engine &e, int32_t operand, int kinds) {
    if (operand < 0) return false;
    const int kind = operand & 3;
    const int64_t k = operand >> 2;
    if (!(kinds & (1 << kind))) return false;
    switch (kind) {
    case K_CONST: return k < int64_t(e.consts.size());
    case K_INPUT: return k < int64_t(e.inputs.size());
    case K_REG: return k < e.nregs;
    default: return k < int64_t(e.outs.size());
    }
}

constexpr int kValue = (1 << K_CONST) | (1 << K_REG);

// One instruction: (op, dst, operands...) or (CALL, dst, row, args in parameter order:
// an operand for an array parameter, the int or float of the others).
bool read_instr(const Engine &e, PyObject *t, Instr &in) {
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) < 2) return bad_code("an instruction is a tuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(t);
    int32_t op;
    if (!read_int(PyTuple_GET_ITEM(t, 0), 0, kNumOps - 1, &op)) return false;
    in.op = op;
    if (!read_int(PyTuple_GET_ITEM(t, 1), 0, INT32_MAX, &in.dst)) return false;
    // A load writes a register from an input, a store an output from a register; every
    // other instruction a register from registers and numbers.
    const int dst_kinds = op == OP_STORE ? 1 << K_OUT : 1 << K_REG;
    const int arg_kinds = op == OP_LOAD ? 1 << K_INPUT : op == OP_STORE ? 1 << K_REG : kValue;
    if (!operand_ok(e, in.dst, dst_kinds)) return bad_code("a destination out of range");
    if (op != OP_CALL) {
        if (size != 2 + kArity[op]) return bad_code("an operator with the wrong operands");
        in.nargs = kArity[op];
        for (int i = 0; i < in.nargs; ++i) {
            if (!read_int(PyTuple_GET_ITEM(t, 2 + i), 0, INT32_MAX, &in.operand[i])) return false;
            if (!operand_ok(e, in.operand[i], arg_kinds))
                return bad_code("an operand out of range");
        }
        // numpy computes a sum or product with one number the number first: its NaN
        // comes first.
        if ((op == OP_ADD || op == OP_MUL) && (in.operand[1] & 3) == K_CONST &&
            (in.operand[0] & 3) != K_CONST) {
            const int32_t s = in.operand[0];
            in.operand[0] = in.operand[1];
            in.operand[1] = s;
        }
        return true;
    }
    if (size < 3) return bad_code("a call without its row");
    if (!read_int(PyTuple_GET_ITEM(t, 2), 0, static_cast<long long>(kNumRows) - 1, &in.row))
        return false;
    const Row &r = row_at(static_cast<size_t>(in.row));
    if (size != 3 + r.nparams) return bad_code("a call with the wrong arguments");
    in.nargs = r.nparams;
    for (int i = 0; i < r.nparams; ++i) {
        PyObject *o = PyTuple_GET_ITEM(t, 3 + i);
        const Kind k = r.params[i].kind;
        in.operand[i] = -1;
        if (k == Kind::Int) {
            if (!read_int(o, r.params[i].least, INT32_MAX, &in.value[i])) return false;
        } else if (k == Kind::Real) {
            in.real[i] = PyFloat_AsDouble(o);
            if (in.real[i] == -1.0 && PyErr_Occurred()) return false;
        } else {
            if (!read_int(o, 0, INT32_MAX, &in.operand[i])) return false;
            if (!operand_ok(e, in.operand[i], kValue)) return bad_code("an operand out of range");
            if (in.operand[i] == in.dst) return bad_code("a call writing over its argument");
            if (k == Kind::Cond && (in.operand[i] & 3) == K_CONST)
                in.flag[i] = std::fabs(e.consts[static_cast<size_t>(in.operand[i] >> 2)]) > 0.0;
        }
    }
    return true;
}

// The registers of every thread, in one zeroed numpy array: tracemalloc sees it as it
// sees numpy's arrays, so that a caller that measures a formula's memory with it counts
// the registers too.
struct Arena {
    PyObject *array = nullptr;
    char *block = nullptr;
    bool get(size_t bytes) {
        npy_intp dims[1] = {static_cast<npy_intp>(bytes)};
        array = PyArray_ZEROS(1, dims, NPY_UINT8, 0);
        if (array == nullptr) return false;
        block = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
        return true;
    }
    Arena() = default;
    Arena(const Arena &) = delete;
    Arena &operator=(const Arena &) = delete;
    ~Arena() { Py_XDECREF(array); }
};

}  // namespace

PyObject *ops(PyObject *, PyObject *) {
    PyObject *t = PyTuple_New(kNumOps);
    if (t == nullptr) return nullptr;
    for (int i = 0; i < kNumOps; ++i) {
        PyObject *s = PyUnicode_FromString(kOpNames[i]);
        if (s == nullptr) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i, s);
    }
    return t;
}

PyObject *run(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 5 || nargs > 6) {
        PyErr_SetString(PyExc_TypeError,
                        "_engine(code, inputs, consts, outs, nregs, block=0) takes 5 or 6 "
                        "arguments");
        return nullptr;
    }
    PyObject *code = args[0], *inputs = args[1], *consts = args[2], *outs = args[3];
    if (!PyTuple_Check(code) || !PyTuple_Check(inputs) || !PyTuple_Check(consts) ||
        !PyTuple_Check(outs) || PyTuple_GET_SIZE(outs) < 1) {
        PyErr_SetString(PyExc_TypeError, "_engine: code, inputs, consts and outs are tuples");
        return nullptr;
    }
    Engine e;
    e.nregs = PyLong_AsLongLong(args[4]);
    if (e.nregs == -1 && PyErr_Occurred()) return nullptr;
    int64_t block = 0;
    if (nargs == 6) {
        block = PyLong_AsLongLong(args[5]);
        if (block == -1 && PyErr_Occurred()) return nullptr;
    }
    if (e.nregs < 0 || e.nregs > 4096 || block < 0 || block > 4096) {
        PyErr_SetString(PyExc_ValueError, "_engine: nregs or block out of range");
        return nullptr;
    }
    int64_t n = -1, m = -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(outs); ++i) {
        Panel p;
        if (!panel_of(PyTuple_GET_ITEM(outs, i), true, &p, &n, &m)) return nullptr;
        e.outs.push_back(p);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(inputs); ++i) {
        Panel p;
        if (!panel_of(PyTuple_GET_ITEM(inputs, i), false, &p, &n, &m)) return nullptr;
        e.inputs.push_back(p);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(consts, i));
        if (v == -1.0 && PyErr_Occurred()) return nullptr;
        e.consts.push_back(v);
    }
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "_engine: more bars than a kernel takes");
        return nullptr;
    }
    e.n = n;
    e.m = m;
    e.code.resize(static_cast<size_t>(PyTuple_GET_SIZE(code)));
    for (size_t i = 0; i < e.code.size(); ++i)
        if (!read_instr(e, PyTuple_GET_ITEM(code, static_cast<Py_ssize_t>(i)), e.code[i]))
            return nullptr;
    if (n == 0 || m == 0) return PyLong_FromLong(0);

    // The block: a multiple of a cache line of doubles (the widest vector of lanes), its
    // registers about kRegisterBytes per thread, so that they stay in the core's cache
    // from one step to the next.
    if (block == 0) {
        const int64_t per_col = n * 8 * (e.nregs > 0 ? e.nregs : 1);
        block = kRegisterBytes / per_col / kLineDoubles * kLineDoubles;
        if (block < kLineDoubles) block = kLineDoubles;
        if (block > kMaxBlock) block = kMaxBlock;
    }
    if (block > m) block = m;
    e.block = block;
    const size_t cells = static_cast<size_t>(n) * static_cast<size_t>(block);
    e.reg_bytes = round_up(static_cast<size_t>(e.nregs) * cells * 8, kAlign);
    e.cond_bytes = round_up(static_cast<size_t>(kMaxParams) * cells, kAlign);
    // Kernel scratch: the most any call needs, for a whole block and for the last one.
    const int64_t blocks = (m + block - 1) / block;
    const int64_t last = m - (blocks - 1) * block;
    {
        char fake_base[64] = {};
        View v[kMaxParams];
        std::vector<uint8_t> none;
        for (Instr &in : e.code) {
            if (in.op != OP_CALL) continue;
            for (const int64_t w : {block, last}) {
                // The strides of registers and conditions are those of the run; their
                // addresses do not change the size.
                const View d = view_of(e, in.dst, 0, fake_base);
                for (int i = 0; i < in.nargs; ++i)
                    if (in.operand[i] >= 0) v[i] = view_of(e, in.operand[i], 0, fake_base);
                qxp_arg a[kMaxParams];
                const Row &r = row_at(static_cast<size_t>(in.row));
                for (int i = 0; i < r.nparams; ++i) {
                    a[i] = qxp_arg{};
                    a[i].value = in.value[i];
                    a[i].real = in.real[i];
                    if (in.operand[i] < 0) continue;
                    if (r.params[i].kind == Kind::Cond) {
                        a[i].data = &in.flag[i];
                        if ((in.operand[i] & 3) != K_CONST) {
                            a[i].bar_stride = block;
                            a[i].col_stride = 1;
                        }
                    } else {
                        a[i].data = v[i].p;
                        a[i].bar_stride = v[i].bs;
                        a[i].col_stride = v[i].cs;
                    }
                }
                const qxp_out o{d.p, d.bs, d.cs};
                const size_t s = qxp_scratch_size(in.row, static_cast<int32_t>(n), 0, w, a, &o);
                if (s > e.kernel_bytes) e.kernel_bytes = s;
            }
        }
    }
    e.kernel_bytes = round_up(e.kernel_bytes, kAlign);
    e.each = e.reg_bytes + e.cond_bytes + e.kernel_bytes;

    int width = 1;
    if (blocks >= 2 && n * m >= kParallel) {
        width = pool::threads();
        const int limit = pool::thread_limit();
        if (limit > 0 && width > limit) width = limit;
        if (width > blocks) width = static_cast<int>(blocks);
    }
    Arena arena;
    // Zeroed: the columns of a narrower last block beyond its width are computed on too
    // (never stored), so they hold numbers.
    if (!arena.get(e.each * static_cast<size_t>(width) + kAlign)) return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(arena.block);
    e.arena = arena.block + (round_up(at, kAlign) - at);
    if (width > 1) pool::ready();
    Py_BEGIN_ALLOW_THREADS pool::run(static_cast<size_t>(blocks), width, run_block, &e);
    Py_END_ALLOW_THREADS return PyLong_FromLong(e.status.load());
}

}  // namespace vexa::native::engine
