// Auditing every run of a BIDS dataset into per-run reports and a dataset summary.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/pipeline/options.hpp"
#include "core/report/status.hpp"

namespace dirsieve {

struct BatchOptions {
  AuditOptions audit;                // step and frame_map are filled per run
  std::optional<double> step;        // the caller's step, if any
};

struct RunResult {
  std::string name;
  std::string dwi;
  Status status = Status::Pass;
};

struct BatchOutcome {
  std::string summary_path;
  std::vector<RunResult> results;
  Status status = Status::Pass;
};

struct BatchFailure {
  std::string message;  // returned to Python unchanged
};

// Either the outcome or the failure's message.
struct BatchResult {
  std::optional<BatchOutcome> outcome;
  std::optional<BatchFailure> failure;
};

BatchResult run_bids_batch(const std::string& root, const BatchOptions& options);

// The compact call summary with its exit code.
std::string batch_call_summary(const BatchOutcome& outcome);

}  // namespace dirsieve
