// The verdict: block jackknife, direction support, the multi-distance scoring on hand-built direction
// fields (isotropic and anisotropic voxels), the decision rules at their edges and the distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numbers>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/flip/candidates.hpp"
#include "core/flip/coherence.hpp"
#include "core/verdict/directions.hpp"
#include "core/verdict/jackknife.hpp"
#include "core/verdict/verdict.hpp"
#include "flip_phantom.hpp"

namespace dirsieve {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------------------
// Block jackknife

TEST(BlockJackknife, MatchesAHandComputation) {
  // Blocks 7: {1, 2}, 3: {4}, 1000: {6, 7, 8}; n = 6, total 28, mean 14/3.
  // Left-out means 25/4, 24/5, 7/3; SE = sqrt(2/3 * sum of squared deviations from their mean).
  const std::vector<double> values{1, 4, 6, 2, 7, 8};
  const std::vector<std::uint64_t> blocks{7, 3, 1000, 7, 1000, 1000};
  const BlockEstimate e = block_jackknife(values, blocks);
  const double left[3] = {25.0 / 4.0, 24.0 / 5.0, 7.0 / 3.0};
  const double lm = (left[0] + left[1] + left[2]) / 3.0;
  double ss = 0.0;
  for (double l : left) ss += (l - lm) * (l - lm);
  const double se = std::sqrt(2.0 / 3.0 * ss);
  EXPECT_EQ(e.count, 6u);
  EXPECT_EQ(e.blocks, 3u);
  EXPECT_DOUBLE_EQ(e.mean, 28.0 / 6.0);
  EXPECT_NEAR(se, 2.286541406784113, 1e-12);  // the same number worked out separately
  EXPECT_NEAR(e.standard_error, se, 1e-12);
  EXPECT_NEAR(e.z, (28.0 / 6.0) / se, 1e-12);

  // Equal-sized blocks: the jackknife SE of the mean is the standard error of the block means,
  // sd(block means) / sqrt(B).
  const std::vector<double> block_means{0.1, 0.4, -0.2, 0.3, 0.25};
  std::vector<double> v;
  std::vector<std::uint64_t> b;
  for (std::size_t j = 0; j < block_means.size(); ++j) {
    for (double offset : {-0.05, 0.0, 0.05}) {  // three values per block, averaging to the block mean
      v.push_back(block_means[j] + offset);
      b.push_back(j * 11);
    }
  }
  double grand = 0.0;
  for (double m : block_means) grand += m;
  grand /= 5.0;
  double var = 0.0;
  for (double m : block_means) var += (m - grand) * (m - grand);
  var /= 4.0;
  const BlockEstimate eq = block_jackknife(v, b);
  EXPECT_EQ(eq.blocks, 5u);
  EXPECT_NEAR(eq.mean, grand, 1e-14);
  EXPECT_NEAR(eq.standard_error, std::sqrt(var / 5.0), 1e-12);
  EXPECT_NEAR(eq.z, grand / std::sqrt(var / 5.0), 1e-9);
}

TEST(BlockJackknife, DegenerateSpreadsAndBlockCounts) {
  // One block (however many values): no spread can be estimated.
  const BlockEstimate one = block_jackknife({1.0, 2.0, 3.0}, {5, 5, 5});
  EXPECT_EQ(one.blocks, 1u);
  EXPECT_EQ(one.count, 3u);
  EXPECT_DOUBLE_EQ(one.mean, 2.0);
  EXPECT_TRUE(std::isnan(one.standard_error));
  EXPECT_EQ(one.z, 0.0);

  const BlockEstimate none = block_jackknife({}, {});
  EXPECT_EQ(none.count, 0u);
  EXPECT_EQ(none.blocks, 0u);
  EXPECT_TRUE(std::isnan(none.standard_error));
  EXPECT_EQ(none.z, 0.0);

  // Every block has the same mean (different sizes, different values): certainty with the mean's sign.
  const BlockEstimate up = block_jackknife({2.0, 1.0, 3.0, 2.0}, {0, 1, 1, 2});
  EXPECT_EQ(up.blocks, 3u);
  EXPECT_EQ(up.standard_error, 0.0);
  EXPECT_EQ(up.z, kCertainZ);
  const BlockEstimate down = block_jackknife({-0.5, -0.25, -0.75}, {4, 9, 9});
  EXPECT_EQ(down.standard_error, 0.0);
  EXPECT_EQ(down.z, -kCertainZ);
  // ... but a zero mean without spread is no evidence at all.
  const BlockEstimate zero = block_jackknife({0.0, 0.0, 0.0}, {1, 2, 3});
  EXPECT_EQ(zero.standard_error, 0.0);
  EXPECT_EQ(zero.z, 0.0);
}

TEST(BlockJackknife, DoesNotDependOnTheOrderOfTheValues) {
  std::vector<double> v;
  std::vector<std::uint64_t> b;
  for (int i = 0; i < 200; ++i) {
    v.push_back(std::sin(0.37 * i) + 0.2);
    b.push_back(static_cast<std::uint64_t>((i * 7) % 13) * 1000003u);
  }
  const BlockEstimate ref = block_jackknife(v, b);
  // Reversed, and interleaved (evens then odds).
  std::vector<double> rv(v.rbegin(), v.rend());
  std::vector<std::uint64_t> rb(b.rbegin(), b.rend());
  std::vector<double> iv;
  std::vector<std::uint64_t> ib;
  for (int start : {0, 1})
    for (std::size_t i = start; i < v.size(); i += 2) {
      iv.push_back(v[i]);
      ib.push_back(b[i]);
    }
  for (const auto& [vals, blks] : {std::pair{rv, rb}, std::pair{iv, ib}}) {
    const BlockEstimate e = block_jackknife(vals, blks);
    EXPECT_EQ(e.blocks, 13u);
    EXPECT_EQ(e.count, 200u);
    EXPECT_NEAR(e.mean, ref.mean, 1e-13);
    EXPECT_NEAR(e.standard_error, ref.standard_error, 1e-13);
    EXPECT_NEAR(e.z, ref.z, 1e-9);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Direction support

GradientTable table_of(const std::vector<Vec3>& dirs) {
  return GradientTable::make(dirs, std::vector<double>(dirs.size(), 1000.0)).value();
}

std::vector<std::size_t> all_indices(const GradientTable& t) {
  std::vector<std::size_t> out(t.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = i;
  return out;
}

Vec3 unit(double x, double y, double z) {
  const double n = std::sqrt(x * x + y * y + z * z);
  return {x / n, y / n, z / n};
}

std::vector<Vec3> six_spread() {
  return {unit(1, 0, 0), unit(0, 1, 0), unit(0, 0, 1), unit(1, 1, 0), unit(1, 0, 1), unit(0, 1, 1)};
}

TEST(DirectionSupport, SixSpreadDirectionsDetermineATensor) {
  const GradientTable t = table_of(six_spread());
  const DirectionSupport s = direction_support(t, all_indices(t), 5.0);
  EXPECT_EQ(s.distinct_axes, 6u);
  EXPECT_TRUE(s.determines_tensor);
  // Only the listed indices count, and indices past the table are ignored.
  const DirectionSupport five = direction_support(t, {0, 1, 2, 3, 4, 99}, 5.0);
  EXPECT_EQ(five.distinct_axes, 5u);
  EXPECT_FALSE(five.determines_tensor);
}

TEST(DirectionSupport, CopiesAntipodesAndNearCopiesAreOneAxis) {
  std::vector<Vec3> dirs = six_spread();
  const Vec3 a = dirs[3];
  dirs.push_back(a);                                      // exact copy
  dirs.push_back({-a[0], -a[1], -a[2]});                  // antipode
  dirs.push_back({2.0 * dirs[0][0], 0.0, 0.0});           // longer copy of x
  dirs.push_back({0.0, -3.0, 0.0});                       // longer antipode of y
  dirs.push_back(unit(std::cos(0.05), 0.0, std::sin(0.05)));  // 2.9 degrees from x
  const GradientTable t = table_of(dirs);
  const DirectionSupport s = direction_support(t, all_indices(t), 5.0);
  EXPECT_EQ(s.distinct_axes, 6u);
  EXPECT_TRUE(s.determines_tensor);
  // 2.9 degrees is its own axis once the collinearity limit is below it.
  EXPECT_EQ(direction_support(t, all_indices(t), 2.0).distinct_axes, 7u);
  // A direction 10 degrees from x is always its own axis.
  dirs.push_back(unit(std::cos(0.1745), std::sin(0.1745), 0.0));
  const GradientTable t2 = table_of(dirs);
  EXPECT_EQ(direction_support(t2, all_indices(t2), 5.0).distinct_axes, 7u);
}

TEST(DirectionSupport, PlanesConesAndFewDirectionsDoNotDetermine) {
  std::vector<Vec3> plane;
  for (int k = 0; k < 8; ++k) plane.push_back({std::cos(k * std::numbers::pi / 8), std::sin(k * std::numbers::pi / 8), 0.0});
  const GradientTable tp = table_of(plane);
  const DirectionSupport p = direction_support(tp, all_indices(tp), 5.0);
  EXPECT_EQ(p.distinct_axes, 8u);
  EXPECT_FALSE(p.determines_tensor);

  // Ten directions on a cone of 40 degrees about z: x^2 + y^2 is tied to z^2.
  std::vector<Vec3> cone;
  const double th = 40.0 * std::numbers::pi / 180.0;
  for (int k = 0; k < 10; ++k)
    cone.push_back({std::sin(th) * std::cos(k * 2 * std::numbers::pi / 10), std::sin(th) * std::sin(k * 2 * std::numbers::pi / 10), std::cos(th)});
  const GradientTable tc = table_of(cone);
  const DirectionSupport c = direction_support(tc, all_indices(tc), 5.0);
  EXPECT_EQ(c.distinct_axes, 10u);
  EXPECT_FALSE(c.determines_tensor);
  // One direction off the cone (and off its plane-like degeneracy) is enough.
  cone.push_back(unit(1, 0, 0));
  const GradientTable tc2 = table_of(cone);
  EXPECT_TRUE(direction_support(tc2, all_indices(tc2), 5.0).determines_tensor);

  // A DSI-like table of four directions (with their antipodes): four axes.
  const std::vector<Vec3> four{unit(1, 1, 1), unit(1, -1, -1), unit(-1, 1, -1), unit(-1, -1, 1),
                               unit(-1, -1, -1), unit(-1, 1, 1)};
  const GradientTable t4 = table_of(four);
  const DirectionSupport f = direction_support(t4, all_indices(t4), 5.0);
  EXPECT_EQ(f.distinct_axes, 4u);
  EXPECT_FALSE(f.determines_tensor);
}

TEST(DirectionSupport, ZeroTinyAndNonFiniteDirectionsAreIgnored) {
  std::vector<Vec3> dirs{{0, 0, 0}, {1e-9, 0, 0}, {kNaN, 0, 0}, {kInf, 0, 0}, {0, 0, 0}};
  for (const Vec3& d : six_spread()) dirs.push_back(d);
  const GradientTable t = table_of(dirs);
  const DirectionSupport s = direction_support(t, all_indices(t), 5.0);
  EXPECT_EQ(s.distinct_axes, 6u);
  EXPECT_TRUE(s.determines_tensor);
  const DirectionSupport zeros = direction_support(t, {0, 1, 4}, 5.0);
  EXPECT_EQ(zeros.distinct_axes, 0u);
  EXPECT_FALSE(zeros.determines_tensor);
}

// ---------------------------------------------------------------------------------------------------------
// Hand-built direction fields

// Three ring bundles in physical space (mm), one in each coordinate plane, shifted along their normals
// so they do not merge: centre (39, 39, 39) mm, ring radius 20 mm, tube radius 5 mm. Returns the unit
// tangent of the nearest bundle at `p`, or zero outside every bundle.
Vec3 ring_tangent(const Vec3& p) {
  struct Ring {
    int i, j, a;
    double shift;
  };
  const Ring rings[3] = {{0, 1, 2, 9.0}, {0, 2, 1, -9.0}, {1, 2, 0, 9.0}};
  Vec3 best{0, 0, 0};
  double best_distance = 5.0;
  for (const Ring& r : rings) {
    double d[3] = {p[0] - 39.0, p[1] - 39.0, p[2] - 39.0};
    d[r.a] -= r.shift;
    const double rho = std::hypot(d[r.i], d[r.j]);
    if (rho < 1e-9) continue;
    const double distance = std::hypot(rho - 20.0, d[r.a]);
    if (distance < best_distance) {
      best_distance = distance;
      best = {0, 0, 0};
      best[r.i] = -d[r.j] / rho;
      best[r.j] = d[r.i] / rho;
    }
  }
  return best;
}

struct HandFit {
  TensorFit fit;
  WhiteMatterSample sample;
  std::size_t index(std::size_t x, std::size_t y, std::size_t z) const {
    return (x * fit.dims[1] + y) * fit.dims[2] + z;
  }
};

// The ring bundles sampled at voxel centres (index * size mm). The fitted direction is `wrong` applied to
// the true tangent: what a table off by `wrong` makes the fit report. The sample is the bundles.
HandFit ring_fit(std::array<std::size_t, 3> dims, const Vec3& sizes, const Mat3& wrong = identity3()) {
  HandFit h;
  const std::size_t n = dims[0] * dims[1] * dims[2];
  h.fit.dims = dims;
  h.fit.v1.assign(n, unit(1, 2, 2));  // background: some direction, low FA, not sampled
  h.fit.fa.assign(n, 0.1);
  h.fit.s0.assign(n, 1000.0);
  h.fit.valid.assign(n, 1);
  h.sample.mask.assign(n, 0);
  for (std::size_t x = 0; x < dims[0]; ++x)
    for (std::size_t y = 0; y < dims[1]; ++y)
      for (std::size_t z = 0; z < dims[2]; ++z) {
        const Vec3 t = ring_tangent({x * std::fabs(sizes[0]), y * std::fabs(sizes[1]), z * std::fabs(sizes[2])});
        if (t == Vec3{0, 0, 0}) continue;
        const std::size_t v = h.index(x, y, z);
        h.fit.v1[v] = dirsieve::apply(wrong, t);
        h.fit.fa[v] = 0.7;
        h.sample.mask[v] = 1;
        ++h.sample.n_wm_voxels;
      }
  h.sample.mask_mean_fa = 0.7;
  return h;
}

// b0 then 30 spread directions at b = 1000.
const GradientTable& shell_table() {
  static const GradientTable t = [] {
    std::vector<Vec3> dirs{{0, 0, 0}};
    std::vector<double> b{0.0};
    for (const Vec3& g : phantom::spiral_directions(30)) {
      dirs.push_back(g);
      b.push_back(1000.0);
    }
    return GradientTable::make(dirs, b).value();
  }();
  return t;
}

std::vector<std::size_t> shell_indices(const GradientTable& t) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (t.bvals()[i] > 50.0) out.push_back(i);
  return out;
}

VerdictInputs inputs_for(const HandFit& h, const Vec3& sizes, const GradientTable& table = shell_table(),
                         const Mat3& frame_map = identity3()) {
  VerdictInputs in;
  in.fit = &h.fit;
  in.sample = &h.sample;
  in.table = &table;
  in.shell_indices = shell_indices(table);
  in.working_b = 1000.0;
  in.voxel_sizes = sizes;
  in.frame_map = frame_map;
  return in;
}

// The signed permutation sign-equivalent to m among the 48 candidates (first in candidate order).
const CandidateTransform& candidate_like(const Mat3& m) {
  for (const auto& c : generate_candidates())
    if (sign_equivalent(c.matrix, m)) return c;
  ADD_FAILURE() << "not a signed permutation";
  return generate_candidates().front();
}

using BlockKey = std::tuple<long, long, long>;

// The sample's 16 mm cubes, counted directly: floor(index * |size| / 16) per axis, over sampled voxels
// with a direction.
std::set<BlockKey> sample_blocks(const HandFit& h, const Vec3& sizes) {
  std::set<BlockKey> out;
  for (std::size_t x = 0; x < h.fit.dims[0]; ++x)
    for (std::size_t y = 0; y < h.fit.dims[1]; ++y)
      for (std::size_t z = 0; z < h.fit.dims[2]; ++z) {
        const std::size_t v = h.index(x, y, z);
        if (!h.sample.mask[v] || h.fit.v1[v] == Vec3{0, 0, 0}) continue;
        out.insert({static_cast<long>(std::floor(x * std::fabs(sizes[0]) / 16.0)),
                    static_cast<long>(std::floor(y * std::fabs(sizes[1]) / 16.0)),
                    static_cast<long>(std::floor(z * std::fabs(sizes[2]) / 16.0))});
      }
  return out;
}

// Every distance row against the definition: the walk is d / size voxels per axis; winner and runner-up
// (best of another class) are those of the scorer's own ranking at that step; the relative margin is
// (winner - runner-up) / winner; the per-voxel difference averages to the margin, and its confidence is
// the block jackknife over 16 mm cubes.
void expect_rows_follow_definition(const Verdict& v, const HandFit& h, const Vec3& sizes,
                                   const Mat3& frame_map = identity3()) {
  const CoherenceScorer scorer(h.fit, h.sample);
  std::map<BlockKey, std::uint64_t> ids;
  std::vector<std::uint64_t> voxel_block;
  for (const auto& c : scorer.coordinates()) {
    const BlockKey key{static_cast<long>(std::floor(c[0] * std::fabs(sizes[0]) / 16.0)),
                       static_cast<long>(std::floor(c[1] * std::fabs(sizes[1]) / 16.0)),
                       static_cast<long>(std::floor(c[2] * std::fabs(sizes[2]) / 16.0))};
    voxel_block.push_back(ids.emplace(key, ids.size()).first->second);
  }
  for (const DistanceScore& row : v.distances) {
    SCOPED_TRACE("distance " + std::to_string(row.distance_mm));
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(row.step_voxels[a], row.distance_mm / std::fabs(sizes[a]), 1e-12);
      EXPECT_NEAR(row.step_voxels[a] * std::fabs(sizes[a]), row.distance_mm, 1e-12);  // same mm on every axis
    }
    const auto ranking = scorer.rank(row.step_voxels, frame_map);
    ASSERT_EQ(ranking.size(), 48u);
    const RankedCandidate& best = ranking[0];
    const RankedCandidate* second = nullptr;
    for (const auto& r : ranking)
      if (!sign_equivalent(r.matrix, best.matrix)) {
        second = &r;
        break;
      }
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(row.winner.label, best.label);
    EXPECT_EQ(row.winner.coherence, best.coherence);
    EXPECT_EQ(row.runner_up.label, second->label);
    EXPECT_EQ(row.runner_up.coherence, second->coherence);
    EXPECT_EQ(row.identity_class, sign_equivalent(best.matrix, identity3()));
    EXPECT_NEAR(row.margin, best.coherence - second->coherence, 1e-15);
    EXPECT_NEAR(row.relative_margin, (best.coherence - second->coherence) / best.coherence, 1e-12);
    EXPECT_GT(row.relative_margin, 0.0);
    EXPECT_NEAR(row.difference.mean, row.margin, 1e-12);

    std::vector<double> ws, rs;
    std::vector<std::uint8_t> wsamp, rsamp;
    scorer.voxel_scores(best.matrix, row.step_voxels, frame_map, ws, wsamp);
    scorer.voxel_scores(second->matrix, row.step_voxels, frame_map, rs, rsamp);
    std::vector<double> diff;
    std::vector<std::uint64_t> blk;
    for (std::size_t i = 0; i < ws.size(); ++i) {
      if (!wsamp[i] && !rsamp[i]) continue;
      diff.push_back((ws[i] - rs[i]) / 2.0);
      blk.push_back(voxel_block[i]);
    }
    const BlockEstimate mine = block_jackknife(diff, blk);
    EXPECT_EQ(row.difference.count, v.n_sampled);
    EXPECT_EQ(row.difference.blocks, v.n_blocks);
    EXPECT_EQ(row.difference.blocks, mine.blocks);
    EXPECT_NEAR(row.difference.standard_error, mine.standard_error, 1e-12);
    EXPECT_NEAR(row.difference.z, mine.z, 1e-9 * std::fabs(mine.z));
  }
}

const Mat3 kFlipY{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};

// Table errors: the true directions multiplied by these.
std::vector<Mat3> table_errors() {
  return {
      kFlipY,
      Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}},    // x and y swapped
      Mat3{{{0, 1, 0}, {0, 0, -1}, {1, 0, 0}}},   // a cycle with a flip
      Mat3{{{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}}},   // y and z swapped, x flipped
  };
}

