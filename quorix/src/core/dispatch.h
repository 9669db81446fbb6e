// Load-time choice among SSE2, AVX2 and AVX-512 builds of one kernel body. Private to
// the library; kernels reach it through qx.h.
//
// Use, in a kernel's source file (after the kernel is declared by quorix.h):
//
//     template <qx::Isa I>
//     int32_t llv_body(int32_t, const double *a, int32_t n, int32_t N, double *out,
//                      int32_t out_n) { ... }
//
//     QX_MULTIVERSION(vx_llv, llv_body);
//
// at namespace scope outside any namespace, as the kernels are declared. The macro
// defines the exported kernel vx_llv with the header's name and signature: the
// parameter list is taken from the kernel's declaration (decltype), and a body whose
// parameter types differ from it does not compile.
// The body is compiled three times, once per instruction set, each copy inlined whole
// (flatten) into a wrapper that carries the target attribute, so every helper the body
// calls is built for that instruction set too. The body reads I for its vector width
// (qx::lanes<I>) or ignores it. GCC vector types need no attribute for arithmetic and
// single comparisons; but masks of 512-bit vectors combined in a helper built without
// AVX-512 (with & or |, or a select on such a mask) come out lane by lane, so the
// helpers that do that walk 256-bit vectors in the AVX-512 variant too. Intrinsics
// wider than SSE2 go in helpers that carry QX_TARGET_AVX2 / QX_TARGET_AVX512, never in
// the body itself, and such a helper
//   - is not always_inline: GCC inlines an always_inline callee into the body before
//     the body reaches its wrapper, and refuses when the callee needs more than the
//     body's target; flatten inlines the helper all the same;
//   - takes and returns wide vectors through pointers, never by value: a 256- or
//     512-bit argument travels one way with AVX and another without, so a call that
//     the compiler did not inline would mix the two. Clang refuses to compile such a
//     call, which the native checks (tests/native, built with Clang) would show; GCC
//     only notes it, and the build silences that note (-Wno-psabi), since the body's
//     own helpers pass wide vectors by value within one target all the time.
//
// On glibc (ELF, GCC or Clang) the kernel is a GNU indirect function: the dynamic
// loader calls its resolver when it binds the symbol (at load, or at a dlsym), and the
// resolver returns the variant for the CPU it runs on. The kernel keeps no state of
// its own and costs no test per call. Elsewhere (macOS, Windows, musl; or any build
// with QUORIX_NO_IFUNC defined, which tests that path on Linux) the kernel reads the
// choice on each call: one load of a choice the library makes at its first call.
// Either way the CPU is asked with cpuid and xgetbv directly, never through
// __builtin_cpu_supports: that needs the CPU model of a runtime library, which
// clang-cl does not link and Zig's compiler-rt leaves reporting no feature at all (its
// builds would run SSE2 everywhere, with the same bits, silently slower).
//
// One choice serves the kernels and the panels' lane kernels (panel/lanes.cpp): isa().
// The lanes read it on each panel call through isa_now(), which asks the CPU once.
//
// Every variant must give the same bits. The AVX2 target does not enable FMA, but the
// AVX-512F one does, so -ffp-contract=off (CMakeLists.txt) is what keeps every variant
// from fusing a multiply into an add; tests/test_isa.py looks for fused instructions.
//
// Test builds only (CMake option QUORIX_FORCE_ISA, which defines QUORIX_FORCE_ISA):
// the environment variable QUORIX_ISA=sse2|avx2|avx512 lowers the choice to that
// instruction set (never above what the CPU supports; other values are ignored),
// read by each resolver when it runs (without indirect functions: at the library's
// first kernel call), and the extra export
// quorix_isa() reports the variant the dispatch picked. The normal build reads no
// environment variable.
#ifndef QUORIX_DISPATCH_H
#define QUORIX_DISPATCH_H

#include <cstdint>
#if defined(QUORIX_FORCE_ISA)
#include <cstdlib>
#endif

#include "quorix.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QX_X86 1
#define QX_TARGET_AVX2 __attribute__((target("avx2")))
#define QX_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define QX_X86 0
#define QX_TARGET_AVX2
#define QX_TARGET_AVX512
#endif

// glibc's loader runs ifunc resolvers; musl's does not. (<cstdint> above brings in
// <features.h>, which defines __GLIBC__.)
#if QX_X86 && defined(__ELF__) && defined(__GLIBC__) && !defined(QUORIX_NO_IFUNC)
#define QX_IFUNC 1
#else
#define QX_IFUNC 0
#endif

#if defined(QUORIX_FORCE_ISA) && QX_IFUNC
#include <unistd.h>  // environ
#endif

