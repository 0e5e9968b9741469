#include "core/consistency/screen.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <numbers>
#include <optional>
#include <tuple>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/flip/candidates.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

using M7 = Eigen::Matrix<double, 7, 7>;
using V7 = Eigen::Matrix<double, 7, 1>;

constexpr double kDegree = std::numbers::pi / 180.0;

M7 as_matrix(const RowMap& m) {
  M7 out;
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 7; ++j) out(i, j) = m[i][j];
  return out;
}

// tr(G^-1 C) for the symmetric G (positive definite, or singular for a design of too few directions: then
// its pseudo-inverse, the minimum-norm fit's projection).
double trace_solve(const M7& g, const M7& c) {
  const Eigen::LLT<M7> llt(g);
  if (llt.info() == Eigen::Success) {
    const M7 inverse = llt.solve(M7::Identity());
    return (inverse.cwiseProduct(c)).sum();
  }
  const Eigen::SelfAdjointEigenSolver<M7> eigen(g);
  const V7 values = eigen.eigenvalues();
  const double cutoff = 1e-12 * std::max(1.0, values.cwiseAbs().maxCoeff());
  V7 inverse;
  for (int i = 0; i < 7; ++i) inverse(i) = values(i) > cutoff ? 1.0 / values(i) : 0.0;
  const M7 pinv = eigen.eigenvectors() * inverse.asDiagonal() * eigen.eigenvectors().transpose();
  return (pinv.cwiseProduct(c)).sum();
}

// A row map that is a signed permutation of the seven columns (every signed axis permutation maps the
// squared and cross terms onto each other, up to sign): applied by reindexing.
struct SignedMap {
  std::array<int, 7> from{};
  std::array<double, 7> sign{};
};

std::optional<SignedMap> as_signed_map(const M7& m) {
  SignedMap out;
  for (int i = 0; i < 7; ++i) {
    int found = -1;
    for (int j = 0; j < 7; ++j) {
      if (m(i, j) == 0.0) continue;
      if (found >= 0 || std::fabs(m(i, j)) != 1.0) return std::nullopt;
      found = j;
    }
    if (found < 0) return std::nullopt;
    out.from[i] = found;
    out.sign[i] = m(i, found);
  }
  return out;
}

// The sums behind every run: over the diffusion-weighted positions p (design rows n_b0 + p), prefix sums of
// x x^T and of x (S X)^T, and the double prefix T(a, b) = sum over p < a, q < b of S_pq x_p x_q^T on the
// run boundaries.
struct RunSums {
  double trace_s = 0.0;
  M7 g = M7::Zero();  // X^T X
  M7 c = M7::Zero();  // X^T S X
  std::vector<M7> gram;   // gram[p]: sum over q < p of x_q x_q^T
  std::vector<M7> cross;  // cross[p]: sum over q < p of x_q (S X)_q^T
  std::vector<std::size_t> bounds;    // ascending, 0 and m included
  std::vector<std::size_t> bound_of;  // position -> index in bounds, or npos
  std::vector<M7> twice;              // twice[ia * nb + ib] = T(bounds[ia], bounds[ib])

  const M7& t(std::size_t a, std::size_t b) const {
    return twice[bound_of[a] * bounds.size() + bound_of[b]];
  }
  // G_S, A_S and B_S of the run [i, j).
  void of_run(std::size_t i, std::size_t j, M7& gs, M7& as, M7& bs) const {
    gs = gram[j] - gram[i];
    as = cross[j] - cross[i];
    bs = t(j, j) - t(i, j) - t(j, i) + t(i, i);
  }
};

