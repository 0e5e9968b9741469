// Fiber-coherence score of every candidate transform and the ranking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// The WM voxels of one sample laid out for scoring (coordinates, fitted directions, corner table): built once,
// then scored at any number of sampling steps. Everything runs on the current task arena.
class CoherenceScorer {
 public:
  CoherenceScorer(const TensorFit& fit, const WhiteMatterSample& sample);
  CoherenceScorer(CoherenceScorer&&) noexcept;
  CoherenceScorer& operator=(CoherenceScorer&&) noexcept;
  ~CoherenceScorer();

  // 48 entries, best first (stable, IEEE total order). `step` is the sampling distance along each voxel axis
  // per unit of transformed direction: (s, s, s) walks s voxels; (d/sx, d/sy, d/sz) walks d mm.
  std::vector<RankedCandidate> rank(const Vec3& step, const Mat3& frame_map) const;

  // The coherence and valid-sample count of each transform, in the order given (any 3x3 matrices: the
  // fitted directions are mapped by frame_map * transform, not renormalised). With a centre stride k, only
  // every k-th WM voxel (in voxel order) is sampled from, every one still serving as a corner: a screen at
  // about 1/k of the cost.
  struct Score {
    double coherence = 0.0;
    std::uint64_t n_samples = 0;
  };
  std::vector<Score> score(const std::vector<Mat3>& transforms, const Vec3& step, const Mat3& frame_map,
                           std::size_t centre_stride = 1) const;

  // A scorer of the same voxels (the same mask and corner table) with other fitted directions: `v1` holds
  // one direction per WM voxel, in voxel order.
  CoherenceScorer with_directions(std::vector<Vec3> v1) const;

  // Per WM voxel, in voxel order: the sum of |u.w| over its valid samples under `transform` (0 to 2), and
  // whether it was sampled at all (its transformed direction is not negligible).
  void voxel_scores(const Mat3& transform, const Vec3& step, const Mat3& frame_map, std::vector<double>& sums,
                    std::vector<std::uint8_t>& sampled) const;

  // Grid coordinates of the WM voxels, in voxel order.
  const std::vector<std::array<std::size_t, 3>>& coordinates() const;

  struct Layout;

 private:
  explicit CoherenceScorer(std::shared_ptr<const Layout> geometry, std::vector<Vec3> v1);
  // The sample's geometry (coordinates, bounding box, corner table), shared by scorers of other directions.
  std::shared_ptr<const Layout> layout_;
  std::vector<Vec3> v1_;
  // Per WM voxel: whether its fitted direction is below 1e-9 in length (then it is kept as it is).
  std::vector<std::uint8_t> tiny_;
};

// 48 entries, best first (stable, IEEE total order), at `step` voxels along every axis.
std::vector<RankedCandidate> score_candidates(const TensorFit& fit, const WhiteMatterSample& sample, double step,
                                              const Mat3& frame_map);

std::optional<Vec3> interpolate_direction(const std::vector<Vec3>& field, const std::vector<std::uint8_t>& mask,
                                          const std::array<std::size_t, 3>& dims, const Vec3& point,
                                          const Vec3& centre);

JsonValue to_json(const RankedCandidate& entry);

}  // namespace dirsieve
