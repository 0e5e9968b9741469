// The consistency check on the synthetic brain: every kind of part error found with its exact fix, a
// corrupted volume named and never fixed, the screen's sums against the direct fit, and the decision rules at
// their edges; the scanner-axis candidates of the verdict on straight and oblique images.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "core/consistency/consistency.hpp"
#include "core/consistency/screen.hpp"
#include "core/flip/white_matter.hpp"
#include "core/pipeline/engine.hpp"
#include "core/pipeline/table_decision.hpp"
#include "core/repair/frames.hpp"
#include "core/scheme/shells.hpp"
#include "core/verdict/candidates.hpp"
#include "flip_phantom.hpp"
#include "test_repair_support.hpp"

namespace dirsieve {
namespace {

constexpr double kDeg = std::numbers::pi / 180.0;

const phantom::Phantom& brain() {
  static const phantom::Phantom ph = phantom::make_phantom({});
  return ph;
}

// Two shells, b = 1000 and 2000, alternating.
const phantom::Phantom& two_shells() {
  static const phantom::Phantom ph = [] {
    phantom::PhantomSpec spec;
    spec.n_directions = 40;
    spec.second_bval = 2000.0;
    return phantom::make_phantom(spec);
  }();
  return ph;
}

Mat3 about(int axis, double degrees) {
  const double c = std::cos(degrees * kDeg), s = std::sin(degrees * kDeg);
  Mat3 m = identity3();
  const int a = (axis + 1) % 3, b = (axis + 2) % 3;
  m[a][a] = c;
  m[a][b] = -s;
  m[b][a] = s;
  m[b][b] = c;
  return m;
}

// Diffusion-weighted rows of a table, in file order.
std::vector<std::size_t> dw_rows(const GradientTable& t) {
  std::vector<std::size_t> out;
  for (std::size_t k = 0; k < t.size(); ++k)
    if (t.bvals()[k] > 50.0) out.push_back(k);
  return out;
}

// The table with rows `which` mapped by m.
GradientTable with_rows(const GradientTable& t, const std::vector<std::size_t>& which, const Mat3& m) {
  std::vector<Vec3> dirs = t.directions();
  for (std::size_t k : which) dirs[k] = dirsieve::apply(m, dirs[k]);
  return GradientTable::make(dirs, t.bvals()).value();
}

struct Checked {
  ConsistencyResult result;
  GradientTable fixed;  // the finding and its whole-table class applied (the given table without a finding)
};

Checked check(const phantom::Phantom& ph, const GradientTable& table) {
  FlipOptions flip;
  const Shell shell = select_working_shell(table.bvals(), 50.0, 0.05, std::nullopt).value();
  auto fitted = sample_white_matter(ph.dwi, table, shell.indices, nullptr, flip);
  EXPECT_TRUE(fitted.ok());
  ConsistencyInputs in;
  in.dwi = &ph.dwi;
  in.table = &table;
  in.fit = &fitted->fit;
  in.sample = &fitted->sample;
  in.distances_mm = verdict_distances(ph.dwi.voxel_sizes, {}).value();
  auto result = check_consistency(in, ConsistencySettings{});
  EXPECT_TRUE(result.ok());
  Checked out{std::move(*result), table};
  if (out.result.finding) {
    const CandidateEvidence& f = out.result.candidates[*out.result.finding];
    out.fixed = apply_fix(apply_fix(table, f.fix.rows), uniform_fix(table.size(), f.whole_matrix));
  }
  return out;
}

// The largest angle (as axes) between the rows of two tables, and the b-values equal.
double worst_angle(const GradientTable& a, const GradientTable& b) {
  double worst = 0.0;
  for (std::size_t k : dw_rows(b)) {
    worst = std::max(worst, axis_angle_deg(a.directions()[k], b.directions()[k]));
    EXPECT_NEAR(a.bvals()[k], b.bvals()[k], 1e-9 * b.bvals()[k]) << "row " << k;
  }
  return worst;
}

// ---------------------------------------------------------------------------------------------------------
// Findings on the phantom

TEST(Consistency, OwnTablesAgreeWithThemselves) {
  for (const phantom::Phantom* ph : {&brain(), &two_shells()}) {
    const Checked c = check(*ph, ph->table);
    EXPECT_TRUE(c.result.checked);
    EXPECT_EQ(c.result.status, Status::Pass) << c.result.reason;
    EXPECT_FALSE(c.result.finding);
    EXPECT_FALSE(c.result.suspect);
    // Every volume has its share, and they add up to the whole.
    double total = 0.0;
    for (const auto& v : c.result.volumes) {
      total += v.share;
      EXPECT_EQ(v.state, VolumeState::Fits) << "volume " << v.volume;
    }
    EXPECT_EQ(c.result.volumes.size(), dw_rows(ph->table).size());
    EXPECT_NEAR(total, 1.0, 1e-9);
  }
}

TEST(Consistency, FindsEachKindOfPartErrorWithItsFix) {
  const GradientTable& truth = brain().table;
  const std::vector<std::size_t> dw = dw_rows(truth);
  const std::size_t n = dw.size();
  const std::vector<std::size_t> second_half(dw.begin() + static_cast<std::ptrdiff_t>(n / 2), dw.end());
  const std::vector<std::size_t> first_quarter(dw.begin(), dw.begin() + static_cast<std::ptrdiff_t>(n / 4));
  // Rows moved by one: each row holds the direction of the one before it.
  std::vector<Vec3> moved = truth.directions();
  for (std::size_t i = 0; i < n; ++i) moved[dw[i]] = truth.directions()[dw[(i + n - 1) % n]];
  struct Case {
    std::string name;
    GradientTable wrong;
    PartKind kind;
    double tolerance_deg;  // rows a transform turns by less than the resolution are kept
  };
  const std::vector<Case> cases = {
      {"x negated on the second half", with_rows(truth, second_half, Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}),
       PartKind::ClassRun, 10.0},
      {"x and y swapped on the first quarter", with_rows(truth, first_quarter, Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}}),
       PartKind::ClassRun, 10.0},
      {"the second half turned 25 degrees about x", with_rows(truth, second_half, about(0, 25.0)),
       PartKind::RotationRun, 2.0},
      {"directions moved by one row", GradientTable::make(moved, truth.bvals()).value(), PartKind::Shift, 1e-6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Checked got = check(brain(), c.wrong);
    ASSERT_TRUE(got.result.finding) << got.result.reason;
    EXPECT_EQ(got.result.status, Status::Flag);
    const CandidateEvidence& f = got.result.candidates[*got.result.finding];
    EXPECT_EQ(f.fix.kind, c.kind);
    EXPECT_GE(f.effect, 0.01);
    EXPECT_GE(f.residual.z, 3.0);
    EXPECT_LE(worst_angle(got.fixed, truth), c.tolerance_deg);
    EXPECT_NE(got.result.reason.find(f.fix.description), std::string::npos);
    // The corrected table agrees with itself.
    EXPECT_EQ(check(brain(), got.fixed).result.status, Status::Pass);
  }
}

