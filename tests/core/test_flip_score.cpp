// Candidate transforms, the coherence score, the decision and their JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <oneapi/tbb/task_arena.h>

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

// The score straight from its definition: a grid-wide transformed field, interpolate_direction for every
// sample, the per-voxel terms summed in WM order in pieces of at most 512 voxels joined in halving order,
// sign-equivalent candidates copied from the first of their class, then the stable ranking.
std::vector<RankedCandidate> reference_scores(const TensorFit& fit, const WhiteMatterSample& sample, double step,
                                              const Mat3& frame_map) {
  struct Sum {
    double sum = 0.0;
    std::uint64_t valid = 0;
    std::uint64_t attempted = 0;
  };
  const auto& d = fit.dims;
  const std::size_t n = d[0] * d[1] * d[2];
  const auto length = [](const Vec3& v) { return std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]); };
  std::vector<std::size_t> wm;
  for (std::size_t v = 0; v < n; ++v)
    if (sample.mask[v]) wm.push_back(v);
  const auto& candidates = generate_candidates();
  std::vector<RankedCandidate> out;
  for (std::size_t ci = 0; ci < candidates.size(); ++ci) {
    RankedCandidate entry{candidates[ci].label, candidates[ci].matrix, candidates[ci].is_identity, 0.0, 0};
    bool copied = false;
    for (std::size_t e = 0; e < ci && !copied; ++e) {
      if (sign_equivalent(candidates[e].matrix, candidates[ci].matrix)) {
        entry.coherence = out[e].coherence;
        entry.n_samples = out[e].n_samples;
        copied = true;
      }
    }
    if (!copied) {
      const Mat3 a = multiply(frame_map, candidates[ci].matrix);
      std::vector<Vec3> field(n);
      for (std::size_t v = 0; v < n; ++v)
        field[v] = length(fit.v1[v]) < 1e-9 ? fit.v1[v] : dirsieve::apply(a, fit.v1[v]);
      const auto piece = [&](std::size_t begin, std::size_t end) {
        Sum s;
        for (std::size_t i = begin; i < end; ++i) {
          const std::size_t v = wm[i];
          const Vec3& u = field[v];
          if (length(u) < 1e-9) continue;
          s.attempted += 2;
          const Vec3 p{static_cast<double>(v / (d[1] * d[2])), static_cast<double>((v / d[2]) % d[1]),
                       static_cast<double>(v % d[2])};
          const Vec3 points[2] = {{p[0] + step * u[0], p[1] + step * u[1], p[2] + step * u[2]},
                                  {p[0] - step * u[0], p[1] - step * u[1], p[2] - step * u[2]}};
          for (const Vec3& point : points) {
            const auto w = interpolate_direction(field, sample.mask, d, point, u);
            if (!w) continue;
            s.sum += std::fabs((u[0] * (*w)[0] + u[1] * (*w)[1]) + u[2] * (*w)[2]);
            ++s.valid;
          }
        }
        return s;
      };
      const auto tree = [&](const auto& self, std::size_t begin, std::size_t end) -> Sum {
        if (end - begin <= 512) return piece(begin, end);
        const std::size_t middle = begin + (end - begin) / 2;
        Sum left = self(self, begin, middle);
        const Sum right = self(self, middle, end);
        left.sum += right.sum;
        left.valid += right.valid;
        left.attempted += right.attempted;
        return left;
      };
      const Sum total = tree(tree, 0, wm.size());
      if (total.attempted > 0) {
        entry.coherence = total.sum / static_cast<double>(total.attempted);
        entry.n_samples = total.valid;
      }
    }
    out.push_back(entry);
  }
  const auto key = [](double x) {
    const auto b = std::bit_cast<std::int64_t>(x);
    return b ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(b >> 63) >> 1);
  };
  std::stable_sort(out.begin(), out.end(),
                   [&](const RankedCandidate& a, const RankedCandidate& b) { return key(a.coherence) > key(b.coherence); });
  return out;
}

