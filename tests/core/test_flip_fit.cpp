// Tensor fit and white-matter sample.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core/flip/tensor_fit.hpp"
#include "core/flip/white_matter.hpp"
#include "flip_phantom.hpp"

namespace dirsieve {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Volumes: b0 (b=0), b0 (b=5), then 12 shell directions at b=1000.
GradientTable small_table() {
  std::vector<Vec3> dirs{{0, 0, 0}, {0, 0, 0}};
  std::vector<double> bvals{0.0, 5.0};
  for (const Vec3& g : phantom::spiral_directions(12)) {
    dirs.push_back({g[0] * 2.0, g[1] * 2.0, g[2] * 2.0});  // not unit: the fit normalises
    bvals.push_back(1000.0);
  }
  return GradientTable::make(dirs, bvals).value();
}

std::vector<std::size_t> range(std::size_t from, std::size_t to) {
  std::vector<std::size_t> out;
  for (std::size_t i = from; i < to; ++i) out.push_back(i);
  return out;
}

// Noiseless signal of a prolate tensor with principal direction e.
double tensor_signal(const Vec3& g, double b, const Vec3& e, double s0 = 1000.0) {
  const double n = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
  if (n == 0.0) return s0;
  const double along = (g[0] * e[0] + g[1] * e[1] + g[2] * e[2]) / n;
  return s0 * std::exp(-b * (0.3e-3 + 1.4e-3 * along * along));
}

// A DWI whose voxel (x, y, z) has signal f(x, y, z, t).
DwiVolume make_dwi(std::size_t nx, std::size_t ny, std::size_t nz, std::size_t nt,
                   const std::function<double(std::size_t, std::size_t, std::size_t, std::size_t)>& f) {
  DwiVolume dwi;
  dwi.dims = {nx, ny, nz, nt};
  dwi.volume_count = nt;
  dwi.voxel_sizes = {2.0, 2.0, 2.0};
  dwi.data.resize(nx * ny * nz * nt);
  for (std::size_t t = 0; t < nt; ++t)
    for (std::size_t z = 0; z < nz; ++z)
      for (std::size_t y = 0; y < ny; ++y)
        for (std::size_t x = 0; x < nx; ++x)
          dwi.data[((t * nz + z) * ny + y) * nx + x] = static_cast<float>(f(x, y, z, t));
  return dwi;
}

Vec3 unit(Vec3 v) {
  const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {v[0] / n, v[1] / n, v[2] / n};
}

double abs_dot(const Vec3& a, const Vec3& b) { return std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2]); }

const double kProlateFa = [] {
  const double l[3] = {1.7, 0.3, 0.3};
  const double d = (l[0] + l[1] + l[2]) / 3.0;
  return std::sqrt(1.5 * ((l[0] - d) * (l[0] - d) + 2 * (l[1] - d) * (l[1] - d)) /
                   (l[0] * l[0] + l[1] * l[1] + l[2] * l[2]));
}();