TEST(VerdictOnHandField, RightFieldPassesAndEveryWrongOneFlagsItsInverse) {
  const Vec3 sizes{2, 2, 2};
  const std::array<std::size_t, 3> dims{40, 40, 40};
  const HandFit right = ring_fit(dims, sizes);
  auto pass = compute_verdict(inputs_for(right, sizes), VerdictSettings{});
  ASSERT_TRUE(pass.ok()) << pass.error().display();
  const Verdict& p = *pass;
  EXPECT_EQ(p.status, Status::Pass) << p.reason;
  EXPECT_EQ(p.reason.rfind("the table's own axes fit the fibres best at every distance (4.0, 6.0 and 8.0 mm); "
                           "confidence z = ", 0),
            0u)
      << p.reason;
  EXPECT_TRUE(p.notes.empty());
  ASSERT_EQ(p.distances.size(), 3u);
  const double expected_d[3] = {4.0, 6.0, 8.0};
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(p.distances[k].distance_mm, expected_d[k], 1e-12);
    EXPECT_TRUE(p.distances[k].identity_class);
    EXPECT_GE(p.distances[k].difference.z, 3.0);
  }
  EXPECT_FALSE(p.recommended_label);
  EXPECT_TRUE(p.common_label);
  EXPECT_TRUE(sign_equivalent(*p.common_transform, identity3()));
  EXPECT_EQ(p.n_wm_voxels, right.sample.n_wm_voxels);
  EXPECT_EQ(p.n_sampled, right.sample.n_wm_voxels);
  EXPECT_EQ(p.n_blocks, sample_blocks(right, sizes).size());
  EXPECT_GE(p.n_blocks, 20u);
  EXPECT_EQ(p.distinct_axes, 30u);
  EXPECT_TRUE(p.determines_tensor);
  double weakest = kInf;
  for (const auto& row : p.distances) weakest = std::min(weakest, row.difference.z);
  EXPECT_EQ(p.confidence, weakest);
  expect_rows_follow_definition(p, right, sizes);

  for (const Mat3& wrong : table_errors()) {
    const HandFit field = ring_fit(dims, sizes, wrong);
    auto flag = compute_verdict(inputs_for(field, sizes), VerdictSettings{});
    ASSERT_TRUE(flag.ok());
    const Verdict& f = *flag;
    const CandidateTransform& inverse = candidate_like(transpose(wrong));
    SCOPED_TRACE("inverse " + inverse.label);
    EXPECT_EQ(f.status, Status::Flag) << f.reason;
    ASSERT_TRUE(f.recommended_transform);
    EXPECT_TRUE(sign_equivalent(*f.recommended_transform, inverse.matrix)) << *f.recommended_label;
    EXPECT_EQ(f.recommended_label, f.distances.at(0).winner.label);
    EXPECT_EQ(f.common_label, f.recommended_label);
    EXPECT_EQ(f.reason.rfind("the table's axes look wrong: " + *f.recommended_label + " wins at every distance", 0), 0u)
        << f.reason;
    for (const auto& row : f.distances) {
      EXPECT_TRUE(sign_equivalent(row.winner.matrix, inverse.matrix)) << row.winner.label;
      EXPECT_FALSE(row.identity_class);
      EXPECT_GE(row.difference.z, 3.0);
    }
    expect_rows_follow_definition(f, field, sizes);
  }
}

