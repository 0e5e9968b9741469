// Opt-in recovery of b-values from amplitude-encoded gradient vectors.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/report/input_record.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

struct RecomputedScheme {
  std::vector<Vec3> directions;
  std::vector<double> bvals;
  double b_nominal = 0.0;
  double max_norm = 0.0;
};

Result<RecomputedScheme> recompute_bvalues(const GradientTable& table, double b0_threshold);

struct RecomputeOptions {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  double b0_threshold = 50.0;
  bool dry_run = false;
  bool in_place = false;
};

// Returns the compact JSON summary.
Result<std::string> recompute_bval(const GradientTable& table, const std::vector<InputRecord>& inputs,
                                   const RecomputeOptions& options);

}  // namespace dirsieve
