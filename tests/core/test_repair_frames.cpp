#include <gtest/gtest.h>

#include <cmath>

#include "core/repair/frames.hpp"

namespace dirsieve {
namespace {

Mat4 affine_of(const Mat3& block) {
  Mat4 a{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) a[r][c] = block[r][c];
  a[3][3] = 1.0;
  return a;
}

Mat3 diag(double x, double y, double z) { return Mat3{{{x, 0.0, 0.0}, {0.0, y, 0.0}, {0.0, 0.0, z}}}; }

TEST(RepairFrames, DeterminantSignMapsAndDivergence) {
  struct Case {
    Mat3 block;
    double sign;
    bool mirrored;
    bool divergent;
  };
  const Case cases[] = {
      {diag(2, 2, 2), 1.0, true, false},
      {diag(-2, 2, 2), -1.0, false, false},
      {diag(-1, -1, 1), 1.0, true, true},
      {diag(-1, -1, -1), -1.0, false, false},  // all dominant entries negative, but det < 0
      {diag(2, 0, 2), 1.0, false, false},      // det = +0.0
      // Ties go to the later row: column 0 below is dominated by -0.7071 (row 1), column 1 by -1.
      {Mat3{{{0.7071, 0.0, 0.7071}, {-0.7071, 0.0, 0.7071}, {0.0, -1.0, 0.0}}}, 1.0, true, true},
      // Row 2 wins a tie against the winner of rows 0 and 1: (0.6, 0, -0.6) counts as negative.
      {Mat3{{{0.6, 0.6, 0.0}, {0.0, 0.0, -1.0}, {-0.6, 0.6, 0.0}}}, 1.0, true, true},
  };
  for (const Case& c : cases) {
    const FrameInfo info = analyse_frame(affine_of(c.block), false);
    EXPECT_EQ(info.affine_determinant_sign, c.sign);
    EXPECT_EQ(info.fsl_voxel_map, c.mirrored ? diag(-1, 1, 1) : identity3());
    EXPECT_EQ(info.frames_divergent, c.divergent);
    EXPECT_EQ(frame_map(affine_of(c.block), false), info.fsl_voxel_map);
    // FSL input: the FSL output is the identity, the world output R * fsl_voxel_map.
    EXPECT_EQ(fsl_emission_matrix(info), identity3());
    EXPECT_EQ(world_emission_matrix(info), multiply(info.rotation, info.fsl_voxel_map));
  }
  EXPECT_EQ(analyse_frame(affine_of(diag(-2, 2, 2)), false).rotation, diag(-1, 1, 1));
  EXPECT_EQ(analyse_frame(affine_of(diag(2, 2, 5e-10)), true).rotation, identity3());  // below 1e-9
}

TEST(RepairFrames, NanEntryPoisonsItsColumnAndTheSign) {
  Mat3 block = diag(2, 2, 2);
  block[0][0] = std::nan("");
  const FrameInfo info = analyse_frame(affine_of(block), false);
  EXPECT_TRUE(std::isnan(info.affine_determinant_sign));
  EXPECT_EQ(info.fsl_voxel_map, identity3());
  EXPECT_FALSE(info.frames_divergent);
  const std::string json = to_json(info, false).to_compact();
  EXPECT_NE(json.find("\"affine_determinant_sign\":null,\"rotation\":[[null,0.0,0.0],[null,1.0,0.0],[null,0.0,1.0]]"),
            std::string::npos)
      << json;
}

TEST(RepairFrames, MrtrixInputRotatesWorldIntoVoxelAxes) {
  // 90 degrees about z with 2 mm voxels (det = +8).
  const Mat4 affine = affine_of(Mat3{{{0.0, -2.0, 0.0}, {2.0, 0.0, 0.0}, {0.0, 0.0, 2.0}}});
  const FrameInfo info = analyse_frame(affine, true);
  const Mat3 r{{{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}};
  EXPECT_EQ(info.rotation, r);
  EXPECT_EQ(frame_map(affine, true), transpose(r));
  EXPECT_EQ(fsl_emission_matrix(info), (Mat3{{{0.0, -1.0, 0.0}, {-1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}}));
  EXPECT_EQ(world_emission_matrix(info), identity3());
  // Sheared axes: R * R^T keeps a cross term instead of collapsing to the identity.
  const FrameInfo sheared = analyse_frame(affine_of(Mat3{{{1.0, 0.5, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}), true);
  EXPECT_NE(world_emission_matrix(sheared)[0][1], 0.0);
}

TEST(RepairFrames, FrameJsonListsKeysInOrder) {
  EXPECT_EQ(to_json(analyse_frame(affine_of(diag(2, 2, 2)), false), true).to_compact(),
            "{\"input_format\":\"fsl\",\"affine_determinant_sign\":1.0,"
            "\"rotation\":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],"
            "\"fsl_voxel_map\":[[-1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],"
            "\"world_voxel_map\":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],"
            "\"frames_divergent\":false,\"emitted_fsl\":true,\"emitted_mrtrix\":true}");
  const std::string mrtrix = to_json(analyse_frame(affine_of(diag(-1, -1, 1)), true), false).to_compact();
  EXPECT_EQ(mrtrix.rfind("{\"input_format\":\"mrtrix\",", 0), 0u);
  EXPECT_NE(mrtrix.find("\"frames_divergent\":true,\"emitted_fsl\":true,\"emitted_mrtrix\":false}"), std::string::npos);
}

TEST(RepairFrames, ApplyMatrixSumsInOrderAndStoresPositiveZeros) {
  auto table = GradientTable::make({Vec3{0.0, 0.6, 0.8}, Vec3{0.0, -0.5, -1.0}, Vec3{std::nan(""), 1.0, 0.0}},
                                   {0.0, 1000.0, 2000.5});
  ASSERT_TRUE(table.ok());
  const GradientTable out = apply_matrix(*table, diag(-1, 1, 1));
  EXPECT_EQ(out.directions()[0], (Vec3{0.0, 0.6, 0.8}));
  // (-1*0 + 0*-0.5) + 0*-1 is -0.0 before it is stored.
  EXPECT_FALSE(std::signbit(out.directions()[1][0]));
  EXPECT_TRUE(std::isnan(out.directions()[2][0]));
  EXPECT_EQ(out.bvals(), table->bvals());

  // (1 + 1e16) - 1e16 is 0 when summed left to right, 1 otherwise.
  auto wide = GradientTable::make({Vec3{1.0, 1e16, -1e16}}, {1000.0});
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(apply_matrix(*wide, Mat3{{{1, 1, 1}, {0, 0, 0}, {0, 0, 0}}}).directions()[0][0], 0.0);
}

}  // namespace
}  // namespace dirsieve
