#include "core/verdict/verdict.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "core/flip/candidates.hpp"
#include "core/flip/decision.hpp"
#include "core/util/clock.hpp"
#include "core/util/number_format.hpp"
#include "core/verdict/directions.hpp"

namespace dirsieve {

namespace {

constexpr std::size_t kMaxDistances = 16;
// The screen of the rotation-composed candidates samples from about this many white-matter voxels (their
// scores differ by several per cent, the noise of 2000 voxels' mean is a fraction of one), at most every 32nd.
constexpr std::size_t kFrameScreenCentres = 2000;
constexpr std::size_t kFrameScreenStride = 32;

std::string mm(double distance) { return format_fixed(distance, 1) + " mm"; }
// Two decimals, so a z just short of the threshold never reads as reaching it.
std::string z_text(double z) { return std::abs(z) >= kCertainZ ? std::string("certain") : format_fixed(z, 2); }

bool usable_sizes(const Vec3& sizes) {
  return std::all_of(sizes.begin(), sizes.end(), [](double s) { return std::isfinite(s) && s > 0.0; });
}

Vec3 absolute(const Vec3& v) { return Vec3{std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])}; }

// Block of each sampled voxel: floor(index * voxel size / block size) per axis, numbered over the grid.
std::uint64_t block_id(const std::array<std::size_t, 3>& c, const Vec3& sizes, double block_mm,
                       const std::array<std::uint64_t, 3>& blocks_per_axis) {
  std::uint64_t b[3];
  for (int a = 0; a < 3; ++a) b[a] = static_cast<std::uint64_t>(std::floor(static_cast<double>(c[a]) * sizes[a] / block_mm));
  return (b[0] * blocks_per_axis[1] + b[1]) * blocks_per_axis[2] + b[2];
}

// Key whose signed integer order is the IEEE-754 total order of the doubles.
std::int64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

struct Scored {
  std::size_t candidate = 0;
  CoherenceScorer::Score score;
};

RankedCandidate ranked_entry(const VerdictCandidate& c, const CoherenceScorer::Score& s) {
  return RankedCandidate{c.label, c.transform, c.identity, s.coherence, s.n_samples};
}

struct VoxelSums {
  std::vector<double> sums;
  std::vector<std::uint8_t> sampled;
};

VoxelSums voxel_sums(const CoherenceScorer& scorer, const Mat3& transform, const Vec3& step, const Mat3& frame_map) {
  VoxelSums out;
  scorer.voxel_scores(transform, step, frame_map, out.sums, out.sampled);
  return out;
}

// Per sampled voxel: a's mean sample score minus b's, over the blocks.
BlockEstimate voxel_difference(const VoxelSums& a, const VoxelSums& b, const std::vector<std::uint64_t>& voxel_block) {
  const std::vector<double>& a_sums = a.sums;
  const std::vector<double>& b_sums = b.sums;
  const std::vector<std::uint8_t>& a_sampled = a.sampled;
  const std::vector<std::uint8_t>& b_sampled = b.sampled;
  std::vector<double> difference;
  std::vector<std::uint64_t> block;
  difference.reserve(a_sums.size());
  block.reserve(a_sums.size());
  for (std::size_t i = 0; i < a_sums.size(); ++i) {
    if (a_sampled[i] == 0 && b_sampled[i] == 0) continue;
    // Each voxel makes two samples: halved, the mean difference is on the scale of the coherence.
    difference.push_back((a_sums[i] - b_sums[i]) / 2.0);
    block.push_back(voxel_block[i]);
  }
  return block_jackknife(difference, block);
}

