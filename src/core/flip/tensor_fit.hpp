// Per-voxel linear least-squares tensor fit on log signals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/result.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

// Per-voxel results in voxel order: voxel (x, y, z) at (x*ny + y)*nz + z.
struct TensorFit {
  std::vector<Vec3> v1;
  std::vector<double> fa;
  std::vector<double> s0;
  std::vector<std::uint8_t> valid;
  std::array<std::size_t, 3> dims{};
};

// The per-voxel map runs in parallel on the current task arena; results land in voxel order.
Result<TensorFit> fit_tensors(const DwiVolume& dwi, const GradientTable& table,
                              const std::vector<std::size_t>& b0_indices,
                              const std::vector<std::size_t>& shell_indices, double min_signal);

}  // namespace dirsieve