TEST(TensorFit, RecoversPrincipalDirectionFaAndMeanB0PerVoxel) {
  const GradientTable table = small_table();
  // Each voxel has its own direction and S0, so a mix-up of the voxel order or of the file layout
  // shows up as a wrong direction in some slot.
  auto direction_of = [](std::size_t x, std::size_t y, std::size_t z) {
    return unit({1.0 + x, 0.5 + 2.0 * y, 0.25 + 3.0 * z});
  };
  const std::size_t nx = 3, ny = 4, nz = 5;
  const DwiVolume dwi = make_dwi(nx, ny, nz, table.size(), [&](auto x, auto y, auto z, auto t) {
    const double s0 = 500.0 + 10.0 * x + 3.0 * y + z;
    return tensor_signal(table.directions()[t], table.bvals()[t], direction_of(x, y, z), s0);
  });
  auto fit = fit_tensors(dwi, table, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_TRUE(fit.ok()) << fit.error().display();
  EXPECT_EQ(fit->dims, (std::array<std::size_t, 3>{nx, ny, nz}));
  ASSERT_EQ(fit->v1.size(), nx * ny * nz);
  for (std::size_t x = 0; x < nx; ++x)
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t z = 0; z < nz; ++z) {
        const std::size_t v = (x * ny + y) * nz + z;
        ASSERT_TRUE(fit->valid[v]);
        EXPECT_NEAR(abs_dot(fit->v1[v], direction_of(x, y, z)), 1.0, 1e-8) << x << y << z;
        EXPECT_NEAR(fit->fa[v], kProlateFa, 1e-5);
        const double s0 = static_cast<double>(static_cast<float>(500.0 + 10.0 * x + 3.0 * y + z));
        EXPECT_DOUBLE_EQ(fit->s0[v], s0);  // the mean b0, not the fitted intercept
        EXPECT_NEAR(std::sqrt(fit->v1[v][0] * fit->v1[v][0] + fit->v1[v][1] * fit->v1[v][1] +
                              fit->v1[v][2] * fit->v1[v][2]),
                    1.0, 1e-12);
      }
}

TEST(TensorFit, VoxelResultDoesNotDependOnNeighboursOrGridShape) {
  const phantom::Phantom ph = phantom::make_phantom({.nx = 7, .ny = 5, .nz = 6, .n_directions = 20});
  const std::vector<std::size_t> b0{0, 1, 2};
  const std::vector<std::size_t> shell = range(3, ph.table.size());
  auto whole = fit_tensors(ph.dwi, ph.table, b0, shell, 1.0);
  ASSERT_TRUE(whole.ok());
  for (std::size_t v : {std::size_t{0}, std::size_t{57}, std::size_t{101}, std::size_t{7 * 5 * 6 - 1}}) {
    const std::size_t x = v / 30, y = (v / 6) % 5, z = v % 6;
    const DwiVolume single =
        make_dwi(1, 1, 1, ph.table.size(), [&](auto, auto, auto, auto t) { return ph.dwi.at(x, y, z, t); });
    auto one = fit_tensors(single, ph.table, b0, shell, 1.0);
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one->v1[0], whole->v1[v]);
    EXPECT_EQ(one->fa[0], whole->fa[v]);
    EXPECT_EQ(one->s0[0], whole->s0[v]);
    EXPECT_EQ(one->valid[0], whole->valid[v]);
  }
}

