// Opt-in recovery of b-values from amplitude-encoded gradient vectors.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/repair/output_safety.hpp"
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

// The engine's recovery: refuses a table whose non-b0 vectors are already unit length (there is nothing to
// recover; recovering would merge its shells) unless `allow_unit_vectors`, checks every output before
// writing, and writes them all or none.
struct CheckedRecovery {
  std::string summary;                     // the compact JSON summary
  std::vector<CommittedOutput> committed;  // where each file went, and its backup
};
Result<CheckedRecovery> recompute_bval_checked(const GradientTable& table, const std::vector<InputRecord>& inputs,
                                               const RecomputeOptions& options, bool allow_unit_vectors);

}  // namespace dirsieve
