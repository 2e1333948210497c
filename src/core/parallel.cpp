#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace strataperm {

int thread_count(int requested) {
  if (requested > 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

void run_workers(int threads, const std::function<void(int worker)>& body) {
  const int workers = std::max(1, threads);
  std::exception_ptr first_failure;
  std::mutex failure_lock;
  auto work = [&](int worker) {
    try {
      body(worker);
    } catch (...) {
      const std::lock_guard<std::mutex> hold(failure_lock);
      if (!first_failure) first_failure = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(workers - 1));
  for (int t = 1; t < workers; ++t) pool.emplace_back(work, t);
  work(0);
  for (auto& thread : pool) thread.join();
  if (first_failure) std::rethrow_exception(first_failure);
}

void parallel_for(int threads, long count,
                  const std::function<void(int worker, long index)>& body) {
  if (count <= 0) return;
  const int workers = static_cast<int>(std::max(1L, std::min<long>(threads, count)));
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  run_workers(workers, [&](int worker) {
    try {
      for (long index = next++; index < count && !failed; index = next++) body(worker, index);
    } catch (...) {
      failed = true;
      throw;
    }
  });
}

}  // namespace strataperm
