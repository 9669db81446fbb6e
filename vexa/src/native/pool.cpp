// The panel thread pool. Workers are created once and never stopped; they sleep on a
// condition variable between calls. One call uses them at a time; a call that finds them
// busy runs its chunks on its own thread. Nothing is ever freed, so a thread that read
// the pool's address can never find it gone; after fork() the child starts a new pool.
#include "pool.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace vexa::native::pool {
namespace {

constexpr int kMaxThreads = 256;

struct Pool {
    std::mutex busy;  // held by the call that has the workers
    std::mutex m;
    std::condition_variable wake, done;
    int workers = 0;  // running worker threads, ids 1 .. workers
    uint64_t generation = 0;
    // The current call, set under m before generation advances.
    ChunkFn fn = nullptr;
    void *ctx = nullptr;
    size_t chunks = 0;
    int participants = 0;  // the caller and workers 1 .. participants - 1
    int active = 0;        // participating workers that have not finished yet
    std::atomic<size_t> next{0};
};

Pool *g_pool = nullptr;
int g_threads = 0;             // 0 until set or first read
thread_local int t_limit = 0;  // the calling thread's own limit, 0 for none

struct Start {
    Pool *pool;
    int id;
    uint64_t generation;
};

void drain(Pool &p, int id) {
    for (size_t c; (c = p.next.fetch_add(1, std::memory_order_relaxed)) < p.chunks;)
        p.fn(p.ctx, c, id);
}

void *worker_main(void *arg) {
    Start s = *static_cast<Start *>(arg);
    delete static_cast<Start *>(arg);
    Pool &p = *s.pool;
    uint64_t seen = s.generation;
    for (;;) {
        std::unique_lock<std::mutex> lk(p.m);
        p.wake.wait(lk, [&] { return p.generation != seen; });
        seen = p.generation;
        if (s.id >= p.participants) continue;
        lk.unlock();
        drain(p, s.id);
        lk.lock();
        if (--p.active == 0) p.done.notify_all();
    }
    return nullptr;
}

#if !defined(_WIN32)
void after_fork_in_child() { g_pool = nullptr; }  // its threads do not exist here
#endif

// Starts a detached worker thread on `start`; false when the system has none to give (the
// calls then run on fewer threads). The threads of the platform's own C interface: a
// std::thread that cannot be started stops the process in a build without exceptions.
#if defined(_WIN32)
DWORD WINAPI worker_entry(LPVOID arg) {
    worker_main(arg);
    return 0;
}
bool start_worker(Start *start) {
    HANDLE t = CreateThread(nullptr, 0, worker_entry, start, 0, nullptr);
    if (t == nullptr) return false;
    CloseHandle(t);
    return true;
}
#else
bool start_worker(Start *start) {
    pthread_t t;
    if (pthread_create(&t, nullptr, worker_main, start) != 0) return false;
    pthread_detach(t);
    return true;
}
#endif

int default_threads() {
    if (const char *env = std::getenv("VEXA_NUM_THREADS")) {
        char *end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end != env && *end == 0 && v >= 1) return v > kMaxThreads ? kMaxThreads : int(v);
    }
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n >= 1) return n > kMaxThreads ? kMaxThreads : n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : (n > kMaxThreads ? kMaxThreads : int(n));
}

}  // namespace

int threads() {
    if (g_threads == 0) g_threads = default_threads();
    return g_threads;
}

void set_threads(int n) { g_threads = n <= 0 ? 0 : (n > kMaxThreads ? kMaxThreads : n); }

int thread_limit() { return t_limit; }

void set_thread_limit(int n) { t_limit = n <= 0 ? 0 : (n > kMaxThreads ? kMaxThreads : n); }

bool ready() {
#if !defined(_WIN32)
    static bool fork_handler = false;
    if (!fork_handler) {
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        fork_handler = true;
    }
#endif
    if (g_pool == nullptr) g_pool = new Pool;
    Pool &p = *g_pool;
    const int want = threads() - 1;
    std::lock_guard<std::mutex> lk(p.m);
    while (p.workers < want) {
        auto *start = new Start{&p, p.workers + 1, p.generation};
        if (!start_worker(start)) {
            delete start;
            break;  // fewer workers: the calls still run, on fewer threads
        }
        ++p.workers;
    }
    return true;
}

void run(size_t chunks, int width, ChunkFn fn, void *ctx) {
    Pool *pp = g_pool;
    if (pp == nullptr || chunks < 2 || width < 2 || !pp->busy.try_lock()) {
        for (size_t c = 0; c < chunks; ++c) fn(ctx, c, 0);
        return;
    }
    Pool &p = *pp;
    {
        std::lock_guard<std::mutex> lk(p.m);
        int n = width;
        if (n > p.workers + 1) n = p.workers + 1;
        if (static_cast<size_t>(n) > chunks) n = static_cast<int>(chunks);
        p.fn = fn;
        p.ctx = ctx;
        p.chunks = chunks;
        p.participants = n;
        p.active = n - 1;
        p.next.store(0, std::memory_order_relaxed);
        ++p.generation;
    }
    p.wake.notify_all();
    drain(p, 0);
    {
        std::unique_lock<std::mutex> lk(p.m);
        p.done.wait(lk, [&] { return p.active == 0; });
    }
    p.busy.unlock();
}

}  // namespace vexa::native::pool
