// Orchestration of inspect, audit and detect_flip.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/flip/decision.hpp"
#include "core/gradients/table.hpp"
#include "core/pipeline/options.hpp"
#include "core/report/report.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

struct VolumeOptions {
  double step = 1.0;
  Mat3 frame_map = identity3();
};

// Default step: 4 / mean voxel size, never below one voxel.
VolumeOptions prepare_volume_options(const DwiVolume& dwi, bool grad_given, std::optional<double> step);

Result<void> check_volume_grid(const GradientTable& table, const DwiVolume& dwi, const MaskVolume* mask);

Result<Report> run_inspect(const GradientTable& table, std::vector<InputRecord> inputs, const AuditOptions& options);

// What an audit hands back beside its report, for the timed and glyph variants.
struct AuditExtras {
  bool capture_detection = false;         // keep the FlipDetection for glyph export
  std::optional<FlipDetection> detection;  // filled when capture_detection is set
  FlipTimings timings;                     // always measured (a few clock reads)
};

// With dwi == nullptr the scheme-only path runs.
Result<Report> run_audit(const GradientTable& table, std::vector<InputRecord> inputs, const DwiVolume* dwi,
                         const MaskVolume* mask, const AuditOptions& options, AuditExtras* extras = nullptr);

Result<Report> run_detect_flip(const GradientTable& table, std::vector<InputRecord> inputs, const DwiVolume& dwi,
                               const MaskVolume* mask, const AuditOptions& options,
                               AuditExtras* extras = nullptr);

}  // namespace dirsieve