TEST(VerdictOnHandField, FrameMapIsComposedWithTheCandidates) {
  // Directions fitted in a table frame that differs from the voxel axes by a signed permutation F:
  // with F as the frame map, the right field passes; ignoring F, it would look wrong.
  const Vec3 sizes{2, 2, 2};
  const Mat3 frame{{{0, 0, -1}, {1, 0, 0}, {0, 1, 0}}};  // table axes -> voxel axes
  const HandFit in_table_frame = ring_fit({40, 40, 40}, sizes, transpose(frame));
  auto with_frame = compute_verdict(inputs_for(in_table_frame, sizes, shell_table(), frame), VerdictSettings{});
  ASSERT_TRUE(with_frame.ok());
  EXPECT_EQ(with_frame->status, Status::Pass) << with_frame->reason;
  expect_rows_follow_definition(*with_frame, in_table_frame, sizes, frame);
  auto without = compute_verdict(inputs_for(in_table_frame, sizes), VerdictSettings{});
  ASSERT_TRUE(without.ok());
  EXPECT_EQ(without->status, Status::Flag);
  ASSERT_TRUE(without->recommended_transform);
  EXPECT_TRUE(sign_equivalent(*without->recommended_transform, frame));
}

TEST(VerdictOnHandField, AnisotropicVoxelsWalkTheSameMillimetresAndKeepTheMargin) {
  // The same bundles on 1.5 x 1.5 x 4.5 mm voxels; the third size is also given with a negative sign,
  // as an image header may carry it.
  const std::array<std::size_t, 3> dims{53, 53, 18};
  for (const Vec3 sizes : {Vec3{1.5, 1.5, 4.5}, Vec3{1.5, 1.5, -4.5}}) {
    const HandFit right = ring_fit(dims, sizes);
    auto pass = compute_verdict(inputs_for(right, sizes), VerdictSettings{});
    ASSERT_TRUE(pass.ok());
    EXPECT_EQ(pass->status, Status::Pass) << pass->reason;
    EXPECT_EQ(pass->voxel_sizes_mm, (Vec3{1.5, 1.5, 4.5}));
    ASSERT_EQ(pass->distances.size(), 3u);
    const double g = std::cbrt(1.5 * 1.5 * 4.5);
    for (int k = 0; k < 3; ++k) {
      const DistanceScore& row = pass->distances[k];
      EXPECT_NEAR(row.distance_mm, (k + 2) * g, 1e-12);
      EXPECT_NEAR(row.step_voxels[0], row.distance_mm / 1.5, 1e-12);
      EXPECT_NEAR(row.step_voxels[1], row.distance_mm / 1.5, 1e-12);
      EXPECT_NEAR(row.step_voxels[2], row.distance_mm / 4.5, 1e-12);
      EXPECT_TRUE(row.identity_class);
      EXPECT_GE(row.difference.z, 3.0);
    }
    EXPECT_EQ(pass->n_blocks, sample_blocks(right, sizes).size());
    EXPECT_GE(pass->n_blocks, 20u);
    expect_rows_follow_definition(*pass, right, sizes);

    for (const Mat3& wrong : table_errors()) {
      const HandFit field = ring_fit(dims, sizes, wrong);
      auto flag = compute_verdict(inputs_for(field, sizes), VerdictSettings{});
      ASSERT_TRUE(flag.ok());
      EXPECT_EQ(flag->status, Status::Flag) << flag->reason;
      ASSERT_TRUE(flag->recommended_transform);
      EXPECT_TRUE(sign_equivalent(*flag->recommended_transform, transpose(wrong))) << *flag->recommended_label;
      expect_rows_follow_definition(*flag, field, sizes);
    }
  }
}

