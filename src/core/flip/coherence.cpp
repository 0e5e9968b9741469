#include "core/flip/coherence.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/partitioner.h>

#include "core/flip/candidates.hpp"

namespace dirsieve {
namespace {

constexpr double kTiny = 1e-9;
// WM voxels per piece of the parallel fold.
constexpr std::size_t kFoldGrain = 512;

double dot(const Vec3& a, const Vec3& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

// Key whose signed integer order is the IEEE-754 total order of the doubles.
std::int64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

struct Tally {
  double sum = 0.0;
  std::uint64_t valid = 0;
  std::uint64_t attempted = 0;
};

// Trilinear interpolation of the direction field at `point`; `corner(index)` gives the direction of a
// grid voxel that may serve as a corner (in the mask, with a non-negligible direction), or nullptr.
template <class Corner>
std::optional<Vec3> interpolate_impl(const Corner& corner, const std::array<std::size_t, 3>& dims,
                                     const Vec3& point, const Vec3& centre) {
  // Per axis: the two corner weights, whether each corner coordinate lies inside the grid (tested in
  // floating point, so far-away or non-finite points never reach an integer conversion) and its
  // contribution to the voxel index.
  double weights[3][2];
  bool inside[3][2];
  std::size_t offset[3][2];
  const std::size_t stride[3] = {dims[1] * dims[2], dims[2], 1};
  for (int a = 0; a < 3; ++a) {
    const double base = std::floor(point[a]);
    const double f = point[a] - base;
    weights[a][0] = 1.0 - f;
    weights[a][1] = f;
    const double size = static_cast<double>(dims[a]);
    for (int d = 0; d < 2; ++d) {
      const double c = base + d;
      inside[a][d] = c >= 0.0 && c < size;
      offset[a][d] = inside[a][d] ? static_cast<std::size_t>(c) * stride[a] : 0;
    }
  }

  // The three sums live in registers (separate scalars): the same additions in the same order as a
  // Vec3 accumulator, without a store/reload per corner.
  double acc0 = 0.0;
  double acc1 = 0.0;
  double acc2 = 0.0;
  double total = 0.0;
  for (int dx = 0; dx < 2; ++dx) {
    for (int dy = 0; dy < 2; ++dy) {
      const double wxy = weights[0][dx] * weights[1][dy];
      for (int dz = 0; dz < 2; ++dz) {
        const double w = wxy * weights[2][dz];
        if (!(w > 0.0)) continue;
        if (!(inside[0][dx] && inside[1][dy] && inside[2][dz])) continue;
        const std::size_t index = offset[0][dx] + offset[1][dy] + offset[2][dz];
        const Vec3* found = corner(index);
        if (found == nullptr) continue;
        const Vec3& c = *found;
        // -1.0 when u.c < 0, else 1.0, chosen without a branch (the sign of u.c is a coin toss:
        // fitted eigenvectors come with arbitrary signs).
        const std::uint64_t negative = dot(centre, c) < 0.0 ? 1 : 0;
        const double sign = std::bit_cast<double>(std::bit_cast<std::uint64_t>(1.0) | (negative << 63));
        acc0 += w * (sign * c[0]);
        acc1 += w * (sign * c[1]);
        acc2 += w * (sign * c[2]);
        total += w;
      }
    }
  }
  if (!(total > 0.0)) return std::nullopt;
  const Vec3 mean{acc0 / total, acc1 / total, acc2 / total};
  const double length = norm(mean);
  if (!(length >= kTiny)) return std::nullopt;
  return Vec3{mean[0] / length, mean[1] / length, mean[2] / length};
}

}  // namespace

std::optional<Vec3> interpolate_direction(const std::vector<Vec3>& field, const std::vector<std::uint8_t>& mask,
                                          const std::array<std::size_t, 3>& dims, const Vec3& point,
                                          const Vec3& centre) {
  const auto corner = [&](std::size_t index) -> const Vec3* {
    const bool usable = index < mask.size() && index < field.size() && mask[index] && norm(field[index]) >= kTiny;
    return usable ? &field[index] : nullptr;
  };
  return interpolate_impl(corner, dims, point, centre);
}

std::vector<RankedCandidate> score_candidates(const TensorFit& fit, const WhiteMatterSample& sample, double step,
                                              const Mat3& frame_map) {
  const auto& candidates = generate_candidates();
  // Every index below stays inside the grid and inside each per-voxel sequence, even for a
  // malformed fit whose sequences are shorter than its grid.
  const std::size_t n_voxels = fit.dims[0] * fit.dims[1] * fit.dims[2];
  const std::size_t ny = fit.dims[1];
  const std::size_t nz = fit.dims[2];
  const std::size_t n_mask = std::min({n_voxels, sample.mask.size(), fit.v1.size()});

  std::vector<std::size_t> wm;
  for (std::size_t v = 0; v < n_mask; ++v)
    if (sample.mask[v]) wm.push_back(v);
  // Integer grid coordinates of every WM voxel, as doubles, once for all candidates.
  std::vector<Vec3> wm_point(wm.size());
  for (std::size_t i = 0; i < wm.size(); ++i) {
    const std::size_t v = wm[i];
    wm_point[i] = {static_cast<double>(v / (ny * nz)), static_cast<double>((v / nz) % ny),
                   static_cast<double>(v % nz)};
  }

  // The transformed field is kept for the WM voxels only, in WM-list order (compact, so the corner
  // reads stay in cache). Per voxel of the grid, `slot` holds the WM-list position of a voxel that
  // may serve as an interpolation corner for the current candidate (in the mask, with a transformed
  // direction of length at least 1e-9), or `none`; only WM entries are ever set. The arithmetic is
  // that of a grid-wide field guarded by the mask.
  std::vector<Vec3> field(wm.size(), Vec3{0.0, 0.0, 0.0});
  // Per WM voxel, for all candidates: its fitted direction and whether that is below 1e-9 in length
  // (then it is kept as it is); per candidate, whether the transformed direction is not below 1e-9
  // (the voxel is sampled), from the same length as its corner test.
  std::vector<Vec3> wm_v1(wm.size());
  std::vector<std::uint8_t> wm_tiny(wm.size());
  for (std::size_t i = 0; i < wm.size(); ++i) {
    wm_v1[i] = fit.v1[wm[i]];
    wm_tiny[i] = norm(wm_v1[i]) < kTiny ? 1 : 0;
  }
  std::vector<std::uint8_t> sampled(wm.size());
  std::vector<RankedCandidate> scores;
  scores.reserve(candidates.size());

  const auto run = [&](auto& slot) {
    using Slot = typename std::decay_t<decltype(slot)>::value_type;
    constexpr Slot none = std::numeric_limits<Slot>::max();
    slot.assign(n_voxels, none);
    const auto corner = [&](std::size_t index) -> const Vec3* {
      const Slot s = slot[index];
      return s == none ? nullptr : &field[s];
    };

    for (std::size_t ci = 0; ci < candidates.size(); ++ci) {
      const CandidateTransform& candidate = candidates[ci];
      RankedCandidate entry{candidate.label, candidate.matrix, candidate.is_identity, 0.0, 0};

      bool copied = false;
      for (std::size_t earlier = 0; earlier < ci; ++earlier) {
        if (sign_equivalent(candidates[earlier].matrix, candidate.matrix)) {
          entry.coherence = scores[earlier].coherence;
          entry.n_samples = scores[earlier].n_samples;
          copied = true;
          break;
        }
      }
      if (copied) {
        scores.push_back(std::move(entry));
        continue;
      }

      const Mat3 composite = multiply(frame_map, candidate.matrix);
      for (std::size_t i = 0; i < wm.size(); ++i) {
        const Vec3& direction = wm_v1[i];
        field[i] = wm_tiny[i] != 0 ? direction : dirsieve::apply(composite, direction);
        const double length = norm(field[i]);
        slot[wm[i]] = length >= kTiny ? static_cast<Slot>(i) : none;
        sampled[i] = length < kTiny ? 0 : 1;
      }

      // Fixed-size pieces joined in a fixed tree: the sum does not depend on the thread count or scheduling.
      const Tally tally = tbb::parallel_deterministic_reduce(
          tbb::blocked_range<std::size_t>(0, wm.size(), kFoldGrain), Tally{},
          [&](const tbb::blocked_range<std::size_t>& range, Tally acc) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) {
              if (sampled[i] == 0) continue;
              const Vec3& u = field[i];
              acc.attempted += 2;
              const double x = wm_point[i][0];
              const double y = wm_point[i][1];
              const double z = wm_point[i][2];
              const Vec3 forward{x + step * u[0], y + step * u[1], z + step * u[2]};
              const Vec3 backward{x - step * u[0], y - step * u[1], z - step * u[2]};
              for (const Vec3* point : {&forward, &backward}) {
                const auto w = interpolate_impl(corner, fit.dims, *point, u);
                if (!w) continue;
                acc.sum += std::fabs(dot(u, *w));
                ++acc.valid;
              }
            }
            return acc;
          },
          [](Tally a, const Tally& b) {
            a.sum += b.sum;
            a.valid += b.valid;
            a.attempted += b.attempted;
            return a;
          });

      if (tally.attempted > 0) {
        entry.coherence = tally.sum / static_cast<double>(tally.attempted);
        entry.n_samples = tally.valid;
      }
      scores.push_back(std::move(entry));
    }
  };
  // 32-bit slots halve the grid-wide table; a WM list too long for them (beyond any real image) uses
  // full-width ones.
  if (wm.size() < std::numeric_limits<std::uint32_t>::max()) {
    std::vector<std::uint32_t> slot;
    run(slot);
  } else {
    std::vector<std::size_t> slot;
    run(slot);
  }

  std::stable_sort(scores.begin(), scores.end(), [](const RankedCandidate& a, const RankedCandidate& b) {
    return total_order_key(a.coherence) > total_order_key(b.coherence);
  });
  return scores;
}

JsonValue to_json(const RankedCandidate& entry) {
  JsonValue out = JsonValue::object();
  out.add("label", entry.label);
  out.add("matrix", json_mat3(entry.matrix));
  out.add("is_identity", entry.is_identity);
  out.add("coherence", entry.coherence);
  out.add("n_samples", entry.n_samples);
  return out;
}

}  // namespace dirsieve
