#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <tbb/task_arena.h>

#include "core/scheme/drift.hpp"
#include "core/scheme/norms.hpp"

namespace dirsieve {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

GradientTable table_of(std::vector<Vec3> dirs, std::vector<double> bvals) {
  return GradientTable::make(std::move(dirs), std::move(bvals)).value();
}

GradientTable bvals_only(const std::vector<double>& bvals) {
  return table_of(std::vector<Vec3>(bvals.size(), Vec3{1.0, 0.0, 0.0}), bvals);
}

// A 4-D image whose volume t is filled with fill[t].
DwiVolume constant_volumes(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz, const std::vector<float>& fill) {
  DwiVolume dwi;
  dwi.dims = {nx, ny, nz, fill.size()};
  dwi.volume_count = fill.size();
  for (float v : fill) dwi.data.insert(dwi.data.end(), nx * ny * nz, v);
  return dwi;
}

TEST(SchemeNorms, StatisticsOverNonB0VectorsOnly) {
  const auto table = table_of({{5.0, 0.0, 0.0}, {0.96, 0.0, 0.0}, {0.0, 1.04, 0.0}, {0.0, 0.0, 2.0}, {0.0, 0.0, 0.5}},
                              {0.0, 1000.0, 1000.0, 50.0, 2000.0});
  const NormStats stats = compute_norm_stats(table, 50.0, 0.05);
  EXPECT_EQ(stats.non_b0_count, 3u);
  EXPECT_EQ(stats.non_unit_count, 1u);
  EXPECT_DOUBLE_EQ(stats.non_unit_fraction, 1.0 / 3.0);
  EXPECT_EQ(stats.norm_min, 0.5);
  EXPECT_EQ(stats.norm_max, 1.04);
  EXPECT_DOUBLE_EQ(stats.norm_mean, (0.96 + 1.04 + 0.5) / 3.0);
  EXPECT_EQ(stats.tolerance, 0.05);
  EXPECT_FALSE(is_amplitude_encoded(stats));
}

TEST(SchemeNorms, ToleranceIsStrict) {
  // 1.25 and 0.75 are exact; a deviation equal to the tolerance is not counted.
  const auto table = table_of({{1.25, 0.0, 0.0}, {0.0, 0.75, 0.0}, {0.0, 0.0, 1.2500001}}, {1000.0, 1000.0, 1000.0});
  EXPECT_EQ(compute_norm_stats(table, 50.0, 0.25).non_unit_count, 1u);
}

TEST(SchemeNorms, AmplitudeEncodingNeedsMoreThanHalf) {
  auto half = compute_norm_stats(table_of({{2, 0, 0}, {1, 0, 0}}, {1000.0, 1000.0}), 50.0, 0.05);
  EXPECT_EQ(half.non_unit_fraction, 0.5);
  EXPECT_FALSE(is_amplitude_encoded(half));
  auto most = compute_norm_stats(table_of({{2, 0, 0}, {0, 3, 0}, {0, 0, 1}}, {1000.0, 1000.0, 1000.0}), 50.0, 0.05);
  EXPECT_TRUE(is_amplitude_encoded(most));
}

TEST(SchemeNorms, OnlyB0AndNaNInputs) {
  const NormStats none = compute_norm_stats(bvals_only({0.0, 10.0, kNaN}), 50.0, 0.05);
  EXPECT_EQ(none.non_b0_count, 0u);
  EXPECT_EQ(none.non_unit_count, 0u);
  EXPECT_EQ(none.non_unit_fraction, 0.0);
  EXPECT_EQ(none.norm_min, 0.0);
  EXPECT_EQ(none.norm_max, 0.0);
  EXPECT_EQ(none.norm_mean, 0.0);
  EXPECT_EQ(none.tolerance, 0.05);
  EXPECT_FALSE(is_amplitude_encoded(none));

  // A NaN norm neither counts as non-unit nor moves the extremes.
  const NormStats nan_norm =
      compute_norm_stats(table_of({{kNaN, 0, 0}, {0, 2, 0}, {0, 0, 1}}, {1000.0, 1000.0, 1000.0}), 50.0, 0.05);
  EXPECT_EQ(nan_norm.non_b0_count, 3u);
  EXPECT_EQ(nan_norm.non_unit_count, 1u);
  EXPECT_EQ(nan_norm.norm_min, 1.0);
  EXPECT_EQ(nan_norm.norm_max, 2.0);
  EXPECT_EQ(to_json(nan_norm).to_compact(),
            "{\"non_b0_count\":3,\"non_unit_count\":1,\"non_unit_fraction\":0.3333333333333333,"
            "\"norm_min\":1.0,\"norm_max\":2.0,\"norm_mean\":null,\"tolerance\":0.05}");
}

TEST(SchemeDrift, SlopeAndRelativeDriftOfThreeB0Volumes) {
  std::vector<double> b(33, 1000.0);
  std::vector<float> fill(33, 500.0f);
  b[0] = b[16] = b[32] = 0.0;
  fill[0] = 1000.0f;
  fill[16] = 990.0f;
  fill[32] = 980.0f;
  const B0Drift drift = compute_b0_drift(constant_volumes(2, 3, 2, fill), bvals_only(b), nullptr, 50.0);
  EXPECT_EQ(drift.indices, (std::vector<std::size_t>{0, 16, 32}));
  EXPECT_EQ(drift.mean_signal, (std::vector<double>{1000.0, 990.0, 980.0}));
  EXPECT_EQ(drift.slope, -0.625);
  EXPECT_DOUBLE_EQ(drift.relative_drift, 20.0 / 990.0);
  EXPECT_EQ(to_json(drift).to_compact().rfind("{\"indices\":[0,16,32],\"mean_signal\":[1000.0,990.0,980.0],"
                                              "\"slope\":-0.625,\"relative_drift\":0.0202",
                                              0),
            0u);
}

TEST(SchemeDrift, ResultOrderDoesNotDependOnThreads) {
  std::vector<double> b(64, 0.0);
  std::vector<float> fill;
  for (int t = 0; t < 64; ++t) fill.push_back(static_cast<float>(100 + t));
  const auto dwi = constant_volumes(4, 4, 4, fill);
  B0Drift drift;
  tbb::task_arena arena(2);
  arena.execute([&] { drift = compute_b0_drift(dwi, bvals_only(b), nullptr, 50.0); });
  ASSERT_EQ(drift.mean_signal.size(), 64u);
  for (std::size_t t = 0; t < 64; ++t) EXPECT_EQ(drift.mean_signal[t], 100.0 + static_cast<double>(t));
  EXPECT_DOUBLE_EQ(drift.slope, 1.0);
}

TEST(SchemeDrift, SingleOrNoB0Volume) {
  const B0Drift one = compute_b0_drift(constant_volumes(1, 1, 1, {7.0f, 3.0f}), bvals_only({1000.0, 0.0}), nullptr, 50.0);
  EXPECT_EQ(one.indices, (std::vector<std::size_t>{1}));
  EXPECT_EQ(one.mean_signal, (std::vector<double>{3.0}));
  EXPECT_EQ(one.slope, 0.0);
  EXPECT_EQ(one.relative_drift, 0.0);

  const B0Drift none = compute_b0_drift(constant_volumes(1, 1, 1, {7.0f}), bvals_only({1000.0}), nullptr, 50.0);
  EXPECT_TRUE(none.indices.empty());
  EXPECT_TRUE(none.mean_signal.empty());
  EXPECT_EQ(to_json(none).to_compact(), "{\"indices\":[],\"mean_signal\":[],\"slope\":0.0,\"relative_drift\":0.0}");
}

TEST(SchemeDrift, MaskUsesVoxelOrderAgainstFileOrderData) {
  // Grid 2 x 3 x 4; the only masked voxel is (1, 0, 2).
  DwiVolume dwi = constant_volumes(2, 3, 4, {1.0f, 1.0f});
  const std::size_t file_index = (2 * 3 + 0) * 2 + 1;
  dwi.data[file_index] = 7.0f;
  dwi.data[24 + file_index] = 9.0f;
  MaskVolume mask;
  mask.flags.assign(24, 0);
  mask.flags[(1 * 3 + 0) * 4 + 2] = 1;
  const B0Drift drift = compute_b0_drift(dwi, bvals_only({0.0, 0.0}), &mask, 50.0);
  EXPECT_EQ(drift.mean_signal, (std::vector<double>{7.0, 9.0}));
  EXPECT_DOUBLE_EQ(drift.relative_drift, 2.0 / 8.0);

  // Accumulation is in double: float sums of these values would lose the small ones.
  DwiVolume big = constant_volumes(1, 1, 4, {0.0f});
  big.data = {16777216.0f, 1.0f, 1.0f, 1.0f};
  const B0Drift precise = compute_b0_drift(big, bvals_only({0.0}), nullptr, 50.0);
  EXPECT_EQ(precise.mean_signal[0], 16777219.0 / 4.0);
}

TEST(SchemeDrift, EmptyMaskGivesZeros) {
  MaskVolume mask;
  mask.flags.assign(8, 0);
  const B0Drift drift =
      compute_b0_drift(constant_volumes(2, 2, 2, {5.0f, 6.0f, 7.0f}), bvals_only({0.0, 1000.0, 0.0}), &mask, 50.0);
  EXPECT_EQ(drift.mean_signal, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(drift.slope, 0.0);
  EXPECT_EQ(drift.relative_drift, 0.0);
}

TEST(SchemeDrift, ThreeDimensionalImageIsOneVolume) {
  DwiVolume dwi;
  dwi.dims = {2, 2, 1};
  dwi.data = {1.0f, 2.0f, 3.0f, 6.0f};
  const B0Drift drift = compute_b0_drift(dwi, bvals_only({0.0, 1000.0, 20.0}), nullptr, 50.0);
  EXPECT_EQ(drift.indices, (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(drift.mean_signal, (std::vector<double>{3.0, 3.0}));
  EXPECT_EQ(drift.slope, 0.0);
  EXPECT_EQ(drift.relative_drift, 0.0);
}

TEST(SchemeDrift, MismatchedInputsDoNotReadOutOfBounds) {
  // More b0 rows than volumes, and a mask smaller than the grid.
  MaskVolume short_mask;
  short_mask.flags = {1, 1};
  const auto dwi = constant_volumes(2, 2, 1, {4.0f, 8.0f});
  const B0Drift drift = compute_b0_drift(dwi, bvals_only({0.0, 0.0, 0.0}), &short_mask, 50.0);
  ASSERT_EQ(drift.mean_signal.size(), 3u);
  EXPECT_EQ(drift.mean_signal[0], 4.0);
  EXPECT_EQ(drift.mean_signal[1], 8.0);
  EXPECT_TRUE(std::isnan(drift.mean_signal[2]));

  DwiVolume truncated = constant_volumes(2, 2, 2, {1.0f, 1.0f});
  truncated.data.resize(10);
  const B0Drift cut = compute_b0_drift(truncated, bvals_only({0.0, 0.0}), nullptr, 50.0);
  EXPECT_EQ(cut.mean_signal[0], 1.0);
  EXPECT_TRUE(std::isnan(cut.mean_signal[1]));
}

}  // namespace
}  // namespace dirsieve
