// Eigen-decomposition of fitted diffusion tensors, many at a time: eigenvalues, FA and the principal
// direction, with the clamping and validity rules of the fit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/flip/fit_kernels.hpp"

namespace dirsieve {

// Per tensor j < n: the six coefficients Dxx, Dyy, Dzz, Dxy, Dxz, Dyz at coef[c * stride + j].
struct TensorBatchIn {
  const double* coef = nullptr;
  std::size_t stride = 0;
  std::size_t n = 0;
};

// Per tensor j: the unit principal direction (or zero), FA (or zero) and whether it is valid.
struct TensorBatchOut {
  double* v1x = nullptr;
  double* v1y = nullptr;
  double* v1z = nullptr;
  double* fa = nullptr;
  std::uint8_t* valid = nullptr;
};

// The solver is cyclic Jacobi on the tensor scaled by its largest entry, with a fixed number of
// sweeps (no data-dependent stopping, so many tensors go side by side), followed by an ascending
// sort of the eigenpairs. Then, per tensor: eigenvalues clamped at zero (the largest is the last, so
// among equal largest values the later one is principal), FA from the clamped values, and validity
// (finite coefficients, finite FA, positive largest eigenvalue). Every path performs the same IEEE
// operations in the same order, so all give identical bits.
void decompose_tensors(const TensorBatchIn& in, const TensorBatchOut& out);
void decompose_tensors(KernelPath path, const TensorBatchIn& in, const TensorBatchOut& out);

// Number of Jacobi sweeps (each rotates the three off-diagonal pairs once). Convergence is quadratic:
// on tensors with clustered, equal, negative and tiny eigenvalues, three sweeps leave residuals up to
// 5e-6 of the tensor's norm, four sweeps 1.5e-15 (rounding level), and more sweeps change nothing.
inline constexpr int kJacobiSweeps = 4;

}  // namespace dirsieve
