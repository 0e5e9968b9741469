// Candidate transforms, the coherence score, the decision and their JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "core/flip/candidates.hpp"
#include "core/flip/coherence.hpp"
#include "core/flip/decision.hpp"

namespace dirsieve {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double det(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

TEST(Candidates, FixedOrderLabelsAndMatrices) {
  const auto& c = generate_candidates();
  ASSERT_EQ(c.size(), 48u);
  const char* labels[48] = {
      "+x+y+z", "-x+y+z", "+x-y+z", "-x-y+z", "+x+y-z", "-x+y-z", "+x-y-z", "-x-y-z", "+x+z+y", "-x+z+y",
      "+x-z+y", "-x-z+y", "+x+z-y", "-x+z-y", "+x-z-y", "-x-z-y", "+y+x+z", "-y+x+z", "+y-x+z", "-y-x+z",
      "+y+x-z", "-y+x-z", "+y-x-z", "-y-x-z", "+y+z+x", "-y+z+x", "+y-z+x", "-y-z+x", "+y+z-x", "-y+z-x",
      "+y-z-x", "-y-z-x", "+z+x+y", "-z+x+y", "+z-x+y", "-z-x+y", "+z+x-y", "-z+x-y", "+z-x-y", "-z-x-y",
      "+z+y+x", "-z+y+x", "+z-y+x", "-z-y+x", "+z+y-x", "-z+y-x", "+z-y-x", "-z-y-x"};
  std::set<std::string> seen_labels;
  std::set<Mat3> seen_matrices;
  int improper = 0;
  for (std::size_t k = 0; k < 48; ++k) {
    EXPECT_EQ(c[k].label, labels[k]);
    EXPECT_EQ(c[k].is_identity, k == 0);
    seen_labels.insert(c[k].label);
    seen_matrices.insert(c[k].matrix);
    for (const auto& row : c[k].matrix)
      for (double e : row) {
        EXPECT_TRUE(e == 1.0 || e == -1.0 || (e == 0.0 && !std::signbit(e))) << c[k].label;
      }
    if (det(c[k].matrix) < 0) ++improper;
    // The partner (all signs negated) of sign code f is candidate k + 7 - 2f.
    const std::size_t f = k % 8;
    const std::size_t partner = k + 7 - 2 * f;
    EXPECT_TRUE(sign_equivalent(c[k].matrix, c[partner].matrix));
    for (std::size_t j = 0; j < 48; ++j) {
      if (j == k || j == partner) continue;
      EXPECT_FALSE(sign_equivalent(c[k].matrix, c[j].matrix));
    }
  }
  EXPECT_EQ(seen_labels.size(), 48u);
  EXPECT_EQ(seen_matrices.size(), 48u);
  EXPECT_EQ(improper, 24);
  // +y-z+x maps (g0, g1, g2) to (g1, -g2, g0).
  EXPECT_EQ(dirsieve::apply(c[26].matrix, Vec3{1.0, 2.0, 3.0}), (Vec3{2.0, -3.0, 1.0}));
  EXPECT_EQ(&generate_candidates(), &c);
}

// A fit over a small grid whose directions are given per voxel; zero means "no direction".
struct Field {
  TensorFit fit;
  WhiteMatterSample sample;
  Field(std::size_t nx, std::size_t ny, std::size_t nz) {
    const std::size_t n = nx * ny * nz;
    fit.dims = {nx, ny, nz};
    fit.v1.assign(n, Vec3{0, 0, 0});
    fit.fa.assign(n, 0.0);
    fit.s0.assign(n, 1000.0);
    fit.valid.assign(n, 0);
    sample.mask.assign(n, 0);
  }
  std::size_t index(std::size_t x, std::size_t y, std::size_t z) const {
    return (x * fit.dims[1] + y) * fit.dims[2] + z;
  }
  void set(std::size_t x, std::size_t y, std::size_t z, Vec3 v, bool in_mask = true) {
    const std::size_t i = index(x, y, z);
    fit.v1[i] = v;
    fit.valid[i] = v != Vec3{0, 0, 0};
    fit.fa[i] = fit.valid[i] ? 0.7 : 0.0;
    sample.mask[i] = in_mask;
    sample.n_wm_voxels = 0;
    for (auto m : sample.mask) sample.n_wm_voxels += m;
  }
};

const RankedCandidate& find(const std::vector<RankedCandidate>& ranking, const std::string& label) {
  for (const auto& r : ranking)
    if (r.label == label) return r;
  ADD_FAILURE() << "missing " << label;
  return ranking.front();
}

TEST(Interpolation, CornerRulesAndGuards) {
  Field f(3, 3, 3);
  f.set(1, 1, 1, {1, 0, 0});
  f.set(2, 1, 1, {0, 1, 0});
  f.set(0, 1, 1, {-1, 0, 0});
  f.set(1, 2, 1, {0, 0, 1}, false);  // outside the mask: never a corner
  f.set(1, 0, 1, {0, 0, 0});         // in the mask but without a direction
  const auto& field = f.fit.v1;
  const auto& mask = f.sample.mask;
  const auto& dims = f.fit.dims;
  const Vec3 u{1, 0, 0};

  // An integral coordinate uses only the offset-0 corner.
  EXPECT_EQ(interpolate_direction(field, mask, dims, {1, 1, 1}, u), (Vec3{1, 0, 0}));
  // Half way between two corners: the weighted mean, normalised.
  const auto half = interpolate_direction(field, mask, dims, {1.5, 1, 1}, u);
  ASSERT_TRUE(half);
  EXPECT_DOUBLE_EQ((*half)[0], std::sqrt(0.5));
  EXPECT_DOUBLE_EQ((*half)[1], std::sqrt(0.5));
  // An anti-parallel corner counts as parallel.
  EXPECT_EQ(interpolate_direction(field, mask, dims, {0.5, 1, 1}, u), (Vec3{1, 0, 0}));
  // Masked-out and direction-less corners are skipped.
  EXPECT_EQ(interpolate_direction(field, mask, dims, {1, 1.5, 1}, u), (Vec3{1, 0, 0}));
  EXPECT_EQ(interpolate_direction(field, mask, dims, {1, 0.5, 1}, u), (Vec3{1, 0, 0}));
  EXPECT_FALSE(interpolate_direction(field, mask, dims, {1, 2, 1}, u));
  // Less than a voxel outside still reaches the inside corners; a whole voxel outside does not.
  EXPECT_EQ(interpolate_direction(field, mask, dims, {-0.5, 1, 1}, u), (Vec3{1, 0, 0}));
  EXPECT_FALSE(interpolate_direction(field, mask, dims, {-1, 1, 1}, u));
  EXPECT_FALSE(interpolate_direction(field, mask, dims, {3, 1, 1}, u));
  // Corners perpendicular to the centre and opposite to each other cancel: no direction.
  Field g(2, 1, 1);
  g.set(0, 0, 0, {1, 0, 0});
  g.set(1, 0, 0, {-1, 0, 0});
  EXPECT_FALSE(interpolate_direction(g.fit.v1, g.sample.mask, g.fit.dims, {0.5, 0, 0}, {0, 0, 1}));
  // Non-finite or enormous points are invalid samples, not crashes.
  for (double bad : {kNaN, kInf, -kInf, 1e300, -1e300})
    EXPECT_FALSE(interpolate_direction(field, mask, dims, {bad, 1, 1}, u)) << bad;
}

TEST(Coherence, AttemptsOutsideTheGridLowerTheScore) {
  // A line of four voxels along x, all pointing along x, step 1: the two end samples leave the grid.
  Field f(4, 1, 1);
  for (std::size_t x = 0; x < 4; ++x) f.set(x, 0, 0, {1, 0, 0});
  const auto ranking = score_candidates(f.fit, f.sample, 1.0, identity3());
  ASSERT_EQ(ranking.size(), 48u);
  EXPECT_EQ(ranking[0].label, "+x+y+z");
  EXPECT_EQ(ranking[0].coherence, 0.75);
  EXPECT_EQ(ranking[0].n_samples, 6u);
  // Exactly the 16 candidates that keep the direction on the x axis score; the others step off the line.
  for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(ranking[k].coherence, k < 16 ? 0.75 : 0.0) << k;
  EXPECT_EQ(ranking[1].label, "-x+y+z");
  // Swapping x and y steps out of the one-voxel-thick grid: every sample is invalid but counted.
  const auto& swapped = find(ranking, "+y+x+z");
  EXPECT_EQ(swapped.coherence, 0.0);
  EXPECT_EQ(swapped.n_samples, 0u);
}

TEST(Coherence, FrameMapIsAppliedBeforeSampling) {
  // The same line, but the table's x axis is the image's y axis.
  Field f(1, 4, 1);
  for (std::size_t y = 0; y < 4; ++y) f.set(0, y, 0, {1, 0, 0});
  const Mat3 frame{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}};
  const auto ranking = score_candidates(f.fit, f.sample, 1.0, frame);
  EXPECT_EQ(ranking[0].label, "+x+y+z");
  EXPECT_EQ(ranking[0].coherence, 0.75);
}

TEST(Coherence, ZeroStepScoresOneEverywhereAndKeepsCandidateOrder) {
  Field f(3, 3, 3);
  f.set(0, 0, 0, {0.6, 0.8, 0});
  f.set(1, 2, 1, {0, 0.6, -0.8});
  f.set(2, 2, 2, {0, 0, 1});
  f.set(2, 0, 1, {0, 0, 0});  // a masked voxel without direction: no attempts
  const auto ranking = score_candidates(f.fit, f.sample, 0.0, identity3());
  const auto& c = generate_candidates();
  for (std::size_t k = 0; k < 48; ++k) {
    EXPECT_EQ(ranking[k].label, c[k].label);
    EXPECT_DOUBLE_EQ(ranking[k].coherence, 1.0);
    EXPECT_EQ(ranking[k].n_samples, 6u);
  }
}

TEST(Coherence, IsolatedVoxelWithShortStepSamplesItself) {
  Field f(3, 3, 3);
  f.set(1, 1, 1, {0, 1, 0});
  const auto ranking = score_candidates(f.fit, f.sample, 0.5, identity3());
  for (const auto& r : ranking) {
    EXPECT_DOUBLE_EQ(r.coherence, 1.0) << r.label;
    EXPECT_EQ(r.n_samples, 2u);
  }
}

TEST(Coherence, NoDirectionsMeansZeroEverywhere) {
  Field f(2, 2, 2);
  f.set(0, 0, 0, {0, 0, 0});
  f.set(1, 1, 1, {0, 0, 0});
  for (const auto& r : score_candidates(f.fit, f.sample, 1.0, identity3())) {
    EXPECT_EQ(r.coherence, 0.0);
    EXPECT_EQ(r.n_samples, 0u);
  }
}

TEST(Coherence, NonFiniteStepOrFrameGivesFiniteScores) {
  Field f(4, 4, 4);
  for (std::size_t x = 0; x < 4; ++x) f.set(x, 1, 1, {1, 0, 0});
  for (double step : {kNaN, kInf}) {
    for (const auto& r : score_candidates(f.fit, f.sample, step, identity3())) {
      EXPECT_EQ(r.coherence, 0.0);
    }
  }
  Mat3 broken = identity3();
  broken[1][1] = kNaN;
  for (const auto& r : score_candidates(f.fit, f.sample, 1.0, broken)) EXPECT_FALSE(std::isnan(r.coherence));
}

std::vector<RankedCandidate> ranking_with(const std::vector<std::pair<std::string, double>>& top) {
  // The given labels first, in the given order, then every other candidate at 0.
  std::vector<RankedCandidate> out;
  for (const auto& [label, coherence] : top)
    for (const auto& c : generate_candidates())
      if (c.label == label) out.push_back({c.label, c.matrix, c.is_identity, coherence, 10});
  for (const auto& c : generate_candidates()) {
    bool listed = false;
    for (const auto& t : top) listed = listed || t.first == c.label;
    if (!listed) out.push_back({c.label, c.matrix, c.is_identity, 0.0, 0});
  }
  return out;
}

TEST(Decision, IdentityOrItsPartnerPassesWhateverTheMargin) {
  auto r = decide_flip(ranking_with({{"+x+y+z", 0.9}, {"-x-y-z", 0.9}, {"+y+x+z", 0.5}}), 1000.0, 12, 0.5, 0.02);
  EXPECT_EQ(r.decision, Status::Pass);
  EXPECT_EQ(r.best.label, "+x+y+z");
  EXPECT_EQ(r.runner_up.label, "+y+x+z");
  EXPECT_DOUBLE_EQ(r.margin, 0.4);
  EXPECT_EQ(r.identity_coherence, 0.9);
  EXPECT_FALSE(r.recommended_transform);
  EXPECT_FALSE(r.recommended_label);

  auto partner = decide_flip(ranking_with({{"-x-y-z", 0.8}, {"+x+y+z", 0.8}, {"+z+y+x", 0.1}}), 1000.0, 1, 0.5, 0.02);
  EXPECT_EQ(partner.decision, Status::Pass);
  EXPECT_EQ(partner.runner_up.label, "+z+y+x");
}

TEST(Decision, ClearWinnerFlagsAndSkipsItsPartner) {
  auto r = decide_flip(ranking_with({{"+y+x+z", 0.6}, {"-y-x-z", 0.6}, {"+x+y+z", 0.5}}), 1000.0, 7, 0.5, 0.02);
  EXPECT_EQ(r.decision, Status::Flag);
  EXPECT_EQ(r.runner_up.label, "+x+y+z");
  EXPECT_NEAR(r.relative_margin, 1.0 / 6.0, 1e-12);
  EXPECT_EQ(r.identity_coherence, 0.5);
  ASSERT_TRUE(r.recommended_transform);
  EXPECT_EQ(*r.recommended_transform, (Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}}));
  EXPECT_EQ(r.recommended_label, "+y+x+z");
  EXPECT_FALSE(r.margin_threshold);
}