TEST(Consistency, FindsTheBvaluesOfTwoShellsExchanged) {
  const GradientTable& truth = two_shells().table;
  std::vector<double> b = truth.bvals();
  for (double& v : b) {
    if (v > 1500.0) {
      v /= 2.0;
    } else if (v > 50.0) {
      v *= 2.0;
    }
  }
  const GradientTable wrong = GradientTable::make(truth.directions(), b).value();
  const Checked got = check(two_shells(), wrong);
  ASSERT_TRUE(got.result.finding) << got.result.reason;
  const CandidateEvidence& f = got.result.candidates[*got.result.finding];
  EXPECT_EQ(f.fix.kind, PartKind::BvalueSwap);
  EXPECT_EQ(f.fix.changed, dw_rows(truth));
  EXPECT_LE(worst_angle(got.fixed, truth), 1e-9);
}

TEST(Consistency, ACorruptedVolumeIsNamedAndNeverFixed) {
  // Signal dropout in half the slices of one volume (motion during its slices, or a spike).
  phantom::Phantom ph = brain();
  const std::size_t victim = dw_rows(ph.table)[9];
  const std::size_t nx = ph.dwi.nx(), ny = ph.dwi.ny(), nz = ph.dwi.nz();
  for (std::size_t z = 0; z < nz; z += 2)
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t x = 0; x < nx; ++x) ph.dwi.data[((victim * nz + z) * ny + y) * nx + x] *= 0.25f;
  const Checked got = check(ph, ph.table);
  EXPECT_FALSE(got.result.finding);
  bool named = false;
  for (const auto& v : got.result.volumes) {
    if (v.volume == victim) {
      EXPECT_EQ(v.state, VolumeState::NoDirection);
      EXPECT_GE(v.misfit, 3.0);
      named = true;
    } else {
      EXPECT_EQ(v.state, VolumeState::Fits) << "volume " << v.volume;
    }
  }
  EXPECT_TRUE(named);
  ASSERT_EQ(got.result.notes.size(), 1u);
  EXPECT_NE(got.result.notes[0].find("volume " + std::to_string(victim) + " fits no direction"), std::string::npos);
}

