// The analysis document every call produces, and its JSON renderings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/flip/decision.hpp"
#include "core/gradients/table.hpp"
#include "core/repair/repair_result.hpp"
#include "core/report/input_record.hpp"
#include "core/report/status.hpp"
#include "core/scheme/angular.hpp"
#include "core/scheme/drift.hpp"
#include "core/scheme/norms.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

inline constexpr const char* kToolName = "dirsieve";
inline constexpr const char* kToolVersion = "1.1.6";

struct Report {
  std::uint32_t schema_version = 1;
  std::string tool = kToolName;
  std::string tool_version = kToolVersion;
  std::string timestamp;
  Status status = Status::Pass;
  std::vector<InputRecord> inputs;
  GradientTable scheme;
  std::optional<SchemeSummary> shells;
  std::optional<B0Drift> b0_drift;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  std::optional<RepairResult> repair;
  std::optional<NormStats> norm_stats;
  std::vector<std::string> notes;

  void add_note(std::string note) { notes.push_back(std::move(note)); }
};

Report new_report(const GradientTable& table, std::vector<InputRecord> inputs);

// The current UTC time in RFC 3339 form with trailing fractional zeros removed.
std::string utc_timestamp_now();

JsonValue to_json(const GradientTable& table);
JsonValue report_json(const Report& report);
std::string report_to_json(const Report& report);
std::string report_to_pretty_json(const Report& report);

}  // namespace dirsieve
