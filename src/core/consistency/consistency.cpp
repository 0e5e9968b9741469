#include "core/consistency/consistency.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>

#include <Eigen/Dense>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/flip/candidates.hpp"
#include "core/flip/coherence.hpp"
#include "core/flip/tensor_eigen.hpp"
#include "core/util/clock.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

constexpr std::size_t kPiece = 256;

Eigen::MatrixXd design_matrix(const std::vector<DesignRow>& design) {
  Eigen::MatrixXd x(static_cast<Eigen::Index>(design.size()), 7);
  for (std::size_t r = 0; r < design.size(); ++r)
    for (int c = 0; c < 7; ++c) x(static_cast<Eigen::Index>(r), c) = design[r][static_cast<std::size_t>(c)];
  return x;
}

// Per sample voxel, the residual sum of its fit with `design`: |y|^2 - |Q^T y|^2 for an orthonormal basis Q of
// the design's columns (rank-revealing, so a design of too few directions keeps only what it determines).
std::vector<double> voxel_residuals(const SampleSignals& s, const std::vector<DesignRow>& design) {
  const Eigen::MatrixXd x = design_matrix(design);
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(x);
  const Eigen::Index rank = qr.rank();
  const Eigen::MatrixXd q = (qr.householderQ() * Eigen::MatrixXd::Identity(x.rows(), x.cols())).leftCols(rank);
  const Eigen::MatrixXd qt = q.transpose();
  const std::size_t n = s.width();
  std::vector<double> out(s.n_voxels);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, s.n_voxels, kPiece), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t v = r.begin(); v != r.end(); ++v) {
      const Eigen::Map<const Eigen::VectorXd> y(s.voxel_signals(v), static_cast<Eigen::Index>(n));
      out[v] = y.squaredNorm() - (qt * y).squaredNorm();
    }
  });
  return out;
}

// Per sample voxel, the principal direction of its fit with `design` (zero when the fit has none).
std::vector<Vec3> sample_directions(const SampleSignals& s, const std::vector<DesignRow>& design) {
  const Eigen::MatrixXd x = design_matrix(design);
  const Eigen::CompleteOrthogonalDecomposition<Eigen::MatrixXd> cod(x);
  const Eigen::MatrixXd p = cod.pseudoInverse();  // 7 x n
  const std::size_t n = s.width();
  // The signals are kept less their row means: the fit of a voxel adds the fit of the means.
  const Eigen::VectorXd offset = p * Eigen::Map<const Eigen::VectorXd>(s.mean.data(), static_cast<Eigen::Index>(n));
  std::vector<Vec3> out(s.n_voxels, Vec3{0.0, 0.0, 0.0});
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, s.n_voxels, kPiece), [&](const tbb::blocked_range<std::size_t>& r) {
    const std::size_t count = r.size();
    std::vector<double> coef(6 * count);
    std::vector<double> vx(count), vy(count), vz(count), fa(count);
    std::vector<std::uint8_t> valid(count);
    for (std::size_t j = 0; j < count; ++j) {
      const Eigen::Map<const Eigen::VectorXd> y(s.voxel_signals(r.begin() + j), static_cast<Eigen::Index>(n));
      const Eigen::VectorXd c = p * y + offset;
      for (int k = 0; k < 6; ++k) coef[static_cast<std::size_t>(k) * count + j] = c(k + 1);
    }
    decompose_tensors(TensorBatchIn{coef.data(), count, count},
                      TensorBatchOut{vx.data(), vy.data(), vz.data(), fa.data(), valid.data()});
    for (std::size_t j = 0; j < count; ++j)
      if (valid[j]) out[r.begin() + j] = {vx[j], vy[j], vz[j]};
  });
  return out;
}

std::size_t class_index(const Mat3& m) {
  const auto& classes = distinct_classes();
  for (std::size_t k = 0; k < classes.size(); ++k)
    if (sign_equivalent(classes[k].matrix, m)) return k;
  return 0;
}

// The class of a signed permutation (a rotation is none).
std::optional<std::size_t> nearest_class(const Mat3& m) {
  Mat3 rounded{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double v = m[i][j];
      if (std::fabs(std::fabs(v) - 1.0) < 1e-9) {
        rounded[i][j] = v > 0 ? 1.0 : -1.0;
      } else if (std::fabs(v) < 1e-9) {
        rounded[i][j] = 0.0;
      } else {
        return std::nullopt;
      }
    }
  const auto& classes = distinct_classes();
  for (std::size_t k = 0; k < classes.size(); ++k)
    if (sign_equivalent(classes[k].matrix, rounded)) return k;
  return std::nullopt;
}

