#include "python/worker_pool.hpp"

#include <exception>
#include <string>

#include <oneapi/tbb/info.h>

namespace dirsieve::python {

namespace {
// Far beyond any real machine; guards against asking the scheduler for millions of threads.
constexpr std::uint64_t kMaxThreads = 4096;
}  // namespace

Result<CallPool> CallPool::create(std::optional<std::uint64_t> threads) {
  CallPool pool;
  if (!threads) return pool;
  if (*threads == 0) return CoreError::bad_thread_count();
  if (*threads > kMaxThreads) {
    return CoreError::thread_pool("requested " + std::to_string(*threads) + " threads, at most " +
                                  std::to_string(kMaxThreads) + " are supported");
  }
  const int n = static_cast<int>(*threads);
  try {
    // The global worker count caps every arena; lift it for the duration of this call when needed.
    if (n > oneapi::tbb::info::default_concurrency()) {
      pool.control_ = std::make_unique<oneapi::tbb::global_control>(
          oneapi::tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(n));
    }
    pool.arena_ = std::make_unique<oneapi::tbb::task_arena>(n);
    pool.arena_->initialize();
  } catch (const std::exception& e) {
    return CoreError::thread_pool(e.what());
  }
  return pool;
}

int CallPool::concurrency() const {
  if (arena_) return arena_->max_concurrency();
  return oneapi::tbb::this_task_arena::max_concurrency();
}

}  // namespace dirsieve::python
