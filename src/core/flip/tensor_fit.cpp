#include "core/flip/tensor_fit.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/flip/fit_kernels.hpp"
#include "core/flip/tensor_eigen.hpp"

namespace dirsieve {
namespace {

constexpr std::size_t kColumns = 7;
constexpr double kSingularCutoff = 1e-12;
// Voxels per work item of the fit (contiguous in file order).
constexpr std::size_t kBlock = 128;

std::string computation_info_text(Eigen::ComputationInfo info) {
  switch (info) {
    case Eigen::Success:
      return "success";
    case Eigen::NumericalIssue:
      return "numerical issue";
    case Eigen::NoConvergence:
      return "no convergence";
    case Eigen::InvalidInput:
      return "invalid input (non-finite design matrix entries)";
  }
  return "unknown failure";
}

// Row-major 7 x N fit matrix: the pseudo-inverse of the design.
Result<std::vector<double>> fit_matrix(const GradientTable& table, const std::vector<std::size_t>& b0_indices,
                                       const std::vector<std::size_t>& shell_indices) {
  const std::size_t n_rows = b0_indices.size() + shell_indices.size();
  Eigen::MatrixXd design = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n_rows), kColumns);
  Eigen::Index row = 0;
  for (std::size_t i = 0; i < b0_indices.size(); ++i, ++row) design(row, 0) = 1.0;
  for (std::size_t volume : shell_indices) {
    const Vec3& g = table.directions()[volume];
    const double b = table.bvals()[volume];
    const double n = std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]);
    Vec3 u{0.0, 0.0, 0.0};
    if (n > 1e-6) u = {g[0] / n, g[1] / n, g[2] / n};
    design(row, 0) = 1.0;
    design(row, 1) = -b * (u[0] * u[0]);
    design(row, 2) = -b * (u[1] * u[1]);
    design(row, 3) = -b * (u[2] * u[2]);
    design(row, 4) = -2.0 * b * u[0] * u[1];
    design(row, 5) = -2.0 * b * u[0] * u[2];
    design(row, 6) = -2.0 * b * u[1] * u[2];
    ++row;
  }

  Eigen::JacobiSVD<Eigen::MatrixXd> svd(design, Eigen::ComputeThinU | Eigen::ComputeThinV);
  if (svd.info() != Eigen::Success) {
    return CoreError::dti_fit("singular design matrix: " + computation_info_text(svd.info()));
  }
  const Eigen::VectorXd& sigma = svd.singularValues();
  Eigen::VectorXd inverse(sigma.size());
  for (Eigen::Index i = 0; i < sigma.size(); ++i) inverse(i) = sigma(i) > kSingularCutoff ? 1.0 / sigma(i) : 0.0;
  const Eigen::MatrixXd pinv = svd.matrixV() * inverse.asDiagonal() * svd.matrixU().transpose();
  if (!pinv.allFinite()) {
    return CoreError::dti_fit("singular design matrix: non-finite pseudo-inverse");
  }

  std::vector<double> p(kColumns * n_rows);
  for (std::size_t c = 0; c < kColumns; ++c)
    for (std::size_t k = 0; k < n_rows; ++k)
      p[c * n_rows + k] = pinv(static_cast<Eigen::Index>(c), static_cast<Eigen::Index>(k));
  return p;
}

}  // namespace

