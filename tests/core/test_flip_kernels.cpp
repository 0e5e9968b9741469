// Log-signal and coefficient kernels of the tensor fit: accuracy and identical bits on every path.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/flip/fit_kernels.hpp"

namespace dirsieve {
namespace {

constexpr KernelPath kPaths[] = {KernelPath::kPortable, KernelPath::kSse2, KernelPath::kAvx2,
                               KernelPath::kAvx512};

// Distance of y from the true logarithm (80-bit logl), in units of the last place of the double
// nearest to the true value.
double ulp_error(double y, double x) {
  const long double truth = logl(static_cast<long double>(x));
  const double nearest = static_cast<double>(truth);
  if (nearest == 0.0) return y == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
  const double ulp = std::nextafter(std::fabs(nearest), std::numeric_limits<double>::infinity()) - std::fabs(nearest);
  return static_cast<double>(fabsl(static_cast<long double>(y) - truth) / ulp);
}

// Float32 inputs above the floor: a stride through every float up to FLT_MAX, every float within
// 2^17 steps of 1.0, and the floats around every power of two.
std::vector<float> log_inputs() {
  std::vector<float> out;
  std::uint32_t first = std::bit_cast<std::uint32_t>(1e-6f);
  while (!(static_cast<double>(std::bit_cast<float>(first)) > 1e-6)) ++first;
  const std::uint32_t last = std::bit_cast<std::uint32_t>(FLT_MAX);
  for (std::uint64_t b = first; b <= last; b += 619) out.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
  out.push_back(std::bit_cast<float>(first));
  out.push_back(FLT_MAX);
  const std::uint32_t one = std::bit_cast<std::uint32_t>(1.0f);
  for (std::uint32_t d = 0; d <= (1u << 17); ++d) {
    out.push_back(std::bit_cast<float>(one + d));
    out.push_back(std::bit_cast<float>(one - d));
  }
  for (int e = -19; e <= 127; ++e) {
    const std::uint32_t p = std::bit_cast<std::uint32_t>(std::ldexp(1.0f, e));
    for (std::uint32_t d = 0; d <= 2048; ++d) {
      out.push_back(std::bit_cast<float>(p + d));
      out.push_back(std::bit_cast<float>(p - d));
    }
  }
  return out;
}

TEST(LogSignals, WithinOneUlpOfTheTrueLogarithmForFloat32Inputs) {
  const std::vector<float> in = log_inputs();
  ASSERT_GT(in.size(), 2'000'000u);
  std::vector<double> out(in.size());
  log_signals(in.data(), in.size(), out.data());
  double worst = 0.0;
  double worst_vs_libm = 0.0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const double x = static_cast<double>(in[i]);
    ASSERT_GT(x, 1e-6);
    worst = std::max(worst, ulp_error(out[i], x));
    const double libm = std::log(x);
    const double ulp = std::nextafter(std::fabs(libm), std::numeric_limits<double>::infinity()) - std::fabs(libm);
    worst_vs_libm = std::max(worst_vs_libm, std::fabs(out[i] - libm) / ulp);
  }
  EXPECT_LE(worst, 1.0);
  EXPECT_LE(worst_vs_libm, 1.0);
}

TEST(LogSignals, ExactValuesFloorInfinityAndNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in{1.0f, 0.0f, -0.0f, -1.0f, nan, -inf, 1e-6f, inf, FLT_MAX, 2.0f, 0.5f};
  const double floor = std::log(1e-6);
  for (KernelPath path : kPaths) {
    if (!kernel_path_available(path)) continue;
    // Every offset, so each value passes through the wide lanes and the scalar tail.
    for (std::size_t shift = 0; shift < 4; ++shift) {
      std::vector<float> shifted(shift, 3.0f);
      shifted.insert(shifted.end(), in.begin(), in.end());
      std::vector<double> out(shifted.size());
      log_signals(path, shifted.data(), shifted.size(), out.data());
      const double* o = out.data() + shift;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(o[0]), 0u);  // ln 1 = +0
      for (int i = 1; i <= 6; ++i) EXPECT_EQ(o[i], floor) << i;  // (double)1e-6f is below 1e-6
      EXPECT_EQ(o[7], std::numeric_limits<double>::infinity());
      EXPECT_LE(ulp_error(o[8], FLT_MAX), 1.0);
      EXPECT_LE(ulp_error(o[9], 2.0), 1.0);
      EXPECT_LE(ulp_error(o[10], 0.5), 1.0);
    }
  }
}

