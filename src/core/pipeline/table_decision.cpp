#include "core/pipeline/table_decision.hpp"

#include <utility>

#include "core/flip/candidates.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

// What the coherence verdict said of the table as given, kept beside the corrected table's.
JsonValue brief(const Verdict& v) {
  JsonValue out = JsonValue::object();
  out.add("status", status_name(v.status));
  out.add("reason", v.reason);
  out.add("confidence", v.confidence ? JsonValue(*v.confidence) : JsonValue(nullptr));
  out.add("recommended_label", v.recommended_label ? JsonValue(*v.recommended_label) : JsonValue(nullptr));
  out.add("common_label", v.common_label ? JsonValue(*v.common_label) : JsonValue(nullptr));
  return out;
}

}  // namespace

Verdict decide_table(Verdict given, const ConsistencyResult& first, const ConsistencySettings& settings,
                     const std::optional<PartCorrection>& part, std::optional<Verdict> corrected, std::size_t rows) {
  JsonValue checked = to_json(first, settings);
  if (part) {
    checked.add("rounds", part->rounds);
    if (!part->volumes.empty()) {
      JsonValue volumes = JsonValue::array();
      for (const auto& v : part->volumes) volumes.push(to_json(v));
      checked.add("volumes_corrected", std::move(volumes));
    }
  }
  if (part && part->doubt) {
    // A later round did not agree with the correction: it stays undecided.
    Verdict out = std::move(given);
    std::string found = part->descriptions.front();
    for (std::size_t i = 1; i < part->descriptions.size(); ++i) found += "; and " + part->descriptions[i];
    out.consistency = std::move(checked);
    out.status = Status::Warn;
    out.reason = "part of the table looks wrong (" + found + "), but the corrected table still does not agree with itself: " +
                 *part->doubt;
    out.recommended_label.reset();
    out.recommended_transform.reset();
    out.part_suspected = true;
    return out;
  }
  if (!first.finding || !part || !corrected) {
    Verdict out = std::move(given);
    out.consistency = std::move(checked);
    if (first.status == Status::Warn) {
      // Part of the table looks wrong but is not decided: the whole-table verdict does not stand on its own.
      const std::optional<std::string> fibres_fix = out.status == Status::Flag ? out.recommended_label : std::nullopt;
      out.status = Status::Warn;
      out.reason = first.reason;
      if (fibres_fix) out.reason += "; the fibres alone would have the whole table turned by " + *fibres_fix;
      out.recommended_label.reset();
      out.recommended_transform.reset();
      out.part_suspected = true;
    }
    return out;
  }

  std::string found = part->descriptions.front();
  for (std::size_t i = 1; i < part->descriptions.size(); ++i) found += "; and " + part->descriptions[i];
  Verdict out = std::move(*corrected);
  out.as_given = brief(given);
  out.consistency = std::move(checked);
  const auto undecided = [&](const std::string& why) {
    out.status = Status::Warn;
    out.reason = "part of the table looks wrong (" + found + "), but " + why;
    out.recommended_label.reset();
    out.recommended_transform.reset();
    out.part_suspected = true;
    return out;
  };
  // One round: the finding with its evidence; more: what they found together.
  const std::string lead = part->descriptions.size() == 1 ? first.reason : "part of the table is wrong: " + found;
  if (out.status == Status::Warn) return undecided("on the corrected table " + out.reason);

  std::vector<VolumeFix> fix = part->rows;
  std::vector<std::size_t> changed = part->changed;
  if (out.status == Status::Flag && out.recommended_transform && out.recommended_label) {
    out.fix_whole_label = out.recommended_label;
    out.fix_whole_transform = out.recommended_transform;
    fix = compose_fixes(part->rows, uniform_fix(rows, *out.recommended_transform));
    out.reason = lead + "; then " + out.reason;
    // Every row turns now.
    changed.clear();
    for (std::size_t k = 0; k < rows; ++k)
      if (!is_identity_fix(fix[k], k)) changed.push_back(k);
  } else {
    out.reason = lead + "; the corrected table's own axes then fit the fibres best" +
                 (out.confidence ? " (confidence z = " + format_fixed(*out.confidence, 2) + ")" : "");
  }
  out.status = Status::Flag;
  out.fix = std::move(fix);
  out.fix_description = found;
  out.fix_changed = std::move(changed);
  out.recommended_label = "per-volume";
  out.recommended_transform.reset();
  out.recommended_kind = CandidateKind::Class;
  return out;
}

}  // namespace dirsieve
