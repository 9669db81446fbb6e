// quorix_table.h: the function table (quorix_functions.def) as C++17 data, and one
// uniform way to call any kernel of it. Header only; no Python.
//
//     for (const qx::table::Function &f : qx::table::kFunctions) ...
//     qx::table::Slot s[] = {{a, n}, {nullptr, 5}};   // MA(a, 5): a series, an integer
//     f.invoke(0, s, out, n);
//
// A row's parameter kinds are checked against its kernel's C signature when this
// header is compiled: after the context argument, (const double *, int32_t) is a series
// (or a period series), (const uint8_t *, int32_t) a condition series, a lone int32_t
// an integer parameter and a lone double a real one; (double *, int32_t) closes with
// the output. A row that disagrees with its kernel, or an integer parameter whose least
// value is neither ANY nor a 32-bit integer, does not compile.
#ifndef QUORIX_TABLE_H
#define QUORIX_TABLE_H

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "quorix.h"
#if defined(QX_TABLE_WITH_EXTRAS)
#include "quorix_lang.h"
#endif

namespace qx {
namespace table {

enum class Kind : uint8_t { Series, Periods, Cond, Int, Real };
enum class Form : uint8_t { Keywords, Single };
enum class Ahead : uint8_t { Never, NegativeN, PositiveN, Always };
enum class Sign : uint8_t { Signed, NonNeg };
// The forms a function does not have beside its 1-D kernel (Function::exempt).
enum Exempt : uint8_t { kNoStream = 1, kNoLane = 2, kNoModel = 4 };

constexpr int kMaxParams = 5;

struct Param {
    const char *name;
    Kind kind;
    // An integer parameter: the least value its kernel accepts (INT32_MIN: every value).
    int32_t least = INT32_MIN;
    // A series that the formula language also lets a number 0 to 3 name (a price field).
    bool price = false;
};

// One argument of a uniform call, by parameter position: an input's address and count,
// an integer parameter's value (data unused), or a real parameter's value (real).
struct Slot {
    const void *data;
    int32_t value;
    double real;
};

// Calls the row's kernel with ctx, the slots in parameter order and the output.
using Invoke = int32_t (*)(int32_t ctx, const Slot *slots, double *out, int32_t out_n);

struct Function {
    const char *name;    // "MA"
    const char *kernel;  // "vx_ma"
    Form form;
    Ahead ahead;
    const char *summary;
    Sign sign;          // NonNeg: no value of the result is below zero
    int first_written;  // the first bar a kernel that succeeds writes (0, or 1: bar 0 kept)
    uint8_t exempt;     // Exempt flags
    int nparams;
    Param params[kMaxParams];
    Invoke invoke;
};

namespace detail {

template <class... T>
struct List {};

// The kinds of a kernel's parameters, read off its C signature (Series stands for a
// period series too).
template <class L, Kind... K>
struct Parse;
template <Kind... K>
struct Parse<List<double *, int32_t>, K...> {
    static constexpr size_t count = sizeof...(K);
    static constexpr Kind kinds[kMaxParams] = {K...};
};
template <class... R, Kind... K>
struct Parse<List<const double *, int32_t, R...>, K...> : Parse<List<R...>, K..., Kind::Series> {};
template <class... R, Kind... K>
struct Parse<List<const uint8_t *, int32_t, R...>, K...> : Parse<List<R...>, K..., Kind::Cond> {};
template <class... R, Kind... K>
struct Parse<List<int32_t, R...>, K...> : Parse<List<R...>, K..., Kind::Int> {};
template <class... R, Kind... K>
struct Parse<List<double, R...>, K...> : Parse<List<R...>, K..., Kind::Real> {};

template <class F>
struct Signature;
template <class... A>
struct Signature<int32_t (*)(int32_t, A...)> : Parse<List<A...>> {};

template <Kind k>
auto unpack(const Slot &s) {
    if constexpr (k == Kind::Series)
        return std::make_tuple(static_cast<const double *>(s.data), s.value);
    else if constexpr (k == Kind::Cond)
        return std::make_tuple(static_cast<const uint8_t *>(s.data), s.value);
    else if constexpr (k == Kind::Real)
        return std::make_tuple(s.real);
    else
        return std::make_tuple(s.value);
}

template <class F, size_t... I>
auto arguments_with(int32_t ctx, const Slot *slots, double *out, int32_t out_n,
                    std::index_sequence<I...>) {
    using Sig = Signature<F>;
    return std::tuple_cat(std::make_tuple(ctx), unpack<Sig::kinds[I]>(slots[I])...,
                          std::make_tuple(out, out_n));
}

}  // namespace detail

// The arguments of a call of a function with a kernel's C signature F, from ctx, the
// slots in parameter order and the output, as a tuple for std::apply: for callers that
// hold the address of a kernel (or of a loop with its signature) only at run time.
template <class F>
auto arguments(int32_t ctx, const Slot *slots, double *out, int32_t out_n) {
    return detail::arguments_with<F>(ctx, slots, out, out_n,
                                     std::make_index_sequence<detail::Signature<F>::count>{});
}

namespace detail {

template <auto K>
int32_t invoke(int32_t ctx, const Slot *slots, double *out, int32_t out_n) {
    return std::apply(K, arguments<decltype(K)>(ctx, slots, out, out_n));
}

// Not constexpr: a row that reaches it cannot be a constant, so it does not compile.
inline void row_kind_disagrees_with_kernel_signature() {}
inline void least_is_not_ANY_or_a_32_bit_integer() {}
inline void exempt_is_not_NONE_or_STREAM_LANE_MODEL_joined_by_bar() {}

// The least value of QX_INT(name, least), from its spelling: ANY or a decimal integer.
constexpr int32_t least_value(const char *s) {
    if (s[0] == 'A' && s[1] == 'N' && s[2] == 'Y' && s[3] == 0) return INT32_MIN;
    bool negative = *s == '-';
    if (negative) ++s;
    if (*s == 0) least_is_not_ANY_or_a_32_bit_integer();
    int64_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9' || v > INT32_MAX) least_is_not_ANY_or_a_32_bit_integer();
        v = v * 10 + (*s - '0');
    }
    v = negative ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX) least_is_not_ANY_or_a_32_bit_integer();
    return static_cast<int32_t>(v);
}

// The Exempt flags of a row's EXEMPT column, from its spelling: NONE, or STREAM, LANE and
// MODEL joined by |.
constexpr bool word_at(const char *s, const char *w) {
    for (; *w; ++s, ++w)
        if (*s != *w) return false;
    return *s == 0 || *s == '|' || *s == ' ';
}
constexpr uint8_t exempt_flags(const char *s) {
    if (word_at(s, "NONE")) return 0;
    uint8_t flags = 0;
    for (;;) {
        while (*s == ' ') ++s;
        if (word_at(s, "STREAM")) {
            flags |= kNoStream;
            s += 6;
        } else if (word_at(s, "LANE")) {
            flags |= kNoLane;
            s += 4;
        } else if (word_at(s, "MODEL")) {
            flags |= kNoModel;
            s += 5;
        } else {
            exempt_is_not_NONE_or_STREAM_LANE_MODEL_joined_by_bar();
        }
        while (*s == ' ') ++s;
        if (*s == 0) return flags;
        if (*s != '|') exempt_is_not_NONE_or_STREAM_LANE_MODEL_joined_by_bar();
        ++s;
    }
}

constexpr bool agrees(Kind declared, Kind signature) {
    return declared == signature || (declared == Kind::Periods && signature == Kind::Series);
}

template <auto K, size_t M>
constexpr Function row(const char *name, const char *kernel, Form form, Ahead ahead, Sign sign,
                       int first_written, uint8_t exempt, const char *summary,
                       const Param (&params)[M]) {
    using Sig = Signature<decltype(K)>;
    static_assert(M == Sig::count, "one parameter per kernel input or integer parameter");
    static_assert(M >= 1 && M <= kMaxParams, "functions take one to five parameters");
    Function f{name, kernel, form, ahead, summary, sign, first_written, exempt, 0, {}, &invoke<K>};
    f.nparams = static_cast<int>(M);
    for (size_t i = 0; i < M; ++i) {
        if (!agrees(params[i].kind, Sig::kinds[i])) row_kind_disagrees_with_kernel_signature();
        f.params[i] = params[i];
    }
    return f;
}

}  // namespace detail