// ---------------------------------------------------------------------------------------------------------
// Samples and tables too weak to decide

// A sample of the ring bundles cut down to its first `keep` voxels (voxel order).
HandFit first_voxels(HandFit h, std::size_t keep) {
  std::size_t kept = 0;
  h.sample.n_wm_voxels = 0;
  for (auto& m : h.sample.mask) {
    if (!m) continue;
    if (kept < keep) {
      ++kept;
      ++h.sample.n_wm_voxels;
    } else {
      m = 0;
    }
  }
  return h;
}

// A dense box of voxels [0, ex) x [0, ey) x [0, ez) with one fibre direction, on a 40^3 grid.
HandFit dense_box(std::size_t ex, std::size_t ey, std::size_t ez) {
  HandFit h;
  h.fit.dims = {40, 40, 40};
  const std::size_t n = 40 * 40 * 40;
  h.fit.v1.assign(n, unit(1, 2, 3));
  h.fit.fa.assign(n, 0.7);
  h.fit.s0.assign(n, 1000.0);
  h.fit.valid.assign(n, 1);
  h.sample.mask.assign(n, 0);
  for (std::size_t x = 0; x < ex; ++x)
    for (std::size_t y = 0; y < ey; ++y)
      for (std::size_t z = 0; z < ez; ++z) {
        h.sample.mask[h.index(x, y, z)] = 1;
        ++h.sample.n_wm_voxels;
      }
  h.sample.mask_mean_fa = 0.7;
  return h;
}

