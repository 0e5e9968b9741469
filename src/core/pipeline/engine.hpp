// Audit, flip detection and repair decided by the verdict: one load, one fit, the module's report as it
// is, and the verdict beside it.
#pragma once

#include <optional>
#include <vector>

#include "core/consistency/consistency.hpp"
#include "core/flip/decision.hpp"
#include "core/pipeline/audit.hpp"
#include "core/repair/output_safety.hpp"
#include "core/repair/repair.hpp"
#include "core/verdict/verdict.hpp"

namespace dirsieve {

enum class EngineCommand { Audit, DetectFlip };

struct EngineOptions {
  AuditOptions audit;
  // How the mask passed to run_engine is read: a brain mask (the default when one is given) or a
  // white-matter mask used as given.
  SampleSource source = SampleSource::Automatic;
  VerdictSettings verdict;
  ConsistencySettings consistency;
  bool keep_detection = false;  // hand back the fit and the sample (glyph export)
};

struct EngineOutcome {
  Report report;   // the module's report for the same inputs and sample
  Verdict verdict;
  std::optional<FlipDetection> detection;
  // With keep_detection and a part of the table corrected: the fit of the corrected table and its sample.
  std::optional<FitAndSample> corrected_fit;
  FlipTimings timings;
  double verdict_seconds = 0.0;      // the verdict, the consistency check included
  double consistency_seconds = 0.0;  // the consistency check and the corrected table's verdict
};

Result<EngineOutcome> run_engine(EngineCommand command, const GradientTable& table, std::vector<InputRecord> inputs,
                                 const DwiVolume& dwi, const MaskVolume* mask, const EngineOptions& options);

// What a repair by the verdict records beside the table: the images read and how it was called.
struct RepairRecord {
  std::vector<InputRecord> images;  // the DWI and the mask, with digests
  JsonValue invocation;             // {"command": [...], "options": {...}}, or null
};

struct VerdictRepair {
  bool planned = false;                    // a table was (or, on a dry run, would be) written
  std::vector<CommittedOutput> committed;  // where each file went, and its backup
};

// Repair by the verdict: FLAG writes its transform, PASS writes the table unchanged (so a pipeline always
// finds its output), WARN writes nothing unless `force_repair` and every distance agreed on one class.
// Every target is checked before anything is written, and the files (tables and provenance) are written
// all or nothing; an existing file is refused unless `in_place`, which moves it to a numbered backup.
Result<VerdictRepair> apply_verdict_repair(Report& report, const Verdict& verdict, const GradientTable& table,
                                           const RepairOptions& options, const RepairRecord& record = {});

// Every setting of a repair by the verdict, for its provenance (the distances as walked).
JsonValue repair_options_json(const EngineOptions& engine, const RepairOptions& repair, const Vec3& voxel_sizes);

// The files a repair may write, in writing order.
std::vector<std::string> repair_targets(const RepairOptions& options);

}  // namespace dirsieve