RunSums run_sums(const Eigen::MatrixXd& s, const std::vector<DesignRow>& design, std::size_t n_b0,
                 const std::vector<std::size_t>& bounds) {
  RunSums out;
  const std::size_t n = design.size();
  const std::size_t m = n - n_b0;
  Eigen::MatrixXd x(static_cast<Eigen::Index>(n), 7);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < 7; ++c) x(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = design[r][c];
  const Eigen::MatrixXd sx = s * x;
  out.trace_s = s.trace();
  out.g = x.transpose() * x;
  out.c = x.transpose() * sx;
  out.gram.assign(m + 1, M7::Zero());
  out.cross.assign(m + 1, M7::Zero());
  for (std::size_t p = 0; p < m; ++p) {
    const V7 xp = x.row(static_cast<Eigen::Index>(n_b0 + p)).transpose();
    const V7 sxp = sx.row(static_cast<Eigen::Index>(n_b0 + p)).transpose();
    out.gram[p + 1] = out.gram[p] + xp * xp.transpose();
    out.cross[p + 1] = out.cross[p] + xp * sxp.transpose();
  }
  out.bounds = bounds;
  out.bound_of.assign(m + 1, std::numeric_limits<std::size_t>::max());
  for (std::size_t k = 0; k < bounds.size(); ++k) out.bound_of[bounds[k]] = k;
  const std::size_t nb = bounds.size();
  // row[p][ib]: sum over q < bounds[ib] of S_pq x_q, for every position p.
  std::vector<V7> row(m * nb, V7::Zero());
  for (std::size_t p = 0; p < m; ++p) {
    V7 acc = V7::Zero();
    std::size_t q = 0;
    for (std::size_t ib = 0; ib < nb; ++ib) {
      for (; q < bounds[ib]; ++q)
        acc += s(static_cast<Eigen::Index>(n_b0 + p), static_cast<Eigen::Index>(n_b0 + q)) *
               x.row(static_cast<Eigen::Index>(n_b0 + q)).transpose();
      row[p * nb + ib] = acc;
    }
  }
  out.twice.assign(nb * nb, M7::Zero());
  std::vector<M7> acc(nb, M7::Zero());
  std::size_t p = 0;
  for (std::size_t ia = 0; ia < nb; ++ia) {
    for (; p < bounds[ia]; ++p) {
      const V7 xp = x.row(static_cast<Eigen::Index>(n_b0 + p)).transpose();
      for (std::size_t ib = 0; ib < nb; ++ib) acc[ib] += xp * row[p * nb + ib].transpose();
    }
    for (std::size_t ib = 0; ib < nb; ++ib) out.twice[ia * nb + ib] = acc[ib];
  }
  return out;
}

// The residual sum with the rows of the run (G_S, A_S, B_S) mapped by `pi`.
double run_rss(const RunSums& sums, const M7& gs, const M7& as, const M7& bs, const M7& pi) {
  const M7 q = pi - M7::Identity();
  const M7 d = q * as;
  const M7 gh = sums.g - gs + pi * gs * pi.transpose();
  const M7 ch = sums.c + d + d.transpose() + q * bs * q.transpose();
  return sums.trace_s - trace_solve(gh, ch);
}

// The screen's inner loop: most hypotheses are a run under a signed permutation, so this one is written out.
// With P a signed permutation, (P - I) A = P A - A and (P - I) B (P - I)^T = P B P^T - P B - B P^T + B are
// reindexings; both matrices are symmetric, so only their lower triangles are formed. tr(G^-1 C) comes from
// the Cholesky factor L of G as the sum over i >= k of (L^-1 C)_ik (L^-1)_ik.
double run_rss(const RunSums& sums, const M7& gs, const M7& as, const M7& bs, const SignedMap& pi) {
  double gh[7][7];
  double ch[7][7];
  for (int i = 0; i < 7; ++i) {
    const int fi = pi.from[i];
    const double si = pi.sign[i];
    for (int j = 0; j <= i; ++j) {
      const int fj = pi.from[j];
      const double sj = pi.sign[j];
      const double sij = si * sj;
      gh[i][j] = (sums.g(i, j) - gs(i, j)) + sij * gs(fi, fj);
      ch[i][j] = ((((sums.c(i, j) + (si * as(fi, j) - as(i, j))) + (sj * as(fj, i) - as(j, i))) + sij * bs(fi, fj)) -
                  (si * bs(fi, j) + sj * bs(fj, i))) +
                 bs(i, j);
    }
  }
  // Cholesky, lower triangle in place.
  for (int j = 0; j < 7; ++j) {
    double d = gh[j][j];
    for (int k = 0; k < j; ++k) d -= gh[j][k] * gh[j][k];
    if (!(d > 1e-12 * std::max(1.0, std::fabs(gh[j][j])))) {
      // A design of too few directions: the pseudo-inverse.
      M7 g, c;
      for (int a = 0; a < 7; ++a)
        for (int b = 0; b <= a; ++b) {
          g(a, b) = g(b, a) = (sums.g(a, b) - gs(a, b)) + pi.sign[a] * pi.sign[b] * gs(pi.from[a], pi.from[b]);
          c(a, b) = c(b, a) = ch[a][b];
        }
      return sums.trace_s - trace_solve(g, c);
    }
    const double l = std::sqrt(d);
    gh[j][j] = l;
    for (int i = j + 1; i < 7; ++i) {
      double v = gh[i][j];
      for (int k = 0; k < j; ++k) v -= gh[i][k] * gh[j][k];
      gh[i][j] = v / l;
    }
  }
  // L^-1 (lower triangular) and M = L^-1 C, column by column.
  double inv[7][7] = {};
  for (int j = 0; j < 7; ++j) {
    inv[j][j] = 1.0 / gh[j][j];
    for (int i = j + 1; i < 7; ++i) {
      double v = 0.0;
      for (int k = j; k < i; ++k) v += gh[i][k] * inv[k][j];
      inv[i][j] = -v / gh[i][i];
    }
  }
  double trace = 0.0;
  for (int i = 0; i < 7; ++i) {
    for (int k = 0; k <= i; ++k) {
      // (L^-1 C)_ik = sum over m <= i of inv[i][m] C[m][k].
      double mik = 0.0;
      for (int m = 0; m <= i; ++m) mik += inv[i][m] * (m >= k ? ch[m][k] : ch[k][m]);
      trace += mik * inv[i][k];
    }
  }
  return sums.trace_s - trace;
}