// Coherence of refitted directions on the sample, laid out as the verdict's scorer has it.
class CoherenceProbe {
 public:
  CoherenceProbe(const TensorFit& fit, const WhiteMatterSample& sample, const SampleSignals& signals,
                 const std::vector<double>& distances, const Vec3& voxel_sizes, const Mat3& frame_map,
                 double block_mm)
      : scorer_(fit, sample), frame_map_(frame_map) {
    // Scorer voxels are the mask's, in voxel order; the signals' are those of them with a valid fit.
    const auto& coords = scorer_.coordinates();
    const std::size_t ny = fit.dims[1], nz = fit.dims[2];
    slot_of_.assign(coords.size(), std::numeric_limits<std::size_t>::max());
    std::size_t j = 0;
    for (std::size_t i = 0; i < coords.size(); ++i) {
      const std::size_t v = (coords[i][0] * ny + coords[i][1]) * nz + coords[i][2];
      while (j < signals.n_voxels && signals.voxel[j] < v) ++j;
      if (j < signals.n_voxels && signals.voxel[j] == v) slot_of_[i] = j;
    }
    const BlockGrid grid(fit.dims, voxel_sizes, block_mm);
    for (const auto& c : coords) block_.push_back(grid.id(c));
    for (double d : distances)
      steps_.push_back(Vec3{d / std::fabs(voxel_sizes[0]), d / std::fabs(voxel_sizes[1]), d / std::fabs(voxel_sizes[2])});
  }

  using Scores = CoherenceScores;

  // The fibres of `directions` (one per signal voxel): the best of `classes` (indices into distinct_classes(),
  // all of them when empty) at the middle distance, and every distance's per-voxel scores under it.
  Scores score(const std::vector<Vec3>& directions, const std::vector<std::size_t>& classes = {}) const {
    std::vector<Vec3> v1(slot_of_.size(), Vec3{0.0, 0.0, 0.0});
    for (std::size_t i = 0; i < slot_of_.size(); ++i)
      if (slot_of_[i] != std::numeric_limits<std::size_t>::max()) v1[i] = directions[slot_of_[i]];
    const CoherenceScorer scorer = scorer_.with_directions(std::move(v1));
    Scores out;
    if (steps_.empty()) return out;
    std::vector<std::size_t> tried = classes;
    if (tried.empty())
      for (std::size_t k = 0; k < distinct_classes().size(); ++k) tried.push_back(k);
    std::vector<Mat3> matrices;
    for (std::size_t k : tried) matrices.push_back(distinct_classes()[k].matrix);
    const auto ranked = scorer.score(matrices, steps_[steps_.size() / 2], frame_map_);
    std::size_t at = 0;
    for (std::size_t k = 1; k < ranked.size(); ++k)
      if (ranked[k].coherence > ranked[at].coherence) at = k;
    out.best_class = tried[at];
    out.sums.resize(steps_.size());
    out.sampled.resize(steps_.size());
    for (std::size_t d = 0; d < steps_.size(); ++d)
      scorer.voxel_scores(matrices[at], steps_[d], frame_map_, out.sums[d], out.sampled[d]);
    return out;
  }

  // Per distance, the jackknife of (fixed - given) per sampled voxel, on the scale of the coherence.
  // Over all distances at once: per voxel the mean of its per-distance differences (the distances see the
  // same fibres, so one estimate of their common gain is surer than the weakest of three).
  BlockEstimate compare_overall(const Scores& fixed, const Scores& given) const {
    std::vector<double> diff;
    std::vector<std::uint64_t> blocks;
    const std::size_t distances = fixed.sums.size();
    if (distances == 0) return BlockEstimate{};
    for (std::size_t i = 0; i < block_.size(); ++i) {
      double total = 0.0;
      bool any = false;
      for (std::size_t d = 0; d < distances; ++d) {
        if (!fixed.sampled[d][i] && !given.sampled[d][i]) continue;
        any = true;
        total += (fixed.sums[d][i] - given.sums[d][i]) / 2.0;
      }
      if (!any) continue;
      diff.push_back(total / static_cast<double>(distances));
      blocks.push_back(block_[i]);
    }
    return block_jackknife(diff, blocks);
  }

  std::vector<BlockEstimate> compare(const Scores& fixed, const Scores& given) const {
    std::vector<BlockEstimate> out;
    for (std::size_t d = 0; d < fixed.sums.size(); ++d) {
      std::vector<double> diff;
      std::vector<std::uint64_t> blocks;
      for (std::size_t i = 0; i < block_.size(); ++i) {
        if (!fixed.sampled[d][i] && !given.sampled[d][i]) continue;
        diff.push_back((fixed.sums[d][i] - given.sums[d][i]) / 2.0);
        blocks.push_back(block_[i]);
      }
      out.push_back(block_jackknife(diff, blocks));
    }
    return out;
  }

