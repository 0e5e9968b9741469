// The log signals of the white-matter sample, one row per volume used, and the tensor design that goes
// with a table: what every residual of the consistency check is computed from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/flip/tensor_fit.hpp"
#include "core/flip/white_matter.hpp"
#include "core/gradients/table.hpp"
#include "core/util/matrix.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

// Seven coefficients per design row: ln S0, Dxx, Dyy, Dzz, Dxy, Dxz, Dyz.
inline constexpr std::size_t kDesignColumns = 7;
using DesignRow = std::array<double, kDesignColumns>;

// The volumes a consistency fit uses: every b0 volume (b <= b0_threshold), then every diffusion-weighted
// volume, each group in file order.
struct VolumeRows {
  std::vector<std::size_t> volumes;  // file index of each row
  std::size_t n_b0 = 0;              // the first n_b0 rows are b0 rows
  std::size_t dw_count() const { return volumes.size() - n_b0; }
};
VolumeRows volume_rows(const GradientTable& table, double b0_threshold);

// The design row of one volume: (1, 0, ..., 0) for a b0 row, else (1, -b ux^2, -b uy^2, -b uz^2,
// -2b ux uy, -2b ux uz, -2b uy uz) for the unit direction u (zero when |g| <= 1e-6) and b / b_unit.
// Dividing b by the table's largest b-value keeps the normal equations well scaled; residuals do not
// depend on it.
DesignRow design_row(const Vec3& direction, double bval, double b_unit, bool b0_row);

// The map of the six tensor columns under a direction transform: z(M u) = L z(u) for
// z(u) = (ux^2, uy^2, uz^2, 2 ux uy, 2 ux uz, 2 uy uz), so a row whose direction is turned by M is the
// row times blockdiag(1, L)^T. Exact for orthogonal M (the direction keeps unit length).
using RowMap = std::array<std::array<double, kDesignColumns>, kDesignColumns>;
RowMap row_map(const Mat3& m);

// Sample voxels laid out for the residual: each voxel's log signals (ln max(S, 1e-6), rows in VolumeRows
// order) contiguous, with its voxel-order index and 16 mm block. The signals are kept less their mean over
// the sample, row by row: the residual of a fit with one offset per volume besides the tensor, so that a
// volume's overall gain (drift, a scaled volume) is not mistaken for a table error.
struct SampleSignals {
  VolumeRows rows;
  std::size_t n_voxels = 0;
  std::vector<double> y;                 // y[v * rows.volumes.size() + r], less mean[r]
  std::vector<double> mean;              // per row, over the sample voxels
  std::vector<std::size_t> voxel;        // voxel-order index of sample voxel v
  std::vector<std::uint64_t> block;      // block of sample voxel v
  std::size_t n_blocks = 0;              // blocks holding at least one voxel
  std::size_t width() const { return rows.volumes.size(); }
  const double* voxel_signals(std::size_t v) const { return y.data() + v * width(); }
};

// The valid voxels of the sample, their signals gathered from the DWI in parallel on the current arena.
SampleSignals gather_signals(const DwiVolume& dwi, const TensorFit& fit, const WhiteMatterSample& sample,
                             const VolumeRows& rows, double block_mm);

// 16 mm blocks over the grid: floor(index * voxel size / block size) per axis, numbered over the grid.
class BlockGrid {
 public:
  BlockGrid(const std::array<std::size_t, 3>& dims, const Vec3& voxel_sizes_mm, double block_mm);
  std::uint64_t id(const std::array<std::size_t, 3>& voxel) const;

 private:
  Vec3 sizes_{};
  double block_mm_ = 16.0;
  std::array<std::uint64_t, 3> per_axis_{};
};

}  // namespace dirsieve
