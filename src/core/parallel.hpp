// Work shared out over threads.
#pragma once

#include <functional>

namespace strataperm {

// The number of threads to use: `requested`, or all cores when it is 0.
int thread_count(int requested);

// Runs body(worker) for worker = 0 .. threads - 1, each on its own thread (the
// calling thread is worker 0), and returns when all are done. An exception
// thrown by a body is rethrown here (the first one).
void run_workers(int threads, const std::function<void(int worker)>& body);

// Calls body(worker, index) once for every index in [0, count), on up to
// `threads` threads (the calling thread is worker 0). Indices are handed out
// one at a time in increasing order as workers become free, so uneven items
// balance; each worker sees its indices in increasing order. Returns when
// all are done. An exception thrown by a body is rethrown here (the first
// one; the other workers stop taking new indices).
void parallel_for(int threads, long count, const std::function<void(int worker, long index)>& body);

}  // namespace strataperm