// Scores the candidates `which` at one distance and fills the row: the winner, the best candidate of another
// class (of the classes when a class wins), and with the rotation-composed candidates the best of the other
// kind.
DistanceScore score_distance(const CoherenceScorer& scorer, double distance, const VerdictInputs& in,
                             const Vec3& sizes, const std::vector<std::uint64_t>& voxel_block,
                             const CandidateSet& set, const std::vector<std::size_t>& which,
                             bool challenger_pass, double& frame_seconds) {
  DistanceScore row;
  row.distance_mm = distance;
  row.step_voxels = Vec3{distance / sizes[0], distance / sizes[1], distance / sizes[2]};

  // The classes, then (timed apart) the rotation-composed candidates.
  std::vector<Scored> ranked;
  for (const bool classes : {true, false}) {
    const Stopwatch clock;
    std::vector<std::size_t> picked;
    std::vector<Mat3> transforms;
    for (std::size_t k : which) {
      if ((set.candidates[k].kind == CandidateKind::Class) != classes) continue;
      picked.push_back(k);
      transforms.push_back(set.candidates[k].transform);
    }
    if (picked.empty()) continue;
    const std::vector<CoherenceScorer::Score> scores = scorer.score(transforms, row.step_voxels, in.frame_map);
    for (std::size_t i = 0; i < picked.size(); ++i) ranked.push_back({picked[i], scores[i]});
    if (!classes) frame_seconds += clock.seconds();
  }
  // Candidate order again before the stable sort, so equal scores rank as before.
  std::sort(ranked.begin(), ranked.end(), [](const Scored& a, const Scored& b) { return a.candidate < b.candidate; });
  // Best first; equal scores keep candidate order (the IEEE total order, as the module ranks).
  std::stable_sort(ranked.begin(), ranked.end(), [](const Scored& a, const Scored& b) {
    return total_order_key(a.score.coherence) > total_order_key(b.score.coherence);
  });

  const VerdictCandidate& winner = set.candidates[ranked.front().candidate];
  row.winner = ranked_entry(winner, ranked.front().score);
  row.winner_kind = winner.kind;
  row.runner_up = row.winner;
  const bool class_winner = winner.kind == CandidateKind::Class;
  for (std::size_t i = 1; i < ranked.size(); ++i) {
    const VerdictCandidate& c = set.candidates[ranked[i].candidate];
    if (class_winner && c.kind != CandidateKind::Class) continue;
    if (same_transform(c.transform, winner.transform)) continue;
    row.runner_up = ranked_entry(c, ranked[i].score);
    break;
  }
  row.identity_class = class_winner && (winner.identity || sign_equivalent(winner.transform, identity3()));
  row.margin = row.winner.coherence - row.runner_up.coherence;
  row.relative_margin = row.winner.coherence > 0.0 ? row.margin / row.winner.coherence : 0.0;
  const VoxelSums winner_sums = voxel_sums(scorer, row.winner.matrix, row.step_voxels, in.frame_map);
  const VoxelSums runner_sums = voxel_sums(scorer, row.runner_up.matrix, row.step_voxels, in.frame_map);
  row.difference = voxel_difference(winner_sums, runner_sums, voxel_block);
  if (set.frames) {
    const Stopwatch clock;
    for (std::size_t i = 1; i < ranked.size(); ++i) {
      const VerdictCandidate& c = set.candidates[ranked[i].candidate];
      if ((c.kind == CandidateKind::Class) == class_winner) continue;
      row.challenger = ranked_entry(c, ranked[i].score);
      row.challenger_kind = c.kind;
      // Its confidence is measured at one distance (the runner-up's when it is the same candidate).
      if (same_transform(c.transform, row.runner_up.matrix)) {
        row.challenger_difference = row.difference;
      } else if (challenger_pass) {
        row.challenger_difference =
            voxel_difference(winner_sums, voxel_sums(scorer, c.transform, row.step_voxels, in.frame_map), voxel_block);
      } else {
        row.challenger_difference.standard_error = std::numeric_limits<double>::quiet_NaN();
        row.challenger_difference.z = std::numeric_limits<double>::quiet_NaN();
      }
      break;
    }
    frame_seconds += clock.seconds();
  }
  return row;
}

// Fibres across the grid can be followed only where it spans two walks: along a thinner axis every sample
// leaves it, and transforms that turn directions into the slab's plane win for that alone.
bool spans_the_walks(const Verdict& v) {
  for (int a = 0; a < 3; ++a)
    if (!(v.extent_mm[a] >= 2.0 * v.longest_walk_mm)) return false;
  return true;
}

std::string join_distances(const std::vector<double>& distances) {
  std::string out;
  for (std::size_t i = 0; i < distances.size(); ++i) {
    if (i > 0) out += i + 1 == distances.size() ? " and " : ", ";
    out += format_fixed(distances[i], 1);
  }
  return out + " mm";
}

}  // namespace

std::string_view sample_source_name(SampleSource source) {
  switch (source) {
    case SampleSource::Automatic:
      return "automatic";
    case SampleSource::BrainMask:
      return "brain mask";
    case SampleSource::WhiteMatterMask:
      return "white-matter mask";
  }
  return "automatic";
}

