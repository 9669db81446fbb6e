// Bars back to the extreme of a window: HHVBARS and LLVBARS. The window of bar i is
// bars i - N + 1 .. i cut to the bars so far (N = 0: every bar so far); missing values
// are skipped and the newest of equal extremes is kept, the rule of LLV and HHV.
//
// Cost independent of N: the van Herk / Gil-Werman scheme of LLV and HHV on the bars of
// the extremes instead of their values (a window of a few bars is scanned whole, which
// is faster there). The series is cut into blocks of N bars from bar 0; a window that
// does not start on a block edge is a suffix of one block (older) and a prefix of the
// next (newer). A forward pass over each block carries the bar of
// its prefix extreme, a backward pass the bar of each suffix extreme, which waits in the
// output of the window that starts there (out[s + N - 1], in the next block) until that
// block's forward pass reads it and overwrites it with the result. Equal values keep the
// newer bar: a prefix takes each bar that is not worse, a suffix an older bar only when
// strictly better, a window its suffix's bar only when strictly better than its prefix's.
#include "../core/qx.h"
#include "quorix_lang.h"

namespace {

template <bool Highest>
inline bool better(double v, double best) {
    return Highest ? v > best : v < best;
}

// Windows up to this long are scanned whole, each from its newest bar (a strictly better
// value replaces: the newest of equals stays). The scan's cost grows with N; at N = 5
// the blocks are as fast (measured with bench/bars.py).
constexpr int64_t kScanned = 4;

template <bool Highest>
void scan(const double *x, int64_t len, int64_t w, double *out) {
    for (int64_t i = 0; i < len; ++i) {
        const int64_t stop = i - w < -1 ? -1 : i - w;
        int64_t at = -1;
        for (int64_t j = i; j > stop; --j) {
            if (qx::is_missing(x[j])) continue;
            if (at < 0 || better<Highest>(x[j], x[at])) at = j;
        }
        out[i] = at < 0 ? qx::missing() : static_cast<double>(i - at);
    }
}

template <bool Highest>
int32_t extreme_bars(const double *x, int32_t n, int32_t N, double *out, int32_t out_n) {
    if (int32_t st = qx::check(out_n == n, N >= 0)) return st;
    if (n <= 0) return QX_OK;

    const int64_t len = n;
    if (N == 0 || N >= n) {
        // Every window reaches back to bar 0: the extreme so far is carried.
        int64_t at = -1;
        for (int64_t i = 0; i < len; ++i) {
            if (!qx::is_missing(x[i]) && (at < 0 || !better<Highest>(x[at], x[i]))) at = i;
            out[i] = at < 0 ? qx::missing() : static_cast<double>(i - at);
        }
        return QX_OK;
    }
    const int64_t w = N;
    if (w <= kScanned) {
        scan<Highest>(x, len, w, out);
        return QX_OK;
    }
    for (int64_t B = 0; B < len; B += w) {
        const int64_t end = B + w < len ? B + w : len;
        // Forward: the prefix extreme of [B, e], with the suffix extreme of the window's
        // older part where the window starts in the previous block (not in block 0,
        // whose windows are cut to the bars so far, nor at the block's last bar, whose
        // window is the block).
        int64_t p = -1;
        for (int64_t e = B; e < end; ++e) {
            if (!qx::is_missing(x[e]) && (p < 0 || !better<Highest>(x[p], x[e]))) p = e;
            int64_t at = p;
            if (B > 0 && e < B + w - 1) {
                const int64_t q = static_cast<int64_t>(out[e]);  // a bar, or -1
                if (q >= 0 && (p < 0 || better<Highest>(x[q], x[p]))) at = q;
            }
            out[e] = at < 0 ? qx::missing() : static_cast<double>(e - at);
        }
        // Backward, where another block follows: the bar of the suffix extreme from each
        // start s in (B, B + w - 1] (-1 where it holds no value) into out[s + w - 1]
        // where that bar exists; bar indices are exact as doubles.
        if (B + w < len) {
            int64_t q = -1;
            for (int64_t s = B + w - 1; s > B; --s) {
                if (!qx::is_missing(x[s]) && (q < 0 || better<Highest>(x[s], x[q]))) q = s;
                if (s + w - 1 < len) out[s + w - 1] = static_cast<double>(q);
            }
        }
    }
    return QX_OK;
}

}  // namespace

extern "C" {

QX_API int32_t vx_hhvbars(int32_t, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n) {
    return extreme_bars<true>(X, n, N, out, out_n);
}

QX_API int32_t vx_llvbars(int32_t, const double *X, int32_t n, int32_t N, double *out,
                          int32_t out_n) {
    return extreme_bars<false>(X, n, N, out, out_n);
}

}  // extern "C"
