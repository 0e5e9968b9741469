// Monotonic stopwatch for stage timings.
#pragma once

#include <chrono>

namespace dirsieve {

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  // Seconds since construction; never negative.
  double seconds() const {
    auto elapsed = std::chrono::steady_clock::now() - start_;
    if (elapsed.count() < 0) return 0.0;
    auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - whole);
    return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace dirsieve
