// The worker pool of one call: the process-wide shared pool, or a dedicated arena of n threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "core/util/result.hpp"

namespace dirsieve::python {

class CallPool {
 public:
  // None: the shared pool; 0: the thread-count error; n: a dedicated arena of exactly n threads.
  static Result<CallPool> create(std::optional<std::uint64_t> threads);

  // Runs the job on the dedicated arena (the caller waits), or on the calling thread.
  template <class Job>
  auto run(Job&& job) -> decltype(job()) {
    if (!arena_) return job();
    std::optional<decltype(job())> result;
    arena_->execute([&] { result.emplace(job()); });
    return std::move(*result);
  }

  // The number of threads the call's parallel stages may use.
  int concurrency() const;

 private:
  std::unique_ptr<oneapi::tbb::global_control> control_;
  std::unique_ptr<oneapi::tbb::task_arena> arena_;
};

}  // namespace dirsieve::python
