// The one decision on a gradient table: whether it agrees with itself first (a part-wrong table is corrected
// volume by volume), then which whole-table transform the fibres of the consistent table want.
#pragma once

#include <cstddef>
#include <optional>

#include "core/consistency/consistency.hpp"
#include "core/verdict/verdict.hpp"

namespace dirsieve {

// `given` is the coherence verdict on the table as given; `corrected` the verdict on the table with the
// consistency finding applied (present exactly when there is a finding); `rows` the table's length.
Verdict decide_table(Verdict given, const ConsistencyResult& consistency, const ConsistencySettings& settings,
                     std::optional<Verdict> corrected, std::size_t rows);

}  // namespace dirsieve