TEST(VerdictCannotDecide, TooFewVoxelsWithADirection) {
  const Vec3 sizes{2, 2, 2};
  HandFit h = first_voxels(ring_fit({40, 40, 40}, sizes), 99);
  // Five more voxels in the sample without any direction do not count.
  std::size_t added = 0;
  for (std::size_t v = 0; v < h.sample.mask.size() && added < 5; ++v) {
    if (h.sample.mask[v] || h.fit.v1[v] == unit(1, 2, 2)) continue;
    h.sample.mask[v] = 1;
    h.fit.v1[v] = Vec3{0, 0, 0};
    ++h.sample.n_wm_voxels;
    ++added;
  }
  ASSERT_EQ(added, 5u);
  auto few = compute_verdict(inputs_for(h, sizes), VerdictSettings{});
  ASSERT_TRUE(few.ok());
  EXPECT_EQ(few->status, Status::Warn);
  EXPECT_EQ(few->reason, "cannot decide: only 99 white-matter voxels with a usable direction (need 100)");
  EXPECT_EQ(few->n_wm_voxels, 104u);
  EXPECT_EQ(few->n_sampled, 99u);
  EXPECT_TRUE(few->distances.empty());
  EXPECT_FALSE(few->confidence);
  EXPECT_FALSE(few->common_label);
  EXPECT_FALSE(few->recommended_label);

  // One more voxel with a direction clears this check (and meets the next one).
  auto enough = compute_verdict(inputs_for(first_voxels(ring_fit({40, 40, 40}, sizes), 100), sizes), VerdictSettings{});
  ASSERT_TRUE(enough.ok());
  EXPECT_EQ(enough->n_sampled, 100u);
  EXPECT_EQ(enough->distances.size(), 3u);
  EXPECT_EQ(enough->reason.find("white-matter voxels"), std::string::npos) << enough->reason;
}

