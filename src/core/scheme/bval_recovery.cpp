#include "core/scheme/bval_recovery.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/repair/output_safety.hpp"
#include "core/repair/repair.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/json.hpp"
#include "core/util/number_format.hpp"
#include "core/util/rounding.hpp"

namespace dirsieve {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kRecoveryTolerance = 0.05;

double norm_of(const Vec3& g) { return std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]); }

JsonValue shell_counts(const std::vector<double>& bvals, double b0_threshold) {
  JsonValue list = JsonValue::array();
  for (const Shell& shell : cluster_shells(bvals, b0_threshold, kRecoveryTolerance)) {
    JsonValue entry = JsonValue::object();
    entry.add("nominal_b", shell.nominal_b);
    entry.add("count", shell.count);
    list.push(std::move(entry));
  }
  return list;
}

}  // namespace

Result<RecomputedScheme> recompute_bvalues(const GradientTable& table, double b0_threshold) {
  const std::vector<Vec3>& directions = table.directions();
  const std::vector<double>& bvals = table.bvals();
  const std::size_t n = std::min(directions.size(), bvals.size());

  RecomputedScheme scheme;
  for (std::size_t j = 0; j < n; ++j) {
    if (!(bvals[j] > b0_threshold)) continue;
    if (bvals[j] > scheme.b_nominal) scheme.b_nominal = bvals[j];
    const double norm = norm_of(directions[j]);
    if (norm > scheme.max_norm) scheme.max_norm = norm;
  }
  if (scheme.max_norm < kEpsilon) return CoreError::no_flip_shell();

  scheme.directions.reserve(n);
  scheme.bvals.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    const Vec3& g = directions[j];
    const double norm = norm_of(g);
    // A NaN b-value is neither b0 nor weighted; its vector length still gives it a b-value.
    if (bvals[j] <= b0_threshold) {
      scheme.bvals.push_back(0.0);
    } else {
      const double ratio = norm / scheme.max_norm;
      scheme.bvals.push_back(round_half_away(scheme.b_nominal * (ratio * ratio)));
    }
    if (bvals[j] <= b0_threshold || norm < kEpsilon) {
      scheme.directions.push_back(Vec3{0.0, 0.0, 0.0});
    } else {
      scheme.directions.push_back(Vec3{g[0] / norm, g[1] / norm, g[2] / norm});
    }
  }
  return scheme;
}

Result<std::string> recompute_bval(const GradientTable& table, const std::vector<InputRecord>& inputs,
                                   const RecomputeOptions& options) {
  DS_TRY_ASSIGN(RecomputedScheme scheme, recompute_bvalues(table, options.b0_threshold));

  bool any = false;
  double b_min = 0.0;
  double b_max = 0.0;
  for (double b : scheme.bvals) {
    if (!(b > options.b0_threshold)) continue;
    if (!any || b < b_min) b_min = b;
    if (!any || b > b_max) b_max = b;
    any = true;
  }

  std::vector<std::string> outputs;
  if (!options.dry_run) {
    if (options.provenance) {
      std::vector<std::string> protected_paths = {options.out_bvec, options.out_bval};
      for (const InputRecord& record : inputs) protected_paths.push_back(record.path);
      if (options.out_grad) protected_paths.push_back(*options.out_grad);
      DS_TRY(check_provenance_target(*options.provenance, protected_paths));
    }
    // Both refusals are decided before anything is written.
    DS_TRY_ASSIGN(const PreparedOutput bvec_prepared,
                  prepare_output_for_write(options.out_bvec, options.in_place));
    DS_TRY_ASSIGN(const PreparedOutput bval_prepared,
                  prepare_output_for_write(options.out_bval, options.in_place));
    DS_TRY_ASSIGN(const GradientTable recovered, GradientTable::make(scheme.directions, scheme.bvals));
    DS_TRY(write_prepared_fsl_pair(options.out_bvec, bvec_prepared, options.out_bval, bval_prepared, recovered));
    outputs.push_back(options.out_bvec);
    outputs.push_back(options.out_bval);

    if (options.out_grad) {
      DS_TRY_ASSIGN(const PreparedOutput grad_prepared,
                    prepare_output_for_write(*options.out_grad, options.in_place));
      DS_TRY(write_prepared_grad_file(*options.out_grad, grad_prepared, recovered));
      outputs.push_back(*options.out_grad);
    }

    if (options.provenance) {
      ProvenanceContent content;
      content.inputs = inputs;
      content.outputs = outputs;
      content.notes.push_back("recompute-bval: recovered b-values from amplitude-encoded bvecs (b_nominal=" +
                              format_fixed(scheme.b_nominal, 0) + ", max |g|=" + format_fixed(scheme.max_norm, 4) +
                              "); directions unit-normalized.");
      DS_TRY(write_provenance(*options.provenance, content));
    }
  }

  JsonValue summary = JsonValue::object();
  summary.add("b_nominal", scheme.b_nominal);
  summary.add("max_norm", scheme.max_norm);
  summary.add("b_min", b_min);
  summary.add("b_max", b_max);
  summary.add("before", shell_counts(table.bvals(), options.b0_threshold));
  summary.add("after", shell_counts(scheme.bvals, options.b0_threshold));
  summary.add("outputs", json_array_of(outputs));
  return summary.to_compact();
}

}  // namespace dirsieve
