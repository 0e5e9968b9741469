#include "core/pipeline/engine.hpp"

#include <utility>

#include "core/scheme/notes.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/clock.hpp"

namespace dirsieve {

Result<EngineOutcome> run_engine(EngineCommand command, const GradientTable& table, std::vector<InputRecord> inputs,
                                 const DwiVolume& dwi, const MaskVolume* mask, const EngineOptions& options) {
  AuditOptions audit = options.audit;
  // A mask is a brain mask unless it is declared a white-matter mask.
  const SampleSource source = mask == nullptr                                   ? SampleSource::Automatic
                              : options.source == SampleSource::WhiteMatterMask ? SampleSource::WhiteMatterMask
                                                                                : SampleSource::BrainMask;
  audit.flip.mask_is_brain = source == SampleSource::BrainMask;
  // Bad distances are a usage fault: reported before the image is fitted.
  DS_TRY(verdict_distances(dwi.voxel_sizes, options.verdict.distances_mm));

  AuditExtras extras;
  extras.capture_detection = true;
  EngineOutcome out;
  DS_TRY_ASSIGN(out.report, command == EngineCommand::Audit
                                ? run_audit(table, std::move(inputs), &dwi, mask, audit, &extras)
                                : run_detect_flip(table, std::move(inputs), dwi, mask, audit, &extras));
  out.timings = extras.timings;
  const FlipDetection& detection = *extras.detection;

  const Stopwatch clock;
  DS_TRY_ASSIGN(const Shell working,
                select_working_shell(table.bvals(), audit.b0_threshold, audit.tolerance, audit.shell));
  WhiteMatterSample sample;
  sample.mask = detection.mask;
  sample.n_wm_voxels = detection.result.n_wm_voxels;
  sample.mask_mean_fa = detection.result.mask_mean_fa;
  VerdictInputs in;
  in.fit = &detection.fit;
  in.sample = &sample;
  in.table = &table;
  in.shell_indices = working.indices;
  in.working_b = working.nominal_b;
  in.voxel_sizes = dwi.voxel_sizes;
  in.frame_map = detection.frame_map;
  in.source = source;
  DS_TRY_ASSIGN(out.verdict, compute_verdict(in, options.verdict));
  if (command == EngineCommand::Audit && scheme_blocks_pass(out.report, audit.strict)) demote_for_scheme(out.verdict);
  out.verdict_seconds = clock.seconds();

  if (options.keep_detection) out.detection = std::move(extras.detection);
  return out;
}

Result<bool> apply_verdict_repair(Report& report, const Verdict& verdict, const GradientTable& table,
                                  const RepairOptions& options) {
  add_divergence_note(report, options);

  RepairPlan plan;
  plan.verdict = to_json(verdict);
  if (verdict.status == Status::Flag && verdict.recommended_label && verdict.recommended_transform) {
    plan.label = *verdict.recommended_label;
    plan.matrix = *verdict.recommended_transform;
  } else if (verdict.status == Status::Pass) {
    plan.label = "+x+y+z";
    plan.matrix = identity3();
  } else if (verdict.status == Status::Warn && options.force_repair && verdict.common_label &&
             verdict.common_transform) {
    plan.label = *verdict.common_label;
    plan.matrix = *verdict.common_transform;
    report.add_note("repair force-applied on a WARN verdict (--force-repair): " + verdict.reason +
                    " \u2014 verify the result.");
  } else {
    return false;
  }
  DS_TRY(write_repair_plan(report, table, options, plan));
  return true;
}

}  // namespace dirsieve