TEST(Consistency, TablesTooShortOrSamplesTooSmallAreNotChecked) {
  phantom::PhantomSpec spec;
  spec.nx = spec.ny = spec.nz = 24;
  spec.n_directions = 7;  // a part and a reference of six need eight
  const phantom::Phantom ph = phantom::make_phantom(spec);
  const Checked got = check(ph, ph.table);
  EXPECT_FALSE(got.result.checked);
  EXPECT_EQ(got.result.status, Status::Pass);
  EXPECT_NE(got.result.reason.find("only 7 diffusion-weighted volumes"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------------------
// The screen against the direct fit

TEST(Screen, EveryKindScoresAsTheDirectFitOfItsTable) {
  // The residual sum of each screened hypothesis, from the prefix sums or the whole-table path, is the
  // residual sum of the table it spells out (with no rows kept for being turned too little).
  const phantom::Phantom& ph = two_shells();
  const GradientTable wrong = with_rows(ph.table, {dw_rows(ph.table)[3], dw_rows(ph.table)[4]}, about(1, 40.0));
  FlipOptions flip;
  const Shell shell = select_working_shell(wrong.bvals(), 50.0, 0.05, std::nullopt).value();
  const auto fitted = sample_white_matter(ph.dwi, wrong, shell.indices, nullptr, flip).value();
  const VolumeRows rows = volume_rows(wrong, 50.0);
  const SampleSignals signals = gather_signals(ph.dwi, fitted.fit, fitted.sample, rows, 16.0);
  const Eigen::MatrixXd s = signal_scatter(signals);
  ScreenSettings settings;
  settings.resolution_deg = 0.0;
  settings.changed_deg = 0.0;
  settings.min_turn_deg = 0.0;
  settings.keep = 400;
  const ScreenResult screened = screen_hypotheses(s, wrong, rows, settings);
  double b_unit = 0.0;
  for (double b : wrong.bvals()) b_unit = std::max(b_unit, b);
  EXPECT_NEAR(screened.rss_given, residual_sum(s, table_design(wrong, rows, b_unit)), 1e-9 * screened.rss_given);
  std::set<PartKind> kinds;
  for (const ScreenedHypothesis& h : screened.best) {
    kinds.insert(h.fix.kind);
    const double direct = residual_sum(s, table_design(apply_fix(wrong, h.fix.rows), rows, b_unit));
    EXPECT_NEAR(h.rss, direct, 1e-7 * screened.rss_given) << h.fix.description;
  }
  EXPECT_TRUE(kinds.count(PartKind::ClassRun));
  EXPECT_TRUE(kinds.count(PartKind::RotationRun));
  EXPECT_TRUE(kinds.count(PartKind::Shift));
}

// ---------------------------------------------------------------------------------------------------------
// The decision rules on hand-made evidence

CandidateEvidence candidate(double effect, double z, double fibre_z, int boundaries, std::vector<std::size_t> changed) {
  CandidateEvidence c;
  c.fix.description = "volumes " + volume_ranges(changed);
  c.fix.changed = std::move(changed);
  c.effect = effect;
  c.residual.z = z;
  c.residual.blocks = 100;
  c.eligible = effect >= 0.01 && z >= 3.0;
  c.scored = true;
  c.fibre.z = fibre_z;
  c.combined_z = (z + fibre_z) / std::numbers::sqrt2;
  c.boundaries = boundaries;
  return c;
}

ConsistencyResult evidence(std::vector<CandidateEvidence> candidates, std::vector<CandidatePair> pairs = {}) {
  ConsistencyResult r;
  r.checked = true;
  r.candidates = std::move(candidates);
  r.pairs = std::move(pairs);
  decide_consistency(r, ConsistencySettings{});
  return r;
}

TEST(ConsistencyDecision, ThresholdsAtTheirEdges) {
  // Residual effect 1% and z 3 are eligible; the two z together must reach 3. A strong residual lowered by a
  // tenth or more needs only the fibres' not contradicting it (a fibre z of exactly -2 does not) ...
  const double strong = 3.0 * std::numbers::sqrt2 + 2.0;
  EXPECT_EQ(evidence({candidate(0.10, strong, -2.0, 1, {7, 8})}).status, Status::Flag);
  // ... a smaller one their being no less coherent with it, or it is not decided ...
  EXPECT_EQ(evidence({candidate(0.0999, strong, 0.0, 1, {7, 8})}).status, Status::Flag);
  EXPECT_EQ(evidence({candidate(0.0999, strong, -0.01, 1, {7, 8})}).status, Status::Warn);
  // ... and a residual barely past its threshold their support.
  const double support = 3.0 * std::numbers::sqrt2 - 3.0;
  EXPECT_EQ(evidence({candidate(0.01, 3.0, support, 1, {7, 8})}).status, Status::Flag);
  const ConsistencyResult short_of_it = evidence({candidate(0.01, 3.0, support - 0.01, 1, {7, 8})});
  EXPECT_EQ(short_of_it.status, Status::Warn);  // not decided, and not silently passed either
  EXPECT_EQ(short_of_it.suspect, 0u);
  EXPECT_NE(short_of_it.reason.find("the fibres do not confirm it"), std::string::npos);
  EXPECT_EQ(evidence({candidate(0.0099, 9.0, 5.0, 1, {7, 8})}).status, Status::Pass);
  EXPECT_EQ(evidence({candidate(0.2, 2.99, 5.0, 1, {7, 8})}).status, Status::Pass);
  EXPECT_EQ(evidence({candidate(0.2, 9.0, -2.01, 1, {7, 8})}).status, Status::Pass);
  CandidateEvidence unscored = candidate(0.2, 9.0, 5.0, 1, {7, 8});
  unscored.scored = false;
  EXPECT_EQ(evidence({unscored}).status, Status::Pass);
}

TEST(ConsistencyDecision, AFittedRotationNeedsItsAngleFixed) {
  CandidateEvidence turned = candidate(0.2, 9.0, 3.0, 2, {7, 8, 9, 10, 11, 12});
  turned.fix.kind = PartKind::RotationRun;
  turned.angle_cost = 0.04;  // turning it by the resolution costs 4% of the residual: decided
  EXPECT_EQ(evidence({turned}).status, Status::Flag);
  turned.angle_cost = 0.039;
  const ConsistencyResult r = evidence({turned});
  EXPECT_EQ(r.status, Status::Warn);
  EXPECT_FALSE(r.finding);
  EXPECT_NE(r.reason.find("the data do not fix its angle"), std::string::npos);
  turned.angle_cost = 0.2;
  turned.fibre.z = -0.1;  // and the fibres must not be less coherent with it at all: rejected
  turned.combined_z = (turned.residual.z + turned.fibre.z) / std::numbers::sqrt2;
  EXPECT_EQ(evidence({turned}).status, Status::Pass);
  turned.residual.z = 3.0;  // allowed by the fibres, short of the evidence: not decided
  turned.fibre.z = 1.0;
  turned.combined_z = (turned.residual.z + turned.fibre.z) / std::numbers::sqrt2;
  const ConsistencyResult unconfirmed = evidence({turned});
  EXPECT_EQ(unconfirmed.status, Status::Warn);
  EXPECT_NE(unconfirmed.reason.find("the fibres do not confirm it"), std::string::npos);
}

TEST(ConsistencyDecision, TheFibresMustNotRejectWhatTheResidualPrefersMost) {
  const ConsistencyResult r = evidence({candidate(0.30, 9.0, -4.0, 2, {1, 2, 3}), candidate(0.10, 6.0, 3.0, 1, {7, 8})});
  EXPECT_EQ(r.status, Status::Warn);
  EXPECT_FALSE(r.finding);
  EXPECT_EQ(r.suspect, 1u);
  EXPECT_NE(r.reason.find("the data do not agree on one"), std::string::npos);
}

TEST(ConsistencyDecision, VariantsTheDataCannotSeparate) {
  // Two tails differing in volume 9, neither decisively better: undecided.
  std::vector<CandidateEvidence> two{candidate(0.20, 8.0, 5.0, 1, {9, 10, 11}), candidate(0.19, 8.0, 6.0, 1, {10, 11})};
  ConsistencyResult r = evidence(two, {{0, 1, 1.5, {9}}, {1, 0, -1.5, {9}}});
  EXPECT_EQ(r.status, Status::Warn);
  EXPECT_EQ(r.undecided, std::vector<std::size_t>{9});
  // Decisively better: decided.
  r = evidence(two, {{0, 1, 3.0, {9}}, {1, 0, -3.0, {9}}});
  EXPECT_EQ(r.status, Status::Flag);
  EXPECT_EQ(r.finding, 0u);
  // A tail and a middle run that differ in one row: the simpler account (fewer boundaries) wins the tie ...
  std::vector<CandidateEvidence> occam{candidate(0.20, 8.0, 5.0, 2, {9, 10}), candidate(0.19, 8.0, 5.0, 1, {9, 10, 11})};
  r = evidence(occam, {{0, 1, 1.0, {11}}, {1, 0, -1.0, {11}}});
  EXPECT_EQ(r.status, Status::Flag);
  EXPECT_EQ(r.finding, 1u);
  // ... but not when the data decide against it.
  r = evidence(occam, {{0, 1, 3.5, {11}}, {1, 0, -3.5, {11}}});
  EXPECT_EQ(r.finding, 0u);
  // Two different explanations (many rows apart) stay undecided whatever their boundaries.
  std::vector<CandidateEvidence> apart{candidate(0.20, 8.0, 5.0, 2, {3, 4, 5, 6}), candidate(0.19, 8.0, 5.0, 1, {9, 10, 11, 12})};
  r = evidence(apart, {{0, 1, 1.0, {3, 4, 5, 6, 9, 10, 11, 12}}, {1, 0, -1.0, {3, 4, 5, 6, 9, 10, 11, 12}}});
  EXPECT_EQ(r.status, Status::Warn);
}

// ---------------------------------------------------------------------------------------------------------
// Per-volume fixes and their words

TEST(PartFix, ComposeApplyAndDescribe) {
  const GradientTable t = GradientTable::make({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.6, 0, 0.8}}, {0, 1000, 1000, 1000}).value();
  std::vector<VolumeFix> first = uniform_fix(4, identity3());
  first[2].source = 3;  // row 2 takes row 3's direction
  first[3].matrix = Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  const std::vector<VolumeFix> second = uniform_fix(4, Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}});
  const GradientTable once = apply_fix(apply_fix(t, first), second);
  const GradientTable composed = apply_fix(t, compose_fixes(first, second));
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(once.directions()[k], composed.directions()[k]) << k;
  EXPECT_EQ(composed.directions()[2], (Vec3{0.0, 0.6, 0.8}));
  EXPECT_FALSE(std::signbit(apply_fix(t, first).directions()[3][1]));  // no negative zero is written

  EXPECT_EQ(volume_ranges({1, 2, 3, 5, 7, 8}), "1\xE2\x80\x93" "3, 5, 7, 8");
  EXPECT_EQ(class_effect("-x+y+z", Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}), "x negated");
  EXPECT_EQ(class_effect("+x-y-z", Mat3{{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}), "x negated");  // the same class
  EXPECT_EQ(class_effect("+y+x+z", Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}}), "x and y swapped");
  EXPECT_EQ(class_effect("-y+x+z", Mat3{{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}}), "turned by -y+x+z");
}

