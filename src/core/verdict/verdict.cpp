#include "core/verdict/verdict.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/flip/candidates.hpp"
#include "core/flip/decision.hpp"
#include "core/util/number_format.hpp"
#include "core/verdict/directions.hpp"

namespace dirsieve {

namespace {

constexpr std::size_t kMaxDistances = 16;

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

DistanceScore score_distance(const CoherenceScorer& scorer, double distance, const VerdictInputs& in,
                             const Vec3& sizes, const std::vector<std::uint64_t>& voxel_block) {
  DistanceScore row;
  row.distance_mm = distance;
  row.step_voxels = Vec3{distance / sizes[0], distance / sizes[1], distance / sizes[2]};

  // Winner, runner-up of another class and margins exactly as the single-distance decision has them.
  const FlipResult ranked = decide_flip(scorer.rank(row.step_voxels, in.frame_map), in.working_b, 0, 0.0, 0.02);
  row.winner = ranked.best;
  row.runner_up = ranked.runner_up;
  row.identity_class = row.winner.is_identity || sign_equivalent(row.winner.matrix, identity3());
  row.margin = ranked.margin;
  row.relative_margin = ranked.relative_margin;

  std::vector<double> winner_sums, runner_sums;
  std::vector<std::uint8_t> winner_sampled, runner_sampled;
  scorer.voxel_scores(row.winner.matrix, row.step_voxels, in.frame_map, winner_sums, winner_sampled);
  scorer.voxel_scores(row.runner_up.matrix, row.step_voxels, in.frame_map, runner_sums, runner_sampled);
  std::vector<double> difference;
  std::vector<std::uint64_t> block;
  difference.reserve(winner_sums.size());
  block.reserve(winner_sums.size());
  for (std::size_t i = 0; i < winner_sums.size(); ++i) {
    if (winner_sampled[i] == 0 && runner_sampled[i] == 0) continue;
    // Each voxel makes two samples: halved, the mean difference is on the scale of the coherence.
    difference.push_back((winner_sums[i] - runner_sums[i]) / 2.0);
    block.push_back(voxel_block[i]);
  }
  row.difference = block_jackknife(difference, block);
  return row;
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
  const bool scorable = support.distinct_axes >= settings.min_directions && support.determines_tensor &&
                        usable_sizes(sizes) && verdict.n_sampled >= settings.min_voxels;
  if (scorable) {
    for (double d : distances) verdict.distances.push_back(score_distance(scorer, d, in, sizes, voxel_block));
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
  if (v.n_sampled < s.min_voxels) {
    return cannot("only " + std::to_string(v.n_sampled) + " white-matter voxel" + (v.n_sampled == 1 ? "" : "s") +
                  " with a usable direction (need " + std::to_string(s.min_voxels) + ")");
  }
  if (v.distances.empty()) return cannot("no distance was scored");

  // Every distance must name the same class.
  bool agree = true;
  for (const DistanceScore& row : v.distances) agree = agree && sign_equivalent(row.winner.matrix, v.distances[0].winner.matrix);
  if (!agree) {
    std::string list;
    std::vector<std::size_t> done(v.distances.size(), 0);
    for (std::size_t i = 0; i < v.distances.size(); ++i) {
      if (done[i]) continue;
      std::vector<double> where;
      for (std::size_t j = i; j < v.distances.size(); ++j) {
        if (!done[j] && sign_equivalent(v.distances[j].winner.matrix, v.distances[i].winner.matrix)) {
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
  const std::string weakest_text = "z = " + z_text(weakest->difference.z) + " at " + mm(weakest->distance_mm);
  const std::string blocks = std::to_string(v.n_blocks) + " blocks of " + format_fixed(s.block_mm, 0) + " mm";

  if (v.n_blocks < s.min_blocks) {
    return cannot("the white-matter sample spans only " + blocks + " (need " + std::to_string(s.min_blocks) + "); " +
                  first.winner.label + " wins at every distance, " + weakest_text);
  }
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
  out.add("voxel_sizes_mm", json_vec3(v.voxel_sizes_mm));
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
  return out;
}

}  // namespace dirsieve