 private:
  CoherenceScorer scorer_;
  Mat3 frame_map_;
  std::vector<std::size_t> slot_of_;
  std::vector<std::uint64_t> block_;
  std::vector<Vec3> steps_;
};

std::string z_text(double z) { return std::fabs(z) >= kCertainZ ? std::string("certain") : format_fixed(z, 1); }

std::string evidence_text(const CandidateEvidence& c) {
  std::string out = "residual " + format_fixed(100.0 * c.effect, 1) + "% lower, z = " + z_text(c.residual.z);
  if (c.scored) out += "; fibre coherence z = " + z_text(c.fibre.z);
  return out;
}

// Rows in one sorted list and not the other.
std::size_t rows_apart(const std::vector<std::size_t>& a, const std::vector<std::size_t>& b) {
  std::vector<std::size_t> d;
  std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(d));
  return d.size();
}

bool contradicted(const CandidateEvidence& c, const ConsistencySettings& s) {
  return c.scored && c.fibre.z < s.coherence_z;
}

// The least fibre z a correction may have. A rotation is fitted to the data (three parameters), so part of its
// residual gain is always fit, and a smaller gain than `large_effect` is within what model error lends the best
// of thousands of hypotheses: then the fibres must not be less coherent with it at all. A larger one is beyond
// that, and the fibres need only not contradict it (where it barely moves the fitted directions, as on a clean
// phantom, their change is noise).
double least_fibre_z(const CandidateEvidence& c, const ConsistencySettings& s) {
  const bool fitted_or_small = c.fix.kind == PartKind::RotationRun || c.effect < s.large_effect;
  return fitted_or_small ? std::max(0.0, s.coherence_z) : s.coherence_z;
}

bool supported(const CandidateEvidence& c, const ConsistencySettings& s) {
  // The screen's best of thousands is always somewhat lucky, so its residual z alone overstates the evidence;
  // the fibres are the independent test, and the two together must reach the threshold: a residual barely
  // past it needs the fibres' support, a strong one only their not contradicting it.
  return c.eligible && c.scored && c.fibre.z >= least_fibre_z(c, s) && c.combined_z >= s.z_threshold;
}

// Eligible by the residual and not rejected by the fibres, but short of the evidence to decide. A fitted
// rotation that the fibres do not favour is what a rotation always finds; a discrete correction is not.
bool unconfirmed(const CandidateEvidence& c, const ConsistencySettings& s) {
  const double rejected_below = c.fix.kind == PartKind::RotationRun ? least_fibre_z(c, s) : s.coherence_z;
  return c.eligible && c.scored && c.fibre.z >= rejected_below && !supported(c, s);
}

// The search for part errors of one table against the sample: screen, confirm, corroborate.
class Checker {
 public:
  Checker(const ConsistencyInputs& in, const ConsistencySettings& settings, const SampleSignals& signals,
          const Eigen::MatrixXd& scatter, const VolumeRows& rows, const ScreenSettings& screen)
      : in_(in), settings_(settings), signals_(signals), scatter_(scatter), rows_(rows), screen_(screen) {
    for (std::size_t r = rows.n_b0; r < rows.volumes.size(); ++r)
      b_unit_ = std::max(b_unit_, in.table->bvals()[rows.volumes[r]]);
    for (std::size_t r = rows.n_b0; r < rows.volumes.size(); ++r) dw_rows_.push_back(rows.volumes[r]);
    std::sort(dw_rows_.begin(), dw_rows_.end());
  }

  const std::vector<std::size_t>& dw_rows() const { return dw_rows_; }

  struct Baseline {
    GradientTable table;
    std::vector<double> rss;  // per voxel
    double total = 0.0;
    std::optional<CoherenceProbe::Scores> fibres;
  };

  Baseline baseline(const GradientTable& table) const {
    Baseline b{table, voxel_residuals(signals_, design(table)), 0.0, std::nullopt};
    for (double r : b.rss) b.total += r;
    return b;
  }

  // Every hypothesis on `base`, the best confirmed on the whole sample and the eligible ones corroborated;
  // then the near variants of each supported run.
  std::vector<CandidateEvidence> search(Baseline& base, std::uint64_t& hypotheses) const {
    const ScreenResult screened = screen_hypotheses(scatter_, base.table, rows_, screen_);
    hypotheses += screened.hypotheses;
    std::vector<CandidateEvidence> out;
    // Each kind has its share, so that continuous rotations (which always find some gain) do not crowd out
    // the discrete hypotheses.
    std::size_t per_kind[4] = {0, 0, 0, 0};
    const std::size_t quota[4] = {settings_.confirm / 2, settings_.confirm / 4, settings_.confirm / 4, 2};
    for (const ScreenedHypothesis& h : screened.best) {
      if (out.size() >= settings_.confirm) break;
      if (h.effect < settings_.min_effect / 2.0) break;
      std::size_t& used = per_kind[static_cast<int>(h.fix.kind)];
      if (used >= quota[static_cast<int>(h.fix.kind)]) continue;
      ++used;
      out.push_back(confirm(base, h));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const CandidateEvidence& a, const CandidateEvidence& b) { return a.effect > b.effect; });
    std::size_t scored = 0;
    for (CandidateEvidence& c : out) {
      if (!c.eligible || scored >= settings_.corroborate || !probe()) continue;
      ++scored;
      corroborate(base, c);
    }

