// Scheme analysis of a report and its human-readable notes.
#pragma once

#include <vector>

#include "core/gradients/table.hpp"
#include "core/pipeline/options.hpp"
#include "core/report/report.hpp"

namespace dirsieve {

// New report with `shells`, `angular` and `norm_stats` filled.
Report analyze_scheme(const GradientTable& table, std::vector<InputRecord> inputs, const AuditOptions& options);

// Appends the scheme notes, applies the strict rule and the amplitude rule.
Result<void> add_scheme_notes(Report& report, bool strict);

// Whether the scheme rules alone would keep the report from PASS: amplitude-encoded vectors, or a severe
// scheme finding under `strict`.
bool scheme_blocks_pass(const Report& report, bool strict);

}  // namespace dirsieve
