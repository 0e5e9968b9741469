#include "core/pipeline/engine.hpp"

#include <utility>

#include "core/consistency/consistency.hpp"
#include "core/pipeline/table_decision.hpp"
#include "core/repair/frames.hpp"
#include "core/repair/output_safety.hpp"
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
  in.rotation = analyse_frame(dwi.affine, false).rotation;
  in.source = source;
  DS_TRY_ASSIGN(Verdict given, compute_verdict(in, options.verdict));

  // Whether the table agrees with itself; when part of it is decided wrong, the fibres of the corrected table
  // decide its whole-table transform.
  ConsistencyInputs ci;
  ci.dwi = &dwi;
  ci.table = &table;
  ci.fit = &detection.fit;
  ci.sample = &sample;
  ci.b0_threshold = audit.b0_threshold;
  ci.tolerance = audit.tolerance;
  ci.frame_map = detection.frame_map;
  for (const auto& row : given.distances) ci.distances_mm.push_back(row.distance_mm);
  if (ci.distances_mm.empty()) {
    if (auto d = verdict_distances(dwi.voxel_sizes, options.verdict.distances_mm)) ci.distances_mm = *d;
  }
  const Stopwatch consistency_clock;
  DS_TRY_ASSIGN(const ConsistencyResult consistency, check_consistency(ci, options.consistency));
  // A finding is applied and the corrected table checked again on its own fit and sample, round by round,
  // until it agrees with itself (or a round cannot decide, or three rounds have not sufficed).
  std::optional<PartCorrection> part;
  std::optional<FitAndSample> refit;
  std::optional<GradientTable> corrected_table;
  std::optional<Shell> corrected_shell;
  if (consistency.finding) {
    part.emplace();
    part->rows = uniform_fix(table.size(), identity3());
    const ConsistencyResult* round = &consistency;
    ConsistencyResult next;
    for (int rounds = 0;; ++rounds) {
      const PartFix& found = round->candidates[*round->finding].fix;
      part->rows = compose_fixes(part->rows, found.rows);
      part->descriptions.push_back(found.description);
      corrected_table = apply_fix(table, part->rows);
      DS_TRY_ASSIGN(corrected_shell, select_working_shell(corrected_table->bvals(), audit.b0_threshold,
                                                          audit.tolerance, audit.shell));
      DS_TRY_ASSIGN(refit, sample_white_matter(dwi, *corrected_table, corrected_shell->indices, mask, audit.flip));
      ConsistencyInputs again = ci;
      again.table = &*corrected_table;
      again.fit = &refit->fit;
      again.sample = &refit->sample;
      DS_TRY_ASSIGN(next, check_consistency(again, options.consistency));
      part->rounds.push(to_json(next, options.consistency));
      part->volumes = next.volumes;
      if (next.status == Status::Warn) {
        part->doubt = next.reason;
        break;
      }
      if (!next.finding) break;
      if (rounds == 2) {
        part->doubt = "after three corrections it still finds " + next.reason;
        break;
      }
      round = &next;
    }
    for (std::size_t k = 0; k < table.size(); ++k)
      if (!is_identity_fix(part->rows[k], k)) part->changed.push_back(k);
  }
  std::optional<Verdict> corrected;
  if (part && !part->doubt) {
    VerdictInputs fixed_in = in;
    fixed_in.fit = &refit->fit;
    fixed_in.sample = &refit->sample;
    fixed_in.table = &*corrected_table;
    fixed_in.shell_indices = corrected_shell->indices;
    fixed_in.working_b = corrected_shell->nominal_b;
    DS_TRY_ASSIGN(corrected, compute_verdict(fixed_in, options.verdict));
    if (options.keep_detection) out.corrected_fit = std::move(refit);
  }
  out.consistency_seconds = consistency_clock.seconds();
  out.verdict = decide_table(std::move(given), consistency, options.consistency, part, std::move(corrected),
                             table.size());
  if (command == EngineCommand::Audit && scheme_blocks_pass(out.report, audit.strict)) demote_for_scheme(out.verdict);
  out.verdict_seconds = clock.seconds();

  if (options.keep_detection) out.detection = std::move(extras.detection);
  return out;
}

