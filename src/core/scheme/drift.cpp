#include "core/scheme/drift.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace dirsieve {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct GridView {
  std::uint64_t nx = 0, ny = 0, nz = 0;
  std::uint64_t voxels = 0;
  bool valid = false;  // false when the grid size does not fit in 64 bits
};

GridView grid_of(const DwiVolume& dwi) {
  GridView g;
  g.nx = dwi.nx();
  g.ny = dwi.ny();
  g.nz = dwi.nz();
  std::uint64_t xy = 0;
  g.valid = !__builtin_mul_overflow(g.nx, g.ny, &xy) && !__builtin_mul_overflow(xy, g.nz, &g.voxels);
  return g;
}

// Mean intensity of volume `t`, summed in voxel order (x slowest, z fastest). A volume the image does
// not hold is NaN rather than a made-up level.
double volume_mean(const DwiVolume& dwi, const GridView& g, const MaskVolume* mask, std::uint64_t t) {
  if (!g.valid || t >= dwi.volume_count) return kNaN;
  std::uint64_t base = 0;
  std::uint64_t end = 0;
  if (__builtin_mul_overflow(t, g.voxels, &base) || __builtin_add_overflow(base, g.voxels, &end) ||
      end > dwi.data.size()) {
    return kNaN;
  }
  const float* volume = dwi.data.data() + base;
  const std::uint64_t plane = g.nx * g.ny;
  const std::uint8_t* flags = mask != nullptr ? mask->flags.data() : nullptr;
  const std::uint64_t flag_count = mask != nullptr ? mask->flags.size() : 0;

  double sum = 0.0;
  std::uint64_t used = 0;
  for (std::uint64_t x = 0; x < g.nx; ++x) {
    for (std::uint64_t y = 0; y < g.ny; ++y) {
      const float* column = volume + y * g.nx + x;
      const std::uint64_t voxel_base = (x * g.ny + y) * g.nz;
      if (flags == nullptr) {
        for (std::uint64_t z = 0; z < g.nz; ++z) sum += static_cast<double>(column[z * plane]);
        used += g.nz;
        continue;
      }
      for (std::uint64_t z = 0; z < g.nz; ++z) {
        const std::uint64_t voxel = voxel_base + z;
        // A mask on a smaller grid leaves the voxels it does not cover out.
        if (voxel < flag_count && flags[voxel] != 0) {
          sum += static_cast<double>(column[z * plane]);
          ++used;
        }
      }
    }
  }
  if (used == 0) return 0.0;
  return sum / static_cast<double>(used);
}

}  // namespace

B0Drift compute_b0_drift(const DwiVolume& dwi, const GradientTable& table, const MaskVolume* mask,
                         double b0_threshold) {
  B0Drift drift;
  const std::vector<double>& bvals = table.bvals();
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    if (bvals[i] <= b0_threshold) drift.indices.push_back(i);
  }
  const std::size_t n = drift.indices.size();
  drift.mean_signal.assign(n, 0.0);
  if (n == 0) return drift;

  const GridView grid = grid_of(dwi);
  if (dwi.dims.size() < 4) {
    const double mean = volume_mean(dwi, grid, mask, 0);
    drift.mean_signal.assign(n, mean);
  } else {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, n, 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
          for (std::size_t k = range.begin(); k != range.end(); ++k) {
            drift.mean_signal[k] = volume_mean(dwi, grid, mask, drift.indices[k]);
          }
        },
        tbb::simple_partitioner());
  }

  if (n < 2) return drift;
  const double count = static_cast<double>(n);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    sum_x += static_cast<double>(drift.indices[k]);
    sum_y += drift.mean_signal[k];
  }
  const double mean_x = sum_x / count;
  const double mean_y = sum_y / count;
  double sxy = 0.0;
  double sxx = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double dx = static_cast<double>(drift.indices[k]) - mean_x;
    sxy += dx * (drift.mean_signal[k] - mean_y);
    sxx += dx * dx;
  }
  drift.slope = sxx > 0.0 ? sxy / sxx : 0.0;

  double lo = kNaN;
  double hi = kNaN;
  for (double y : drift.mean_signal) {
    if (std::isnan(y)) continue;
    if (std::isnan(lo) || y < lo) lo = y;
    if (std::isnan(hi) || y > hi) hi = y;
  }
  drift.relative_drift = mean_y == 0.0 ? 0.0 : (hi - lo) / mean_y;
  return drift;
}

JsonValue to_json(const B0Drift& drift) {
  return JsonValue::object()
      .add("indices", json_array_of(drift.indices))
      .add("mean_signal", json_array_of(drift.mean_signal))
      .add("slope", drift.slope)
      .add("relative_drift", drift.relative_drift);
}

}  // namespace dirsieve