#define QX_SERIES(p)                                                                               \
    ::qx::table::Param { #p, ::qx::table::Kind::Series }
#define QX_PRICE(p)                                                                                \
    ::qx::table::Param { #p, ::qx::table::Kind::Series, INT32_MIN, true }
#define QX_PERIODS(p)                                                                              \
    ::qx::table::Param { #p, ::qx::table::Kind::Periods }
#define QX_COND(p)                                                                                 \
    ::qx::table::Param { #p, ::qx::table::Kind::Cond }
#define QX_INT(p, least)                                                                           \
    ::qx::table::Param { #p, ::qx::table::Kind::Int, ::qx::table::detail::least_value(#least) }
#define QX_REAL(p)                                                                                 \
    ::qx::table::Param { #p, ::qx::table::Kind::Real }
#define QX_FORM_KEYWORDS ::qx::table::Form::Keywords
#define QX_FORM_SINGLE ::qx::table::Form::Single
#define QX_AHEAD_NEVER ::qx::table::Ahead::Never
#define QX_AHEAD_NEGATIVE_N ::qx::table::Ahead::NegativeN
#define QX_AHEAD_POSITIVE_N ::qx::table::Ahead::PositiveN
#define QX_AHEAD_ALWAYS ::qx::table::Ahead::Always
#define QX_SIGN_SIGNED ::qx::table::Sign::Signed
#define QX_SIGN_NONNEG ::qx::table::Sign::NonNeg
#define QX_WRITES_ALL 0
#define QX_WRITES_FROM_BAR_1 1

#define QX_TABLE_ROW_(NAME, kernel, FORM, AHEAD, SIGN, WRITES, EXEMPT, summary, ...)               \
    detail::row<kernel>(#NAME, #kernel, QX_FORM_##FORM, QX_AHEAD_##AHEAD, QX_SIGN_##SIGN,          \
                        QX_WRITES_##WRITES, detail::exempt_flags(#EXEMPT), summary,                \
                        {__VA_ARGS__}),

// The rows of vexa._vexa (QX_FUNCTION), in table order.
constexpr Function kFunctions[] = {
#define QX_FUNCTION QX_TABLE_ROW_
#define QX_EXTRA(...)
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION
};
constexpr size_t kNumFunctions = sizeof kFunctions / sizeof kFunctions[0];

#if defined(QX_TABLE_WITH_EXTRAS)
// The rows of the functions that the formula language adds (QX_EXTRA), whose kernels
// are declared in quorix_lang.h. Only code linked with those kernels defines
// QX_TABLE_WITH_EXTRAS.
constexpr Function kExtraFunctions[] = {
#define QX_FUNCTION(...)
#define QX_EXTRA QX_TABLE_ROW_
#include "quorix_functions.def"
#undef QX_EXTRA
#undef QX_FUNCTION
};
constexpr size_t kNumExtraFunctions = sizeof kExtraFunctions / sizeof kExtraFunctions[0];

// Every row in one numbering, the one the panels (qxp_run), the streams (qxs_*) and
// vexa._native use: the rows of kFunctions, then those of kExtraFunctions.
constexpr size_t kNumRows = kNumFunctions + kNumExtraFunctions;

// Row r, for r < kNumRows.
constexpr const Function &row_at(size_t r) {
    return r < kNumFunctions ? kFunctions[r] : kExtraFunctions[r - kNumFunctions];
}

namespace detail {
// Whether `name` is `base` followed by `suffix`.
constexpr bool spelt(const char *name, const char *base, const char *suffix) {
    for (; *base; ++name, ++base)
        if (*name != *base) return false;
    for (; *suffix; ++name, ++suffix)
        if (*name != *suffix) return false;
    return *name == 0;
}
}  // namespace detail

// The row that reads the period of row r per bar (MA -> MA_A): the one named as r with
// "_A" added, whose parameters are r's first one and a period series; -1 when there is
// none.
constexpr int per_bar_row(size_t r) {
    const Function &f = row_at(r);
    for (size_t i = 0; i < kNumRows; ++i) {
        const Function &g = row_at(i);
        if (detail::spelt(g.name, f.name, "_A") && g.nparams == 2 &&
            g.params[0].kind == f.params[0].kind && g.params[1].kind == Kind::Periods)
            return static_cast<int>(i);
    }
    return -1;
}
#endif

}  // namespace table
}  // namespace qx

#endif
