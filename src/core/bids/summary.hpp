// The JSON documents of a batch: the dataset summary file and the call summary.
#pragma once

#include <string>

#include "core/bids/batch.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

// The run objects (`dwi`, `name`, `status`) in run order.
JsonValue run_results_json(const std::vector<RunResult>& results);

// The `dataset_summary.json` object; its keys are in ascending byte order.
JsonValue dataset_summary_json(const std::string& root, const BatchOutcome& outcome);

}  // namespace dirsieve