Result<TensorFit> fit_tensors(const DwiVolume& dwi, const GradientTable& table,
                              const std::vector<std::size_t>& b0_indices,
                              const std::vector<std::size_t>& shell_indices, double min_signal) {
  if (dwi.dims.size() != 4) {
    return CoreError::dti_fit("expected 4-D DWI, got " + std::to_string(dwi.dims.size()) + "-D");
  }
  if (shell_indices.empty()) return CoreError::dti_fit("no DWI volumes in the working shell");

  const std::size_t nx = dwi.dims[0];
  const std::size_t ny = dwi.dims[1];
  const std::size_t nz = dwi.dims[2];
  const std::size_t nt = dwi.dims[3];
  const std::size_t n_voxels = nx * ny * nz;
  // The volume count is checked upstream; guard the raw indexing anyway so a bad call cannot read
  // out of bounds.
  if (dwi.data.size() < n_voxels * nt) {
    return CoreError::dti_fit("DWI data holds " + std::to_string(dwi.data.size()) + " values, expected " +
                              std::to_string(n_voxels * nt));
  }
  for (const auto* list : {&b0_indices, &shell_indices}) {
    for (std::size_t volume : *list) {
      if (volume >= nt || volume >= table.size()) {
        return CoreError::dti_fit("volume index " + std::to_string(volume) + " out of range");
      }
    }
  }

  DS_TRY_ASSIGN(const std::vector<double> p, fit_matrix(table, b0_indices, shell_indices));

  // Design rows, in row order, as volume indices.
  std::vector<std::size_t> rows;
  rows.reserve(b0_indices.size() + shell_indices.size());
  rows.insert(rows.end(), b0_indices.begin(), b0_indices.end());
  rows.insert(rows.end(), shell_indices.begin(), shell_indices.end());
  const std::size_t n_rows = rows.size();
  const std::vector<std::size_t>& mean_list = b0_indices.empty() ? shell_indices : b0_indices;
  const double mean_count = static_cast<double>(mean_list.size());
  // The six tensor rows of P, transposed: pt[k * 6 + c] multiplies the log signal of design row k.
  std::vector<double> pt(6 * n_rows);
  for (std::size_t k = 0; k < n_rows; ++k)
    for (std::size_t c = 0; c < 6; ++c) pt[k * 6 + c] = p[(c + 1) * n_rows + k];

  TensorFit fit;
  fit.dims = {nx, ny, nz};
  fit.v1.assign(n_voxels, Vec3{0.0, 0.0, 0.0});
  fit.fa.assign(n_voxels, 0.0);
  fit.s0.assign(n_voxels, 0.0);
  fit.valid.assign(n_voxels, 0);

  const float* data = dwi.data.data();
  const std::size_t n_blocks = (n_voxels + kBlock - 1) / kBlock;
  const std::size_t plane = nx * ny;

  // Voxels are processed in blocks that are contiguous in file order, so each volume is read as one
  // sequential run per block; results are scattered to their voxel-order slots. The arithmetic of a
  // voxel is the same whichever block it falls in, and element-wise array operations keep the
  // per-voxel summation order.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks), [&](const tbb::blocked_range<std::size_t>& range) {
    std::vector<double> mean(kBlock);
    std::vector<std::size_t> fitted(kBlock);
    std::vector<std::size_t> slots(kBlock);
    std::vector<float> signals(n_rows * kBlock);  // gathered signals of a block with skipped voxels
    std::vector<const float*> row_signals(n_rows);
    std::vector<double> coef(6 * kBlock);
    std::vector<double> v1x(kBlock), v1y(kBlock), v1z(kBlock), fa(kBlock);
    std::vector<std::uint8_t> valid(kBlock);
    const TensorBatchOut decomposed{v1x.data(), v1y.data(), v1z.data(), fa.data(), valid.data()};

    for (std::size_t block = range.begin(); block != range.end(); ++block) {
      const std::size_t first = block * kBlock;
      const std::size_t count = std::min(kBlock, n_voxels - first);
      const auto n = static_cast<Eigen::Index>(count);

      Eigen::Map<Eigen::ArrayXd> mean_map(mean.data(), n);
      mean_map.setZero();
      for (std::size_t volume : mean_list) {
        mean_map += Eigen::Map<const Eigen::ArrayXf>(data + volume * n_voxels + first, n).cast<double>();
      }
      mean_map /= mean_count;

      std::size_t n_fit = 0;
      std::size_t x = first % nx;
      std::size_t y = (first / nx) % ny;
      std::size_t z = first / plane;
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t slot = (x * ny + y) * nz + z;
        fit.s0[slot] = mean[j];
        if (!(mean[j] < min_signal)) {  // NaN means are fitted
          fitted[n_fit] = j;
          slots[n_fit] = slot;
          ++n_fit;
        }
        if (++x == nx) {
          x = 0;
          if (++y == ny) {
            y = 0;
            ++z;
          }
        }
      }
      if (n_fit == 0) continue;

      // c = P * y for the six tensor coefficients (the intercept is not needed) from the log signals of
      // every design row, each coefficient summed in row order from zero. A block whose voxels are all
      // fitted is read in place; otherwise the fitted voxels' signals are gathered first.
      for (std::size_t k = 0; k < n_rows; ++k) {
        const float* src = data + rows[k] * n_voxels + first;
        row_signals[k] = src;
        if (n_fit != count) {
          float* gathered = signals.data() + k * kBlock;
          for (std::size_t j = 0; j < n_fit; ++j) gathered[j] = src[fitted[j]];
          row_signals[k] = gathered;
        }
      }
      fit_coefficients(row_signals.data(), n_rows, pt.data(), n_fit, coef.data(), kBlock);

      decompose_tensors(TensorBatchIn{coef.data(), kBlock, n_fit}, decomposed);
      for (std::size_t j = 0; j < n_fit; ++j) {
        fit.v1[slots[j]] = {v1x[j], v1y[j], v1z[j]};
        fit.fa[slots[j]] = fa[j];
        fit.valid[slots[j]] = valid[j];
      }
    }
  });

  return fit;
}

}  // namespace dirsieve
