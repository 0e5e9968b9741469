// The one decision on a gradient table: whether it agrees with itself first (a part-wrong table is corrected
// volume by volume), then which whole-table transform the fibres of the consistent table want.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/consistency/consistency.hpp"
#include "core/verdict/verdict.hpp"

namespace dirsieve {

// A table corrected in parts, round by round: each round checks the table the rounds before it left, on that
// table's own fit and sample, until it agrees with itself.
struct PartCorrection {
  std::vector<VolumeFix> rows;            // the rounds' fixes composed
  std::vector<std::string> descriptions;  // each round's finding
  std::vector<std::size_t> changed;       // rows any round changed, ascending
  std::optional<std::string> doubt;       // why a later round did not agree with the correction
  JsonValue rounds = JsonValue::array();  // the later rounds' checks
  std::vector<VolumeResidual> volumes;    // every volume on the corrected table's own fit
};

// `given` is the coherence verdict on the table as given and `first` the check of that table; with a
// finding, `part` is the correction and `corrected` the verdict on the corrected table. `rows` is the
// table's length.
Verdict decide_table(Verdict given, const ConsistencyResult& first, const ConsistencySettings& settings,
                     const std::optional<PartCorrection>& part, std::optional<Verdict> corrected, std::size_t rows);

}  // namespace dirsieve