void expect_same_bits(const std::vector<RankedCandidate>& got, const std::vector<RankedCandidate>& want,
                      const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].label, want[k].label) << what << " rank " << k;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[k].coherence), std::bit_cast<std::uint64_t>(want[k].coherence))
        << what << " " << got[k].label << ": " << got[k].coherence << " vs " << want[k].coherence;
    EXPECT_EQ(got[k].n_samples, want[k].n_samples) << what << " " << got[k].label;
  }
}

// Random directions of mixed lengths (unit, long, below and just above 1e-9, zero) with a patchy mask
// that stays off some faces of the grid, so that samples leave the mask's extent and the grid.
Field random_field(std::size_t nx, std::size_t ny, std::size_t nz, std::uint64_t seed, double mask_share) {
  Field f(nx, ny, nz);
  std::uint64_t state = seed;
  const auto uniform = [&] {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1p-53;
  };
  for (std::size_t x = 0; x < nx; ++x)
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t z = 0; z < nz; ++z) {
        Vec3 v{2 * uniform() - 1, 2 * uniform() - 1, 2 * uniform() - 1};
        const double kind = uniform();
        const double scale = kind < 0.05 ? 0.0 : kind < 0.1 ? 1e-10 : kind < 0.15 ? 2e-9 : kind < 0.3 ? 7.0 : 1.0;
        for (double& e : v) e *= scale;
        const bool in_mask = x > 0 && y + 1 < ny && uniform() < mask_share;
        f.set(x, y, z, v, in_mask);
      }
  return f;
}

Mat3 rotation() {
  const double a = 0.3;
  const double b = -0.7;
  const Mat3 rx{{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}};
  const Mat3 rz{{{std::cos(b), -std::sin(b), 0}, {std::sin(b), std::cos(b), 0}, {0, 0, 1}}};
  return multiply(rz, rx);
}

TEST(Coherence, MatchesTheDefinitionToTheBit) {
  // About 400 WM voxels: a single piece, summed in plain WM order.
  const Field small = random_field(9, 8, 10, 7, 0.7);
  for (double step : {0.0, 0.6, 1.0, 2.5}) {
    expect_same_bits(score_candidates(small.fit, small.sample, step, identity3()),
                     reference_scores(small.fit, small.sample, step, identity3()), "small identity");
    expect_same_bits(score_candidates(small.fit, small.sample, step, rotation()),
                     reference_scores(small.fit, small.sample, step, rotation()), "small rotated");
  }
  // Several thousand WM voxels: many pieces joined in the fixed tree.
  const Field large = random_field(21, 19, 17, 11, 0.8);
  expect_same_bits(score_candidates(large.fit, large.sample, 1.7, rotation()),
                   reference_scores(large.fit, large.sample, 1.7, rotation()), "large rotated");
}

TEST(Coherence, NonFiniteDirectionsMatchTheDefinition) {
  // An infinite direction is a usable corner (its length is not below 1e-9) whose terms are infinite or
  // NaN; a NaN direction is sampled but never a corner.
  Field f = random_field(8, 9, 7, 3, 0.75);
  f.set(3, 4, 3, {kInf, 0.5, 0.0});
  f.set(5, 2, 4, {kNaN, 1.0, 0.0});
  f.set(4, 4, 4, {1e300, -1e300, 1e300});
  for (double step : {0.7, 1.0}) {
    expect_same_bits(score_candidates(f.fit, f.sample, step, identity3()),
                     reference_scores(f.fit, f.sample, step, identity3()), "non-finite field");
  }
  Mat3 broken = rotation();
  broken[2][0] = kNaN;
  const Field g = random_field(8, 9, 7, 5, 0.75);
  expect_same_bits(score_candidates(g.fit, g.sample, 1.2, broken), reference_scores(g.fit, g.sample, 1.2, broken),
                   "NaN frame");
}

TEST(Coherence, ScoresDoNotDependOnTheThreadCount) {
  const Field f = random_field(24, 22, 20, 19, 0.8);
  std::vector<RankedCandidate> first;
  for (int threads : {1, 2, 3}) {
    tbb::task_arena arena(threads);
    std::vector<RankedCandidate> ranking;
    arena.execute([&] { ranking = score_candidates(f.fit, f.sample, 2.2, rotation()); });
    if (first.empty())
      first = ranking;
    else
      expect_same_bits(ranking, first, std::to_string(threads) + " threads");
  }
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