TEST(VerdictCannotDecide, SampleInsideOneSixteenMillimetreCube) {
  // 8 x 8 x 8 voxels of 2 mm: indices 0..7 all fall in the first 16 mm block.
  const HandFit one = dense_box(8, 8, 8);
  auto v = compute_verdict(inputs_for(one, {2, 2, 2}), VerdictSettings{});
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->n_sampled, 512u);
  EXPECT_EQ(v->n_blocks, 1u);
  EXPECT_EQ(v->status, Status::Warn);
  ASSERT_EQ(v->distances.size(), 3u);
  // A uniform field ranks every class the same: the first candidate wins, without any spread.
  EXPECT_EQ(v->reason,
            "cannot decide: the white-matter sample spans only 1 blocks of 16 mm (need 20); +x+y+z wins at every "
            "distance, z = 0.00 at 4.0 mm");
  EXPECT_EQ(v->common_label, "+x+y+z");
  EXPECT_FALSE(v->recommended_label);
  EXPECT_TRUE(std::isnan(v->distances[0].difference.standard_error));
  EXPECT_NE(to_json(*v).to_compact().find("\"standard_error\":null"), std::string::npos);

  // The block edges sit at whole multiples of 16 mm: index 8 at 2 mm starts the second block ...
  EXPECT_EQ(compute_verdict(inputs_for(dense_box(8, 8, 9), {2, 2, 2}), VerdictSettings{})->n_blocks, 2u);
  EXPECT_EQ(compute_verdict(inputs_for(dense_box(9, 9, 9), {2, 2, 2}), VerdictSettings{})->n_blocks, 8u);
  // ... and on 1.5 x 1.5 x 4.5 mm voxels index 10 (15 mm) is still in the first, index 11 (16.5 mm) and
  // index 4 along the thick axis (18 mm) are not.
  EXPECT_EQ(compute_verdict(inputs_for(dense_box(11, 11, 4), {1.5, 1.5, 4.5}), VerdictSettings{})->n_blocks, 1u);
  EXPECT_EQ(compute_verdict(inputs_for(dense_box(12, 11, 4), {1.5, 1.5, 4.5}), VerdictSettings{})->n_blocks, 2u);
  EXPECT_EQ(compute_verdict(inputs_for(dense_box(11, 11, 5), {1.5, 1.5, 4.5}), VerdictSettings{})->n_blocks, 2u);
  // The block size is a setting.
  VerdictSettings eight;
  eight.block_mm = 8.0;
  EXPECT_EQ(compute_verdict(inputs_for(one, {2, 2, 2}), eight)->n_blocks, 8u);
}

TEST(VerdictCannotDecide, DirectionsThatCannotDetermineATensor) {
  const Vec3 sizes{2, 2, 2};
  const HandFit h = ring_fit({40, 40, 40}, sizes);

  // Five distinct axes, padded with copies and antipodes to nine entries, plus a b0.
  std::vector<Vec3> dirs{{0, 0, 0}};
  for (int k = 0; k < 5; ++k) dirs.push_back(six_spread()[k]);
  for (int k = 0; k < 4; ++k) dirs.push_back({-six_spread()[k][0], -six_spread()[k][1], -six_spread()[k][2]});
  std::vector<double> b(dirs.size(), 1000.0);
  b[0] = 0.0;
  const GradientTable five = GradientTable::make(dirs, b).value();
  auto v5 = compute_verdict(inputs_for(h, sizes, five), VerdictSettings{});
  ASSERT_TRUE(v5.ok());
  EXPECT_EQ(v5->status, Status::Warn);
  EXPECT_EQ(v5->reason,
            "cannot decide: the working shell (b=1000) has only 5 non-collinear directions (a tensor needs 6)");
  EXPECT_EQ(v5->distinct_axes, 5u);
  EXPECT_TRUE(v5->distances.empty());

  std::vector<Vec3> plane{{0, 0, 0}};
  for (int k = 0; k < 8; ++k) plane.push_back({std::cos(k * std::numbers::pi / 8), 0.0, std::sin(k * std::numbers::pi / 8)});
  std::vector<double> pb(plane.size(), 1000.0);
  pb[0] = 0.0;
  const GradientTable coplanar = GradientTable::make(plane, pb).value();
  auto vp = compute_verdict(inputs_for(h, sizes, coplanar), VerdictSettings{});
  ASSERT_TRUE(vp.ok());
  EXPECT_EQ(vp->status, Status::Warn);
  EXPECT_EQ(vp->reason, "cannot decide: the directions of the working shell (b=1000) do not determine a tensor (they "
                        "lie in a plane or on a cone)");
  EXPECT_EQ(vp->distinct_axes, 8u);
  EXPECT_FALSE(vp->determines_tensor);
  EXPECT_TRUE(vp->distances.empty());
}

TEST(VerdictCannotDecide, UnusableVoxelSizes) {
  const HandFit h = ring_fit({40, 40, 40}, {2, 2, 2});
  for (const Vec3 sizes : {Vec3{2, 0, 2}, Vec3{2, kNaN, 2}, Vec3{kInf, 2, 2}}) {
    auto v = compute_verdict(inputs_for(h, sizes), VerdictSettings{});
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v->status, Status::Warn);
    EXPECT_EQ(v->reason.rfind("cannot decide: the image has no usable voxel sizes (", 0), 0u) << v->reason;
    EXPECT_TRUE(v->distances.empty());
    EXPECT_EQ(v->n_blocks, 0u);
  }
}