    // A run of a table closed under the signed permutations (12 directions, say) keeps some of its rows'
    // axes under a class and maps others onto the axes of rows outside it, so the residual may prefer the run
    // with a row or two left out, where the fibres see the whole of it: a supported run is weighed against
    // the best of its variants that change one or two rows more or fewer.
    const std::size_t first_round = out.size();
    for (std::size_t i = 0; i < first_round; ++i) {
      if (out[i].fix.kind != PartKind::ClassRun || !supported(out[i], settings_)) continue;
      std::size_t added = 0;
      for (const ScreenedHypothesis& h : screened.best) {
        if (added >= settings_.variants) break;
        if (h.fix.kind != PartKind::ClassRun || h.fix.matrix != out[i].fix.matrix) continue;
        const std::size_t apart = rows_apart(h.fix.changed, out[i].fix.changed);
        if (apart == 0 || apart > 2) continue;
        const auto same = [&](const CandidateEvidence& c) {
          return c.fix.matrix == h.fix.matrix && c.fix.changed == h.fix.changed;
        };
        if (std::any_of(out.begin(), out.end(), same)) continue;
        CandidateEvidence c = confirm(base, h);
        if (c.eligible && probe()) corroborate(base, c);
        out.push_back(std::move(c));
        ++added;
      }
    }
    return out;
  }

  // One hypothesis on the whole sample: its effect and the block jackknife of the per-voxel drop.
  CandidateEvidence confirm(const Baseline& base, const ScreenedHypothesis& h) const {
    const double mean = base.total / static_cast<double>(signals_.n_voxels);
    CandidateEvidence c;
    c.screen_effect = h.effect;
    c.fix = h.fix;
    c.rss = voxel_residuals(signals_, design(apply_fix(base.table, c.fix.rows)));
    std::vector<double> drop(signals_.n_voxels);
    double total = 0.0;
    for (std::size_t v = 0; v < signals_.n_voxels; ++v) {
      drop[v] = (base.rss[v] - c.rss[v]) / mean;
      total += c.rss[v];
    }
    c.effect = base.total > 0.0 ? (base.total - total) / base.total : 0.0;
    c.residual = block_jackknife(drop, signals_.block);
    c.eligible = c.effect >= settings_.min_effect && c.residual.z >= settings_.z_threshold &&
                 c.residual.blocks >= settings_.min_blocks;
    c.boundaries = boundaries(base.table, c.fix);
    return c;
  }

  // The fibres of the table refitted with the correction, against the table as given.
  void corroborate(Baseline& base, CandidateEvidence& c) const {
    if (!base.fibres) base.fibres = probe()->score(sample_directions(signals_, design(base.table)));
    const CoherenceProbe::Scores& given = *base.fibres;
    // The fixed table's class is the baseline's when the kept rows were right, or that class composed
    // with the part's transform when the changed rows were.
    std::vector<std::size_t> tried{class_index(identity3()), given.best_class};
    const Mat3& w = distinct_classes()[given.best_class].matrix;
    for (const Mat3& m : {c.fix.matrix, transpose(c.fix.matrix)}) {
      for (const Mat3& composite : {multiply(w, m), m}) {
        if (const auto k = nearest_class(composite)) tried.push_back(*k);
      }
    }
    std::sort(tried.begin(), tried.end());
    tried.erase(std::unique(tried.begin(), tried.end()), tried.end());
    c.fibres = probe()->score(sample_directions(signals_, design(apply_fix(base.table, c.fix.rows))), tried);
    c.scored = true;
    c.whole_label = distinct_classes()[c.fibres.best_class].label;
    c.whole_matrix = distinct_classes()[c.fibres.best_class].matrix;
    c.coherence = probe()->compare(c.fibres, given);
    c.fibre = probe()->compare_overall(c.fibres, given);
    c.combined_z = (c.residual.z + c.fibre.z) / std::numbers::sqrt2;
    if (c.fix.kind == PartKind::RotationRun) c.angle_cost = angle_cost(base, c);
  }

  // How sharply the residual fixes a fitted rotation: the least rise of the residual sum, relative to the
  // table's, when the rotation is turned further by the resolution about each axis, either way.
  double angle_cost(const Baseline& base, const CandidateEvidence& c) const {
    double fitted = 0.0;
    for (double r : c.rss) fitted += r;
    double least = std::numeric_limits<double>::infinity();
    const double step = screen_.resolution_deg * std::numbers::pi / 180.0;
    for (int axis = 0; axis < 3; ++axis) {
      Vec3 e{0.0, 0.0, 0.0};
      e[axis] = 1.0;
      for (double sign : {-1.0, 1.0}) {
        const Mat3 turn = rotation(e, sign * step);
        std::vector<VolumeFix> rows = c.fix.rows;
        for (std::size_t v : c.fix.changed) rows[v].matrix = multiply(turn, rows[v].matrix);
        double total = 0.0;
        for (double r : voxel_residuals(signals_, design(apply_fix(base.table, rows)))) total += r;
        least = std::min(least, (total - fitted) / base.total);
      }
    }
    return base.total > 0.0 ? least : 0.0;
  }

  // Paired evidence that `a` explains the data better than `b`: the residual's and the fibres' z combined as
  // two independent tests are (their sum over the square root of two).
  double paired_z(const CandidateEvidence& a, const CandidateEvidence& b, double baseline_mean) const {
    std::vector<double> diff(signals_.n_voxels);
    for (std::size_t v = 0; v < signals_.n_voxels; ++v) diff[v] = (b.rss[v] - a.rss[v]) / baseline_mean;
    const double zr = block_jackknife(diff, signals_.block).z;
    if (!a.scored || !b.scored || !probe()) return zr;
    return (zr + probe()->compare_overall(a.fibres, b.fibres).z) / std::numbers::sqrt2;
  }

  // The table a candidate ends with: its fix, then its whole-table class.
  GradientTable final_table(const GradientTable& base, const CandidateEvidence& c) const {
    return apply_fix(apply_fix(base, c.fix.rows), uniform_fix(base.size(), c.whole_matrix));
  }

  // Diffusion-weighted rows whose direction differs (as axes, by the resolution or more) between two tables.
  std::vector<std::size_t> differing_rows(const GradientTable& a, const GradientTable& b) const {
    std::vector<std::size_t> out;
    for (std::size_t v : dw_rows_) {
      if (axis_angle_deg(a.directions()[v], b.directions()[v]) >= screen_.resolution_deg ||
          a.bvals()[v] != b.bvals()[v])
        out.push_back(v);
    }
    return out;
  }

  // Run boundaries of a correction along the diffusion-weighted rows in file order; rows its transform turns
  // by less than the resolution may go with either side.
  int boundaries(const GradientTable& base, const PartFix& fix) const {
    switch (fix.kind) {
      case PartKind::BvalueSwap:
        return 0;
      case PartKind::Shift: {
        std::size_t shell_rows = 0;
        for (std::size_t v : dw_rows_)
          if (std::fabs(base.bvals()[v] - base.bvals()[fix.changed.empty() ? v : fix.changed.front()]) <=
              screen_.tolerance * base.bvals()[v])
            ++shell_rows;
        return (fix.run_begin > 0 ? 1 : 0) + (fix.run_end < shell_rows ? 1 : 0);
      }
      case PartKind::ClassRun:
      case PartKind::RotationRun:
        break;
    }
    std::vector<char> labels;
    for (std::size_t v : dw_rows_) {
      const Vec3& g = base.directions()[v];
      if (axis_angle_deg(g, dirsieve::apply(fix.matrix, g)) < screen_.resolution_deg) continue;
      labels.push_back(std::binary_search(fix.changed.begin(), fix.changed.end(), v) ? 'C' : 'K');
    }
    int segments = 0;
    for (std::size_t i = 0; i < labels.size(); ++i)
      if (labels[i] == 'C' && (i == 0 || labels[i - 1] != 'C')) ++segments;
    int count = 2 * segments;
    if (!labels.empty() && labels.front() == 'C') --count;
    if (!labels.empty() && labels.back() == 'C') --count;
    return count + (fix.kind == PartKind::RotationRun ? 1 : 0);
  }

  std::vector<VolumeResidual> volumes(const GradientTable& table) const {
    return check_volumes(scatter_, table, rows_, settings_.volumes);
  }

 private:
  std::vector<DesignRow> design(const GradientTable& table) const { return table_design(table, rows_, b_unit_); }

  const CoherenceProbe* probe() const {
    if (in_.distances_mm.empty()) return nullptr;
    if (!probe_)
      probe_.emplace(*in_.fit, *in_.sample, signals_, in_.distances_mm, in_.dwi->voxel_sizes, in_.frame_map,
                     settings_.block_mm);
    return &*probe_;
  }

  const ConsistencyInputs& in_;
  const ConsistencySettings& settings_;
  const SampleSignals& signals_;
  const Eigen::MatrixXd& scatter_;
  const VolumeRows& rows_;
  const ScreenSettings& screen_;
  double b_unit_ = 0.0;
  std::vector<std::size_t> dw_rows_;
  mutable std::optional<CoherenceProbe> probe_;
};

}  // namespace