Result<std::vector<double>> verdict_distances(const Vec3& voxel_sizes, const std::vector<double>& requested) {
  if (!requested.empty()) {
    if (requested.size() > kMaxDistances) {
      return CoreError::invalid_input("at most " + std::to_string(kMaxDistances) + " distances may be given, got " +
                                      std::to_string(requested.size()));
    }
    for (double d : requested) {
      if (!(std::isfinite(d) && d > 0.0)) {
        return CoreError::invalid_input("distances must be finite and positive (mm): " + format_shortest_plain(d));
      }
    }
    return requested;
  }
  const Vec3 sizes = absolute(voxel_sizes);
  if (!usable_sizes(sizes)) return std::vector<double>{};
  const double geometric_mean = std::cbrt(sizes[0] * sizes[1] * sizes[2]);
  return std::vector<double>{2.0 * geometric_mean, 3.0 * geometric_mean, 4.0 * geometric_mean};
}

Result<Verdict> compute_verdict(const VerdictInputs& in, const VerdictSettings& settings) {
  Verdict verdict;
  verdict.settings = settings;
  verdict.working_b = in.working_b;
  verdict.source = in.source;
  verdict.voxel_sizes_mm = absolute(in.voxel_sizes);
  verdict.mask_mean_fa = in.sample->mask_mean_fa;
  verdict.n_wm_voxels = in.sample->n_wm_voxels;
  DS_TRY_ASSIGN(const std::vector<double> distances, verdict_distances(in.voxel_sizes, settings.distances_mm));

  const DirectionSupport support = direction_support(*in.table, in.shell_indices, settings.collinear_deg);
  verdict.distinct_axes = support.distinct_axes;
  verdict.determines_tensor = support.determines_tensor;

  const CoherenceScorer scorer(*in.fit, *in.sample);
  const Vec3& sizes = verdict.voxel_sizes_mm;
  std::vector<std::uint64_t> voxel_block;
  if (usable_sizes(sizes)) {
    std::array<std::uint64_t, 3> per_axis{};
    for (int a = 0; a < 3; ++a) {
      const double extent = static_cast<double>(in.fit->dims[a] > 0 ? in.fit->dims[a] - 1 : 0) * sizes[a];
      per_axis[a] = static_cast<std::uint64_t>(std::floor(extent / settings.block_mm)) + 1;
    }
    for (const auto& c : scorer.coordinates()) voxel_block.push_back(block_id(c, sizes, settings.block_mm, per_axis));
  }
  // Sampled voxels and their blocks do not depend on the distance: a voxel is sampled when its fitted
  // direction is usable.
  std::vector<std::uint64_t> sampled_blocks;
  for (std::size_t i = 0; i < scorer.coordinates().size(); ++i) {
    const auto& c = scorer.coordinates()[i];
    const std::size_t v = (c[0] * in.fit->dims[1] + c[1]) * in.fit->dims[2] + c[2];
    const Vec3& d = in.fit->v1[v];
    if (!(std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]) >= 1e-9)) continue;
    ++verdict.n_sampled;
    if (!voxel_block.empty()) sampled_blocks.push_back(voxel_block[i]);
  }
  std::sort(sampled_blocks.begin(), sampled_blocks.end());
  verdict.n_blocks = static_cast<std::uint64_t>(std::unique(sampled_blocks.begin(), sampled_blocks.end()) -
                                                sampled_blocks.begin());

  // Scoring is worth its time only when the data can decide at all.
  for (int a = 0; a < 3; ++a) verdict.extent_mm[a] = static_cast<double>(in.fit->dims[a]) * sizes[a];
  for (double d : distances) verdict.longest_walk_mm = std::max(verdict.longest_walk_mm, d);
  const bool scorable = support.distinct_axes >= settings.min_directions && support.determines_tensor &&
                        usable_sizes(sizes) && spans_the_walks(verdict) && verdict.n_sampled >= settings.min_voxels;
  const CandidateSet set = verdict_candidates(in.frame_map, in.rotation);
  verdict.obliquity_deg = set.obliquity_deg;
  verdict.frame_candidates = set.frames;
  if (scorable && !distances.empty()) {
    // The classes are scored at every distance. The rotation-composed candidates are screened at the middle
    // distance from a subsample of the voxels, and the best of them is scored with the classes at every
    // distance: a candidate that wins anywhere is the best of them there.
    std::vector<std::size_t> shortlist, frames;
    for (std::size_t k = 0; k < set.candidates.size(); ++k)
      (set.candidates[k].kind == CandidateKind::Class ? shortlist : frames).push_back(k);
    if (set.frames) {
      const Stopwatch clock;
      const double d = distances[distances.size() / 2];
      std::vector<Mat3> transforms;
      for (std::size_t k : frames) transforms.push_back(set.candidates[k].transform);
      const std::size_t stride =
          std::clamp<std::size_t>(scorer.coordinates().size() / kFrameScreenCentres, 1, kFrameScreenStride);
      const auto screened =
          scorer.score(transforms, Vec3{d / sizes[0], d / sizes[1], d / sizes[2]}, in.frame_map, stride);
      std::size_t best = 0;
      for (std::size_t i = 1; i < screened.size(); ++i)
        if (screened[i].coherence > screened[best].coherence) best = i;
      shortlist.push_back(frames[best]);
      verdict.frame_seconds += clock.seconds();
    }
    for (std::size_t i = 0; i < distances.size(); ++i)
      verdict.distances.push_back(score_distance(scorer, distances[i], in, sizes, voxel_block, set, shortlist,
                                                 i == distances.size() / 2, verdict.frame_seconds));
  }
  decide_verdict(verdict);
  return verdict;
}

