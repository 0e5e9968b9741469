// Delete-one-block jackknife of a mean: how far a per-voxel mean can be trusted when neighbouring voxels
// are correlated (the blocks are large enough that voxels in different blocks are nearly independent).
#pragma once

#include <cstdint>
#include <vector>

namespace dirsieve {

struct BlockEstimate {
  double mean = 0.0;            // mean of the values
  double standard_error = 0.0;  // jackknife standard error of that mean; NaN with fewer than two blocks
  double z = 0.0;               // mean / standard_error (0 with fewer than two blocks)
  std::uint64_t blocks = 0;     // blocks holding at least one value
  std::uint64_t count = 0;      // values
};

// |z| reported when every block gives the same mean (no spread at all): certainty, kept finite.
inline constexpr double kCertainZ = 1e6;

// `block[i]` names the block of `values[i]`; both sequences have the same length. Sums run in index order,
// so the estimate does not depend on threads or scheduling.
BlockEstimate block_jackknife(const std::vector<double>& values, const std::vector<std::uint64_t>& block);

}  // namespace dirsieve