Mat3 rotation_of_vector(const Vec3& w) {
  const double angle = std::sqrt((w[0] * w[0] + w[1] * w[1]) + w[2] * w[2]);
  if (!(angle > 0.0)) return identity3();
  return rotation(Vec3{w[0] / angle, w[1] / angle, w[2] / angle}, angle);
}

// A hypothesis while screening, before it is spelled out.
struct Key {
  PartKind kind = PartKind::ClassRun;
  std::size_t i = 0, j = 0;  // run [i, j) of diffusion-weighted positions (Shift: of the shell's positions)
  int index = 0;             // class / rotation / shift / shell pair
  bool rest = false;         // the rows outside the run are the part (under the inverse)
  Mat3 matrix = identity3(); // the transform (ClassRun, RotationRun)
  double rss = 0.0;
  std::size_t part = 0;
  double turn = 0.0;
};

// What one direction transform does to the rows: per position, the turn (as axes) in degrees.
std::vector<double> turns(const std::vector<Vec3>& unit, const Mat3& m) {
  std::vector<double> out(unit.size());
  for (std::size_t p = 0; p < unit.size(); ++p) out[p] = axis_angle_deg(unit[p], dirsieve::apply(m, unit[p]));
  return out;
}

struct TurnPrefix {
  std::vector<double> sum;          // sum of turns of changed rows before p
  std::vector<std::size_t> count;   // changed rows before p
};

TurnPrefix turn_prefix(const std::vector<double>& turn, double changed_deg) {
  TurnPrefix out;
  out.sum.assign(turn.size() + 1, 0.0);
  out.count.assign(turn.size() + 1, 0);
  for (std::size_t p = 0; p < turn.size(); ++p) {
    const bool changed = turn[p] >= changed_deg;
    out.sum[p + 1] = out.sum[p] + (changed ? turn[p] : 0.0);
    out.count[p + 1] = out.count[p] + (changed ? 1 : 0);
  }
  return out;
}

// The smaller side of the run [i, j) under a transform: its changed rows and their mean turn. False when
// the hypothesis is not eligible (too few changed rows, too small a turn, too few rows kept).
bool part_of(const TurnPrefix& tp, std::size_t i, std::size_t j, std::size_t m, const ScreenSettings& s,
             std::size_t min_part, Key& key) {
  const std::size_t in = tp.count[j] - tp.count[i];
  const std::size_t out = tp.count[m] - in;
  const double in_turn = tp.sum[j] - tp.sum[i];
  const double out_turn = tp.sum[m] - in_turn;
  // The smaller changed side is the part; on a tie the run (the later rows of a tail).
  key.rest = out < in;
  key.part = key.rest ? out : in;
  const double turn = key.rest ? out_turn : in_turn;
  key.turn = key.part > 0 ? turn / static_cast<double>(key.part) : 0.0;
  const std::size_t kept = m - key.part;
  return key.part >= min_part && key.turn >= s.min_turn_deg && kept >= s.min_reference;
}

// Keeps the best `limit` keys.
class BestKeys {
 public:
  explicit BestKeys(std::size_t limit) : limit_(limit) {}
  void offer(const Key& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keys_.size() >= limit_ && !(key.rss < worst_)) return;
    keys_.push_back(key);
    if (keys_.size() > 2 * limit_) prune();
    worst_ = keys_.size() >= limit_ ? worst_of() : std::numeric_limits<double>::infinity();
  }
  std::vector<Key> take() {
    prune();
    return std::move(keys_);
  }

 private:
  // Best first; equal sums in a fixed order of the hypotheses, so the result does not depend on which thread
  // offered what first.
  static bool before(const Key& a, const Key& b) {
    if (a.rss != b.rss) return a.rss < b.rss;
    return std::tie(a.kind, a.i, a.j, a.index, a.rest) < std::tie(b.kind, b.i, b.j, b.index, b.rest);
  }
  void prune() {
    std::sort(keys_.begin(), keys_.end(), before);
    if (keys_.size() > limit_) keys_.resize(limit_);
  }
  double worst_of() {
    prune();
    return keys_.back().rss;
  }
  std::size_t limit_;
  std::vector<Key> keys_;
  double worst_ = std::numeric_limits<double>::infinity();
  std::mutex mutex_;
};