void decide_verdict(Verdict& v) {
  const VerdictSettings& s = v.settings;
  const std::string shell = "the working shell (b=" + format_fixed(v.working_b, 0) + ")";
  const auto cannot = [&](std::string why) {
    v.status = Status::Warn;
    v.reason = "cannot decide: " + std::move(why);
  };
  v.confidence.reset();
  v.common_label.reset();
  v.common_transform.reset();
  v.recommended_label.reset();
  v.recommended_transform.reset();
  v.recommended_kind = CandidateKind::Class;
  v.notes.clear();

  if (v.distinct_axes < s.min_directions) {
    return cannot(shell + " has only " + std::to_string(v.distinct_axes) + " non-collinear direction" +
                  (v.distinct_axes == 1 ? "" : "s") + " (a tensor needs " + std::to_string(s.min_directions) + ")");
  }
  if (!v.determines_tensor) {
    return cannot("the directions of " + shell + " do not determine a tensor (they lie in a plane or on a cone)");
  }
  if (!usable_sizes(v.voxel_sizes_mm)) {
    return cannot("the image has no usable voxel sizes (" + format_shortest_plain(v.voxel_sizes_mm[0]) + " x " +
                  format_shortest_plain(v.voxel_sizes_mm[1]) + " x " + format_shortest_plain(v.voxel_sizes_mm[2]) +
                  " mm), so no physical distance can be walked");
  }
  if (!spans_the_walks(v)) {
    static constexpr const char* kAxes[3] = {"first", "second", "third"};
    int thin = 0;
    for (int a = 1; a < 3; ++a)
      if (v.extent_mm[a] < v.extent_mm[thin]) thin = a;
    return cannot("the image spans only " + format_fixed(v.extent_mm[thin], 1) + " mm along its " + kAxes[thin] +
                  " axis, less than twice the longest walk (" + mm(v.longest_walk_mm) +
                  "): fibres across it cannot be followed");
  }
  if (v.n_sampled < s.min_voxels) {
    return cannot("only " + std::to_string(v.n_sampled) + " white-matter voxel" + (v.n_sampled == 1 ? "" : "s") +
                  " with a usable direction (need " + std::to_string(s.min_voxels) + ")");
  }
  if (v.distances.empty()) return cannot("no distance was scored");

  // Every distance must name the same class.
  bool agree = true;
  for (const DistanceScore& row : v.distances) agree = agree && same_transform(row.winner.matrix, v.distances[0].winner.matrix);
  if (!agree) {
    std::string list;
    std::vector<std::size_t> done(v.distances.size(), 0);
    for (std::size_t i = 0; i < v.distances.size(); ++i) {
      if (done[i]) continue;
      std::vector<double> where;
      for (std::size_t j = i; j < v.distances.size(); ++j) {
        if (!done[j] && same_transform(v.distances[j].winner.matrix, v.distances[i].winner.matrix)) {
          done[j] = 1;
          where.push_back(v.distances[j].distance_mm);
        }
      }
      if (!list.empty()) list += "; ";
      list += v.distances[i].winner.label + " at " + join_distances(where);
    }
    v.status = Status::Warn;
    v.reason = "the distances disagree: " + list;
    return;
  }

  const DistanceScore& first = v.distances[0];
  const DistanceScore* weakest = &first;
  for (const DistanceScore& row : v.distances)
    if (row.difference.z < weakest->difference.z) weakest = &row;
  v.confidence = weakest->difference.z;
  v.common_label = first.winner.label;
  v.common_transform = first.winner.matrix;
  v.recommended_kind = first.winner_kind;
  const std::string weakest_text = "z = " + z_text(weakest->difference.z) + " at " + mm(weakest->distance_mm);
  const std::string blocks = std::to_string(v.n_blocks) + " blocks of " + format_fixed(s.block_mm, 0) + " mm";

  if (v.n_blocks < s.min_blocks) {
    return cannot("the white-matter sample spans only " + blocks + " (need " + std::to_string(s.min_blocks) + "); " +
                  first.winner.label + " wins at every distance, " + weakest_text);
  }
  // With the scanner-axis candidates: how sure the winner is against the best of the other kind.
  const DistanceScore* frame_weakest = nullptr;
  for (const DistanceScore& row : v.distances)
    if (row.challenger && std::isfinite(row.challenger_difference.z) &&
        (frame_weakest == nullptr || row.challenger_difference.z < frame_weakest->challenger_difference.z))
      frame_weakest = &row;
  const auto frame_note = [&] {
    if (frame_weakest == nullptr || !(frame_weakest->challenger_difference.z < s.z_threshold)) return;
    const std::string z = "z = " + z_text(frame_weakest->challenger_difference.z) + " at " + mm(frame_weakest->distance_mm);
    if (first.winner_kind == CandidateKind::Class) {
      v.notes.push_back("the image is oblique by " + format_fixed(v.obliquity_deg, 1) + "\xC2\xB0: " +
                        first.winner.label + " is only a little ahead of " + frame_weakest->challenger->label +
                        " (" + candidate_finding(VerdictCandidate{frame_weakest->challenger->label, {},
                                                                  frame_weakest->challenger_kind, false}) +
                        "; " + z + ")");
    } else {
      v.notes.push_back(first.winner.label + " is only a little ahead of the nearest signed permutation " +
                        frame_weakest->challenger->label + " (" + z + ")");
    }
  };

  if (first.winner_kind != CandidateKind::Class) {
    const std::string finding =
        candidate_finding(VerdictCandidate{first.winner.label, first.winner.matrix, first.winner_kind, false});
    if (weakest->difference.z < s.z_threshold) {
      v.status = Status::Warn;
      v.reason = finding + "? " + first.winner.label + " fits the fibres better than the table at every distance, "
                 "but the confidence is short: " + weakest_text + " (needs " + format_fixed(s.z_threshold, 0) + ")";
      return;
    }
    v.status = Status::Flag;
    v.recommended_label = first.winner.label;
    v.recommended_transform = first.winner.matrix;
    v.reason = finding + ": " + first.winner.label + " wins at every distance with confidence " + weakest_text +
               " over " + blocks;
    frame_note();
    return;
  }
  frame_note();
  if (first.identity_class) {
    v.status = Status::Pass;
    v.reason = "the table's own axes fit the fibres best at every distance (" +
               join_distances([&] {
                 std::vector<double> d;
                 for (const auto& row : v.distances) d.push_back(row.distance_mm);
                 return d;
               }()) +
               "); confidence " + weakest_text;
    if (weakest->difference.z < s.z_threshold) {
      v.notes.push_back("the table's own axes win at every distance, but the confidence is low (" + weakest_text +
                        ", below " + format_fixed(s.z_threshold, 0) + "): little white matter or weak anisotropy");
    }
    return;
  }
  if (weakest->difference.z < s.z_threshold) {
    v.status = Status::Warn;
    v.reason = first.winner.label + " fits the fibres better than the table at every distance, but the confidence is short: " +
               weakest_text + " (needs " + format_fixed(s.z_threshold, 0) + ")";
    return;
  }
  v.status = Status::Flag;
  v.recommended_label = first.winner.label;
  v.recommended_transform = first.winner.matrix;
  v.reason = "the table's axes look wrong: " + first.winner.label + " wins at every distance with confidence " +
             weakest_text + " over " + blocks;
}

