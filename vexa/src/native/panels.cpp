// Running a row over a panel on the pool's threads (panels.h).
#include "panels.h"

#include "numpy.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pool.h"
#include "rows.h"

namespace vexa::native {
namespace {

// Elements of work (bars x columns) from which a panel's columns are split among threads.
constexpr int64_t kParallel = int64_t(1) << 16;
// Chunks per thread: the columns are handed out in this many pieces per thread, so that
// a thread slowed by other work on a shared machine leaves its share to the others.
constexpr int64_t kChunksPerThread = 4;
// The alignment of each thread's scratch block (quorix_panel.h).
constexpr size_t kScratchAlign = 64;

struct Panel {
    int32_t row;
    int32_t n;
    int64_t cols;
    int64_t chunk_cols;
    qxp_arg args[kMaxParams];
    qxp_out out;
    char *scratch;
    size_t scratch_each;
    std::atomic<int32_t> status{0};
};

void run_chunk(void *ctx, size_t chunk, int worker) {
    Panel &p = *static_cast<Panel *>(ctx);
    const int64_t c0 = static_cast<int64_t>(chunk) * p.chunk_cols;
    const int64_t c1 = c0 + p.chunk_cols < p.cols ? c0 + p.chunk_cols : p.cols;
    void *scratch = p.scratch ? p.scratch + static_cast<size_t>(worker) * p.scratch_each : nullptr;
    const int32_t s = qxp_run(p.row, p.n, c0, c1, p.args, &p.out, scratch);
    if (s != 0) p.status.store(s, std::memory_order_relaxed);
}

size_t round_up(size_t v, size_t to) { return (v + to - 1) / to * to; }

// Memory aligned to kScratchAlign from the C library's malloc, which every platform has
// (std::aligned_alloc is missing from the runtime that clang-cl links): the block is
// over-allocated and the aligned address taken inside it.
struct Scratch {
    void *block = nullptr;
    char *aligned = nullptr;
    bool get(size_t bytes) {
        block = std::malloc(bytes + kScratchAlign - 1);
        if (block == nullptr) return false;
        const uintptr_t at = reinterpret_cast<uintptr_t>(block);
        aligned = static_cast<char *>(block) + (round_up(at, kScratchAlign) - at);
        return true;
    }
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { std::free(block); }
};

}  // namespace

bool run_panel(int32_t row, int32_t n, int64_t cols, const qxp_arg *args, const qxp_out &out,
               int32_t *status) {
    Panel p;
    p.row = row;
    p.n = n;
    p.cols = cols;
    std::memcpy(p.args, args, sizeof p.args);
    p.out = out;
    const int64_t work = static_cast<int64_t>(p.n) * p.cols;
    int width = 1;
    if (p.cols >= 2 && work >= kParallel) {
        width = pool::threads();
        const int limit = pool::thread_limit();
        if (limit > 0 && width > limit) width = limit;
        if (width > p.cols) width = static_cast<int>(p.cols);
    }
    size_t chunks = 1;
    p.chunk_cols = p.cols;
    if (width > 1) {
        const int64_t block = p.out.col_stride == 1 ? qxp_column_block() : 1;
        const int64_t pieces = static_cast<int64_t>(width) * kChunksPerThread;
        int64_t each = (p.cols + pieces - 1) / pieces;
        each = (each + block - 1) / block * block;
        p.chunk_cols = each;
        chunks = static_cast<size_t>((p.cols + each - 1) / each);
        if (chunks < 2) width = 1;
    }
    // Scratch for the widest chunk (the first), and for the last one, which may differ.
    size_t need = qxp_scratch_size(p.row, p.n, 0, p.chunk_cols, p.args, &p.out);
    const int64_t last0 = static_cast<int64_t>(chunks - 1) * p.chunk_cols;
    const size_t last = qxp_scratch_size(p.row, p.n, last0, p.cols, p.args, &p.out);
    if (last > need) need = last;
    Scratch scratch;
    p.scratch = nullptr;
    p.scratch_each = round_up(need, kScratchAlign);
    if (need > 0) {
        if (!scratch.get(p.scratch_each * static_cast<size_t>(width))) {
            PyErr_NoMemory();
            return false;
        }
        p.scratch = scratch.aligned;
    }
    if (width > 1) pool::ready();
    if (work >= kReleaseGil) {
        Py_BEGIN_ALLOW_THREADS pool::run(chunks, width, run_chunk, &p);
        Py_END_ALLOW_THREADS
    } else {
        pool::run(chunks, 1, run_chunk, &p);
    }
    *status = p.status.load();
    return true;
}

}  // namespace vexa::native