std::vector<std::size_t> run_bounds(std::size_t m, const std::vector<std::size_t>& b0_after, std::size_t limit) {
  std::vector<std::size_t> out;
  if (m <= limit) {
    for (std::size_t p = 0; p <= m; ++p) out.push_back(p);
    return out;
  }
  const std::size_t step = (m + limit - 1) / limit;
  for (std::size_t p = 0; p <= m; p += step) out.push_back(p);
  out.push_back(m);
  out.insert(out.end(), b0_after.begin(), b0_after.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Position a + ((k - a + shift) mod span): the row a cyclic shift within [a, a + span) takes its direction from.
std::size_t cyclic(std::size_t a, std::size_t span, std::size_t k, int shift) {
  const long long s = static_cast<long long>(span);
  long long offset = (static_cast<long long>(k - a) + shift) % s;
  if (offset < 0) offset += s;
  return a + static_cast<std::size_t>(offset);
}


}  // namespace

Eigen::MatrixXd signal_scatter(const SampleSignals& signals, std::size_t stride, std::size_t first) {
  const std::size_t n = signals.width();
  Eigen::MatrixXd s = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
  if (stride == 0) stride = 1;
  std::vector<std::size_t> picked;
  for (std::size_t v = first; v < signals.n_voxels; v += stride) picked.push_back(v);
  if (picked.empty() || n == 0) return s;
  // Pieces of voxels, each gathered into a column block and folded with a rank update.
  constexpr std::size_t kPiece = 1024;
  const std::size_t pieces = (picked.size() + kPiece - 1) / kPiece;
  std::vector<Eigen::MatrixXd> partial(pieces);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces, 1), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = r.begin(); k != r.end(); ++k) {
      const std::size_t begin = k * kPiece, end = std::min(picked.size(), begin + kPiece);
      Eigen::MatrixXd y(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(end - begin));
      for (std::size_t v = begin; v < end; ++v)
        y.col(static_cast<Eigen::Index>(v - begin)) =
            Eigen::Map<const Eigen::VectorXd>(signals.voxel_signals(picked[v]), static_cast<Eigen::Index>(n));
      Eigen::MatrixXd piece = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
      piece.selfadjointView<Eigen::Lower>().rankUpdate(y);
      partial[k] = piece.selfadjointView<Eigen::Lower>();
    }
  });
  // Pieces are added in order, so the sum does not depend on the scheduling.
  for (const auto& piece : partial) s += piece;
  return s;
}

std::vector<DesignRow> table_design(const GradientTable& table, const VolumeRows& rows, double b_unit) {
  std::vector<DesignRow> out;
  out.reserve(rows.volumes.size());
  for (std::size_t r = 0; r < rows.volumes.size(); ++r) {
    const std::size_t v = rows.volumes[r];
    out.push_back(design_row(table.directions()[v], table.bvals()[v], b_unit, r < rows.n_b0));
  }
  return out;
}

double residual_sum(const Eigen::MatrixXd& s, const std::vector<DesignRow>& design) {
  const std::size_t n = design.size();
  Eigen::MatrixXd x(static_cast<Eigen::Index>(n), 7);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < 7; ++c) x(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = design[r][c];
  const M7 g = x.transpose() * x;
  const M7 c = x.transpose() * s * x;
  return s.trace() - trace_solve(g, c);
}