void demote_for_scheme(Verdict& verdict) {
  if (verdict.status != Status::Pass) return;
  verdict.status = Status::Warn;
  verdict.reason += "; but the scheme has issues that keep it from passing (see the notes)";
}

namespace {

JsonValue number_or_null(double value) { return std::isfinite(value) ? JsonValue(value) : JsonValue(nullptr); }

JsonValue to_json(const DistanceScore& row) {
  JsonValue out = JsonValue::object();
  out.add("distance_mm", row.distance_mm);
  out.add("step_voxels", json_vec3(row.step_voxels));
  out.add("winner", row.winner.label);
  out.add("winner_matrix", json_mat3(row.winner.matrix));
  out.add("winner_kind", candidate_kind_name(row.winner_kind));
  out.add("identity_class", row.identity_class);
  out.add("winner_coherence", row.winner.coherence);
  out.add("runner_up", row.runner_up.label);
  out.add("runner_up_coherence", row.runner_up.coherence);
  out.add("margin", row.margin);
  out.add("relative_margin", row.relative_margin);
  out.add("mean_difference", row.difference.mean);
  out.add("standard_error", number_or_null(row.difference.standard_error));
  out.add("z", row.difference.z);
  out.add("n_blocks", row.difference.blocks);
  out.add("n_voxels", row.difference.count);
  if (row.challenger) {
    JsonValue challenger = JsonValue::object();
    challenger.add("label", row.challenger->label);
    challenger.add("kind", candidate_kind_name(row.challenger_kind));
    challenger.add("matrix", json_mat3(row.challenger->matrix));
    challenger.add("coherence", row.challenger->coherence);
    challenger.add("mean_difference", number_or_null(row.challenger_difference.mean));
    challenger.add("z", number_or_null(row.challenger_difference.z));
    out.add("challenger", std::move(challenger));
  } else {
    out.add("challenger", nullptr);
  }
  return out;
}

}  // namespace

