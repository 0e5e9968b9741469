#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/scheme/shells.hpp"

namespace dirsieve {
namespace {

GradientTable table_of(const std::vector<double>& bvals) {
  std::vector<Vec3> dirs(bvals.size(), Vec3{1.0, 0.0, 0.0});
  return GradientTable::make(std::move(dirs), bvals).value();
}

using Indices = std::vector<std::size_t>;

TEST(SchemeShells, GroupsAroundTheSmallestMemberWithDefaults) {
  const std::vector<double> b = {0, 5, 1000, 1005, 995, 2000, 2010};
  const auto shells = cluster_shells(b, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 3u);

  EXPECT_TRUE(shells[0].is_b0);
  EXPECT_EQ(shells[0].indices, (Indices{0, 1}));
  EXPECT_DOUBLE_EQ(shells[0].mean_b, 2.5);
  EXPECT_EQ(shells[0].nominal_b, 3.0);  // 2.5 rounds away from zero

  EXPECT_FALSE(shells[1].is_b0);
  EXPECT_EQ(shells[1].indices, (Indices{2, 3, 4}));  // ascending index order, not b order
  EXPECT_EQ(shells[1].count, 3u);
  EXPECT_EQ(shells[1].nominal_b, 1000.0);
  EXPECT_EQ(shells[1].min_b, 995.0);
  EXPECT_EQ(shells[1].max_b, 1005.0);

  EXPECT_EQ(shells[2].indices, (Indices{5, 6}));
  EXPECT_EQ(shells[2].nominal_b, 2005.0);
  EXPECT_EQ(shells[2].mean_b, 2005.0);
}

TEST(SchemeShells, ReferenceIsTheFirstValueNotARunningValue) {
  // 1050 equals 1.05 x 1000 and joins; 1100 is within 5% of 1050 but not of 1000.
  const auto shells = cluster_shells({1000, 1050, 1100}, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 2u);
  EXPECT_EQ(shells[0].indices, (Indices{0, 1}));
  EXPECT_EQ(shells[1].indices, (Indices{2}));

  // A slowly rising ramp is cut rather than chained into one shell.
  const auto ramp = cluster_shells({1000, 1030, 1060, 1090, 1120}, 50.0, 0.05);
  ASSERT_EQ(ramp.size(), 3u);
  EXPECT_EQ(ramp[0].indices, (Indices{0, 1}));
  EXPECT_EQ(ramp[1].indices, (Indices{2, 3}));
  EXPECT_EQ(ramp[2].indices, (Indices{4}));
}

TEST(SchemeShells, ThresholdIsInclusiveAndNaNJoinsNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> b = {50.0, 50.5, nan, 1000.0, nan};
  const auto shells = cluster_shells(b, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 3u);
  EXPECT_TRUE(shells[0].is_b0);
  EXPECT_EQ(shells[0].indices, (Indices{0}));
  EXPECT_EQ(shells[1].indices, (Indices{1}));
  EXPECT_EQ(shells[2].indices, (Indices{3}));

  const auto summary = summarize_scheme(table_of(b), 50.0, 0.05);
  EXPECT_EQ(summary.b0.indices, (Indices{0}));
  EXPECT_EQ(summary.non_integer_bvals, (Indices{1}));
}

TEST(SchemeShells, EqualBValuesKeepIndexOrderAndNegativeHalvesRoundAway) {
  const auto shells = cluster_shells({2000, 1000, 2000, 1000}, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 2u);
  EXPECT_EQ(shells[0].indices, (Indices{1, 3}));
  EXPECT_EQ(shells[1].indices, (Indices{0, 2}));

  const auto b0 = cluster_shells({-5.0, 0.0}, 50.0, 0.05);
  ASSERT_EQ(b0.size(), 1u);
  EXPECT_EQ(b0[0].nominal_b, -3.0);
}

TEST(SchemeShells, SummaryOfB0OnlyAndNoB0Tables) {
  const auto only_b0 = summarize_scheme(table_of({0, 0, 10}), 50.0, 0.05);
  ASSERT_EQ(only_b0.shells.size(), 1u);
  EXPECT_TRUE(only_b0.shells[0].is_b0);
  EXPECT_EQ(only_b0.b0.count, 3u);
  EXPECT_EQ(only_b0.b0.spacings, (Indices{1, 1}));

  const auto no_b0 = summarize_scheme(table_of({1000, 1000, 2000}), 50.0, 0.05);
  EXPECT_EQ(no_b0.b0.count, 0u);
  EXPECT_TRUE(no_b0.b0.indices.empty());
  EXPECT_TRUE(no_b0.b0.spacings.empty());
  ASSERT_EQ(no_b0.shells.size(), 2u);
  EXPECT_FALSE(no_b0.shells[0].is_b0);

  const auto empty = summarize_scheme(GradientTable{}, 50.0, 0.05);
  EXPECT_TRUE(empty.shells.empty());
  EXPECT_EQ(empty.b0.count, 0u);
}

TEST(SchemeShells, B0SpacingsAndNonIntegerValues) {
  std::vector<double> b(36, 1000.0);
  b[0] = b[10] = b[20] = b[35] = 0.0;
  b[3] = 1000.0005;  // within 0.001 of an integer
  b[4] = 1000.002;
  b[11] = 999.5;
  const auto summary = summarize_scheme(table_of(b), 50.0, 0.05);
  EXPECT_EQ(summary.b0.indices, (Indices{0, 10, 20, 35}));
  EXPECT_EQ(summary.b0.spacings, (Indices{10, 10, 15}));
  EXPECT_EQ(summary.non_integer_bvals, (Indices{4, 11}));
}

TEST(SchemeShells, WorkingShellNearestTargetWithTiesToTheSmaller) {
  const std::vector<double> two = {0, 500, 500, 1500, 1500};
  auto chosen = select_working_shell(two, 50.0, 0.05, std::nullopt);
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen->nominal_b, 500.0);

