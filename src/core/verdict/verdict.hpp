// The verdict on a gradient table: the fitted directions scored at several physical distances, each with
// a confidence from a block jackknife, and one decision with a one-line reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/consistency/part_fix.hpp"
#include "core/flip/coherence.hpp"
#include "core/flip/tensor_fit.hpp"
#include "core/flip/white_matter.hpp"
#include "core/gradients/table.hpp"
#include "core/report/status.hpp"
#include "core/util/json.hpp"
#include "core/util/result.hpp"
#include "core/verdict/candidates.hpp"
#include "core/verdict/jackknife.hpp"

namespace dirsieve {

// Where the scored voxels come from.
enum class SampleSource {
  Automatic,        // brain by Otsu on the mean b0, valid voxels with FA >= 0.2 in it
  BrainMask,        // valid voxels with FA >= 0.2 inside the user's brain mask
  WhiteMatterMask,  // the user's white-matter mask, as given
};
std::string_view sample_source_name(SampleSource source);

struct VerdictSettings {
  // Walking distances in mm; empty: 2, 3 and 4 times the geometric mean of the voxel sizes.
  std::vector<double> distances_mm;
  double z_threshold = 3.0;
  std::uint64_t min_blocks = 20;
  double block_mm = 16.0;
  std::uint64_t min_voxels = 100;
  std::size_t min_directions = 6;
  double collinear_deg = 5.0;
};

// One walking distance: the ranking's winner and the best candidate of another class, and how sure the
// difference between them is.
struct DistanceScore {
  double distance_mm = 0.0;
  Vec3 step_voxels{};  // voxels walked along each axis per unit of direction
  RankedCandidate winner;
  RankedCandidate runner_up;
  CandidateKind winner_kind = CandidateKind::Class;
  bool identity_class = false;  // the winner is +x+y+z or -x-y-z
  double margin = 0.0;
  double relative_margin = 0.0;
  // Per sampled voxel: the winner's mean sample score minus the runner-up's, over 16 mm blocks.
  BlockEstimate difference;
  // With the scanner-axis candidates: the best of the other kind (a rotation-composed candidate when a class
  // wins, a class when one of those wins), and the winner's lead over it.
  std::optional<RankedCandidate> challenger;
  CandidateKind challenger_kind = CandidateKind::Class;
  BlockEstimate challenger_difference;
};

struct Verdict {
  Status status = Status::Warn;
  std::string reason;
  std::optional<double> confidence;          // smallest z, when every distance has the same winner class
  std::optional<std::string> common_label;   // that class, also on a WARN
  std::optional<Mat3> common_transform;
  std::optional<std::string> recommended_label;  // FLAG only
  std::optional<Mat3> recommended_transform;
  CandidateKind recommended_kind = CandidateKind::Class;  // what the common winner is
  double working_b = 0.0;
  std::size_t distinct_axes = 0;
  bool determines_tensor = false;
  SampleSource source = SampleSource::Automatic;
  std::uint64_t n_wm_voxels = 0;
  std::uint64_t n_sampled = 0;  // sample voxels with a usable direction
  std::uint64_t n_blocks = 0;
  double mask_mean_fa = 0.0;
  Vec3 voxel_sizes_mm{};
  Vec3 extent_mm{};               // the grid's span along each voxel axis
  double longest_walk_mm = 0.0;   // the longest walking distance
  double obliquity_deg = 0.0;
  bool frame_candidates = false;  // the classes composed with the image's rotation were scored
  double frame_seconds = 0.0;     // spent on them (not in the JSON form)
  VerdictSettings settings;
  std::vector<DistanceScore> distances;
  std::vector<std::string> notes;

  // When part of the table is wrong: the fix is a list of per-volume corrections (FLAG only; the whole-table
  // transform of the corrected table composed in), what it says, and which volumes it changes.
  std::optional<std::vector<VolumeFix>> fix;
  std::string fix_description;
  std::vector<std::size_t> fix_changed;
  std::optional<std::string> fix_whole_label;  // the corrected table's own whole-table fix
  std::optional<Mat3> fix_whole_transform;
  // Part of the table looks wrong but the data do not decide it: no whole-table fix either, not even forced.
  bool part_suspected = false;
  // The coherence verdict on the table as given, when the distances above are those of the corrected table.
  JsonValue as_given;
  JsonValue consistency;  // the consistency check, when it ran
};

// The distances to walk: the requested ones (each finite and positive, at most 16) or the defaults.
Result<std::vector<double>> verdict_distances(const Vec3& voxel_sizes, const std::vector<double>& requested);

// What the verdict is computed from: one fit, its sample and the frame of the table.
struct VerdictInputs {
  const TensorFit* fit = nullptr;
  const WhiteMatterSample* sample = nullptr;
  const GradientTable* table = nullptr;
  std::vector<std::size_t> shell_indices;
  double working_b = 0.0;
  Vec3 voxel_sizes{};
  Mat3 frame_map = identity3();
  Mat3 rotation = identity3();  // the image's voxel axes in world coordinates (columns, unit length)
  SampleSource source = SampleSource::Automatic;
};

// Scores every distance and decides. Runs on the current task arena.
Result<Verdict> compute_verdict(const VerdictInputs& inputs, const VerdictSettings& settings);

// The decision alone, from the filled-in distance rows and the data checks of `verdict`.
void decide_verdict(Verdict& verdict);

// Keeps a PASS from standing when the scheme rules alone would not pass the table.
void demote_for_scheme(Verdict& verdict);

JsonValue to_json(const Verdict& verdict);

}  // namespace dirsieve
