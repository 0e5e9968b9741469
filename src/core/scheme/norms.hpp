// Vector-norm statistics of the non-b0 gradient vectors and the amplitude-encoding test.
#pragma once

#include <cstdint>

#include "core/gradients/table.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

struct NormStats {
  std::uint64_t non_b0_count = 0;
  std::uint64_t non_unit_count = 0;
  double non_unit_fraction = 0.0;
  double norm_min = 0.0;
  double norm_max = 0.0;
  double norm_mean = 0.0;
  double tolerance = 0.0;
};

NormStats compute_norm_stats(const GradientTable& table, double b0_threshold, double norm_tolerance);
bool is_amplitude_encoded(const NormStats& stats);

JsonValue to_json(const NormStats& stats);

}  // namespace dirsieve