JsonValue to_json(const Verdict& v) {
  JsonValue out = JsonValue::object();
  out.add("status", status_name(v.status));
  out.add("reason", v.reason);
  out.add("confidence", v.confidence ? JsonValue(*v.confidence) : JsonValue(nullptr));
  out.add("recommended_label", v.recommended_label ? JsonValue(*v.recommended_label) : JsonValue(nullptr));
  out.add("recommended_transform", v.recommended_transform ? json_mat3(*v.recommended_transform) : JsonValue(nullptr));
  out.add("common_label", v.common_label ? JsonValue(*v.common_label) : JsonValue(nullptr));
  out.add("common_transform", v.common_transform ? json_mat3(*v.common_transform) : JsonValue(nullptr));
  out.add("working_b", v.working_b);
  out.add("distinct_directions", v.distinct_axes);
  out.add("directions_determine_tensor", v.determines_tensor);
  out.add("sample", sample_source_name(v.source));
  out.add("n_wm_voxels", v.n_wm_voxels);
  out.add("n_sampled", v.n_sampled);
  out.add("n_blocks", v.n_blocks);
  out.add("mask_mean_fa", v.mask_mean_fa);
  out.add("recommended_kind", v.recommended_label ? JsonValue(candidate_kind_name(v.recommended_kind)) : JsonValue(nullptr));
  out.add("voxel_sizes_mm", json_vec3(v.voxel_sizes_mm));
  out.add("obliquity_deg", v.obliquity_deg);
  out.add("frame_candidates", v.frame_candidates);
  JsonValue thresholds = JsonValue::object();
  thresholds.add("z", v.settings.z_threshold);
  thresholds.add("min_blocks", v.settings.min_blocks);
  thresholds.add("block_mm", v.settings.block_mm);
  thresholds.add("min_voxels", v.settings.min_voxels);
  thresholds.add("min_directions", v.settings.min_directions);
  out.add("thresholds", std::move(thresholds));
  JsonValue rows = JsonValue::array();
  for (const DistanceScore& row : v.distances) rows.push(to_json(row));
  out.add("distances", std::move(rows));
  out.add("notes", json_array_of(v.notes));
  if (v.fix) {
    JsonValue fix = JsonValue::object();
    fix.add("description", v.fix_description);
    fix.add("changed", json_array_of(v.fix_changed));
    fix.add("whole_label", v.fix_whole_label ? JsonValue(*v.fix_whole_label) : JsonValue(nullptr));
    fix.add("whole_transform", v.fix_whole_transform ? json_mat3(*v.fix_whole_transform) : JsonValue(nullptr));
    fix.add("rows", fix_rows_json(*v.fix));
    out.add("fix", std::move(fix));
  } else {
    out.add("fix", nullptr);
  }
  out.add("as_given", v.as_given);
  out.add("consistency", v.consistency);
  return out;
}

}  // namespace dirsieve