TEST(TensorFit, UnfittedAndInvalidVoxels) {
  const GradientTable table = small_table();
  const Vec3 e = unit({1, 1, 0});
  // Voxel 0: all zero. Voxel 1: mean b0 just below 1. Voxel 2: signal rising with b (negative
  // diffusivities). Voxel 3: a NaN b0 makes the mean NaN, which is still fitted.
  const DwiVolume dwi = make_dwi(1, 1, 4, table.size(), [&](auto, auto, auto z, auto t) -> double {
    switch (z) {
      case 0: return 0.0;
      case 1: return t < 2 ? 0.99 : 500.0;
      case 2: return t < 2 ? 100.0 : 200.0;
      default: return t == 0 ? kNaN : tensor_signal(table.directions()[t], table.bvals()[t], e);
    }
  });
  auto fit = fit_tensors(dwi, table, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_TRUE(fit.ok());
  EXPECT_FALSE(fit->valid[0]);
  EXPECT_EQ(fit->s0[0], 0.0);
  EXPECT_EQ(fit->v1[0], (Vec3{0, 0, 0}));
  EXPECT_FALSE(fit->valid[1]);
  EXPECT_DOUBLE_EQ(fit->s0[1], static_cast<double>(0.99f));
  EXPECT_EQ(fit->fa[1], 0.0);
  EXPECT_FALSE(fit->valid[2]);
  EXPECT_EQ(fit->fa[2], 0.0);
  EXPECT_EQ(fit->s0[2], 100.0);
  EXPECT_TRUE(std::isnan(fit->s0[3]));
  // The NaN b0 enters as ln(1e-6); the voxel is still fitted.
  EXPECT_TRUE(std::isfinite(fit->fa[3]));
}

TEST(TensorFit, ZeroNegativeAndNaNSignalsAllEnterAtTheFloor) {
  const GradientTable table = small_table();
  const Vec3 e = unit({0.2, 1, 0.3});
  std::vector<double> bad{0.0, -5.0, kNaN, 1e-6, 1e-9};
  const DwiVolume dwi = make_dwi(1, 1, bad.size(), table.size(), [&](auto, auto, auto z, auto t) {
    if (t == 6) return bad[z];
    return tensor_signal(table.directions()[t], table.bvals()[t], e);
  });
  auto fit = fit_tensors(dwi, table, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_TRUE(fit.ok());
  for (std::size_t z = 1; z < bad.size(); ++z) {
    EXPECT_EQ(fit->v1[z], fit->v1[0]) << z;
    EXPECT_EQ(fit->fa[z], fit->fa[0]) << z;
  }
  EXPECT_TRUE(fit->valid[0]);
}

TEST(TensorFit, WithoutB0VolumesTheMeanUsesTheShell) {
  const GradientTable table = small_table();
  const DwiVolume dwi = make_dwi(1, 1, 2, table.size(), [&](auto, auto, auto z, auto t) {
    return t < 2 ? 5000.0 : (z == 0 ? 2.0 + (t % 2) : 0.5);
  });
  auto fit = fit_tensors(dwi, table, {}, range(2, table.size()), 1.0);
  ASSERT_TRUE(fit.ok());
  EXPECT_DOUBLE_EQ(fit->s0[0], 2.5);  // 12 shell volumes alternating 2 and 3
  EXPECT_DOUBLE_EQ(fit->s0[1], 0.5);
  EXPECT_FALSE(fit->valid[1]);
}

TEST(TensorFit, ZeroLengthShellDirectionActsLikeAnExtraB0) {
  GradientTable base = small_table();
  std::vector<Vec3> dirs = base.directions();
  dirs.push_back({1e-7, 0.0, 0.0});
  std::vector<double> bvals = base.bvals();
  bvals.push_back(1000.0);
  const GradientTable table = GradientTable::make(dirs, bvals).value();
  const Vec3 e = unit({0.3, -0.4, 1.0});
  // The extra volume carries the b0 signal: its row must be (1, 0, ..., 0) for the fit to stay exact.
  const DwiVolume dwi = make_dwi(1, 1, 1, table.size(), [&](auto, auto, auto, auto t) {
    return t == table.size() - 1 ? 1000.0 : tensor_signal(table.directions()[t], table.bvals()[t], e);
  });
  auto fit = fit_tensors(dwi, table, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_TRUE(fit.ok());
  ASSERT_TRUE(fit->valid[0]);
  EXPECT_NEAR(abs_dot(fit->v1[0], e), 1.0, 1e-8);
  EXPECT_NEAR(fit->fa[0], kProlateFa, 1e-5);
}

TEST(TensorFit, RankDeficientShellGivesAResultNotAnError) {
  // Four directions only: the minimum-norm solution; results must still be finite.
  std::vector<Vec3> dirs{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.6, 0.8, 0}};
  const GradientTable table = GradientTable::make(dirs, {0, 1000, 1000, 1000, 1000}).value();
  const DwiVolume dwi = make_dwi(2, 2, 2, 5, [&](auto x, auto y, auto, auto t) {
    return tensor_signal(table.directions()[t], table.bvals()[t], unit({1.0 + x, 1.0 * y, 0.5}));
  });
  auto fit = fit_tensors(dwi, table, {0}, {1, 2, 3, 4}, 1.0);
  ASSERT_TRUE(fit.ok()) << fit.error().display();
  for (std::size_t v = 0; v < 8; ++v) {
    EXPECT_TRUE(std::isfinite(fit->fa[v]));
    EXPECT_GE(fit->fa[v], 0.0);
    for (double c : fit->v1[v]) EXPECT_TRUE(std::isfinite(c));
  }
}

TEST(TensorFit, ShapeAndShellErrors) {
  const GradientTable table = small_table();
  DwiVolume dwi = make_dwi(2, 2, 2, table.size(), [](auto, auto, auto, auto) { return 100.0; });

  auto empty_shell = fit_tensors(dwi, table, {0, 1}, {}, 1.0);
  ASSERT_FALSE(empty_shell.ok());
  EXPECT_EQ(empty_shell.error().kind(), ErrorKind::DtiFit);
  EXPECT_EQ(empty_shell.error().display(), "DTI fit failed: no DWI volumes in the working shell");

  DwiVolume five = dwi;
  five.dims = {2, 2, 2, table.size(), 1};
  auto five_d = fit_tensors(five, table, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_FALSE(five_d.ok());
  EXPECT_EQ(five_d.error().display(), "DTI fit failed: expected 4-D DWI, got 5-D");

  DwiVolume three = dwi;
  three.dims = {2, 2, 2};
  three.data.resize(8);
  auto three_d = fit_tensors(three, table, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_FALSE(three_d.ok());
  EXPECT_EQ(three_d.error().display(), "DTI fit failed: expected 4-D DWI, got 3-D");

  // Defensive: an index past the last volume is refused instead of read.
  auto out_of_range = fit_tensors(dwi, table, {0, 1}, {2, 99}, 1.0);
  ASSERT_FALSE(out_of_range.ok());
  EXPECT_EQ(out_of_range.error().kind(), ErrorKind::DtiFit);

  // A non-finite b-value in the shell makes the design unusable: an error, not a NaN field.
  std::vector<double> bvals = table.bvals();
  bvals[5] = kInf;
  const GradientTable bad = GradientTable::make(table.directions(), bvals).value();
  auto singular = fit_tensors(dwi, bad, {0, 1}, range(2, table.size()), 1.0);
  ASSERT_FALSE(singular.ok());
  EXPECT_EQ(singular.error().display().rfind("DTI fit failed: singular design matrix: ", 0), 0u);
}

TEST(Otsu, DegenerateInputs) {
  EXPECT_EQ(otsu_threshold({}), 0.0);
  EXPECT_EQ(otsu_threshold({7.5, 7.5, 7.5}), 7.5);
  EXPECT_EQ(otsu_threshold({kNaN, kNaN}), kInf);
  EXPECT_EQ(otsu_threshold({kNaN, 3.0, kNaN}), 3.0);
}

TEST(Otsu, ThresholdIsTheCentreOfTheBestBin) {
  // 0 falls in bin 0 and the maximum in bin 255: the best split is after bin 0.
  EXPECT_EQ(otsu_threshold({0.0, 0.0, 1.0, 1.0}), 0.5 / 256.0);
  EXPECT_EQ(otsu_threshold({kNaN, 0.0, 1.0}), 0.5 / 256.0);
  // Offset and scale: lo + (bin + 0.5) / scale.
  // Bins: 10 -> 0, 11 -> 2, 12 -> 5, 100 -> 250, 101 -> 253, 102 -> 255; the split is after bin 5.
  const double scale = 256.0 / 92.0;
  EXPECT_EQ(otsu_threshold({10.0, 11.0, 12.0, 100.0, 101.0, 102.0}), 10.0 + 5.5 / scale);
  // Equal scores keep the earlier bin: two tight clusters with an empty gap give the first bin after
  // the low cluster.
  EXPECT_EQ(otsu_threshold({0.0, 256.0}), 0.5);
}

class WhiteMatter : public ::testing::Test {
 protected:
  WhiteMatter() : ph_(phantom::make_phantom({.nx = 16, .ny = 16, .nz = 16, .n_directions = 20, .seed = 3})) {
    shell_ = range(3, ph_.table.size());
  }
  phantom::Phantom ph_;
  std::vector<std::size_t> shell_;
  FlipOptions options_;
};

TEST_F(WhiteMatter, MarginThresholdIsCheckedBeforeTheFit) {
  DwiVolume broken = ph_.dwi;
  broken.dims = {16, 16, 16, ph_.table.size(), 1};  // would fail the fit
  for (double bad : {0.0, -0.1, 1.5, kInf, kNaN}) {
    FlipOptions options;
    options.margin_threshold = bad;
    auto r = sample_white_matter(broken, ph_.table, shell_, nullptr, options);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::BadMarginThreshold) << bad;
  }
  FlipOptions options;
  options.margin_threshold = 0.0;
  EXPECT_EQ(sample_white_matter(broken, ph_.table, shell_, nullptr, options).error().display(),
            "margin threshold must be finite and in (0, 1]: 0");
  options.margin_threshold = 1.0;
  EXPECT_TRUE(sample_white_matter(ph_.dwi, ph_.table, shell_, nullptr, options).ok());
}

TEST_F(WhiteMatter, AutomaticMaskIsValidAnisotropicAndAboveOtsu) {
  auto r = sample_white_matter(ph_.dwi, ph_.table, shell_, nullptr, options_);
  ASSERT_TRUE(r.ok()) << r.error().display();
  const TensorFit& fit = r->fit;
  const WhiteMatterSample& s = r->sample;
  const double t = otsu_threshold(fit.s0);
  std::uint64_t count = 0, hits = 0;
  double fa_sum = 0.0;
  for (std::size_t v = 0; v < s.mask.size(); ++v) {
    const bool expected = fit.valid[v] && fit.fa[v] >= 0.2 && fit.s0[v] >= t;
    ASSERT_EQ(s.mask[v] != 0, expected) << v;
    if (!expected) continue;
    ++count;
    fa_sum += fit.fa[v];
    if (ph_.fiber[v] != Vec3{0, 0, 0}) ++hits;
  }
  EXPECT_EQ(s.n_wm_voxels, count);
  EXPECT_DOUBLE_EQ(s.mask_mean_fa, fa_sum / count);
  EXPECT_GT(hits, count * 8 / 10);  // mostly the true bundles
}

TEST_F(WhiteMatter, UserMaskIsUsedUnchanged) {
  MaskVolume mask;
  mask.flags.assign(16 * 16 * 16, 0);
  mask.flags[0] = 1;                    // background corner: may or may not be valid
  mask.flags[(8 * 16 + 8) * 16 + 8] = 1;  // brain centre, isotropic tissue
  auto r = sample_white_matter(ph_.dwi, ph_.table, shell_, &mask, options_);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->sample.mask, mask.flags);
  EXPECT_EQ(r->sample.n_wm_voxels, 2u);
  double sum = 0.0;
  int n = 0;
  for (std::size_t v : {std::size_t{0}, std::size_t{(8 * 16 + 8) * 16 + 8}})
    if (r->fit.valid[v]) sum += r->fit.fa[v], ++n;
  EXPECT_DOUBLE_EQ(r->sample.mask_mean_fa, n ? sum / n : 0.0);
}

TEST_F(WhiteMatter, InvalidVoxelsInUserMaskCountButDoNotEnterTheMean) {
  // Zero signal in the first x-slab: those voxels are not fitted.
  DwiVolume dwi = ph_.dwi;
  for (std::size_t t = 0; t < ph_.table.size(); ++t)
    for (std::size_t z = 0; z < 16; ++z)
      for (std::size_t y = 0; y < 16; ++y) dwi.data[((t * 16 + z) * 16 + y) * 16 + 0] = 0.0f;
  MaskVolume mask;
  mask.flags.assign(16 * 16 * 16, 0);
  mask.flags[(0 * 16 + 3) * 16 + 3] = 1;  // x = 0: invalid
  mask.flags[(8 * 16 + 8) * 16 + 8] = 1;
  auto r = sample_white_matter(dwi, ph_.table, shell_, &mask, options_);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->sample.n_wm_voxels, 2u);
  ASSERT_FALSE(r->fit.valid[(0 * 16 + 3) * 16 + 3]);
  ASSERT_TRUE(r->fit.valid[(8 * 16 + 8) * 16 + 8]);
  EXPECT_EQ(r->sample.mask_mean_fa, r->fit.fa[(8 * 16 + 8) * 16 + 8]);
}

TEST_F(WhiteMatter, EmptySamplesFail) {
  MaskVolume empty;
  empty.flags.assign(16 * 16 * 16, 0);
  auto r = sample_white_matter(ph_.dwi, ph_.table, shell_, &empty, options_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "DTI fit failed: no WM voxels above the FA threshold");

  DwiVolume dark = ph_.dwi;
  std::fill(dark.data.begin(), dark.data.end(), 0.5f);
  auto none = sample_white_matter(dark, ph_.table, shell_, nullptr, options_);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().display(), "DTI fit failed: no WM voxels above the FA threshold");

  // A mask of the wrong size is refused rather than read past its end.
  MaskVolume small;
  small.flags.assign(10, 1);
  auto mismatch = sample_white_matter(ph_.dwi, ph_.table, shell_, &small, options_);
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().kind(), ErrorKind::MaskGridMismatch);
}

