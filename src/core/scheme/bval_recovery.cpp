#include "core/scheme/bval_recovery.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/repair/output_safety.hpp"
#include "core/repair/repair.hpp"
#include "core/gradients/fsl_format.hpp"
#include "core/gradients/grad_format.hpp"
#include "core/scheme/norms.hpp"
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

namespace {

// The summary of a recovery that wrote `outputs`.
std::string recovery_summary(const GradientTable& table, const RecomputedScheme& scheme, double b0_threshold,
                             const std::vector<std::string>& outputs) {
  bool any = false;
  double b_min = 0.0;
  double b_max = 0.0;
  for (double b : scheme.bvals) {
    if (!(b > b0_threshold)) continue;
    if (!any || b < b_min) b_min = b;
    if (!any || b > b_max) b_max = b;
    any = true;
  }
  JsonValue summary = JsonValue::object();
  summary.add("b_nominal", scheme.b_nominal);
  summary.add("max_norm", scheme.max_norm);
  summary.add("b_min", b_min);
  summary.add("b_max", b_max);
  summary.add("before", shell_counts(table.bvals(), b0_threshold));
  summary.add("after", shell_counts(scheme.bvals, b0_threshold));
  summary.add("outputs", json_array_of(outputs));
  return summary.to_compact();
}

ProvenanceContent recovery_provenance(const RecomputedScheme& scheme, const std::vector<InputRecord>& inputs,
                                      const std::vector<std::string>& outputs) {
  ProvenanceContent content;
  content.inputs = inputs;
  content.outputs = outputs;
  content.notes.push_back("recompute-bval: recovered b-values from amplitude-encoded bvecs (b_nominal=" +
                          format_fixed(scheme.b_nominal, 0) + ", max |g|=" + format_fixed(scheme.max_norm, 4) +
                          "); directions unit-normalized.");
  return content;
}

std::vector<std::string> recovery_protected_paths(const std::vector<InputRecord>& inputs,
                                                  const RecomputeOptions& options) {
  std::vector<std::string> paths = {options.out_bvec, options.out_bval};
  for (const InputRecord& record : inputs) paths.push_back(record.path);
  if (options.out_grad) paths.push_back(*options.out_grad);
  return paths;
}

}  // namespace

Result<std::string> recompute_bval(const GradientTable& table, const std::vector<InputRecord>& inputs,
                                   const RecomputeOptions& options) {
  DS_TRY_ASSIGN(RecomputedScheme scheme, recompute_bvalues(table, options.b0_threshold));

  std::vector<std::string> outputs;
  if (!options.dry_run) {
    if (options.provenance) DS_TRY(check_provenance_target(*options.provenance, recovery_protected_paths(inputs, options)));
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

    if (options.provenance) DS_TRY(write_provenance(*options.provenance, recovery_provenance(scheme, inputs, outputs)));
  }
  return recovery_summary(table, scheme, options.b0_threshold, outputs);
}

Result<CheckedRecovery> recompute_bval_checked(const GradientTable& table, const std::vector<InputRecord>& inputs,
                                               const RecomputeOptions& options, bool allow_unit_vectors) {
  if (!allow_unit_vectors) {
    const NormStats norms = compute_norm_stats(table, options.b0_threshold, kRecoveryTolerance);
    if (norms.non_b0_count > 0 && norms.non_unit_count == 0) {
      const std::string files = inputs.empty() ? std::string("the table") : inputs.front().path;
      return CoreError::invalid_input(
          "the non-b0 vectors of " + files + " are already unit length (norm " + format_fixed(norms.norm_min, 3) +
          "\u2013" + format_fixed(norms.norm_max, 3) + ", " + std::to_string(norms.non_b0_count) +
          " vectors): there is nothing to recover, and recovering would merge every shell into one; pass "
          "--allow-unit-vectors to recompute anyway");
    }
  }
  DS_TRY_ASSIGN(RecomputedScheme scheme, recompute_bvalues(table, options.b0_threshold));
  std::vector<std::string> outputs;
  CheckedRecovery out;
  if (!options.dry_run) {
    std::vector<std::string> targets = {options.out_bvec, options.out_bval};
    if (options.out_grad) targets.push_back(*options.out_grad);
    if (options.provenance) targets.push_back(*options.provenance);
    for (const std::string& path : targets) DS_TRY(check_output_target(path, options.in_place));
    if (options.provenance) DS_TRY(check_provenance_target(*options.provenance, recovery_protected_paths(inputs, options)));

    DS_TRY_ASSIGN(const GradientTable recovered, GradientTable::make(scheme.directions, scheme.bvals));
    auto [bvec_text, bval_text] = format_fsl_pair_text(recovered);
    outputs = {options.out_bvec, options.out_bval};
    if (options.out_grad) outputs.push_back(*options.out_grad);
    OutputSet set(options.in_place);
    DS_TRY(set.stage(options.out_bvec, bvec_text));
    DS_TRY(set.stage(options.out_bval, bval_text));
    if (options.out_grad) DS_TRY(set.stage(*options.out_grad, format_grad_text(recovered)));
    if (options.provenance) {
      DS_TRY(set.stage(*options.provenance,
                       provenance_json(recovery_provenance(scheme, inputs, outputs), utc_timestamp_now()).to_pretty()));
    }
    DS_TRY_ASSIGN(out.committed, set.commit());
  }
  out.summary = recovery_summary(table, scheme, options.b0_threshold, outputs);
  return out;
}

}  // namespace dirsieve
