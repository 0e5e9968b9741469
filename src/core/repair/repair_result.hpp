#pragma once

#include <string>
#include <vector>

#include "core/util/json.hpp"
#include "core/util/matrix.hpp"

namespace dirsieve {

// The report's `repair` object: what was applied and which files were written.
struct RepairResult {
  Mat3 matrix{};
  std::string label;
  std::vector<std::string> outputs;
};

JsonValue to_json(const RepairResult& result);

}  // namespace dirsieve
