#include "core/flip/decision.hpp"

#include <utility>

#include "core/flip/candidates.hpp"
#include "core/flip/white_matter.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/clock.hpp"

namespace dirsieve {

FlipResult decide_flip(std::vector<RankedCandidate> ranking, double working_b, std::uint64_t n_wm_voxels,
                       double mask_mean_fa, double margin_threshold) {
  FlipResult result;
  result.working_b = working_b;
  result.n_wm_voxels = n_wm_voxels;
  result.mask_mean_fa = mask_mean_fa;
  result.ranking = std::move(ranking);
  const auto& ranked = result.ranking;

  if (!ranked.empty()) {
    result.best = ranked.front();
    result.runner_up = ranked.front();
    for (std::size_t i = 1; i < ranked.size(); ++i) {
      if (!sign_equivalent(ranked[i].matrix, result.best.matrix)) {
        result.runner_up = ranked[i];
        break;
      }
    }
    for (const auto& entry : ranked) {
      if (entry.is_identity) {
        result.identity_coherence = entry.coherence;
        break;
      }
    }
  }

  const double best = result.best.coherence;
  result.margin = best - result.runner_up.coherence;
  result.relative_margin = best > 0.0 ? result.margin / best : 0.0;

  if (!ranked.empty() && (result.best.is_identity || sign_equivalent(result.best.matrix, identity3()))) {
    result.decision = Status::Pass;
  } else if (!ranked.empty() && result.relative_margin >= margin_threshold) {
    result.decision = Status::Flag;
    result.recommended_transform = result.best.matrix;
    result.recommended_label = result.best.label;
  } else {
    result.decision = Status::Warn;
  }
  if (margin_threshold != 0.02) result.margin_threshold = margin_threshold;
  return result;
}

Result<FlipDetection> run_flip_detection(const DwiVolume& dwi, const GradientTable& table,
                                         const MaskVolume* user_mask, std::optional<double> shell,
                                         const FlipOptions& options, FlipTimings* timings) {
  DS_TRY_ASSIGN(const Shell working,
                select_working_shell(table.bvals(), options.b0_threshold, options.tolerance, shell));

  const Stopwatch fit_clock;
  DS_TRY_ASSIGN(FitAndSample fitted, sample_white_matter(dwi, table, working.indices, user_mask, options));
  const double fit_seconds = fit_clock.seconds();

  const Stopwatch coherence_clock;
  std::vector<RankedCandidate> ranking =
      score_candidates(fitted.fit, fitted.sample, options.step, options.frame_map);
  const double coherence_seconds = coherence_clock.seconds();

  if (timings != nullptr) {
    timings->fit_seconds = fit_seconds;
    timings->coherence_seconds = coherence_seconds;
  }

  FlipDetection detection;
  detection.result = decide_flip(std::move(ranking), working.nominal_b, fitted.sample.n_wm_voxels,
                                 fitted.sample.mask_mean_fa, options.margin_threshold);
  detection.fit = std::move(fitted.fit);
  detection.mask = std::move(fitted.sample.mask);
  detection.frame_map = options.frame_map;
  return detection;
}

JsonValue to_json(const FlipResult& result) {
  JsonValue out = JsonValue::object();
  out.add("working_b", result.working_b);
  out.add("n_wm_voxels", result.n_wm_voxels);
  out.add("mask_mean_fa", result.mask_mean_fa);
  JsonValue ranking = JsonValue::array();
  for (const auto& entry : result.ranking) ranking.push(to_json(entry));
  out.add("ranking", std::move(ranking));
  out.add("best", to_json(result.best));
  out.add("runner_up", to_json(result.runner_up));
  out.add("identity_coherence", result.identity_coherence);
  out.add("margin", result.margin);
  out.add("relative_margin", result.relative_margin);
  if (result.margin_threshold) out.add("margin_threshold", *result.margin_threshold);
  out.add("decision", status_name(result.decision));
  out.add("recommended_transform",
          result.recommended_transform ? json_mat3(*result.recommended_transform) : JsonValue(nullptr));
  out.add("recommended_label",
          result.recommended_label ? JsonValue(*result.recommended_label) : JsonValue(nullptr));
  return out;
}

}  // namespace dirsieve