// ---------------------------------------------------------------------------------------------------------
// The decision alone, from rows filled in by hand

const CandidateTransform& candidate(const std::string& label) {
  for (const auto& c : generate_candidates())
    if (c.label == label) return c;
  ADD_FAILURE() << "no candidate " << label;
  return generate_candidates().front();
}

// A verdict whose data checks pass (30 axes, 1000 voxels, 2 mm voxels) with one row per (winner, z) at
// 4, 6, 8, ... mm; the runner-up is always a third class.
Verdict rows(const std::vector<std::pair<std::string, double>>& winners, std::uint64_t blocks = 20) {
  Verdict v;
  v.working_b = 1000.0;
  v.distinct_axes = 30;
  v.determines_tensor = true;
  v.voxel_sizes_mm = {2, 2, 2};
  v.n_wm_voxels = 1000;
  v.n_sampled = 1000;
  v.n_blocks = blocks;
  double d = 4.0;
  for (const auto& [label, z] : winners) {
    const CandidateTransform& c = candidate(label);
    DistanceScore row;
    row.distance_mm = d;
    d += 2.0;
    row.step_voxels = {d / 2, d / 2, d / 2};
    row.winner = RankedCandidate{c.label, c.matrix, c.is_identity, 0.8, 2000};
    row.runner_up = RankedCandidate{"+z+y+x", candidate("+z+y+x").matrix, false, 0.7, 2000};
    row.identity_class = sign_equivalent(c.matrix, identity3());
    row.margin = 0.1;
    row.relative_margin = 0.125;
    row.difference = BlockEstimate{0.1, 0.1 / z, z, blocks, 1000};
    v.distances.push_back(row);
  }
  return v;
}

TEST(DecideVerdict, ZThresholdAndBlockRuleAtTheirEdges) {
  Verdict exact = rows({{"-x+y+z", 5.0}, {"-x+y+z", 3.0}, {"-x+y+z", 4.0}});
  decide_verdict(exact);
  EXPECT_EQ(exact.status, Status::Flag);
  EXPECT_EQ(exact.reason, "the table's axes look wrong: -x+y+z wins at every distance with confidence z = 3.00 at "
                          "6.0 mm over 20 blocks of 16 mm");
  EXPECT_EQ(exact.confidence, 3.0);
  EXPECT_EQ(exact.recommended_label, "-x+y+z");
  EXPECT_EQ(exact.recommended_transform, candidate("-x+y+z").matrix);
  EXPECT_EQ(exact.common_label, "-x+y+z");

  Verdict short_z = rows({{"-x+y+z", 5.0}, {"-x+y+z", 2.99}, {"-x+y+z", 4.0}});
  decide_verdict(short_z);
  EXPECT_EQ(short_z.status, Status::Warn);
  EXPECT_EQ(short_z.reason.rfind("-x+y+z fits the fibres better than the table at every distance, but the "
                                 "confidence is short: z = ",
                                 0),
            0u)
      << short_z.reason;
  EXPECT_NE(short_z.reason.find("z = 2.99 at 6.0 mm (needs 3)"), std::string::npos) << short_z.reason;
  EXPECT_EQ(short_z.confidence, 2.99);
  EXPECT_FALSE(short_z.recommended_label);
  EXPECT_EQ(short_z.common_label, "-x+y+z");  // for a forced repair

  Verdict twenty = rows({{"+y+x+z", 8.0}, {"+y+x+z", 9.0}, {"+y+x+z", 10.0}}, 20);
  decide_verdict(twenty);
  EXPECT_EQ(twenty.status, Status::Flag);
  Verdict nineteen = rows({{"+y+x+z", 8.0}, {"+y+x+z", 9.0}, {"+y+x+z", 10.0}}, 19);
  decide_verdict(nineteen);
  EXPECT_EQ(nineteen.status, Status::Warn);
  EXPECT_EQ(nineteen.reason, "cannot decide: the white-matter sample spans only 19 blocks of 16 mm (need 20); "
                             "+y+x+z wins at every distance, z = 8.00 at 4.0 mm");
  EXPECT_FALSE(nineteen.recommended_label);
  EXPECT_EQ(nineteen.common_label, "+y+x+z");

  // The thresholds are settings.
  Verdict lenient = rows({{"+y+x+z", 2.0}, {"+y+x+z", 2.5}}, 5);
  lenient.settings.z_threshold = 2.0;
  lenient.settings.min_blocks = 5;
  decide_verdict(lenient);
  EXPECT_EQ(lenient.status, Status::Flag);
}

TEST(DecideVerdict, ClassesNotLabelsMustAgree) {
  // A transform and its negation are one class: the first row's member is recommended.
  Verdict same = rows({{"+x-y-z", 6.0}, {"-x+y+z", 7.0}, {"+x-y-z", 8.0}});
  decide_verdict(same);
  EXPECT_EQ(same.status, Status::Flag);
  EXPECT_EQ(same.recommended_label, "+x-y-z");

  Verdict disagree = rows({{"+x+y+z", 9.0}, {"-x+y+z", 9.0}, {"-x-y-z", 9.0}, {"+y+x+z", 9.0}});
  decide_verdict(disagree);
  EXPECT_EQ(disagree.status, Status::Warn);
  EXPECT_EQ(disagree.reason, "the distances disagree: +x+y+z at 4.0 and 8.0 mm; -x+y+z at 6.0 mm; +y+x+z at 10.0 mm");
  EXPECT_FALSE(disagree.confidence);
  EXPECT_FALSE(disagree.common_label);
  EXPECT_FALSE(disagree.recommended_label);
}

