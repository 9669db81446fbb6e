// Small helpers exported beside the kernels.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qx.h"

extern "C" {

QX_API int32_t maxi(int32_t a, int32_t b) { return a > b ? a : b; }

QX_API int32_t mini(int32_t a, int32_t b) { return a < b ? a : b; }

QX_API int32_t ctxn(int32_t ctx, int32_t n, int32_t N) {
    // Exact in 64 bits; only periods that vx_ma rejects can leave the int32 range.
    int64_t start = static_cast<int64_t>(N) - 1;
    if (ctx < 0) {
        const int64_t tail = static_cast<int64_t>(n) + ctx + 1 - N;
        if (tail > start) start = tail;
    }
    if (start < INT32_MIN) return INT32_MIN;
    if (start > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(start);
}

QX_API double *arange(int32_t start, int32_t stop, double step) {
    // The difference is exact in 64 bits and as a double; a quotient that is NaN or
    // outside the int32 range counts as no elements.
    const double q = static_cast<double>(static_cast<int64_t>(stop) - start) / step;
    if (!(q >= 1.0 && q < 2147483648.0)) return nullptr;
    const int32_t count = static_cast<int32_t>(q);
    double *out = static_cast<double *>(std::malloc(static_cast<size_t>(count) * sizeof(double)));
    if (out == nullptr) return nullptr;
    const double first = static_cast<double>(start);
    for (int32_t i = 0; i < count; ++i) out[i] = static_cast<double>(i) * step + first;
    return out;
}

QX_API double *zeros(int32_t count) {
    if (count <= 0) return nullptr;
    const size_t bytes = static_cast<size_t>(count) * sizeof(double);
    void *out = std::malloc(bytes);
    if (out == nullptr) return nullptr;
    std::memset(out, 0, bytes);
    return static_cast<double *>(out);
}

QX_API int aprint(const char *label, const double *values, int32_t count) {
    std::printf("%s = [", label);
    for (int32_t i = 0; i < count; ++i) std::printf(i == 0 ? "%4g" : ", %4g", values[i]);
    return std::puts("]");
}

}  // extern "C"
