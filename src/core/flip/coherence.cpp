#include "core/flip/coherence.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_reduce.h>

#include "core/flip/candidates.hpp"

namespace dirsieve {
namespace {

constexpr double kTiny = 1e-9;

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

}  // namespace

std::optional<Vec3> interpolate_direction(const std::vector<Vec3>& field, const std::vector<std::uint8_t>& mask,
                                          const std::array<std::size_t, 3>& dims, const Vec3& point,
                                          const Vec3& centre) {
  double base[3];
  double weights[3][2];
  for (int a = 0; a < 3; ++a) {
    base[a] = std::floor(point[a]);
    const double f = point[a] - base[a];
    weights[a][0] = 1.0 - f;
    weights[a][1] = f;
  }
  const double nx = static_cast<double>(dims[0]);
  const double ny = static_cast<double>(dims[1]);
  const double nz = static_cast<double>(dims[2]);

  Vec3 acc{0.0, 0.0, 0.0};
  double total = 0.0;
  for (int dx = 0; dx < 2; ++dx) {
    for (int dy = 0; dy < 2; ++dy) {
      for (int dz = 0; dz < 2; ++dz) {
        const double w = weights[0][dx] * weights[1][dy] * weights[2][dz];
        if (!(w > 0.0)) continue;
        // Bounds are tested in floating point so that far-away or non-finite points never reach an
        // integer conversion.
        const double cx = base[0] + dx;
        const double cy = base[1] + dy;
        const double cz = base[2] + dz;
        if (!(cx >= 0.0 && cx < nx && cy >= 0.0 && cy < ny && cz >= 0.0 && cz < nz)) continue;
        const std::size_t index =
            (static_cast<std::size_t>(cx) * dims[1] + static_cast<std::size_t>(cy)) * dims[2] +
            static_cast<std::size_t>(cz);
        if (index >= mask.size() || index >= field.size() || !mask[index]) continue;
        const Vec3& c = field[index];
        if (!(norm(c) >= kTiny)) continue;
        const double sign = dot(centre, c) < 0.0 ? -1.0 : 1.0;
        for (int a = 0; a < 3; ++a) acc[a] += w * (sign * c[a]);
        total += w;
      }
    }
  }
  if (!(total > 0.0)) return std::nullopt;
  const Vec3 mean{acc[0] / total, acc[1] / total, acc[2] / total};
  const double length = norm(mean);
  if (!(length >= kTiny)) return std::nullopt;
  return Vec3{mean[0] / length, mean[1] / length, mean[2] / length};
}

std::vector<RankedCandidate> score_candidates(const TensorFit& fit, const WhiteMatterSample& sample, double step,
                                              const Mat3& frame_map) {
  const auto& candidates = generate_candidates();
  const std::size_t n_voxels = fit.v1.size();
  const std::size_t ny = fit.dims[1];
  const std::size_t nz = fit.dims[2];
  const std::size_t n_mask = std::min(n_voxels, sample.mask.size());

  std::vector<std::size_t> wm;
  for (std::size_t v = 0; v < n_mask; ++v)
    if (sample.mask[v]) wm.push_back(v);

  // The interpolation reads the mask by voxel index; it must cover the whole grid.
  std::vector<std::uint8_t> resized_mask;
  if (sample.mask.size() != n_voxels) {
    resized_mask.assign(n_voxels, 0);
    for (std::size_t v : wm) resized_mask[v] = 1;
  }
  const std::vector<std::uint8_t>& mask = sample.mask.size() == n_voxels ? sample.mask : resized_mask;

  std::vector<Vec3> field(n_voxels, Vec3{0.0, 0.0, 0.0});
  std::vector<RankedCandidate> scores;
  scores.reserve(candidates.size());

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
    for (std::size_t v : wm) {
      const Vec3& direction = fit.v1[v];
      field[v] = norm(direction) < kTiny ? direction : dirsieve::apply(composite, direction);
    }

    const Tally tally = tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, wm.size()), Tally{},
        [&](const tbb::blocked_range<std::size_t>& range, Tally acc) {
          for (std::size_t i = range.begin(); i != range.end(); ++i) {
            const std::size_t v = wm[i];
            const Vec3& u = field[v];
            if (norm(u) < kTiny) continue;
            acc.attempted += 2;
            const double x = static_cast<double>(v / (ny * nz));
            const double y = static_cast<double>((v / nz) % ny);
            const double z = static_cast<double>(v % nz);
            const Vec3 forward{x + step * u[0], y + step * u[1], z + step * u[2]};
            const Vec3 backward{x - step * u[0], y - step * u[1], z - step * u[2]};
            for (const Vec3* point : {&forward, &backward}) {
              const auto w = interpolate_direction(field, mask, fit.dims, *point, u);
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