TEST(Decision, ThresholdIsInclusiveAndNarrowWinsWarn) {
  auto equal = decide_flip(ranking_with({{"+z+x+y", 0.5}, {"+x+y+z", 0.25}}), 1000.0, 7, 0.5, 0.5);
  EXPECT_EQ(equal.relative_margin, 0.5);
  EXPECT_EQ(equal.decision, Status::Flag);
  ASSERT_TRUE(equal.margin_threshold);
  EXPECT_EQ(*equal.margin_threshold, 0.5);

  auto narrow = decide_flip(ranking_with({{"+z+x+y", 0.505}, {"+x+y+z", 0.5}}), 1000.0, 7, 0.5, 0.02);
  EXPECT_EQ(narrow.decision, Status::Warn);
  EXPECT_FALSE(narrow.recommended_transform);

  // Infinite scores give a NaN relative margin: a warning, never a flag.
  auto nan = decide_flip(ranking_with({{"+z+x+y", kInf}, {"+x+y+z", kInf}}), 1000.0, 7, 0.5, 0.02);
  EXPECT_TRUE(std::isnan(nan.relative_margin));
  EXPECT_EQ(nan.decision, Status::Warn);
}

TEST(Decision, AllZeroScoresPass) {
  auto r = decide_flip(ranking_with({}), 1000.0, 3, 0.0, 0.02);
  EXPECT_EQ(r.decision, Status::Pass);
  EXPECT_EQ(r.margin, 0.0);
  EXPECT_EQ(r.relative_margin, 0.0);
  EXPECT_EQ(r.runner_up.label, "-x+y+z");
}

