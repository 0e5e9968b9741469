#include "core/consistency/signals.hpp"

#include <algorithm>
#include <cmath>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/flip/fit_kernels.hpp"

namespace dirsieve {

VolumeRows volume_rows(const GradientTable& table, double b0_threshold) {
  VolumeRows rows;
  const auto& b = table.bvals();
  for (std::size_t i = 0; i < b.size(); ++i)
    if (b[i] <= b0_threshold) rows.volumes.push_back(i);
  rows.n_b0 = rows.volumes.size();
  for (std::size_t i = 0; i < b.size(); ++i)
    if (!(b[i] <= b0_threshold)) rows.volumes.push_back(i);
  return rows;
}

DesignRow design_row(const Vec3& g, double bval, double b_unit, bool b0_row) {
  DesignRow x{1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (b0_row) return x;
  const double n = std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]);
  if (!(n > 1e-6)) return x;
  const Vec3 u{g[0] / n, g[1] / n, g[2] / n};
  const double b = bval / b_unit;
  x[1] = -b * (u[0] * u[0]);
  x[2] = -b * (u[1] * u[1]);
  x[3] = -b * (u[2] * u[2]);
  x[4] = -2.0 * b * (u[0] * u[1]);
  x[5] = -2.0 * b * (u[0] * u[2]);
  x[6] = -2.0 * b * (u[1] * u[2]);
  return x;
}

RowMap row_map(const Mat3& m) {
  RowMap out{};
  out[0][0] = 1.0;
  // Column e of L: z(M U M^T) for the symmetric U whose z-vector is the e-th unit vector.
  static constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  for (int e = 0; e < 6; ++e) {
    double u[3][3] = {};
    const int a = kPairs[e][0], b = kPairs[e][1];
    if (a == b) {
      u[a][a] = 1.0;
    } else {
      u[a][b] = 0.5;
      u[b][a] = 0.5;
    }
    double t[3][3] = {};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int c = 0; c < 3; ++c)
          for (int d = 0; d < 3; ++d) t[i][j] += m[i][c] * u[c][d] * m[j][d];
    for (int f = 0; f < 6; ++f) {
      const int i = kPairs[f][0], j = kPairs[f][1];
      out[1 + f][1 + e] = i == j ? t[i][i] : 2.0 * t[i][j];
    }
  }
  return out;
}

BlockGrid::BlockGrid(const std::array<std::size_t, 3>& dims, const Vec3& voxel_sizes_mm, double block_mm)
    : block_mm_(block_mm) {
  for (int a = 0; a < 3; ++a) {
    sizes_[a] = std::fabs(voxel_sizes_mm[a]);
    const double extent = static_cast<double>(dims[a] > 0 ? dims[a] - 1 : 0) * sizes_[a];
    per_axis_[a] = static_cast<std::uint64_t>(std::floor(extent / block_mm)) + 1;
  }
}

std::uint64_t BlockGrid::id(const std::array<std::size_t, 3>& c) const {
  std::uint64_t b[3];
  for (int a = 0; a < 3; ++a)
    b[a] = static_cast<std::uint64_t>(std::floor(static_cast<double>(c[a]) * sizes_[a] / block_mm_));
  return (b[0] * per_axis_[1] + b[1]) * per_axis_[2] + b[2];
}

SampleSignals gather_signals(const DwiVolume& dwi, const TensorFit& fit, const WhiteMatterSample& sample,
                             const VolumeRows& rows, double block_mm) {
  SampleSignals out;
  out.rows = rows;
  const std::size_t nx = fit.dims[0], ny = fit.dims[1], nz = fit.dims[2];
  const std::size_t n_grid = nx * ny * nz;
  const std::size_t n_mask = std::min({n_grid, sample.mask.size(), fit.valid.size()});
  for (std::size_t v = 0; v < n_mask; ++v)
    if (sample.mask[v] && fit.valid[v]) out.voxel.push_back(v);
  out.n_voxels = out.voxel.size();
  const std::size_t width = rows.volumes.size();
  if (out.n_voxels == 0 || width == 0 || dwi.data.size() < n_grid * dwi.volume_count) return out;

  const BlockGrid grid(fit.dims, dwi.voxel_sizes, block_mm);
  out.block.resize(out.n_voxels);
  out.y.resize(out.n_voxels * width);
  const float* data = dwi.data.data();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, out.n_voxels, 256), [&](const tbb::blocked_range<std::size_t>& r) {
    std::vector<float> signal(width);
    for (std::size_t i = r.begin(); i != r.end(); ++i) {
      const std::size_t v = out.voxel[i];
      const std::array<std::size_t, 3> c{v / (ny * nz), (v / nz) % ny, v % nz};
      out.block[i] = grid.id(c);
      const std::size_t file_index = (c[2] * ny + c[1]) * nx + c[0];
      for (std::size_t k = 0; k < width; ++k) signal[k] = data[rows.volumes[k] * n_grid + file_index];
      log_signals(signal.data(), width, out.y.data() + i * width);
    }
  });
  // Row means, summed in voxel order, then taken off every voxel.
  out.mean.assign(width, 0.0);
  for (std::size_t i = 0; i < out.n_voxels; ++i)
    for (std::size_t k = 0; k < width; ++k) out.mean[k] += out.y[i * width + k];
  for (double& m : out.mean) m /= static_cast<double>(out.n_voxels);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, out.n_voxels, 1024), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i)
      for (std::size_t k = 0; k < width; ++k) out.y[i * width + k] -= out.mean[k];
  });
  std::vector<std::uint64_t> blocks = out.block;
  std::sort(blocks.begin(), blocks.end());
  out.n_blocks = static_cast<std::size_t>(std::unique(blocks.begin(), blocks.end()) - blocks.begin());
  return out;
}

}  // namespace dirsieve
