#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/flip/tensor_eigen.hpp"

namespace dirsieve {
namespace {

constexpr KernelPath kPaths[] = {KernelPath::kPortable, KernelPath::kAvx2, KernelPath::kAvx512};

// Tensors as six arrays (Dxx, Dyy, Dzz, Dxy, Dxz, Dyz), and the decomposition of all of them.
struct Batch {
  std::vector<double> coef;
  std::size_t n = 0;
  std::vector<double> x, y, z, fa;
  std::vector<std::uint8_t> valid;

  explicit Batch(const std::vector<std::array<double, 6>>& tensors) : coef(6 * tensors.size()), n(tensors.size()) {
    for (std::size_t j = 0; j < n; ++j)
      for (std::size_t c = 0; c < 6; ++c) coef[c * n + j] = tensors[j][c];
  }
  void run(KernelPath path) {
    x.assign(n, -7.0);
    y.assign(n, -7.0);
    z.assign(n, -7.0);
    fa.assign(n, -7.0);
    valid.assign(n, 9);
    decompose_tensors(path, TensorBatchIn{coef.data(), n, n},
                      TensorBatchOut{x.data(), y.data(), z.data(), fa.data(), valid.data()});
  }
};

std::array<double, 6> from_matrix(const Eigen::Matrix3d& d) {
  return {d(0, 0), d(1, 1), d(2, 2), d(0, 1), d(0, 2), d(1, 2)};
}

// Random diffusion-like tensors with clustered, equal, negative and tiny eigenvalues.
std::vector<std::array<double, 6>> random_tensors(std::size_t n) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<std::array<double, 6>> out;
  for (std::size_t j = 0; j < n; ++j) {
    const Eigen::Matrix3d r = Eigen::HouseholderQR<Eigen::Matrix3d>(Eigen::Matrix3d::Random()).householderQ();
    double l0 = 3e-3 * u(rng);
    double l1 = 3e-3 * u(rng);
    double l2 = 3e-3 * u(rng);
    switch (j % 5) {
      case 0: l1 = l2 = l0 * (1 + 1e-10); break;
      case 1: l2 = l1; break;
      case 2: l1 = -1e-3 * u(rng); break;
      case 3: l0 *= 1e-200; l1 *= 1e-200; l2 *= 1e-200; break;
      default: break;
    }
    out.push_back(from_matrix(r * Eigen::Vector3d(l0, l1, l2).asDiagonal() * r.transpose()));
  }
  return out;
}

TEST(TensorEigen, EveryPathGivesTheSameBitsAndMatchesAnIterativeSolver) {
  const auto tensors = random_tensors(1003);  // not a multiple of any lane count
  Batch reference(tensors);
  reference.run(KernelPath::kPortable);
  for (std::size_t j = 0; j < tensors.size(); ++j) {
    const auto& c = tensors[j];
    Eigen::Matrix3d d;
    d << c[0], c[3], c[4], c[3], c[1], c[5], c[4], c[5], c[2];
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(d);
    const Eigen::Vector3d lambda = solver.eigenvalues().cwiseMax(0.0);
    const double mean = lambda.sum() / 3.0;
    const double q = lambda.squaredNorm();  // underflows to 0 for the tiny tensors: FA is then 0
    const double fa = q > 0.0 ? std::sqrt(1.5 * (lambda.array() - mean).square().sum() / q) : 0.0;
    ASSERT_EQ(reference.valid[j], 1) << j;
    EXPECT_NEAR(reference.fa[j], fa, 1e-14) << j;
    const Eigen::Vector3d v(reference.x[j], reference.y[j], reference.z[j]);
    EXPECT_NEAR(v.norm(), 1.0, 1e-15) << j;
    EXPECT_LE((d * v - solver.eigenvalues()(2) * v).norm(), 1e-14 * d.norm()) << j;
  }
  for (KernelPath path : kPaths) {
    if (!kernel_path_available(path)) continue;
    Batch batch(tensors);
    batch.run(path);
    for (std::size_t j = 0; j < tensors.size(); ++j) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(batch.x[j]), std::bit_cast<std::uint64_t>(reference.x[j])) << j;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(batch.y[j]), std::bit_cast<std::uint64_t>(reference.y[j])) << j;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(batch.z[j]), std::bit_cast<std::uint64_t>(reference.z[j])) << j;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(batch.fa[j]), std::bit_cast<std::uint64_t>(reference.fa[j])) << j;
      EXPECT_EQ(batch.valid[j], reference.valid[j]) << j;
    }
  }
}

TEST(TensorEigen, InvalidTensorsAndTies) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::array<double, 6>> cases = {
      {0, 0, 0, 0, 0, 0},              // all zero: FA 0, invalid
      {-1, -2, -3, 0, 0, 0},           // no positive eigenvalue
      {1, 1, 1, nan, 0, 0},            // non-finite coefficient
      {inf, 1, 1, 0, 0, 0},            //
      {1, 2, 2, 0, 0, 0},              // tie of the two largest: the later one (z) is principal
      {2, 2, 2, 0, 0, 0},              // isotropic: FA 0 but a positive eigenvalue, so valid
      {1e150, 1e150, 0, 1e150, 0, 0},  // large but with finite squares
  };
  for (KernelPath path : kPaths) {
    if (!kernel_path_available(path)) continue;
    // Repeated so every case also runs through the widest lanes.
    std::vector<std::array<double, 6>> all;
    for (int r = 0; r < 5; ++r) all.insert(all.end(), cases.begin(), cases.end());
    Batch batch(all);
    batch.run(path);
    for (std::size_t j = 0; j < all.size(); ++j) {
      const std::size_t k = j % cases.size();
      if (k <= 3) {
        EXPECT_EQ(batch.valid[j], 0) << k;
        EXPECT_EQ(batch.fa[j], 0.0) << k;
        EXPECT_EQ(batch.x[j], 0.0);
        EXPECT_EQ(batch.y[j], 0.0);
        EXPECT_EQ(batch.z[j], 0.0);
      }
    }
    EXPECT_EQ(batch.valid[4], 1);
    EXPECT_EQ(batch.x[4], 0.0);
    EXPECT_EQ(batch.y[4], 0.0);
    EXPECT_EQ(std::fabs(batch.z[4]), 1.0);
    EXPECT_EQ(batch.valid[5], 1);
    EXPECT_EQ(batch.fa[5], 0.0);
    EXPECT_EQ(batch.valid[6], 1);
    EXPECT_NEAR(std::fabs(batch.x[6]), std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(batch.fa[6], 1.0, 1e-15);
  }
}

}  // namespace
}  // namespace dirsieve