TEST(Json, RankedCandidateEntry) {
  const auto& c = generate_candidates()[26];
  RankedCandidate entry{c.label, c.matrix, c.is_identity, 0.5, 12};
  EXPECT_EQ(to_json(entry).to_compact(),
            "{\"label\":\"+y-z+x\",\"matrix\":[[0.0,1.0,0.0],[0.0,0.0,-1.0],[1.0,0.0,0.0]],"
            "\"is_identity\":false,\"coherence\":0.5,\"n_samples\":12}");
}

std::vector<std::string> keys(const JsonValue& object) {
  std::vector<std::string> out;
  for (const auto& [k, v] : object.as_object()) out.push_back(k);
  return out;
}

TEST(Json, FlipResultMembersAndPresenceRules) {
  const std::vector<std::string> all{"working_b", "n_wm_voxels", "mask_mean_fa", "ranking", "best", "runner_up",
                                     "identity_coherence", "margin", "relative_margin", "margin_threshold",
                                     "decision", "recommended_transform", "recommended_label"};
  std::vector<std::string> without_threshold = all;
  without_threshold.erase(without_threshold.begin() + 9);

  auto pass = decide_flip(ranking_with({{"+x+y+z", 0.9}}), 1000.0, 12, 0.5, 0.02);
  const JsonValue pj = to_json(pass);
  EXPECT_EQ(keys(pj), without_threshold);
  const std::string text = pj.to_compact();
  EXPECT_NE(text.find("\"decision\":\"PASS\",\"recommended_transform\":null,\"recommended_label\":null}"),
            std::string::npos);
  EXPECT_EQ(pj.as_object()[3].second.as_array().size(), 48u);
  EXPECT_EQ(text.rfind("{\"working_b\":1000.0,\"n_wm_voxels\":12,\"mask_mean_fa\":0.5,", 0), 0u);

  auto flag = decide_flip(ranking_with({{"-x+y+z", 0.9}, {"+x+y+z", 0.3}}), 1000.0, 12, 0.5, 0.05);
  const JsonValue fj = to_json(flag);
  EXPECT_EQ(keys(fj), all);
  EXPECT_NE(fj.to_compact().find("\"margin_threshold\":0.05,\"decision\":\"FLAG\",\"recommended_transform\":"
                                 "[[-1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],\"recommended_label\":\"-x+y+z\"}"),
            std::string::npos);
}

}  // namespace
}  // namespace dirsieve
