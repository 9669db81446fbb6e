// A small persistent pool of native threads that runs the chunks of one panel call at a
// time. It knows nothing of Python: callers release the GIL around run().
#ifndef VEXA_NATIVE_POOL_H
#define VEXA_NATIVE_POOL_H

#include <cstddef>

namespace vexa::native::pool {

// The number of threads that run a panel, the caller's included: $VEXA_NUM_THREADS when
// set to a positive integer, else the processors this process may run on.
int threads();

// Sets that number (>= 1); 0 restores the default. Call with the GIL held.
void set_threads(int n);

// Starts the pool's threads if they are not running yet. Call with the GIL held, before
// run(): creation and the fork handler are serialised by the GIL.
bool ready();

// Runs fn(ctx, chunk, worker) for every chunk in [0, chunks) on at most `width` threads
// and returns when all are done. worker, in [0, width), tells apart the threads that run
// at the same time (the caller is worker 0), so that each can use scratch memory of its
// own. When another call is using the pool, the chunks run one after another on the
// calling thread (worker 0). Needs no GIL.
using ChunkFn = void (*)(void *ctx, size_t chunk, int worker);
void run(size_t chunks, int width, ChunkFn fn, void *ctx);

}  // namespace vexa::native::pool

#endif