TEST(DecideVerdict, IdentityPassesWithANoteWhenUnsure) {
  Verdict sure = rows({{"+x+y+z", 7.0}, {"-x-y-z", kCertainZ}, {"+x+y+z", 5.0}});
  decide_verdict(sure);
  EXPECT_EQ(sure.status, Status::Pass);
  EXPECT_EQ(sure.reason, "the table's own axes fit the fibres best at every distance (4.0, 6.0 and 8.0 mm); "
                         "confidence z = 5.00 at 8.0 mm");
  EXPECT_TRUE(sure.notes.empty());
  EXPECT_FALSE(sure.recommended_label);

  Verdict certain = rows({{"+x+y+z", kCertainZ}, {"+x+y+z", kCertainZ}});
  decide_verdict(certain);
  EXPECT_EQ(certain.reason, "the table's own axes fit the fibres best at every distance (4.0 and 6.0 mm); "
                            "confidence z = certain at 4.0 mm");

  Verdict unsure = rows({{"+x+y+z", 2.0}, {"+x+y+z", 5.0}, {"+x+y+z", 6.0}});
  decide_verdict(unsure);
  EXPECT_EQ(unsure.status, Status::Pass);
  ASSERT_EQ(unsure.notes.size(), 1u);
  EXPECT_EQ(unsure.notes[0], "the table's own axes win at every distance, but the confidence is low (z = 2.00 at "
                             "4.0 mm, below 3): little white matter or weak anisotropy");

  // Demotion by the scheme rules touches a PASS only.
  demote_for_scheme(unsure);
  EXPECT_EQ(unsure.status, Status::Warn);
  EXPECT_TRUE(unsure.reason.ends_with("; but the scheme has issues that keep it from passing (see the notes)"))
      << unsure.reason;
  EXPECT_EQ(unsure.reason.rfind("the table's own axes fit the fibres best at every distance", 0), 0u);
  Verdict flag = rows({{"-x+y+z", 9.0}});
  decide_verdict(flag);
  const std::string before = flag.reason;
  demote_for_scheme(flag);
  EXPECT_EQ(flag.status, Status::Flag);
  EXPECT_EQ(flag.reason, before);
}

TEST(DecideVerdict, DataChecksComeFirstAndStaleResultsAreCleared) {
  Verdict v = rows({{"-x+y+z", 9.0}, {"-x+y+z", 9.0}});
  decide_verdict(v);
  ASSERT_EQ(v.status, Status::Flag);
  // The same rows, but the shell turns out to have five axes: no recommendation survives.
  v.distinct_axes = 5;
  decide_verdict(v);
  EXPECT_EQ(v.status, Status::Warn);
  EXPECT_EQ(v.reason.rfind("cannot decide: the working shell (b=1000) has only 5 non-collinear directions", 0), 0u);
  EXPECT_FALSE(v.recommended_label);
  EXPECT_FALSE(v.recommended_transform);
  EXPECT_FALSE(v.common_label);
  EXPECT_FALSE(v.confidence);

  v.distinct_axes = 30;
  v.n_sampled = 99;
  decide_verdict(v);
  EXPECT_EQ(v.reason, "cannot decide: only 99 white-matter voxels with a usable direction (need 100)");
  v.n_sampled = 1000;
  v.distances.clear();
  decide_verdict(v);
  EXPECT_EQ(v.status, Status::Warn);
  EXPECT_EQ(v.reason, "cannot decide: no distance was scored");
}

// ---------------------------------------------------------------------------------------------------------
// Distances

TEST(VerdictDistances, DefaultsFromTheGeometricMeanAndRequestedOnesChecked) {
  auto iso = verdict_distances({2, 2, 2}, {});
  ASSERT_TRUE(iso.ok());
  ASSERT_EQ(iso->size(), 3u);
  EXPECT_NEAR((*iso)[0], 4.0, 1e-12);
  EXPECT_NEAR((*iso)[1], 6.0, 1e-12);
  EXPECT_NEAR((*iso)[2], 8.0, 1e-12);
  auto aniso = verdict_distances({1.0, -2.0, 4.0}, {});  // geometric mean 2, sign ignored
  ASSERT_TRUE(aniso.ok());
  EXPECT_NEAR((*aniso)[0], 4.0, 1e-12);
  EXPECT_NEAR((*aniso)[2], 8.0, 1e-12);
  // Without usable sizes there is nothing to walk, which is no usage fault.
  auto none = verdict_distances({0, 2, 2}, {});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());

  auto asked = verdict_distances({2, 2, 2}, {5.0, 2.5, 1e-3});
  ASSERT_TRUE(asked.ok());
  EXPECT_EQ(*asked, (std::vector<double>{5.0, 2.5, 1e-3}));
  EXPECT_TRUE(verdict_distances({2, 2, 2}, std::vector<double>(16, 3.0)).ok());

  for (const std::vector<double>& bad : {std::vector<double>{0.0}, {-1.0}, {3.0, kNaN}, {kInf}, {-kInf, 2.0},
                                         std::vector<double>(17, 3.0)}) {
    auto r = verdict_distances({2, 2, 2}, bad);
    ASSERT_FALSE(r.ok()) << bad.size();
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
  }
  EXPECT_NE(verdict_distances({2, 2, 2}, std::vector<double>(17, 3.0)).error().display().find("at most 16"),
            std::string::npos);
}

TEST(VerdictDistances, ComputeVerdictWalksRequestedDistancesAndRefusesBadOnes) {
  const Vec3 sizes{2, 2, 2};
  const HandFit h = ring_fit({40, 40, 40}, sizes);
  VerdictSettings two;
  two.distances_mm = {5.0, 3.0};
  auto v = compute_verdict(inputs_for(h, sizes), two);
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v->distances.size(), 2u);
  EXPECT_EQ(v->distances[0].distance_mm, 5.0);
  EXPECT_EQ(v->distances[1].distance_mm, 3.0);
  EXPECT_EQ(v->distances[1].step_voxels, (Vec3{1.5, 1.5, 1.5}));
  EXPECT_EQ(v->status, Status::Pass) << v->reason;

  for (const std::vector<double>& bad : {std::vector<double>{0.0}, {4.0, -2.0}, {kNaN}, {kInf}}) {
    VerdictSettings s;
    s.distances_mm = bad;
    auto r = compute_verdict(inputs_for(h, sizes), s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
  }
}

}  // namespace
}  // namespace dirsieve
