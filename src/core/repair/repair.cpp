#include "core/repair/repair.hpp"

#include "core/repair/output_safety.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

constexpr const char* kDivergenceNote =
    "FSL and world frames diverge for this image (positive affine determinant with a multi-axis rotation); "
    "confirm the gradient is in the frame you intend before consuming a cross-format output";

std::optional<RepairPlan> choose_plan(Report& report, const RepairOptions& options, double margin_threshold) {
  const FlipResult& flip = *report.flip;
  if (flip.recommended_transform && flip.recommended_label) {
    return RepairPlan{*flip.recommended_label, *flip.recommended_transform, nullptr};
  }
  if (options.force_repair && flip.decision == Status::Warn) {
    report.add_note("repair force-applied on a WARN decision (--force-repair); margin " +
                    format_fixed(flip.relative_margin * 100.0, 2) + "% is below the " +
                    format_fixed(margin_threshold * 100.0, 0) +
                    "% auto-repair threshold \u2014 verify the result.");
    return RepairPlan{flip.best.label, flip.best.matrix, nullptr};
  }
  return std::nullopt;
}

}  // namespace

void add_divergence_note(Report& report, const RepairOptions& options) {
  if (options.frame && options.frame->frames_divergent) report.add_note(kDivergenceNote);
}

Result<void> apply_repair_stage(Report& report, const GradientTable& table, const RepairOptions& options,
                                double margin_threshold) {
  add_divergence_note(report, options);
  if (!report.flip) return {};

  std::optional<RepairPlan> plan = choose_plan(report, options, margin_threshold);
  if (!plan) return {};
  return write_repair_plan(report, table, options, *plan);
}

Result<void> write_repair_plan(Report& report, const GradientTable& table, const RepairOptions& options,
                               const RepairPlan& plan) {
  const GradientTable repaired = apply_matrix(table, plan.matrix);
  RepairResult result{plan.matrix, plan.label, {}};
  if (options.dry_run) {
    report.repair = std::move(result);
    return {};
  }

  if (options.provenance) {
    std::vector<std::string> protected_paths = options.other_inputs;
    for (const InputRecord& record : report.inputs) protected_paths.push_back(record.path);
    protected_paths.push_back(options.out_bvec);
    protected_paths.push_back(options.out_bval);
    if (options.out_grad) protected_paths.push_back(*options.out_grad);
    DS_TRY(check_provenance_target(*options.provenance, protected_paths));
  }
  DS_TRY_ASSIGN(const PreparedOutput bvec_prepared, prepare_output_for_write(options.out_bvec, options.in_place));
  DS_TRY_ASSIGN(const PreparedOutput bval_prepared, prepare_output_for_write(options.out_bval, options.in_place));
  const GradientTable fsl_table =
      options.frame ? apply_matrix(repaired, fsl_emission_matrix(*options.frame)) : repaired;
  DS_TRY(write_prepared_fsl_pair(options.out_bvec, bvec_prepared, options.out_bval, bval_prepared, fsl_table));
  result.outputs.push_back(options.out_bvec);
  result.outputs.push_back(options.out_bval);

  if (options.out_grad) {
    DS_TRY_ASSIGN(const PreparedOutput grad_prepared, prepare_output_for_write(*options.out_grad, options.in_place));
    const GradientTable world_table =
        options.frame ? apply_matrix(repaired, world_emission_matrix(*options.frame)) : repaired;
    DS_TRY(write_prepared_grad_file(*options.out_grad, grad_prepared, world_table));
    result.outputs.push_back(*options.out_grad);
  }

  report.repair = result;

  if (options.provenance) {
    ProvenanceContent content;
    content.inputs = report.inputs;
    content.shells = report.shells ? &*report.shells : nullptr;
    content.angular = report.angular ? &*report.angular : nullptr;
    content.flip = report.flip ? &*report.flip : nullptr;
    if (!plan.verdict.is_null()) {
      content.verdict = &plan.verdict;
      content.applied_label = plan.label;
      content.applied_transform = plan.matrix;
    }
    content.frame = options.frame ? &*options.frame : nullptr;
    content.emitted_mrtrix = options.out_grad.has_value();
    content.outputs = result.outputs;
    DS_TRY(write_provenance(*options.provenance, content));
  }
  return {};
}

}  // namespace dirsieve
