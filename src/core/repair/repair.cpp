#include "core/repair/repair.hpp"

#include "core/repair/output_safety.hpp"

#include <tuple>

#include "core/gradients/fsl_format.hpp"
#include "core/gradients/grad_format.hpp"
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

RepairTexts repair_texts(const GradientTable& table, const RepairOptions& options, const RepairPlan& plan) {
  const GradientTable repaired = apply_matrix(table, plan.matrix);
  const GradientTable fsl_table =
      options.frame ? apply_matrix(repaired, fsl_emission_matrix(*options.frame)) : repaired;
  RepairTexts texts;
  std::tie(texts.bvec, texts.bval) = format_fsl_pair_text(fsl_table);
  if (options.out_grad) {
    const GradientTable world_table =
        options.frame ? apply_matrix(repaired, world_emission_matrix(*options.frame)) : repaired;
    texts.grad = format_grad_text(world_table);
  }
  return texts;
}

std::vector<std::string> provenance_protected_paths(const Report& report, const RepairOptions& options) {
  std::vector<std::string> paths = options.other_inputs;
  for (const InputRecord& record : report.inputs) paths.push_back(record.path);
  paths.push_back(options.out_bvec);
  paths.push_back(options.out_bval);
  if (options.out_grad) paths.push_back(*options.out_grad);
  return paths;
}

ProvenanceContent repair_provenance(const Report& report, const RepairOptions& options, const RepairPlan& plan,
                                    const std::vector<std::string>& outputs) {
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
  content.outputs = outputs;
  return content;
}

Result<void> write_repair_plan(Report& report, const GradientTable& table, const RepairOptions& options,
                               const RepairPlan& plan) {
  RepairResult result{plan.matrix, plan.label, {}};
  if (options.dry_run) {
    report.repair = std::move(result);
    return {};
  }

  if (options.provenance) DS_TRY(check_provenance_target(*options.provenance, provenance_protected_paths(report, options)));
  DS_TRY_ASSIGN(const PreparedOutput bvec_prepared, prepare_output_for_write(options.out_bvec, options.in_place));
  DS_TRY_ASSIGN(const PreparedOutput bval_prepared, prepare_output_for_write(options.out_bval, options.in_place));
  const RepairTexts texts = repair_texts(table, options, plan);
  DS_TRY(write_prepared_output(options.out_bvec, bvec_prepared, texts.bvec));
  DS_TRY(write_prepared_output(options.out_bval, bval_prepared, texts.bval));
  result.outputs.push_back(options.out_bvec);
  result.outputs.push_back(options.out_bval);

  if (options.out_grad) {
    DS_TRY_ASSIGN(const PreparedOutput grad_prepared, prepare_output_for_write(*options.out_grad, options.in_place));
    DS_TRY(write_prepared_output(*options.out_grad, grad_prepared, *texts.grad));
    result.outputs.push_back(*options.out_grad);
  }

  report.repair = result;
  if (options.provenance) DS_TRY(write_provenance(*options.provenance, repair_provenance(report, options, plan, result.outputs)));
  return {};
}

}  // namespace dirsieve