  const std::vector<double> three = {0, 1000, 2000, 3000};
  chosen = select_working_shell(three, 50.0, 0.05, 2600.0);
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen->nominal_b, 3000.0);
  EXPECT_EQ(chosen->indices, (Indices{3}));

  chosen = select_working_shell(three, 50.0, 0.05, 1500.0);
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen->nominal_b, 1000.0);

  chosen = select_working_shell(three, 50.0, 0.05, -1e9);  // far away still selects
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen->nominal_b, 1000.0);
}

TEST(SchemeShells, WorkingShellFailsWithoutANonB0Shell) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const std::vector<double>& b : {std::vector<double>{0, 5, 50}, std::vector<double>{},
                                       std::vector<double>{0, nan}}) {
    auto chosen = select_working_shell(b, 50.0, 0.05, 1000.0);
    ASSERT_FALSE(chosen.ok());
    EXPECT_EQ(chosen.error().kind(), ErrorKind::NoFlipShell);
    EXPECT_EQ(chosen.error().display(), "no usable non-b0 shell for flip detection");
  }
}

TEST(SchemeShells, JsonMembersInOrder) {
  const auto summary = summarize_scheme(table_of({0, 1000.5, 0}), 50.0, 0.05);
  EXPECT_EQ(to_json(summary).to_compact(),
            "{\"b0_threshold\":50.0,\"tolerance\":0.05,\"shells\":["
            "{\"nominal_b\":0.0,\"mean_b\":0.0,\"min_b\":0.0,\"max_b\":0.0,\"count\":2,\"indices\":[0,2],"
            "\"is_b0\":true},"
            "{\"nominal_b\":1001.0,\"mean_b\":1000.5,\"min_b\":1000.5,\"max_b\":1000.5,\"count\":1,"
            "\"indices\":[1],\"is_b0\":false}],"
            "\"b0\":{\"count\":2,\"indices\":[0,2],\"spacings\":[2]},\"non_integer_bvals\":[1]}");

  const auto empty = summarize_scheme(GradientTable{}, 50.0, 0.05);
  EXPECT_EQ(to_json(empty).to_compact(),
            "{\"b0_threshold\":50.0,\"tolerance\":0.05,\"shells\":[],"
            "\"b0\":{\"count\":0,\"indices\":[],\"spacings\":[]},\"non_integer_bvals\":[]}");
}

}  // namespace
}  // namespace dirsieve