ScreenResult screen_hypotheses(const Eigen::MatrixXd& s, const GradientTable& table, const VolumeRows& rows,
                               const ScreenSettings& settings) {
  ScreenResult result;
  const std::size_t n = rows.volumes.size();
  const std::size_t n_b0 = rows.n_b0;
  const std::size_t m = rows.dw_count();
  if (m < settings.min_part + settings.min_reference) return result;

  double b_unit = 0.0;
  for (std::size_t r = n_b0; r < n; ++r) b_unit = std::max(b_unit, table.bvals()[rows.volumes[r]]);
  if (!(b_unit > 0.0)) return result;
  const std::vector<DesignRow> design = table_design(table, rows, b_unit);
  result.rss_given = residual_sum(s, design);

  // Unit directions of the diffusion-weighted rows, by position.
  std::vector<Vec3> unit(m);
  for (std::size_t p = 0; p < m; ++p) {
    const Vec3& g = table.directions()[rows.volumes[n_b0 + p]];
    const double len = std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]);
    unit[p] = len > 1e-6 ? Vec3{g[0] / len, g[1] / len, g[2] / len} : Vec3{0.0, 0.0, 0.0};
  }
  // Positions that follow a b0 volume in file order: where joined acquisitions usually start again.
  std::vector<std::size_t> b0_after;
  for (std::size_t p = 1; p < m; ++p) {
    const std::size_t before = rows.volumes[n_b0 + p - 1], here = rows.volumes[n_b0 + p];
    if (here > before + 1) b0_after.push_back(p);
  }
  const std::vector<std::size_t> bounds = run_bounds(m, b0_after, settings.max_boundaries);
  const RunSums sums = run_sums(s, design, n_b0, bounds);

  // The runs: tails [i, m) (a head under M is the tail under M^-1) and middles [i, j).
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t a = 1; a + 1 < bounds.size(); ++a) runs.emplace_back(bounds[a], m);
  for (std::size_t a = 1; a + 1 < bounds.size(); ++a)
    for (std::size_t b = a + 1; b + 1 < bounds.size(); ++b) runs.emplace_back(bounds[a], bounds[b]);

  // The transforms: the 23 other classes, and rotations about each axis (a coarser set on middle runs).
  struct Transform {
    PartKind kind;
    Mat3 matrix;
    M7 pi;
    std::optional<SignedMap> signed_map;
    TurnPrefix turns;
    bool tails_only = false;
    int index = 0;
  };
  std::vector<Transform> transforms;
  const auto& classes = generate_candidates();
  int class_index = 0;
  for (std::size_t ci = 0; ci < classes.size(); ++ci) {
    bool repeat = classes[ci].is_identity || sign_equivalent(classes[ci].matrix, identity3());
    for (std::size_t earlier = 0; earlier < ci && !repeat; ++earlier)
      repeat = sign_equivalent(classes[earlier].matrix, classes[ci].matrix);
    if (repeat) continue;
    Transform t{PartKind::ClassRun, classes[ci].matrix, as_matrix(row_map(classes[ci].matrix)), std::nullopt,
                turn_prefix(turns(unit, classes[ci].matrix), settings.resolution_deg), false, static_cast<int>(ci)};
    t.signed_map = as_signed_map(t.pi);
    transforms.push_back(std::move(t));
    ++class_index;
  }
  for (int axis = 0; axis < 3; ++axis) {
    for (double deg : {10.0, -10.0, 20.0, -20.0, 30.0, -30.0}) {
      Vec3 a{0.0, 0.0, 0.0};
      a[axis] = 1.0;
      const Mat3 q = rotation(a, deg * kDegree);
      Transform t{PartKind::RotationRun, q, as_matrix(row_map(q)), std::nullopt,
                  turn_prefix(turns(unit, q), settings.resolution_deg), std::fabs(deg) != 20.0, 0};
      transforms.push_back(std::move(t));
    }
  }

  // Rotations of middle runs (a run at another angulation between two at the first) are screened between
  // boundaries on a coarser grid, about 16 along the table, and where b0 volumes restart an acquisition; the
  // refinement below moves a found rotation to the data's own.
  std::vector<std::uint8_t> coarse(m + 1, 0);
  const std::size_t coarse_step = std::max<std::size_t>(1, m / 16);
  for (std::size_t p = 0; p <= m; p += coarse_step) coarse[p] = 1;
  for (std::size_t p : b0_after) coarse[p] = 1;

  BestKeys best(std::max<std::size_t>(settings.keep * 4, 64));
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, runs.size(), 8), [&](const tbb::blocked_range<std::size_t>& r) {
    M7 gs, as, bs;
    for (std::size_t k = r.begin(); k != r.end(); ++k) {
      const auto [i, j] = runs[k];
      sums.of_run(i, j, gs, as, bs);
      for (std::size_t t = 0; t < transforms.size(); ++t) {
        const Transform& tr = transforms[t];
        if (tr.kind == PartKind::RotationRun && j != m && (tr.tails_only || !(coarse[i] && coarse[j]))) continue;
        Key key;
        key.kind = tr.kind;
        key.i = i;
        key.j = j;
        key.index = static_cast<int>(t);
        key.matrix = tr.matrix;
        const std::size_t min_part = tr.kind == PartKind::RotationRun ? settings.min_rotation_part : settings.min_part;
        if (!part_of(tr.turns, i, j, m, settings, min_part, key)) continue;
        key.rss = tr.signed_map ? run_rss(sums, gs, as, bs, *tr.signed_map) : run_rss(sums, gs, as, bs, tr.pi);
        best.offer(key);
      }
    }
  });
  result.hypotheses = runs.size() * transforms.size();

  std::vector<Key> keys = best.take();

  // Rotations found on the grid are refined on the same sums: a simplex over the rotation vector.
  std::size_t refined = 0;
  for (Key& key : keys) {
    if (key.kind != PartKind::RotationRun || refined >= 8) continue;
    ++refined;
    M7 gs, as, bs;
    sums.of_run(key.i, key.j, gs, as, bs);
    const auto rss_of = [&](const Vec3& w) { return run_rss(sums, gs, as, bs, as_matrix(row_map(rotation_of_vector(w)))); };
    // Start from the grid rotation's vector.
    const Mat3& q = key.matrix;
    const double angle = std::acos(std::clamp((q[0][0] + q[1][1] + q[2][2] - 1.0) / 2.0, -1.0, 1.0));
    Vec3 w{q[2][1] - q[1][2], q[0][2] - q[2][0], q[1][0] - q[0][1]};
    const double s2 = 2.0 * std::sin(angle);
    for (double& c : w) c = s2 != 0.0 ? c / s2 * angle : 0.0;
    std::array<Vec3, 4> simplex{w, w, w, w};
    for (int a = 0; a < 3; ++a) simplex[a + 1][a] += 5.0 * kDegree;
    std::array<double, 4> value{};
    for (int v = 0; v < 4; ++v) value[v] = rss_of(simplex[v]);
    for (int iteration = 0; iteration < 120; ++iteration) {
      std::array<int, 4> order{0, 1, 2, 3};
      std::sort(order.begin(), order.end(), [&](int a, int b) { return value[a] < value[b]; });
      const int worst = order[3];
      Vec3 centre{0.0, 0.0, 0.0};
      for (int v = 0; v < 3; ++v)
        for (int a = 0; a < 3; ++a) centre[a] += simplex[order[v]][a] / 3.0;
      const auto along = [&](double t) {
        Vec3 p;
        for (int a = 0; a < 3; ++a) p[a] = centre[a] + t * (simplex[worst][a] - centre[a]);
        return p;
      };
      const Vec3 reflected = along(-1.0);
      const double fr = rss_of(reflected);
      if (fr < value[order[0]]) {
        const Vec3 expanded = along(-2.0);
        const double fe = rss_of(expanded);
        simplex[worst] = fe < fr ? expanded : reflected;
        value[worst] = std::min(fe, fr);
      } else if (fr < value[order[2]]) {
        simplex[worst] = reflected;
        value[worst] = fr;
      } else {
        const Vec3 contracted = along(0.5);
        const double fc = rss_of(contracted);
        if (fc < value[worst]) {
          simplex[worst] = contracted;
          value[worst] = fc;
        } else {
          for (int v = 1; v < 4; ++v) {
            for (int a = 0; a < 3; ++a)
              simplex[order[v]][a] = simplex[order[0]][a] + 0.5 * (simplex[order[v]][a] - simplex[order[0]][a]);
            value[order[v]] = rss_of(simplex[order[v]]);
          }
        }
      }
    }
    int at = 0;
    for (int v = 1; v < 4; ++v)
      if (value[v] < value[at]) at = v;
    if (value[at] < key.rss) {
      // The best rotation is what the data say; when it is too small to be a table error (motion turns a
      // run by a few degrees), the grid point only approximated it and the hypothesis goes.
      const Mat3 rq = rotation_of_vector(simplex[at]);
      Key refined_key = key;
      refined_key.matrix = rq;
      const TurnPrefix tp = turn_prefix(turns(unit, rq), settings.resolution_deg);
      if (part_of(tp, key.i, key.j, m, settings, settings.min_rotation_part, refined_key)) {
        refined_key.rss = value[at];
        key = refined_key;
      } else {
        key.rss = std::numeric_limits<double>::infinity();
      }
    }
  }
  keys.erase(std::remove_if(keys.begin(), keys.end(), [](const Key& k) { return std::isinf(k.rss); }), keys.end());

  // Rows moved within a shell (the whole shell, or its head or tail, cyclically) and b-values of two
  // shells exchanged: the rows change in ways that are not a map of the design, so they are scored whole.
  const std::vector<Shell> shells = cluster_shells(table.bvals(), settings.b0_threshold, settings.tolerance);
  std::vector<std::size_t> position_of(table.size(), std::numeric_limits<std::size_t>::max());
  for (std::size_t p = 0; p < m; ++p) position_of[rows.volumes[n_b0 + p]] = p;
  std::vector<std::vector<std::size_t>> shell_positions;
  std::vector<double> shell_b;
  for (const Shell& shell : shells) {
    if (shell.is_b0) continue;
    std::vector<std::size_t> positions;
    for (std::size_t v : shell.indices)
      if (position_of[v] != std::numeric_limits<std::size_t>::max()) positions.push_back(position_of[v]);
    std::sort(positions.begin(), positions.end());
    shell_positions.push_back(std::move(positions));
    shell_b.push_back(shell.nominal_b);
  }
  std::vector<Key> whole;
  const auto score_rows = [&](const std::vector<DesignRow>& changed_design) {
    return residual_sum(s, changed_design);
  };
  for (std::size_t si = 0; si < shell_positions.size(); ++si) {
    const auto& pos = shell_positions[si];
    const std::size_t len = pos.size();
    if (len < settings.min_part + 2) continue;
    for (int shift : {1, -1, 2, -2}) {
      // Runs over the shell's own positions: the whole shell, its heads and its tails.
      std::vector<std::pair<std::size_t, std::size_t>> shell_runs{{0, len}};
      for (std::size_t t = settings.min_part + 1; t + settings.min_part + 1 <= len; ++t) {
        shell_runs.emplace_back(0, t);
        shell_runs.emplace_back(t, len);
      }
      for (const auto& [a, b] : shell_runs) {
        const std::size_t span = b - a;
        if (span <= static_cast<std::size_t>(std::abs(shift))) continue;
        std::vector<DesignRow> changed = design;
        Key key;
        key.kind = PartKind::Shift;
        key.i = a;
        key.j = b;
        key.index = static_cast<int>(si) * 8 + (shift + 2);
        double turn_sum = 0.0;
        for (std::size_t k = a; k < b; ++k) {
          const std::size_t from = cyclic(a, span, k, shift);
          // The direction moves; the b-value stays with the volume.
          const std::size_t v = rows.volumes[n_b0 + pos[k]];
          changed[n_b0 + pos[k]] = design_row(table.directions()[rows.volumes[n_b0 + pos[from]]], table.bvals()[v],
                                              b_unit, false);
          const double turn = axis_angle_deg(unit[pos[k]], unit[pos[from]]);
          if (turn >= settings.changed_deg) {
            ++key.part;
            turn_sum += turn;
          }
        }
        key.turn = key.part > 0 ? turn_sum / static_cast<double>(key.part) : 0.0;
        // Every row of the run moves: there is no kept side to measure against, only the turn.
        if (key.part < settings.min_part || key.turn < settings.min_turn_deg) continue;
        key.rss = score_rows(changed);
        whole.push_back(key);
      }
    }
  }
  for (std::size_t sa = 0; sa < shell_positions.size(); ++sa) {
    for (std::size_t sb = sa + 1; sb < shell_positions.size(); ++sb) {
      std::vector<DesignRow> changed = design;
      const double up = shell_b[sb] / shell_b[sa];
      for (std::size_t p : shell_positions[sa]) {
        const std::size_t v = rows.volumes[n_b0 + p];
        changed[n_b0 + p] = design_row(table.directions()[v], table.bvals()[v] * up, b_unit, false);
      }
      for (std::size_t p : shell_positions[sb]) {
        const std::size_t v = rows.volumes[n_b0 + p];
        changed[n_b0 + p] = design_row(table.directions()[v], table.bvals()[v] / up, b_unit, false);
      }
      Key key;
      key.kind = PartKind::BvalueSwap;
      key.index = static_cast<int>(sa * shell_positions.size() + sb);
      key.part = shell_positions[sa].size() + shell_positions[sb].size();
      key.turn = std::numeric_limits<double>::quiet_NaN();
      if (key.part < settings.min_part) continue;
      key.rss = score_rows(changed);
      whole.push_back(key);
    }
  }
  result.hypotheses += whole.size();
  keys.insert(keys.end(), whole.begin(), whole.end());
  std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.rss < b.rss; });

  // Spell out the best, one per distinct table.
  const std::size_t n_rows = table.size();
  std::vector<GradientTable> kept_tables;
  for (const Key& key : keys) {
    if (result.best.size() >= settings.keep) break;
    PartFix fix;
    fix.kind = key.kind;
    fix.rows = uniform_fix(n_rows, identity3());
    fix.mean_turn_deg = key.turn;
    fix.run_begin = key.i;
    fix.run_end = key.j;
    std::vector<std::uint8_t> changed_row(n_rows, 0);
    if (key.kind == PartKind::ClassRun || key.kind == PartKind::RotationRun) {
      const Mat3 applied = key.rest ? transpose(key.matrix) : key.matrix;
      fix.matrix = applied;
      for (std::size_t p = 0; p < m; ++p) {
        const bool in_run = p >= key.i && p < key.j;
        if (in_run == key.rest) continue;
        const std::size_t v = rows.volumes[n_b0 + p];
        if (axis_angle_deg(unit[p], dirsieve::apply(applied, unit[p])) < settings.resolution_deg) continue;
        fix.rows[v].matrix = applied;
        changed_row[v] = 1;
      }
      if (key.kind == PartKind::ClassRun) {
        // The label of the applied class (the inverse of the run's class when the rest is the part).
        for (const auto& c : classes) {
          if (c.matrix == applied) {
            fix.label = c.label;
            break;
          }
        }
      } else {
        const double cosine = std::clamp((applied[0][0] + applied[1][1] + applied[2][2] - 1.0) / 2.0, -1.0, 1.0);
        fix.angle_deg = std::acos(cosine) * 180.0 / std::numbers::pi;
        Vec3 axis{applied[2][1] - applied[1][2], applied[0][2] - applied[2][0], applied[1][0] - applied[0][1]};
        const double len = std::sqrt((axis[0] * axis[0] + axis[1] * axis[1]) + axis[2] * axis[2]);
        if (len > 0.0)
          for (double& c : axis) c /= len;
        fix.axis = axis;
        fix.label = "rotation";
      }
    } else if (key.kind == PartKind::Shift) {
      const std::size_t si = static_cast<std::size_t>(key.index / 8);
      const int shift = key.index % 8 - 2;
      fix.shift = shift;
      const auto& pos = shell_positions[si];
      const std::size_t span = key.j - key.i;
      for (std::size_t k = key.i; k < key.j; ++k) {
        const std::size_t from = cyclic(key.i, span, k, shift);
        const std::size_t v = rows.volumes[n_b0 + pos[k]];
        fix.rows[v].source = rows.volumes[n_b0 + pos[from]];
        if (axis_angle_deg(unit[pos[k]], unit[pos[from]]) >= settings.changed_deg) changed_row[v] = 1;
      }
      fix.label = std::string("shift ") + (shift > 0 ? "+" : "") + std::to_string(shift);
    } else {
      const std::size_t count = shell_positions.size();
      const std::size_t sa = static_cast<std::size_t>(key.index) / count, sb = static_cast<std::size_t>(key.index) % count;
      const double up = shell_b[sb] / shell_b[sa];
      for (std::size_t p : shell_positions[sa]) {
        const std::size_t v = rows.volumes[n_b0 + p];
        fix.rows[v].b_scale = up;
        changed_row[v] = 1;
      }
      for (std::size_t p : shell_positions[sb]) {
        const std::size_t v = rows.volumes[n_b0 + p];
        fix.rows[v].b_scale = 1.0 / up;
        changed_row[v] = 1;
      }
      fix.label = "b=" + format_fixed(shell_b[sa], 0) + " <-> b=" + format_fixed(shell_b[sb], 0);
    }
    for (std::size_t v = 0; v < n_rows; ++v) {
      if (changed_row[v]) fix.changed.push_back(v);
    }
    for (std::size_t p = 0; p < m; ++p) {
      const std::size_t v = rows.volumes[n_b0 + p];
      if (!changed_row[v]) fix.reference.push_back(v);
    }
    std::sort(fix.reference.begin(), fix.reference.end());
    if (fix.changed.empty()) continue;
    if (fix.kind == PartKind::ClassRun || fix.kind == PartKind::RotationRun) {
      std::vector<std::size_t> dw(rows.volumes.begin() + static_cast<std::ptrdiff_t>(n_b0), rows.volumes.end());
      fill_interior(fix, table, dw, settings.resolution_deg);
    }

    // The same table as one already kept (rows that a transform leaves alone make runs that differ only by
    // them equal): keep the first.
    // The same table as one already kept, up to a whole-table class (rows that a transform leaves alone make
    // runs that differ only by them equal; a scheme closed under the classes makes a part and its image
    // under one the same hypothesis): keep the first.
    const GradientTable fixed = apply_fix(table, fix.rows);
    bool repeat = false;
    for (const GradientTable& other : kept_tables) {
      for (const auto& w : classes) {
        bool same = true;
        for (std::size_t v = 0; v < n_rows && same; ++v) {
          const Vec3 a = dirsieve::apply(w.matrix, fixed.directions()[v]);
          const Vec3& b = other.directions()[v];
          const double plus = std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]);
          const double minus = std::fabs(a[0] + b[0]) + std::fabs(a[1] + b[1]) + std::fabs(a[2] + b[2]);
          // Tables are written to about six decimals.
          same = std::min(plus, minus) < 1e-4 && fixed.bvals()[v] == other.bvals()[v];
        }
        if (same) {
          repeat = true;
          break;
        }
      }
      if (repeat) break;
    }
    if (repeat) continue;
    kept_tables.push_back(fixed);

    describe_fix(fix);
    ScreenedHypothesis h;
    h.fix = std::move(fix);
    h.rss = key.rss;
    h.effect = result.rss_given > 0.0 ? (result.rss_given - key.rss) / result.rss_given : 0.0;
    result.best.push_back(std::move(h));
  }
  return result;
}

}  // namespace dirsieve
