// Fiber-coherence score of every candidate transform and the ranking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/flip/tensor_fit.hpp"
#include "core/flip/white_matter.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

struct RankedCandidate {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
  double coherence = 0.0;
  std::uint64_t n_samples = 0;
};

// 48 entries, best first (stable, IEEE total order). The fold runs on the current task arena.
std::vector<RankedCandidate> score_candidates(const TensorFit& fit, const WhiteMatterSample& sample, double step,
                                              const Mat3& frame_map);

std::optional<Vec3> interpolate_direction(const std::vector<Vec3>& field, const std::vector<std::uint8_t>& mask,
                                          const std::array<std::size_t, 3>& dims, const Vec3& point,
                                          const Vec3& centre);

JsonValue to_json(const RankedCandidate& entry);

}  // namespace dirsieve
