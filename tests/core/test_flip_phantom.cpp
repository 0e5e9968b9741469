// Whole flip detections on a synthetic brain: true and deliberately wrong tables in three frames,
// thread-count independence and hostile inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "core/flip/candidates.hpp"
#include "core/flip/decision.hpp"
#include "flip_phantom.hpp"

namespace dirsieve {
namespace {

Mat4 affine_from(const Mat3& block) {
  Mat4 a{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) a[r][c] = block[r][c];
  a[0][3] = -30.0;
  a[1][3] = 12.5;
  a[2][3] = 4.0;
  a[3][3] = 1.0;
  return a;
}

Mat3 rotation_block() {
  const double cz = std::cos(0.5), sz = std::sin(0.5), cx = std::cos(0.35), sx = std::sin(0.35);
  const Mat3 rz{{{cz, -sz, 0}, {sz, cz, 0}, {0, 0, 1}}};
  const Mat3 rx{{{1, 0, 0}, {0, cx, -sx}, {0, sx, cx}}};
  return multiply(rz, rx);
}

Mat3 scaled(const Mat3& m, double s) {
  Mat3 out = m;
  for (auto& row : out)
    for (double& e : row) e *= s;
  return out;
}

struct FrameCase {
  std::string name;
  Mat4 affine;
  Mat3 frame_map;  // table axes -> voxel axes for the table kind of this case
};

std::vector<FrameCase> frame_cases() {
  const Mat3 r = rotation_block();
  return {
      // FSL table on an image with a positive determinant: the first voxel axis is mirrored.
      {"fsl_positive_det", affine_from(scaled(identity3(), 2.0)), Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}},
      // FSL table on an image with a negative determinant: voxel axes as they are.
      {"fsl_negative_det", affine_from(Mat3{{{-2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}), identity3()},
      // World-frame (grad) table on an obliquely rotated image: the transpose of the rotation.
      {"world_rotated", affine_from(scaled(r, 2.0)), transpose(r)},
  };
}

// Deliberately wrong tables: the true directions multiplied by these.
std::vector<std::pair<std::string, Mat3>> wrong_transforms() {
  return {
      {"flip_x", Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}},
      {"flip_y", Mat3{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}},
      {"flip_z", Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}},
      {"swap_xy", Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}}},
      {"swap_yz", Mat3{{{1, 0, 0}, {0, 0, 1}, {0, 1, 0}}}},
      {"swap_xz_flip_y", Mat3{{{0, 0, 1}, {0, -1, 0}, {1, 0, 0}}}},
      {"cycle_flip", Mat3{{{0, 1, 0}, {0, 0, -1}, {1, 0, 0}}}},
      {"cycle_two_flips", Mat3{{{0, 0, -1}, {1, 0, 0}, {0, -1, 0}}}},
  };
}

// The candidate that undoes m: its transpose, or the transpose negated, whichever comes first.
Mat3 expected_inverse(const Mat3& m) {
  const Mat3 t = transpose(m);
  for (const auto& c : generate_candidates())
    if (sign_equivalent(c.matrix, t)) return c.matrix;
  ADD_FAILURE() << "not a signed permutation";
  return identity3();
}

FlipOptions options_for(const Mat3& frame_map) {
  FlipOptions options;
  options.step = 2.0;  // max(4 / mean voxel size, 1) for 2 mm voxels
  options.frame_map = frame_map;
  return options;
}

class FlipPhantom : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FlipPhantom, TrueTablePassesAndEveryWrongTableIsFlaggedWithItsInverse) {
  const FrameCase& frame = GetParam();
  phantom::PhantomSpec spec;
  spec.affine = frame.affine;
  spec.frame_map = frame.frame_map;
  const phantom::Phantom ph = phantom::make_phantom(spec);
  const FlipOptions options = options_for(frame.frame_map);

  auto truth = run_flip_detection(ph.dwi, ph.table, nullptr, std::nullopt, options);
  ASSERT_TRUE(truth.ok()) << truth.error().display();
  const FlipResult& ok = truth->result;
  EXPECT_EQ(ok.decision, Status::Pass) << frame.name;
  EXPECT_EQ(ok.best.label, "+x+y+z");
  EXPECT_EQ(ok.working_b, 1000.0);
  EXPECT_GT(ok.n_wm_voxels, 500u);
  EXPECT_GT(ok.mask_mean_fa, 0.5);
  EXPECT_GT(ok.relative_margin, 0.05) << frame.name;
  EXPECT_EQ(truth->frame_map, frame.frame_map);
  EXPECT_EQ(truth->mask.size(), ph.fiber.size());