TEST_F(WhiteMatter, FallsBackToFaOnlyWhenOtsuExcludesEveryAnisotropicVoxel) {
  // Bright isotropic voxels and dim anisotropic ones: Otsu keeps only the bright half.
  const GradientTable table = small_table();
  const DwiVolume dwi = make_dwi(1, 1, 4, table.size(), [&](auto, auto, auto z, auto t) {
    if (z < 2) return 5000.0 * (t < 2 ? 1.0 : std::exp(-1.0));
    return tensor_signal(table.directions()[t], table.bvals()[t], unit({1, 0, 0}), 100.0);
  });
  auto r = sample_white_matter(dwi, table, range(2, table.size()), nullptr, options_);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->sample.mask, (std::vector<std::uint8_t>{0, 0, 1, 1}));
  EXPECT_EQ(r->sample.n_wm_voxels, 2u);
}

TEST_F(WhiteMatter, UniformB0AdmitsEveryAnisotropicVoxel) {
  const GradientTable table = small_table();
  const DwiVolume dwi = make_dwi(1, 2, 2, table.size(), [&](auto, auto y, auto z, auto t) {
    return tensor_signal(table.directions()[t], table.bvals()[t], unit({1.0, 1.0 * y, 1.0 * z}), 800.0);
  });
  auto r = sample_white_matter(dwi, table, range(2, table.size()), nullptr, options_);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->sample.n_wm_voxels, 4u);
}

TEST(LowFaNote, FiresStrictlyBetweenZeroAndPointThree) {
  EXPECT_FALSE(low_fa_note(0.0).has_value());
  EXPECT_FALSE(low_fa_note(0.3).has_value());
  EXPECT_FALSE(low_fa_note(kNaN).has_value());
  EXPECT_FALSE(low_fa_note(0.45).has_value());
  ASSERT_TRUE(low_fa_note(0.2549).has_value());
  EXPECT_EQ(*low_fa_note(0.2549),
            "coherence mask mean FA 0.25 is low (looks whole-brain) \xE2\x80\x94 flip-detection sensitivity is "
            "reduced; supply a WM mask (FA-thresholded) for a wider margin");
}

}  // namespace
}  // namespace dirsieve
