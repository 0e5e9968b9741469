#pragma once

#include <optional>

#include "core/flip/flip_options.hpp"

namespace dirsieve {

// The keyword settings of one analysis.
struct AuditOptions {
  std::optional<double> shell;
  double b0_threshold = 50.0;
  double tolerance = 0.05;
  double duplicate_angle_deg = 5.0;
  FlipOptions flip;
  double norm_tolerance = 0.05;
  bool strict = false;
};

}  // namespace dirsieve
