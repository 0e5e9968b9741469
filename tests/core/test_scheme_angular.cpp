#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <Eigen/Dense>

#include "core/scheme/angular.hpp"

namespace dirsieve {
namespace {

constexpr double kPi = 3.14159265358979323846;

GradientTable table_of(std::vector<Vec3> dirs, std::vector<double> bvals) {
  return GradientTable::make(std::move(dirs), std::move(bvals)).value();
}

GradientTable single_shell(std::vector<Vec3> dirs, double b = 1000.0) {
  std::vector<double> bvals(dirs.size(), b);
  return table_of(std::move(dirs), std::move(bvals));
}

Vec3 in_plane(double degrees) {
  const double r = degrees * kPi / 180.0;
  return Vec3{std::cos(r), std::sin(r), 0.0};
}

// Roughly uniform directions on a half-sphere (golden spiral).
std::vector<Vec3> spread(std::size_t n) {
  std::vector<Vec3> out;
  const double golden = kPi * (3.0 - std::sqrt(5.0));
  for (std::size_t k = 0; k < n; ++k) {
    const double z = 1.0 - (static_cast<double>(k) + 0.5) / static_cast<double>(n);
    const double r = std::sqrt(1.0 - z * z);
    const double phi = golden * static_cast<double>(k);
    out.push_back(Vec3{r * std::cos(phi), r * std::sin(phi), z});
  }
  return out;
}

TEST(SchemeAngular, UnitDirectionsZeroForB0AndTinyVectors) {
  const auto table = table_of({{3.0, 0.0, 4.0}, {1.0, 0.0, 0.0}, {1e-17, 0.0, 0.0}, {0.0, 2.0, 0.0}},
                              {1000.0, 50.0, 1000.0, 50.0001});
  const auto units = unit_directions(table, 50.0);
  ASSERT_EQ(units.size(), 4u);
  EXPECT_EQ(units[0], (Vec3{0.6, 0.0, 0.8}));
  EXPECT_EQ(units[1], (Vec3{0.0, 0.0, 0.0}));  // b equal to the threshold is b0
  EXPECT_EQ(units[2], (Vec3{0.0, 0.0, 0.0}));
  EXPECT_EQ(units[3], (Vec3{0.0, 1.0, 0.0}));
}

TEST(SchemeAngular, EnergyCountsEveryPairAndItsAntipode) {
  // Orthogonal: both distances are sqrt(2).
  auto summary = analyze_angular(single_shell({{1, 0, 0}, {0, 1, 0}}), 50.0, 0.05, 5.0);
  ASSERT_EQ(summary.shells.size(), 1u);
  EXPECT_DOUBLE_EQ(summary.shells[0].electrostatic_energy, 2.0 / std::sqrt(2.0));

  // A zero direction is at distance 1 from everything; identical directions hit the 1e-9 floor.
  summary = analyze_angular(single_shell({{0, 0, 0}, {0, 0, 1}, {0, 0, 1}}), 50.0, 0.05, 5.0);
  EXPECT_DOUBLE_EQ(summary.shells[0].electrostatic_energy, (2.0 + 2.0) + (1.0 / 1e-9 + 0.5));
  EXPECT_EQ(summary.shells[0].count, 3u);

  summary = analyze_angular(single_shell({{0, 0, 1}}), 50.0, 0.05, 5.0);
  EXPECT_EQ(summary.shells[0].electrostatic_energy, 0.0);
}

TEST(SchemeAngular, ConditionNumberMatchesAnIndependentDecomposition) {
  const auto dirs = spread(12);
  const auto summary = analyze_angular(single_shell(dirs), 50.0, 0.05, 5.0);
  ASSERT_TRUE(summary.shells[0].condition_number.has_value());

  // Singular values from the eigenvalues of A^T A.
  Eigen::MatrixXd a(12, 6);
  for (int r = 0; r < 12; ++r) {
    const Vec3& u = dirs[static_cast<std::size_t>(r)];
    a.row(r) << u[0] * u[0], u[1] * u[1], u[2] * u[2], 2 * u[0] * u[1], 2 * u[0] * u[2], 2 * u[1] * u[2];
  }
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(a.transpose() * a);
  const double expected = std::sqrt(eig.eigenvalues()(5) / eig.eigenvalues()(0));
  EXPECT_NEAR(*summary.shells[0].condition_number, expected, 1e-8 * expected);
  EXPECT_GT(expected, 1.0);
}

TEST(SchemeAngular, ConditionNumberAbsentBelowSixOrWhenDegenerate) {
  auto five = analyze_angular(single_shell(spread(5)), 50.0, 0.05, 5.0);
  EXPECT_FALSE(five.shells[0].condition_number.has_value());
  EXPECT_FALSE(five.shells[0].meets_dti_minimum);

  // Six distinct directions in the xy plane: the z columns vanish.
  std::vector<Vec3> coplanar;
  for (int k = 0; k < 6; ++k) coplanar.push_back(in_plane(30.0 * k));
  auto flat = analyze_angular(single_shell(coplanar), 50.0, 0.05, 5.0);
  EXPECT_FALSE(flat.shells[0].condition_number.has_value());
  EXPECT_TRUE(flat.shells[0].meets_dti_minimum);

  // Six copies of one axis: rank one.
  auto repeated = analyze_angular(single_shell(std::vector<Vec3>(6, Vec3{0, 0, 1})), 50.0, 0.05, 5.0);
  EXPECT_FALSE(repeated.shells[0].condition_number.has_value());

  // A NaN direction poisons the matrix instead of crashing or hanging the decomposition.
  auto dirs = spread(8);
  dirs[3] = Vec3{std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0};
  auto poisoned = analyze_angular(single_shell(dirs), 50.0, 0.05, 5.0);
  EXPECT_FALSE(poisoned.shells[0].condition_number.has_value());
}

TEST(SchemeAngular, CountFlagsAtTheirBoundaries) {
  struct Case {
    std::size_t n;
    bool dti_min, dti_rec, csd;
  };
  for (const Case& c : {Case{5, false, false, false}, Case{6, true, false, false}, Case{29, true, false, false},
                        Case{30, true, true, false}, Case{44, true, true, false}, Case{45, true, true, true}}) {
    const auto summary = analyze_angular(single_shell(spread(c.n)), 50.0, 0.05, 5.0);
    const AngularShell& shell = summary.shells[0];
    EXPECT_EQ(shell.count, c.n);
    EXPECT_EQ(shell.meets_dti_minimum, c.dti_min) << c.n;
    EXPECT_EQ(shell.meets_dti_recommended, c.dti_rec) << c.n;
    EXPECT_EQ(shell.meets_csd_minimum, c.csd) << c.n;
  }
}

TEST(SchemeAngular, NearDuplicatesByAxialAngle) {
  const auto summary = analyze_angular(single_shell({in_plane(0.0), in_plane(4.9), in_plane(60.0), in_plane(65.1),
                                                     {-1.0, 0.0, 0.0}}),
                                       50.0, 0.05, 5.0);
  const auto& dups = summary.shells[0].duplicates;
  ASSERT_EQ(dups.size(), 3u);
  // Pair order: by first member, then second.
  EXPECT_EQ(dups[0].i, 0u);
  EXPECT_EQ(dups[0].j, 1u);
  EXPECT_NEAR(dups[0].angle_deg, 4.9, 1e-9);
  EXPECT_FALSE(dups[0].antipodal);
  EXPECT_EQ(dups[1].i, 0u);
  EXPECT_EQ(dups[1].j, 4u);
  EXPECT_EQ(dups[1].angle_deg, 0.0);
  EXPECT_TRUE(dups[1].antipodal);
  EXPECT_EQ(dups[2].i, 1u);
  EXPECT_EQ(dups[2].j, 4u);
  EXPECT_NEAR(dups[2].angle_deg, 4.9, 1e-9);
  EXPECT_TRUE(dups[2].antipodal);
  // 60 vs 65.1 degrees: 5.1 apart, not a duplicate.
}

TEST(SchemeAngular, ShellsFollowTheClusteringAndUseVolumeIndices) {
  const auto table = table_of({{0, 0, 0}, {1, 0, 0}, {1, 0, 0}, {0, 0, 0}, {0, 1, 0}, {0, 1, 0}},
                              {0.0, 2000.0, 1000.0, 5.0, 1000.0, 2010.0});
  const auto summary = analyze_angular(table, 50.0, 0.05, 5.0);
  EXPECT_EQ(summary.duplicate_angle_deg, 5.0);
  ASSERT_EQ(summary.shells.size(), 2u);
  EXPECT_EQ(summary.shells[0].nominal_b, 1000.0);
  EXPECT_EQ(summary.shells[1].nominal_b, 2005.0);
  EXPECT_TRUE(summary.shells[0].duplicates.empty());

  const auto dup_table = table_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}}, {0.0, 1000.0, 1000.0, 1000.0});
  const auto dup = analyze_angular(dup_table, 50.0, 0.05, 5.0);
  ASSERT_EQ(dup.shells[0].duplicates.size(), 1u);
  EXPECT_EQ(dup.shells[0].duplicates[0].i, 1u);
  EXPECT_EQ(dup.shells[0].duplicates[0].j, 3u);

  const auto only_b0 = analyze_angular(table_of({{0, 0, 0}}, {0.0}), 50.0, 0.05, 5.0);
  EXPECT_TRUE(only_b0.shells.empty());
  EXPECT_EQ(to_json(only_b0).to_compact(), "{\"duplicate_angle_deg\":5.0,\"shells\":[]}");
}

TEST(SchemeAngular, JsonWritesAbsentConditionAsNull) {
  const auto summary = analyze_angular(single_shell({{1, 0, 0}, {-1, 0, 0}}), 50.0, 0.05, 5.0);
  const std::string json = to_json(summary).to_compact();
  EXPECT_EQ(json,
            "{\"duplicate_angle_deg\":5.0,\"shells\":[{\"nominal_b\":1000.0,\"count\":2,"
            "\"electrostatic_energy\":1000000000.4999999,\"condition_number\":null,\"meets_dti_minimum\":false,"
            "\"meets_dti_recommended\":false,\"meets_csd_minimum\":false,"
            "\"duplicates\":[{\"i\":0,\"j\":1,\"angle_deg\":0.0,\"antipodal\":true}]}]}");
}

}  // namespace
}  // namespace dirsieve