TEST(PartFix, TheOtherSideSaysTheSameCorrection) {
  const GradientTable& t = brain().table;
  const std::vector<std::size_t> dw = dw_rows(t);
  PartFix fix;
  fix.kind = PartKind::ClassRun;
  fix.matrix = Mat3{{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
  fix.label = "-y+x+z";
  fix.rows = uniform_fix(t.size(), identity3());
  for (std::size_t i = 0; i < 10; ++i) {
    fix.rows[dw[i]].matrix = fix.matrix;
    fix.changed.push_back(dw[i]);
  }
  const PartFix other = other_side(fix, t, dw, 10.0);
  EXPECT_EQ(other.label, "+y-x+z");
  // Either side, then the whole table by the part's transform, is the same table.
  const GradientTable a = apply_fix(t, fix.rows);
  const GradientTable b = apply_fix(apply_fix(t, other.rows), uniform_fix(t.size(), fix.matrix));
  EXPECT_LE(worst_angle(a, b), 1e-9);
  EXPECT_EQ(other.changed.size(), dw.size() - 10);
}

// ---------------------------------------------------------------------------------------------------------
// Scanner-axis candidates

TEST(FrameCandidates, StraightImagesKeepTheClassesAlone) {
  for (const Mat3& r : {identity3(), Mat3{{{0, 0, -1}, {1, 0, 0}, {0, -1, 0}}}, about(2, 9.9)}) {
    const CandidateSet set = verdict_candidates(Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, r);
    EXPECT_EQ(set.candidates.size(), 24u);
    EXPECT_FALSE(set.frames);
  }
  EXPECT_NEAR(obliquity_deg(about(2, 9.9)), 9.9, 1e-9);
}

TEST(FrameCandidates, ObliqueImagesAddTheRotatedFamiliesOnceEach) {
  const Mat3 fsl{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  const Mat3 r = multiply(about(2, 30.0), about(0, 12.0));
  CandidateSet set = verdict_candidates(fsl, r);
  EXPECT_TRUE(set.frames);
  EXPECT_EQ(set.candidates.size(), 72u);  // the classes, scanner axes, turned the wrong way
  for (std::size_t i = 0; i < set.candidates.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      EXPECT_FALSE(same_transform(set.candidates[i].transform, set.candidates[j].transform)) << i << " " << j;
  EXPECT_EQ(set.candidates[24].label, "RAS");
  // The fix of a table in scanner axes maps R F b back to b.
  const Vec3 b{0.36, 0.48, 0.8};
  EXPECT_NEAR(axis_angle_deg(dirsieve::apply(set.candidates[24].transform, dirsieve::apply(r, dirsieve::apply(fsl, b))), b),
              0.0, 1e-9);
  // An improper symmetric rotation (a mirror) is its own transpose: the two families coincide.
  const Mat3 mirror = multiply(about(2, 20.0), Mat3{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}});
  ASSERT_TRUE(same_transform(mirror, transpose(mirror)));
  set = verdict_candidates(fsl, mirror);
  EXPECT_EQ(set.candidates.size(), 48u);
  // A four-column table is read in scanner axes already: its own classes are the scanner family, and the
  // image-axes family is new.
  set = verdict_candidates(transpose(r), r);
  std::size_t image = 0;
  for (const auto& c : set.candidates) image += c.kind == CandidateKind::Image ? 1 : 0;
  EXPECT_EQ(image, 24u);
}

TEST(FrameCandidates, ATableInScannerAxesOfAnObliqueImageFlagsWithItsFix) {
  // The phantom imaged through an affine turned 25 degrees about z: its true bvec holds the directions in
  // voxel axes with x mirrored (a positive determinant), and the scanner-axis table is R F b.
  phantom::PhantomSpec spec;
  const Mat3 r = about(2, 25.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) spec.affine[i][j] = 2.0 * r[i][j];
  const Mat3 fsl = frame_map(spec.affine, false);
  spec.frame_map = fsl;
  const phantom::Phantom ph = phantom::make_phantom(spec);
  EngineOptions options;
  options.audit.flip.frame_map = fsl;
  options.audit.flip.step = 2.0;
  const auto run = [&](const GradientTable& table) {
    auto out = run_engine(EngineCommand::Audit, table, {}, ph.dwi, nullptr, options);
    EXPECT_TRUE(out.ok());
    return std::move(*out).verdict;
  };
  const Verdict own = run(ph.table);
  EXPECT_EQ(own.status, Status::Pass) << own.reason;
  EXPECT_TRUE(own.frame_candidates);
  EXPECT_NEAR(own.obliquity_deg, 25.0, 1e-6);
  for (const auto& [label, world] : {std::pair<std::string, Mat3>{"RAS", identity3()},
                                     std::pair<std::string, Mat3>{"LPS", Mat3{{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}}}) {
    const GradientTable scanner = phantom::transform_table(ph.table, multiply(world, multiply(r, fsl)));
    const Verdict v = run(scanner);
    ASSERT_EQ(v.status, Status::Flag) << v.reason;
    EXPECT_EQ(v.recommended_label, label);
    EXPECT_EQ(v.recommended_kind, CandidateKind::Scanner);
    EXPECT_NE(v.reason.find("the table is in scanner axes (" + label + ")"), std::string::npos) << v.reason;
    for (const auto& row : v.distances) EXPECT_FALSE(same_transform(row.winner.matrix, row.runner_up.matrix));
    EXPECT_LE(worst_angle(apply_matrix(scanner, *v.recommended_transform), ph.table), 1e-6);
  }
}

// ---------------------------------------------------------------------------------------------------------
// The one decision and its repair

TEST(TableDecision, APartDecidedWrongIsRepairedVolumeByVolume) {
  const GradientTable& truth = brain().table;
  const std::vector<std::size_t> dw = dw_rows(truth);
  const std::vector<std::size_t> half(dw.begin() + static_cast<std::ptrdiff_t>(dw.size() / 2), dw.end());
  const Mat3 flip_x{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  // The second half wrong, and then the whole table's y axis too.
  const GradientTable wrong =
      phantom::transform_table(with_rows(truth, half, flip_x), Mat3{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}});
  auto out = run_engine(EngineCommand::Audit, wrong, {}, brain().dwi, nullptr, EngineOptions{});
  ASSERT_TRUE(out.ok());
  const Verdict& v = out->verdict;
  ASSERT_EQ(v.status, Status::Flag) << v.reason;
  ASSERT_TRUE(v.fix);
  EXPECT_EQ(v.recommended_label, "per-volume");
  EXPECT_FALSE(v.recommended_transform);
  EXPECT_TRUE(v.fix_whole_label);  // the corrected table's whole-table fix is composed in
  EXPECT_LE(worst_angle(apply_fix(wrong, *v.fix), truth), 10.0);
  EXPECT_FALSE(v.as_given.is_null());

  testing::ScratchDir dir;
  RepairOptions options;
  options.out_bvec = dir.path("fixed.bvec");
  options.out_bval = dir.path("fixed.bval");
  options.provenance = dir.path("provenance.json");
  Report report = out->report;
  auto repaired = apply_verdict_repair(report, v, wrong, options);
  ASSERT_TRUE(repaired.ok()) << repaired.error().display();
  EXPECT_TRUE(repaired->planned);
  const std::string provenance = testing::slurp(*options.provenance);
  EXPECT_NE(provenance.find("\"applied_fix\""), std::string::npos);
  EXPECT_NE(provenance.find(v.fix_description), std::string::npos);
}

TEST(TableDecision, APartInDoubtKeepsEveryFixFromBeingWritten) {
  Verdict given;
  given.status = Status::Warn;
  given.common_label = "+x-y+z";
  given.common_transform = Mat3{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};
  ConsistencyResult doubt;
  doubt.checked = true;
  doubt.status = Status::Warn;
  doubt.reason = "part of the table looks wrong (...), but the data cannot decide volume 9";
  const Verdict v = decide_table(given, doubt, ConsistencySettings{}, std::nullopt, std::nullopt, 10);
  EXPECT_EQ(v.status, Status::Warn);
  EXPECT_TRUE(v.part_suspected);
  EXPECT_EQ(v.reason, doubt.reason);

  testing::ScratchDir dir;
  RepairOptions options;
  options.out_bvec = dir.path("fixed.bvec");
  options.out_bval = dir.path("fixed.bval");
  options.force_repair = true;
  Report report;
  const GradientTable t = GradientTable::make(std::vector<Vec3>(10, Vec3{1, 0, 0}), std::vector<double>(10, 1000.0)).value();
  auto repaired = apply_verdict_repair(report, v, t, options);
  ASSERT_TRUE(repaired.ok());
  EXPECT_FALSE(repaired->planned);
  EXPECT_FALSE(std::filesystem::exists(options.out_bvec));
  ASSERT_FALSE(report.notes.empty());
  EXPECT_NE(report.notes.back().find("repair not forced"), std::string::npos);

  // A FLAG of the fibres alone does not stand beside a part in doubt either.
  given.status = Status::Flag;
  given.recommended_label = "+x-y+z";
  given.recommended_transform = given.common_transform;
  const Verdict flagged = decide_table(given, doubt, ConsistencySettings{}, std::nullopt, std::nullopt, 10);
  EXPECT_EQ(flagged.status, Status::Warn);
  EXPECT_FALSE(flagged.recommended_transform);
  EXPECT_NE(flagged.reason.find("the fibres alone would have the whole table turned by +x-y+z"), std::string::npos);
}

}  // namespace
}  // namespace dirsieve