// A body's own helpers pass 256- and 512-bit vectors by value among themselves, all
// built for the body's target (see above for helpers with another target), so the
// compilers' note that such an argument has another calling convention without AVX
// concerns no mixed call.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Code that a resolver runs: the loader calls resolvers while it relocates, before any
// constructor, so a sanitizer's runtime is not set up yet and its instrumentation
// would crash there. Always inlined, so that no instrumented copy is called either.
// (Clang's no_sanitize("thread") still calls the runtime on entry and exit, which
// disable_sanitizer_instrumentation stops; that one alone leaves ASan's checks.)
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
#define QX_NO_SANITIZE_LIST __attribute__((no_sanitize("address", "thread", "undefined")))
#else
#define QX_NO_SANITIZE_LIST
#endif
#if defined(__has_attribute)
#if __has_attribute(disable_sanitizer_instrumentation)
#define QX_NO_SANITIZE QX_NO_SANITIZE_LIST __attribute__((disable_sanitizer_instrumentation))
#endif
#endif
#if !defined(QX_NO_SANITIZE)
#define QX_NO_SANITIZE QX_NO_SANITIZE_LIST
#endif
#define QX_RESOLVER_CODE QX_NO_SANITIZE __attribute__((always_inline))

namespace qx {

// The instruction sets a kernel is built for, each a superset of the one before.
enum class Isa : int { sse2 = 0, avx2 = 1, avx512 = 2 };

// 64-bit floats in one vector register.
template <Isa I>
constexpr int lanes = I == Isa::sse2   ? 2
                      : I == Isa::avx2 ? 4
                                       : 8;

#if QX_X86
namespace detail {
QX_RESOLVER_CODE inline void cpuid(uint32_t leaf, uint32_t sub, uint32_t r[4]) {
    __asm__ __volatile__("cpuid"
                         : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3])
                         : "a"(leaf), "c"(sub));
}
// The CPU's extended features (cpuid leaf 7: EBX) and the register state the OS saves
// (XCR0), both 0 where the CPU or the OS offers no AVX at all.
struct CpuAvx {
    uint32_t leaf7_ebx, xcr0;
};
QX_RESOLVER_CODE inline CpuAvx cpu_avx() {
    uint32_t r[4];
    cpuid(0, 0, r);
    if (r[0] < 7) return {0, 0};
    cpuid(1, 0, r);
    const bool osxsave = (r[2] >> 27) & 1, avx = (r[2] >> 28) & 1;
    if (!osxsave || !avx) return {0, 0};
    uint32_t xcr0_lo, xcr0_hi;
    __asm__ __volatile__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    (void)xcr0_hi;
    cpuid(7, 0, r);
    return {r[1], xcr0_lo};
}
// AVX2 and AVX-512 (F and DQ) as the CPU reports them, each only when the operating
// system saves its registers (XCR0: SSE and AVX state; for AVX-512 also the opmask and
// upper ZMM state). macOS may grant AVX-512 state only on first use, and then the AVX2
// variant runs there: the same bits, a little slower.
QX_RESOLVER_CODE inline Isa cpuid_isa() {
    const CpuAvx c = cpu_avx();
    if ((c.xcr0 & 0x6) != 0x6 || !((c.leaf7_ebx >> 5) & 1)) return Isa::sse2;
    const bool f = (c.leaf7_ebx >> 16) & 1, dq = (c.leaf7_ebx >> 17) & 1;
    if (f && dq && (c.xcr0 & 0xe6) == 0xe6) return Isa::avx512;
    return Isa::avx2;
}
}  // namespace detail
#endif

// The best instruction set the CPU and the operating system support (the CPU test
// also checks that the OS saves the wide registers). AVX-512 takes AVX512F and AVX512DQ
// (which the lane kernels use to move a comparison's mask into a vector in one
// instruction); a CPU with F alone (the Xeon Phi family) runs the AVX2 variants. Safe in
// an ifunc resolver, which may run before any constructor and before the library's calls
// into libc are bound: it reads the CPU itself.
QX_RESOLVER_CODE inline Isa cpu_isa() {
    Isa best = Isa::sse2;
#if QX_X86
    best = detail::cpuid_isa();
#endif
    return best;
}

#if defined(QUORIX_FORCE_ISA)
// Test builds: the value of QUORIX_ISA, or null. An ifunc resolver may run before this
// library's calls into libc are bound (its slots are filled in the order of the
// relocation table, which puts a kernel's before getenv's as readily as after, and a
// call through an unbound slot crashes at load): there the environment is read from
// `environ` itself, a variable, which the loader binds before any function.
QX_RESOLVER_CODE inline const char *isa_request() {
#if QX_IFUNC
    static const char kName[] = "QUORIX_ISA=";
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
        size_t i = 0;
        while (kName[i] != '\0' && (*e)[i] == kName[i]) ++i;
        if (kName[i] == '\0') return *e + i;
    }
    return nullptr;
#else
    return std::getenv("QUORIX_ISA");
#endif
}
#endif