Result<VerdictRepair> apply_verdict_repair(Report& report, const Verdict& verdict, const GradientTable& table,
                                           const RepairOptions& options, const RepairRecord& record) {
  add_divergence_note(report, options);

  RepairPlan plan;
  plan.verdict = to_json(verdict);
  // A per-volume correction is applied to the rows first; the plan's matrix is then the identity.
  std::optional<GradientTable> corrected;
  JsonValue applied_fix;
  if (verdict.status == Status::Flag && verdict.fix) {
    corrected = apply_fix(table, *verdict.fix);
    plan.label = "per-volume";
    plan.matrix = identity3();
    applied_fix = JsonValue::object();
    applied_fix.add("description", verdict.fix_description);
    applied_fix.add("whole_label", verdict.fix_whole_label ? JsonValue(*verdict.fix_whole_label) : JsonValue(nullptr));
    applied_fix.add("changed", json_array_of(verdict.fix_changed));
    applied_fix.add("rows", fix_rows_json(*verdict.fix));
  } else if (verdict.status == Status::Flag && verdict.recommended_label && verdict.recommended_transform) {
    plan.label = *verdict.recommended_label;
    plan.matrix = *verdict.recommended_transform;
  } else if (verdict.status == Status::Warn && options.force_repair && verdict.part_suspected) {
    // Forcing applies a whole-table transform the distances agreed on; with a part of the table in doubt that
    // would write a table known to be wrong somewhere.
    report.add_note("repair not forced (--force-repair): " + verdict.reason);
    return VerdictRepair{};
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
    return VerdictRepair{};
  }

  VerdictRepair out;
  out.planned = true;
  RepairResult result{plan.matrix, plan.label, {}};
  if (options.dry_run) {
    report.repair = std::move(result);
    return out;
  }

  // Every target is checked before anything is written; then all are written, or none.
  const std::vector<std::string> targets = repair_targets(options);
  for (const std::string& path : targets) DS_TRY(check_output_target(path, options.in_place));
  if (options.provenance) DS_TRY(check_provenance_target(*options.provenance, provenance_protected_paths(report, options)));

  const RepairTexts texts = repair_texts(corrected ? *corrected : table, options, plan);
  result.outputs = {options.out_bvec, options.out_bval};
  if (options.out_grad) result.outputs.push_back(*options.out_grad);
  report.repair = result;

  OutputSet set(options.in_place);
  DS_TRY(set.stage(options.out_bvec, texts.bvec));
  DS_TRY(set.stage(options.out_bval, texts.bval));
  if (options.out_grad) DS_TRY(set.stage(*options.out_grad, *texts.grad));
  if (options.provenance) {
    ProvenanceContent content = repair_provenance(report, options, plan, result.outputs);
    content.applied_fix = applied_fix;
    content.images = record.images;
    content.invocation = record.invocation.is_null() ? nullptr : &record.invocation;
    DS_TRY(set.stage(*options.provenance, provenance_json(content, utc_timestamp_now()).to_pretty()));
  }
  DS_TRY_ASSIGN(out.committed, set.commit());
  return out;
}

JsonValue repair_options_json(const EngineOptions& engine, const RepairOptions& repair, const Vec3& voxel_sizes) {
  const AuditOptions& a = engine.audit;
  JsonValue out = JsonValue::object();
  out.add("b0_threshold", a.b0_threshold);
  out.add("tolerance", a.tolerance);
  out.add("shell", a.shell ? JsonValue(*a.shell) : JsonValue(nullptr));
  out.add("step", a.flip.step);
  out.add("margin_threshold", a.flip.margin_threshold);
  auto distances = verdict_distances(voxel_sizes, engine.verdict.distances_mm);
  out.add("distances_mm", distances ? json_array_of(*distances) : JsonValue(nullptr));
  out.add("sample", sample_source_name(engine.source));
  out.add("strict", a.strict);
  out.add("norm_tolerance", a.norm_tolerance);
  out.add("out_bvec", repair.out_bvec);
  out.add("out_bval", repair.out_bval);
  out.add("out_grad", repair.out_grad ? JsonValue(*repair.out_grad) : JsonValue(nullptr));
  out.add("dry_run", repair.dry_run);
  out.add("in_place", repair.in_place);
  out.add("force_repair", repair.force_repair);
  return out;
}

std::vector<std::string> repair_targets(const RepairOptions& options) {
  std::vector<std::string> targets{options.out_bvec, options.out_bval};
  if (options.out_grad) targets.push_back(*options.out_grad);
  if (options.provenance) targets.push_back(*options.provenance);
  return targets;
}

}  // namespace dirsieve