Result<ConsistencyResult> check_consistency(const ConsistencyInputs& in, const ConsistencySettings& settings) {
  const Stopwatch clock;
  ConsistencyResult result;
  const GradientTable& table = *in.table;
  const VolumeRows rows = volume_rows(table, in.b0_threshold);
  ScreenSettings screen = settings.screen;
  screen.b0_threshold = in.b0_threshold;
  screen.tolerance = in.tolerance;
  const auto not_checked = [&](std::string why) {
    result.not_checked = std::move(why);
    result.status = Status::Pass;
    result.reason = "not checked: " + result.not_checked;
    result.seconds = clock.seconds();
    return result;
  };
  if (rows.dw_count() < screen.min_part + screen.min_reference) {
    return not_checked("only " + std::to_string(rows.dw_count()) +
                       " diffusion-weighted volumes (a part and a reference that determines a tensor need " +
                       std::to_string(screen.min_part + screen.min_reference) + ")");
  }
  const SampleSignals signals = gather_signals(*in.dwi, *in.fit, *in.sample, rows, settings.block_mm);
  result.n_voxels = signals.n_voxels;
  result.n_blocks = signals.n_blocks;
  if (signals.n_voxels < settings.min_voxels || signals.n_blocks < settings.min_blocks) {
    return not_checked(std::to_string(signals.n_voxels) + " white-matter voxels in " +
                       std::to_string(signals.n_blocks) + " blocks (need " + std::to_string(settings.min_voxels) +
                       " in " + std::to_string(settings.min_blocks) + ")");
  }
  result.checked = true;

  // Screen on an even subsample of the voxels; confirm and corroborate on all of them.
  const std::size_t stride =
      std::max<std::size_t>(1, (signals.n_voxels + settings.screen_voxels - 1) / settings.screen_voxels);
  const Eigen::MatrixXd scatter = signal_scatter(signals, stride);
  result.n_screened_voxels = (signals.n_voxels + stride - 1) / stride;
  const Checker checker(in, settings, signals, scatter, rows, screen);
  result.volumes = checker.volumes(table);

  Checker::Baseline given = checker.baseline(table);
  result.mean_residual = given.total / static_cast<double>(signals.n_voxels);
  result.candidates = checker.search(given, result.hypotheses);

  // Every ordered pair of supported candidates whose corrected tables differ: which explains the data better.
  for (std::size_t a = 0; a < result.candidates.size(); ++a) {
    for (std::size_t b = 0; b < result.candidates.size(); ++b) {
      const CandidateEvidence& ca = result.candidates[a];
      const CandidateEvidence& cb = result.candidates[b];
      if (a == b || !supported(ca, settings) || !supported(cb, settings)) continue;
      CandidatePair pair{a, b, 0.0, checker.differing_rows(checker.final_table(table, ca), checker.final_table(table, cb))};
      if (pair.rows.empty()) continue;
      pair.z = checker.paired_z(ca, cb, result.mean_residual);
      result.pairs.push_back(std::move(pair));
    }
  }

  decide_consistency(result, settings);
  if (result.finding) {
    CandidateEvidence& f = result.candidates[*result.finding];
    // Of the two ways to say the same correction, the one that keeps the table's own axes for its kept rows.
    if (!sign_equivalent(f.whole_matrix, identity3())) {
      const Mat3 other = multiply(f.whole_matrix, f.fix.matrix);
      const auto k = nearest_class(other);
      if (k && sign_equivalent(distinct_classes()[*k].matrix, identity3())) {
        f.fix = other_side(f.fix, table, checker.dw_rows(), screen.resolution_deg);
        f.whole_matrix = identity3();
        f.whole_label = "+x+y+z";
      }
    }

    // How the volumes fit once it is applied (the caller checks the corrected table on its own fit again).
    result.volumes_fixed = checker.volumes(apply_fix(table, f.fix.rows));
    result.reason = "part of the table is wrong: " + f.fix.description + " (" + evidence_text(f) + ")";
  }

  // Volumes out of line with the rest, on the table the check ends with.
  const auto& final_volumes = result.finding ? result.volumes_fixed : result.volumes;
  std::vector<std::size_t> other, none;
  for (const auto& v : final_volumes) {
    if (v.state == VolumeState::OtherDirection) other.push_back(v.volume);
    if (v.state == VolumeState::NoDirection) none.push_back(v.volume);
  }
  if (!none.empty()) {
    result.notes.push_back("volume" + std::string(none.size() == 1 ? " " : "s ") + volume_ranges(none) +
                           (none.size() == 1 ? " fits" : " fit") +
                           " no direction (signal dropout or motion?): left as it is; check the image");
  }
  if (!other.empty()) {
    std::string list;
    for (const auto& v : final_volumes) {
      if (v.state != VolumeState::OtherDirection) continue;
      if (!list.empty()) list += "; ";
      list += std::to_string(v.volume) + " (" + format_fixed(v.best_angle_deg, 0) + "\xC2\xB0 from its row)";
    }
    result.notes.push_back("volume" + std::string(other.size() == 1 ? " " : "s ") + list +
                           (other.size() == 1 ? " fits" : " fit") +
                           " another direction far better than its row: a table error that no correction of a part "
                           "explains; not changed");
    if (result.status == Status::Pass) {
      result.status = Status::Warn;
      result.reason = "volume" + std::string(other.size() == 1 ? " " : "s ") + volume_ranges(other) +
                      (other.size() == 1 ? " fits" : " fit") + " another direction than its row (not decided)";
    }
  }
  result.seconds = clock.seconds();
  return result;
}

