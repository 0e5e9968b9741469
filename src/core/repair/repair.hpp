// Applying a flip verdict to the gradient files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/pipeline/options.hpp"
#include "core/repair/frames.hpp"
#include "core/report/report.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

struct RepairOptions {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  std::optional<FrameInfo> frame;
  bool dry_run = false;
  bool in_place = false;
  bool force_repair = false;
  // Files the call read besides the gradient inputs (the DWI, the mask): never a provenance target.
  std::vector<std::string> other_inputs;
};

// The repair stage on an audit report that has already been built (the audit ran first).
Result<void> apply_repair_stage(Report& report, const GradientTable& table, const RepairOptions& options,
                                double margin_threshold);

// The note for an image whose FSL and world frames diverge (when the options carry such a frame).
void add_divergence_note(Report& report, const RepairOptions& options);

// A transform to write and the decision that chose it.
struct RepairPlan {
  std::string label;
  Mat3 matrix{};
  // The verdict document that chose the plan, for the provenance; null when the report's own flip result did.
  JsonValue verdict;
};

// Writes `plan` applied to `table` (or only records it on a dry run): output checks, numbered backups,
// exclusive creation and the provenance, file after file, as the repair stage does.
Result<void> write_repair_plan(Report& report, const GradientTable& table, const RepairOptions& options,
                               const RepairPlan& plan);

// The texts a repair writes: the FSL pair in the FSL frame, and the four-column file in world axes when
// `out_grad` is set.
struct RepairTexts {
  std::string bvec;
  std::string bval;
  std::optional<std::string> grad;
};
RepairTexts repair_texts(const GradientTable& table, const RepairOptions& options, const RepairPlan& plan);

// Provenance document shared by repair and b-value recovery.
struct ProvenanceContent {
  // The images read and how the call was made, when the caller knows them (null/empty: left out).
  std::vector<InputRecord> images;            // the DWI, the mask
  const JsonValue* invocation = nullptr;      // {"command": [...], "options": {...}}
  std::vector<InputRecord> inputs;
  const SchemeSummary* shells = nullptr;
  const AngularSummary* angular = nullptr;
  const FlipResult* flip = nullptr;
  // The verdict that chose the applied transform; null when the flip result's own recommendation did.
  const JsonValue* verdict = nullptr;
  std::optional<std::string> applied_label;  // with `verdict`: the transform written
  std::optional<Mat3> applied_transform;
  // A per-volume correction written with it (which volumes changed, how and why), or null.
  JsonValue applied_fix;
  const FrameInfo* frame = nullptr;
  bool emitted_mrtrix = false;
  std::vector<std::string> outputs;
  std::vector<std::string> notes;
};
// The document itself, stamped with `timestamp`.
JsonValue provenance_json(const ProvenanceContent& content, const std::string& timestamp);
// The files a provenance document must never replace: the call's inputs and its table outputs.
std::vector<std::string> provenance_protected_paths(const Report& report, const RepairOptions& options);
// The provenance of a repair that wrote `outputs`.
ProvenanceContent repair_provenance(const Report& report, const RepairOptions& options, const RepairPlan& plan,
                                    const std::vector<std::string>& outputs);

// Creates or truncates `path` ("I/O error: {}" when it cannot be created) and writes the pretty JSON
// ("JSON error: {}" when writing its contents fails).
Result<void> write_provenance(const std::string& path, const ProvenanceContent& content);

// The provenance document replaces whatever stands at its path, so it must not name a file the call
// reads or writes: refuses (before anything is written) when it is one of `protected_paths`, by text or
// by being the same file.
Result<void> check_provenance_target(const std::string& provenance, const std::vector<std::string>& protected_paths);

}  // namespace dirsieve
