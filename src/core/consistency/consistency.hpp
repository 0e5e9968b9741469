// Whether the table agrees with itself: hypotheses of part of it being wrong, screened by the residual of the
// log-linear tensor fit over the white-matter sample, confirmed on the whole sample with a block jackknife,
// corroborated by the coherence of the fibres they produce; and every volume's own share of the residual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/consistency/part_fix.hpp"
#include "core/consistency/screen.hpp"
#include "core/consistency/volume_check.hpp"
#include "core/flip/tensor_fit.hpp"
#include "core/flip/white_matter.hpp"
#include "core/gradients/table.hpp"
#include "core/report/status.hpp"
#include "core/util/json.hpp"
#include "core/util/result.hpp"
#include "core/verdict/jackknife.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

struct ConsistencySettings {
  ScreenSettings screen;
  VolumeCheckSettings volumes;
  std::size_t screen_voxels = 16384;  // the screen's subsample of the sample voxels (evenly strided)
  std::size_t confirm = 12;           // distinct tables confirmed on the whole sample
  std::size_t corroborate = 8;        // of those, the best refitted and scored for fibre coherence
  std::size_t variants = 2;           // per supported run, its best variants by one or two rows confirmed too
  double min_effect = 0.01;           // relative residual reduction a finding must reach
  double z_threshold = 3.0;           // residual confidence, and combined confidence over the alternatives
  // The fibres may not contradict a fix: they may not be less coherent with it at z <= -2 over the distances
  // (where a fix barely moves the fitted directions, as on a clean single-fibre phantom, their change is noise).
  double coherence_z = -2.0;
  // Below this residual reduction a correction is within what model error (motion, eddy currents, crossing
  // fibres) lends the best of many hypotheses, and the fibres must not be less coherent with it at all.
  double large_effect = 0.10;
  // A fitted rotation's angle is decided when turning it by the screen's resolution about any axis raises the
  // residual by this share of the table's at least. The cost grows with the square of the error, so model error
  // that buys min_effect moves the fitted angle by at most half the resolution when this is 4 x min_effect.
  double angle_cost = 0.04;
  std::uint64_t min_blocks = 20;
  std::uint64_t min_voxels = 100;
  double block_mm = 16.0;
};

struct ConsistencyInputs {
  const DwiVolume* dwi = nullptr;
  const GradientTable* table = nullptr;
  const TensorFit* fit = nullptr;          // the fit of the table as given, and its sample
  const WhiteMatterSample* sample = nullptr;
  double b0_threshold = 50.0;
  double tolerance = 0.05;
  Mat3 frame_map = identity3();
  std::vector<double> distances_mm;        // the verdict's walking distances
};

// Per-voxel coherence of one set of fitted directions under its best class, at every walking distance.
struct CoherenceScores {
  std::size_t best_class = 0;
  std::vector<std::vector<double>> sums;
  std::vector<std::vector<std::uint8_t>> sampled;
};

// One hypothesis with its evidence.
struct CandidateEvidence {
  PartFix fix;
  double screen_effect = 0.0;
  double effect = 0.0;          // relative residual reduction over the whole sample
  BlockEstimate residual;       // per voxel: residual as given minus with the fix, relative to the mean residual
  bool eligible = false;        // effect and residual confidence reach the thresholds
  bool scored = false;          // refitted and scored for coherence
  std::string whole_label;      // the best whole-table class of the fixed table (middle distance)
  Mat3 whole_matrix = identity3();
  std::vector<BlockEstimate> coherence;  // per distance: fixed minus given, per sampled voxel
  BlockEstimate fibre;          // the same over all distances at once: the coherence evidence
  double combined_z = 0.0;      // residual and coherence z combined: (z_r + z_c) / sqrt(2)
  // A fitted rotation (when eligible and scored): the least rise of the residual, relative to the table's,
  // when it is turned further by the resolution about any of the three axes.
  std::optional<double> angle_cost;
  // Run boundaries the correction needs (joined acquisitions meet end to end, so a part that reaches the
  // start or the end of the table needs one, a middle run two; a fitted rotation counts one more).
  int boundaries = 0;
  std::vector<double> rss;      // per sample voxel, with the fix
  CoherenceScores fibres;       // per distance and scorer voxel, with the fix (when scored)
};

// How two supported candidates compare: the evidence that `better` explains the data better than `worse`
// (the paired residual and coherence z combined), and the rows where their corrected tables differ.
struct CandidatePair {
  std::size_t better = 0;
  std::size_t worse = 0;
  double z = 0.0;
  std::vector<std::size_t> rows;
};

struct ConsistencyResult {
  bool checked = false;
  std::string not_checked;      // why not, when not checked
  std::uint64_t n_voxels = 0;
  std::uint64_t n_blocks = 0;
  std::uint64_t n_screened_voxels = 0;
  std::uint64_t hypotheses = 0;
  double mean_residual = 0.0;   // residual sum per voxel, as given
  std::vector<VolumeResidual> volumes;        // as given
  std::vector<VolumeResidual> volumes_fixed;  // with the finding applied
  std::vector<CandidateEvidence> candidates;  // best first
  std::vector<CandidatePair> pairs;           // every ordered pair of supported candidates with different tables
  std::vector<std::size_t> undecided;         // rows the data cannot decide between supported candidates
  std::optional<std::size_t> finding;         // the candidate decided on
  std::optional<std::size_t> suspect;         // the best candidate when none is decided
  Status status = Status::Pass;  // PASS: consistent; FLAG: part of the table is wrong and decided; WARN: not decided
  std::string reason;
  std::vector<std::string> notes;
  double seconds = 0.0;
};

// Runs on the current task arena.
Result<ConsistencyResult> check_consistency(const ConsistencyInputs& inputs, const ConsistencySettings& settings);

// The decision alone, from the candidates' evidence.
void decide_consistency(ConsistencyResult& result, const ConsistencySettings& settings);

JsonValue to_json(const ConsistencyResult& result, const ConsistencySettings& settings);

}  // namespace dirsieve
