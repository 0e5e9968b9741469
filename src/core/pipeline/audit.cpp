#include "core/pipeline/audit.hpp"

#include <cmath>

#include "core/flip/white_matter.hpp"
#include "core/repair/frames.hpp"
#include "core/scheme/drift.hpp"
#include "core/scheme/notes.hpp"

namespace dirsieve {

VolumeOptions prepare_volume_options(const DwiVolume& dwi, bool grad_given, std::optional<double> step) {
  VolumeOptions out;
  out.frame_map = frame_map(dwi.affine, grad_given);
  if (step) {
    out.step = *step;
  } else {
    const double mean = (dwi.voxel_sizes[0] + dwi.voxel_sizes[1] + dwi.voxel_sizes[2]) / 3.0;
    const double candidate = 4.0 / mean;
    out.step = (mean > 0.0 && candidate > 1.0) ? candidate : 1.0;
  }
  return out;
}

Result<void> check_volume_grid(const GradientTable& table, const DwiVolume& dwi, const MaskVolume* mask) {
  if (table.size() != dwi.volume_count) return CoreError::volume_mismatch(table.size(), dwi.volume_count);
  if (mask != nullptr && mask->flags.size() != dwi.grid_voxels()) {
    return CoreError::mask_grid_mismatch(mask->flags.size(), dwi.grid_voxels());
  }
  return {};
}

Result<Report> run_inspect(const GradientTable& table, std::vector<InputRecord> inputs, const AuditOptions& options) {
  Report report = analyze_scheme(table, std::move(inputs), options);
  DS_TRY(add_scheme_notes(report, options.strict));
  return report;
}

namespace {

// Runs the flip detection and folds its verdict into the report (status and the low-FA note).
Result<void> add_flip_detection(Report& report, const GradientTable& table, const DwiVolume& dwi,
                                const MaskVolume* mask, const AuditOptions& options, AuditExtras* extras) {
  FlipTimings* timings = extras != nullptr ? &extras->timings : nullptr;
  DS_TRY_ASSIGN(FlipDetection detection,
                run_flip_detection(dwi, table, mask, options.shell, options.flip, timings));
  report.status = detection.result.decision;
  report.flip = detection.result;
  if (auto note = low_fa_note(detection.result.mask_mean_fa)) report.add_note(std::move(*note));
  if (extras != nullptr && extras->capture_detection) extras->detection = std::move(detection);
  return {};
}

}  // namespace

Result<Report> run_audit(const GradientTable& table, std::vector<InputRecord> inputs, const DwiVolume* dwi,
                         const MaskVolume* mask, const AuditOptions& options, AuditExtras* extras) {
  if (dwi == nullptr) return run_inspect(table, std::move(inputs), options);
  DS_TRY(check_volume_grid(table, *dwi, mask));
  Report report = analyze_scheme(table, std::move(inputs), options);
  report.b0_drift = compute_b0_drift(*dwi, table, mask, options.b0_threshold);
  DS_TRY(add_flip_detection(report, table, *dwi, mask, options, extras));
  DS_TRY(add_scheme_notes(report, options.strict));
  return report;
}

Result<Report> run_detect_flip(const GradientTable& table, std::vector<InputRecord> inputs, const DwiVolume& dwi,
                               const MaskVolume* mask, const AuditOptions& options, AuditExtras* extras) {
  DS_TRY(check_volume_grid(table, dwi, mask));
  Report report = new_report(table, std::move(inputs));
  DS_TRY(add_flip_detection(report, table, dwi, mask, options, extras));
  return report;
}

}  // namespace dirsieve