void decide_consistency(ConsistencyResult& result, const ConsistencySettings& settings) {
  result.finding.reset();
  result.suspect.reset();
  result.undecided.clear();
  if (!result.checked) {
    result.status = Status::Pass;
    result.reason = "not checked: " + result.not_checked;
    return;
  }
  const auto& cs = result.candidates;
  std::vector<std::size_t> supported_ones;
  for (std::size_t i = 0; i < cs.size(); ++i)
    if (supported(cs[i], settings)) supported_ones.push_back(i);
  const auto warn = [&](std::size_t suspect, std::string why) {
    result.suspect = suspect;
    result.status = Status::Warn;
    result.reason = "part of the table looks wrong (" + cs[suspect].fix.description + "; " + evidence_text(cs[suspect]) +
                    "), but " + std::move(why);
  };
  if (supported_ones.empty()) {
    std::optional<std::size_t> doubt;
    for (std::size_t i = 0; i < cs.size(); ++i)
      if (unconfirmed(cs[i], settings) && (!doubt || cs[i].combined_z > cs[*doubt].combined_z)) doubt = i;
    if (doubt) {
      return warn(*doubt, "the fibres do not confirm it: the residual and the fibres together reach z = " +
                              format_fixed(cs[*doubt].combined_z, 1) + " (a finding needs " +
                              format_fixed(settings.z_threshold, 0) + ")");
    }
    result.status = Status::Pass;
    result.reason = "the table agrees with itself: no correction of a part of it fits the data better";
    return;
  }
  std::size_t strongest = supported_ones.front();
  for (std::size_t i : supported_ones)
    if (cs[i].combined_z > cs[strongest].combined_z) strongest = i;

  // The residual's own best explanations must not be ones the fibres reject: then the two disagree, and
  // neither can be trusted.
  for (std::size_t i = 0; i < cs.size(); ++i) {
    if (!cs[i].eligible || cs[i].effect <= cs[strongest].effect || !contradicted(cs[i], settings)) continue;
    return warn(strongest, "a correction that lowers the residual more makes the fibres less coherent (" +
                               cs[i].fix.description + "): the data do not agree on one");
  }

  // The candidates no other explains the data decisively better than.
  const auto pair = [&](std::size_t a, std::size_t b) -> const CandidatePair* {
    for (const auto& p : result.pairs)
      if (p.better == a && p.worse == b) return &p;
    return nullptr;
  };
  std::vector<std::size_t> unbeaten;
  for (std::size_t i : supported_ones) {
    bool beaten = false;
    for (std::size_t j : supported_ones) {
      const CandidatePair* p = pair(j, i);
      beaten = beaten || (p != nullptr && p->z >= settings.z_threshold);
    }
    if (!beaten) unbeaten.push_back(i);
  }
  if (unbeaten.empty()) unbeaten.push_back(strongest);
  // When the data cannot tell them apart, the correction with fewer run boundaries is the likelier account
  // (acquisitions are joined end to end, so a wrong part usually reaches the start or the end, and a table
  // goes wrong by a signed permutation before a fitted rotation) -- but only between variants of one
  // correction that differ in a few rows; two different explanations stay undecided.
  std::size_t chosen = unbeaten.front();
  for (std::size_t i : unbeaten)
    if (cs[i].boundaries < cs[chosen].boundaries ||
        (cs[i].boundaries == cs[chosen].boundaries && cs[i].combined_z > cs[chosen].combined_z))
      chosen = i;
  std::vector<std::size_t> undecided;
  for (std::size_t i : unbeaten) {
    if (i == chosen) continue;
    const CandidatePair* p = pair(chosen, i);
    if (p == nullptr) continue;  // the same corrected table
    const std::size_t variant_rows = std::max<std::size_t>(2, cs[chosen].fix.changed.size() / 4);
    if (cs[i].boundaries > cs[chosen].boundaries && p->rows.size() <= variant_rows) continue;
    undecided.insert(undecided.end(), p->rows.begin(), p->rows.end());
  }
  std::sort(undecided.begin(), undecided.end());
  undecided.erase(std::unique(undecided.begin(), undecided.end()), undecided.end());
  if (!undecided.empty()) {
    result.undecided = undecided;
    return warn(chosen, "the data cannot decide volume" + std::string(undecided.size() == 1 ? " " : "s ") +
                            volume_ranges(undecided));
  }
  if (cs[chosen].angle_cost && *cs[chosen].angle_cost < settings.angle_cost) {
    return warn(chosen, "the data do not fix its angle: turning it " + format_fixed(settings.screen.resolution_deg, 0) +
                            "° further raises the residual by only " + format_fixed(100.0 * *cs[chosen].angle_cost, 1) +
                            "% (a decided turn needs " + format_fixed(100.0 * settings.angle_cost, 0) + "%)");
  }
  result.finding = chosen;
  result.status = Status::Flag;
  result.reason = "part of the table is wrong: " + cs[chosen].fix.description + " (" + evidence_text(cs[chosen]) + ")";
}