  for (const auto& [name, m] : wrong_transforms()) {
    const GradientTable wrong = phantom::transform_table(ph.table, m);
    auto detection = run_flip_detection(ph.dwi, wrong, nullptr, std::nullopt, options);
    ASSERT_TRUE(detection.ok());
    const FlipResult& r = detection->result;
    EXPECT_EQ(r.decision, Status::Flag) << frame.name << " " << name << " best " << r.best.label << " rel "
                                        << r.relative_margin;
    ASSERT_TRUE(r.recommended_transform) << frame.name << " " << name;
    EXPECT_EQ(*r.recommended_transform, expected_inverse(m)) << frame.name << " " << name << " got "
                                                            << *r.recommended_label;
    EXPECT_EQ(r.recommended_label, r.best.label);
    EXPECT_LT(r.identity_coherence, r.best.coherence);
    // Applying the recommendation restores the true directions exactly.
    const GradientTable repaired = phantom::transform_table(wrong, *r.recommended_transform);
    for (std::size_t i = 0; i < repaired.size(); ++i) {
      for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(std::fabs(repaired.directions()[i][a]), std::fabs(ph.table.directions()[i][a]));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, FlipPhantom, ::testing::ValuesIn(frame_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(FlipPhantomThreads, OneAndTwoThreadsAgree) {
  phantom::PhantomSpec spec;
  spec.nx = 24;
  spec.ny = 26;
  spec.nz = 22;
  const phantom::Phantom ph = phantom::make_phantom(spec);
  const FlipOptions options = options_for(identity3());
  const GradientTable wrong = phantom::transform_table(ph.table, wrong_transforms()[3].second);

  FlipTimings timings{-1.0, -1.0};
  auto run_in = [&](int threads) {
    tbb::task_arena arena(threads);
    std::optional<Result<FlipDetection>> out;
    arena.execute([&] { out.emplace(run_flip_detection(ph.dwi, wrong, nullptr, std::nullopt, options, &timings)); });
    return std::move(*out);
  };
  auto one = run_in(1);
  auto two = run_in(2);
  ASSERT_TRUE(one.ok());
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(one->fit.v1, two->fit.v1);
  EXPECT_EQ(one->fit.fa, two->fit.fa);
  EXPECT_EQ(one->fit.s0, two->fit.s0);
  EXPECT_EQ(one->fit.valid, two->fit.valid);
  EXPECT_EQ(one->mask, two->mask);
  EXPECT_EQ(one->result.n_wm_voxels, two->result.n_wm_voxels);
  EXPECT_EQ(one->result.mask_mean_fa, two->result.mask_mean_fa);
  ASSERT_EQ(one->result.ranking.size(), 48u);
  for (std::size_t k = 0; k < 48; ++k) {
    const auto& a = one->result.ranking[k];
    const auto& b = two->result.ranking[k];
    EXPECT_EQ(a.n_samples, b.n_samples);
    EXPECT_NEAR(a.coherence, b.coherence, 1e-12 * std::fabs(a.coherence));
  }
  EXPECT_EQ(one->result.decision, two->result.decision);
  EXPECT_GE(timings.fit_seconds, 0.0);
  EXPECT_GE(timings.coherence_seconds, 0.0);
}

class FlipHostile : public ::testing::Test {
 protected:
  FlipHostile() : ph_(phantom::make_phantom({.nx = 16, .ny = 16, .nz = 16, .n_directions = 24, .seed = 9})) {}

  static void expect_sane(const FlipDetection& d) {
    for (const auto& v : d.fit.v1)
      for (double c : v) ASSERT_TRUE(std::isfinite(c));
    for (double fa : d.fit.fa) ASSERT_TRUE(std::isfinite(fa));
    for (const auto& r : d.result.ranking) ASSERT_FALSE(std::isnan(r.coherence)) << r.label;
    EXPECT_EQ(d.result.ranking.size(), 48u);
    EXPECT_EQ(to_json(d.result).to_compact().find("\"coherence\":null"), std::string::npos);
  }

  phantom::Phantom ph_;
  FlipOptions options_;
};

TEST_F(FlipHostile, NonFiniteAndZeroSignalsStillGiveAValidResult) {
  DwiVolume dwi = ph_.dwi;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t i = 0; i < dwi.data.size(); i += 7) dwi.data[i] = (i % 3 == 0) ? nan : (i % 3 == 1 ? inf : 0.0f);
  for (std::size_t i = 3; i < dwi.data.size(); i += 101) dwi.data[i] = -inf;
  auto r = run_flip_detection(dwi, ph_.table, nullptr, std::nullopt, options_);
  ASSERT_TRUE(r.ok()) << r.error().display();
  expect_sane(*r);
}

TEST_F(FlipHostile, EmptyImagesAndMasksFailWithTheDocumentedError) {
  DwiVolume zero = ph_.dwi;
  std::fill(zero.data.begin(), zero.data.end(), 0.0f);
  auto dark = run_flip_detection(zero, ph_.table, nullptr, std::nullopt, options_);
  ASSERT_FALSE(dark.ok());
  EXPECT_EQ(dark.error().display(), "DTI fit failed: no WM voxels above the FA threshold");

  MaskVolume empty;
  empty.flags.assign(ph_.fiber.size(), 0);
  auto masked = run_flip_detection(ph_.dwi, ph_.table, &empty, std::nullopt, options_);
  ASSERT_FALSE(masked.ok());
  EXPECT_EQ(masked.error().display(), "DTI fit failed: no WM voxels above the FA threshold");
}

TEST_F(FlipHostile, WrongDimensionalityFails) {
  DwiVolume five = ph_.dwi;
  five.dims.push_back(1);
  auto r5 = run_flip_detection(five, ph_.table, nullptr, std::nullopt, options_);
  ASSERT_FALSE(r5.ok());
  EXPECT_EQ(r5.error().display(), "DTI fit failed: expected 4-D DWI, got 5-D");

  DwiVolume three = ph_.dwi;
  three.dims.resize(3);
  three.volume_count = 1;
  three.data.resize(16 * 16 * 16);
  auto r3 = run_flip_detection(three, ph_.table, nullptr, std::nullopt, options_);
  ASSERT_FALSE(r3.ok());
  EXPECT_EQ(r3.error().display(), "DTI fit failed: expected 4-D DWI, got 3-D");
}

TEST_F(FlipHostile, ShellWithFewerThanSixDirections) {
  // Keep the b0s and five shell volumes.
  std::vector<Vec3> dirs(ph_.table.directions().begin(), ph_.table.directions().begin() + 8);
  std::vector<double> bvals(ph_.table.bvals().begin(), ph_.table.bvals().begin() + 8);
  const GradientTable table = GradientTable::make(dirs, bvals).value();
  DwiVolume dwi = ph_.dwi;
  dwi.dims[3] = 8;
  dwi.volume_count = 8;
  dwi.data.resize(16 * 16 * 16 * 8);
  auto r = run_flip_detection(dwi, table, nullptr, std::nullopt, options_);
  if (r.ok()) {
    expect_sane(*r);
  } else {
    EXPECT_EQ(r.error().display(), "DTI fit failed: no WM voxels above the FA threshold");
  }
}

TEST_F(FlipHostile, NoDiffusionShellIsReportedBeforeTheMarginThreshold) {
  const GradientTable b0_only =
      GradientTable::make(ph_.table.directions(), std::vector<double>(ph_.table.size(), 0.0)).value();
  FlipOptions options;
  options.margin_threshold = -1.0;
  auto r = run_flip_detection(ph_.dwi, b0_only, nullptr, std::nullopt, options);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "no usable non-b0 shell for flip detection");

  auto bad_margin = run_flip_detection(ph_.dwi, ph_.table, nullptr, std::nullopt, options);
  ASSERT_FALSE(bad_margin.ok());
  EXPECT_EQ(bad_margin.error().display(), "margin threshold must be finite and in (0, 1]: -1");
}

}  // namespace
}  // namespace dirsieve