// `best`, lowered on request in test builds (below); the normal build returns it as it is.
QX_RESOLVER_CODE inline Isa forced(Isa best) {
#if defined(QUORIX_FORCE_ISA)
    // Test builds: lower the choice on request, never raise it. Compared by hand, without
    // libc (see isa_request).
    if (const char *want = isa_request()) {
        const auto is = [want](const char *name) {
            size_t i = 0;
            for (; name[i] != '\0'; ++i)
                if (want[i] != name[i]) return false;
            return want[i] == '\0';
        };
        Isa cap = best;
        if (is("sse2"))
            cap = Isa::sse2;
        else if (is("avx2"))
            cap = Isa::avx2;
        if (static_cast<int>(cap) < static_cast<int>(best)) best = cap;
    }
#endif
    return best;
}

// The instruction set of the kernels and the lane kernels.
QX_RESOLVER_CODE inline Isa isa() { return forced(cpu_isa()); }

#if !QX_IFUNC
// Without indirect functions: the choice of the whole library, made at its first
// kernel call (one object across the library: an inline function's static).
inline Isa isa_once() {
    static const Isa chosen = isa();
    return chosen;
}
#endif

// isa() for a caller that asks on every call (the panels): the CPU is asked once (cpuid
// may trap to a hypervisor); test builds read QUORIX_ISA each time, so that a test can
// change it between calls.
inline Isa isa_now() {
    static const Isa cpu = cpu_isa();
    return forced(cpu);
}

namespace detail {

template <class Sig>
struct Variants;

// The three builds of a body with signature R(A...). flatten inlines the body and
// everything it calls into the wrapper, so all of it is compiled for the wrapper's
// instruction set.
template <class R, class... A>
struct Variants<R(A...)> {
    using Fn = R (*)(A...);

    template <Fn Body>
    __attribute__((flatten)) static R sse2(A... a) {
        return Body(a...);
    }
    template <Fn Body>
    QX_TARGET_AVX2 __attribute__((flatten)) static R avx2(A... a) {
        return Body(a...);
    }
    template <Fn Body>
    QX_TARGET_AVX512 __attribute__((flatten)) static R avx512(A... a) {
        return Body(a...);
    }

    template <Fn S, Fn V2, Fn V5>
    QX_RESOLVER_CODE static Fn pick(Isa i) {
#if QX_X86
        if (i == Isa::avx512) return V5;
        if (i == Isa::avx2) return V2;
#else
        (void)i;
#endif
        return S;
    }
};

}  // namespace detail
}  // namespace qx

// The variant of `kernel` for instruction set `i`, built from the template `body`.
#define QX_VARIANT_(kernel, body, i)                                                               \
    ::qx::detail::Variants<decltype(kernel)>::pick<                                                \
        &::qx::detail::Variants<decltype(kernel)>::sse2<&body<::qx::Isa::sse2>>,                   \
        &::qx::detail::Variants<decltype(kernel)>::avx2<&body<::qx::Isa::avx2>>,                   \
        &::qx::detail::Variants<decltype(kernel)>::avx512<&body<::qx::Isa::avx512>>>(i)

// QX_MULTIVERSION(kernel, body) defines the kernel. Taking the address of
// body<Isa::...> as a template argument of type decltype(&kernel) is what checks the
// body's signature against the kernel's.
#if QX_IFUNC
// The resolver has C linkage and external, hidden linkage: ifunc names it by its
// symbol, which Clang does not look up for a static function. The kernel is an
// indirect function.
#define QX_MULTIVERSION(kernel, body)                                                              \
    extern "C" {                                                                                   \
    QX_NO_SANITIZE __attribute__((visibility("hidden"))) decltype(&kernel) qx_resolve_##kernel() { \
        return QX_VARIANT_(kernel, body, ::qx::isa());                                             \
    }                                                                                              \
    }                                                                                              \
    extern "C" decltype(kernel) kernel __attribute__((ifunc("qx_resolve_" #kernel)))
#else
// No indirect functions: the kernel reads the library's choice on every call. Its
// definition is written from its declaration: a friend function defined in a class template
// specialised for the kernel's type R(A...) redeclares the kernel with the parameters A... a (it
// keeps the C linkage and the visibility of the first declaration) and forwards them to the
// variant. A friend defined in a class is compiled once it is used: the pointer that
// the last line keeps is that use.
#define QX_MULTIVERSION(kernel, body)                                                              \
    template <class Sig>                                                                           \
    struct qx_define_##kernel;                                                                     \
    template <class R, class... A>                                                                 \
    struct qx_define_##kernel<R(A...)> {                                                           \
        friend R kernel(A... a) { return QX_VARIANT_(kernel, body, ::qx::isa_once())(a...); }      \
    };                                                                                             \
    template struct qx_define_##kernel<decltype(kernel)>;                                          \
    __attribute__((used)) static decltype(&kernel) const qx_use_##kernel = &kernel
#endif

#endif