TEST(LogSignals, EveryPathGivesTheSameBits) {
  std::vector<float> in = log_inputs();
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> any;
  for (int i = 0; i < 200000; ++i) in.push_back(std::bit_cast<float>(any(rng)));  // includes NaN, negatives
  in.push_back(std::numeric_limits<float>::infinity());
  std::vector<double> reference(in.size());
  log_signals(KernelPath::kPortable, in.data(), in.size(), reference.data());
  for (KernelPath path : kPaths) {
    if (!kernel_path_available(path)) continue;
    for (std::size_t n : {in.size(), in.size() - 1, std::size_t{3}, std::size_t{1}}) {
      std::vector<double> out(n);
      log_signals(path, in.data(), n, out.data());
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < n; ++i)
        mismatches += std::bit_cast<std::uint64_t>(out[i]) != std::bit_cast<std::uint64_t>(reference[i]);
      EXPECT_EQ(mismatches, 0u) << static_cast<int>(path) << " n=" << n;
    }
  }
  std::vector<double> dispatched(in.size());
  log_signals(in.data(), in.size(), dispatched.data());
  EXPECT_EQ(0, std::memcmp(dispatched.data(), reference.data(), in.size() * sizeof(double)));
}

TEST(AccumulateCoefficients, RowOrderSumsWithTheSameBitsOnEveryPath) {
  std::mt19937 rng(11);
  std::normal_distribution<double> normal(0.0, 3.0);
  const std::size_t n_rows = 65;
  const std::size_t stride = 67;
  std::vector<double> pt(6 * n_rows);
  std::vector<double> logs(n_rows * stride);
  for (double& v : pt) v = normal(rng) * 1e-3;
  for (double& v : logs) v = normal(rng);
  for (std::size_t n : {std::size_t{67}, std::size_t{66}, std::size_t{5}, std::size_t{1}, std::size_t{0}}) {
    std::vector<double> expected(6 * stride, -7.0);
    for (std::size_t c = 0; c < 6; ++c)
      for (std::size_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (std::size_t k = 0; k < n_rows; ++k) s = s + pt[k * 6 + c] * logs[k * stride + j];
        expected[c * stride + j] = s;
      }
    for (KernelPath path : kPaths) {
      if (!kernel_path_available(path)) continue;
      std::vector<double> coef(6 * stride, -7.0);
      accumulate_coefficients(path, pt.data(), n_rows, logs.data(), stride, n, coef.data());
      EXPECT_EQ(0, std::memcmp(coef.data(), expected.data(), coef.size() * sizeof(double)))
          << static_cast<int>(path) << " n=" << n;
    }
    std::vector<double> coef(6 * stride, -7.0);
    accumulate_coefficients(pt.data(), n_rows, logs.data(), stride, n, coef.data());
    EXPECT_EQ(0, std::memcmp(coef.data(), expected.data(), coef.size() * sizeof(double))) << n;
  }
}

TEST(FitCoefficients, FusedKernelEqualsLogThenProductBitForBit) {
  std::mt19937 rng(5);
  std::normal_distribution<double> normal(0.0, 3.0);
  std::uniform_real_distribution<float> signal(-50.0f, 3000.0f);
  const std::size_t n_rows = 37;
  const std::size_t n = 45;  // full eight- and four-lane groups plus a scalar tail
  std::vector<double> pt(6 * n_rows);
  for (double& v : pt) v = normal(rng) * 1e-3;
  // Separate rows of different lengths, with zeros, NaN and infinity among ordinary signals.
  std::vector<std::vector<float>> rows(n_rows);
  std::vector<const float*> row_ptr(n_rows);
  for (std::size_t k = 0; k < n_rows; ++k) {
    rows[k].resize(n + k);
    for (float& v : rows[k]) v = signal(rng);
    rows[k][k % n] = k % 3 == 0 ? 0.0f : (k % 3 == 1 ? std::numeric_limits<float>::quiet_NaN()
                                                      : std::numeric_limits<float>::infinity());
    row_ptr[k] = rows[k].data();
  }
  std::vector<double> logs(n_rows * n);
  for (std::size_t k = 0; k < n_rows; ++k) log_signals(KernelPath::kPortable, rows[k].data(), n, logs.data() + k * n);
  std::vector<double> expected(6 * n);
  accumulate_coefficients(KernelPath::kPortable, pt.data(), n_rows, logs.data(), n, n, expected.data());
  for (KernelPath path : kPaths) {
    if (!kernel_path_available(path)) continue;
    for (std::size_t count : {n, std::size_t{7}, std::size_t{0}}) {
      std::vector<double> coef(6 * n, -7.0);
      fit_coefficients(path, row_ptr.data(), n_rows, pt.data(), count, coef.data(), n);
      for (std::size_t c = 0; c < 6; ++c)
        for (std::size_t j = 0; j < n; ++j) {
          const double want = j < count ? expected[c * n + j] : -7.0;
          EXPECT_EQ(std::bit_cast<std::uint64_t>(coef[c * n + j]), std::bit_cast<std::uint64_t>(want))
              << static_cast<int>(path) << " count=" << count << " c=" << c << " j=" << j;
        }
    }
  }
}

}  // namespace
}  // namespace dirsieve
