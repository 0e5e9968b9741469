// A whole flip detection and its verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/flip/coherence.hpp"
#include "core/flip/flip_options.hpp"
#include "core/flip/tensor_fit.hpp"
#include "core/report/status.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

struct FlipResult {
  double working_b = 0.0;
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
  std::vector<RankedCandidate> ranking;
  RankedCandidate best;
  RankedCandidate runner_up;
  double identity_coherence = 0.0;
  double margin = 0.0;
  double relative_margin = 0.0;
  std::optional<double> margin_threshold;  // only when it differs from 0.02
  Status decision = Status::Pass;
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
};

struct FlipDetection {
  FlipResult result;
  TensorFit fit;
  std::vector<std::uint8_t> mask;
  Mat3 frame_map = identity3();
};

struct FlipTimings {
  double fit_seconds = 0.0;        // white-matter sample stage, fit included
  double coherence_seconds = 0.0;  // candidate scoring
};

// `timings` may be null; when given, the two stages are timed.
Result<FlipDetection> run_flip_detection(const DwiVolume& dwi, const GradientTable& table,
                                         const MaskVolume* user_mask, std::optional<double> shell,
                                         const FlipOptions& options, FlipTimings* timings = nullptr);

FlipResult decide_flip(std::vector<RankedCandidate> ranking, double working_b, std::uint64_t n_wm_voxels,
                       double mask_mean_fa, double margin_threshold);

JsonValue to_json(const FlipResult& result);

}  // namespace dirsieve