JsonValue to_json(const ConsistencyResult& r, const ConsistencySettings& settings) {
  JsonValue out = JsonValue::object();
  out.add("status", status_name(r.status));
  out.add("reason", r.reason);
  out.add("checked", r.checked);
  out.add("n_voxels", r.n_voxels);
  out.add("n_blocks", r.n_blocks);
  out.add("n_screened_voxels", r.n_screened_voxels);
  out.add("hypotheses", r.hypotheses);
  out.add("mean_residual", r.mean_residual);
  out.add("finding", r.finding ? to_json(r.candidates[*r.finding].fix) : JsonValue(nullptr));
  out.add("suspect", r.suspect ? to_json(r.candidates[*r.suspect].fix) : JsonValue(nullptr));
  JsonValue candidates = JsonValue::array();
  for (const auto& c : r.candidates) {
    JsonValue e = JsonValue::object();
    e.add("description", c.fix.description);
    e.add("kind", part_kind_name(c.fix.kind));
    e.add("changed", json_array_of(c.fix.changed));
    e.add("mean_turn_deg", std::isfinite(c.fix.mean_turn_deg) ? JsonValue(c.fix.mean_turn_deg) : JsonValue(nullptr));
    e.add("screen_effect", c.screen_effect);
    e.add("effect", c.effect);
    e.add("z", c.residual.z);
    e.add("n_blocks", c.residual.blocks);
    e.add("eligible", c.eligible);
    e.add("boundaries", c.boundaries);
    if (c.scored) {
      e.add("whole_label", c.whole_label);
      JsonValue zs = JsonValue::array();
      JsonValue means = JsonValue::array();
      for (const auto& b : c.coherence) {
        zs.push(b.z);
        means.push(b.mean);
      }
      e.add("coherence_z", std::move(zs));
      e.add("fibre_z", c.fibre.z);
      e.add("coherence_gain", std::move(means));
      e.add("combined_z", c.combined_z);
      if (c.angle_cost) e.add("angle_cost", *c.angle_cost);
    }
    candidates.push(std::move(e));
  }
  out.add("candidates", std::move(candidates));
  out.add("undecided", json_array_of(r.undecided));
  JsonValue volumes = JsonValue::array();
  for (const auto& v : r.volumes) volumes.push(to_json(v));
  out.add("volumes", std::move(volumes));
  JsonValue fixed = JsonValue::array();
  for (const auto& v : r.volumes_fixed) fixed.push(to_json(v));
  out.add("volumes_fixed", std::move(fixed));
  JsonValue thresholds = JsonValue::object();
  thresholds.add("min_effect", settings.min_effect);
  thresholds.add("z", settings.z_threshold);
  thresholds.add("coherence_z", settings.coherence_z);
  thresholds.add("large_effect", settings.large_effect);
  thresholds.add("min_part", settings.screen.min_part);
  thresholds.add("min_turn_deg", settings.screen.min_turn_deg);
  thresholds.add("angle_cost", settings.angle_cost);
  out.add("thresholds", std::move(thresholds));
  out.add("notes", json_array_of(r.notes));
  return out;
}

}  // namespace dirsieve
