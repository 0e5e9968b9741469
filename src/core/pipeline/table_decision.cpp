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

Verdict decide_table(Verdict given, const ConsistencyResult& consistency, const ConsistencySettings& settings,
                     std::optional<Verdict> corrected, std::size_t rows) {
  JsonValue checked = to_json(consistency, settings);
  if (!consistency.finding || !corrected) {
    Verdict out = std::move(given);
    out.consistency = std::move(checked);
    if (consistency.status == Status::Warn) {
      // Part of the table looks wrong but is not decided: the whole-table verdict does not stand on its own.
      const std::optional<std::string> fibres_fix = out.status == Status::Flag ? out.recommended_label : std::nullopt;
      out.status = Status::Warn;
      out.reason = consistency.reason;
      if (fibres_fix) out.reason += "; the fibres alone would have the whole table turned by " + *fibres_fix;
      out.recommended_label.reset();
      out.recommended_transform.reset();
      out.part_suspected = true;
    }
    return out;
  }

  const PartFix& part = consistency.candidates[*consistency.finding].fix;
  Verdict out = std::move(*corrected);
  out.as_given = brief(given);
  out.consistency = std::move(checked);
  if (out.status == Status::Warn) {
    // The part is decided, the whole table is not: nothing can be written.
    out.reason = consistency.reason + "; but on the corrected table " + out.reason;
    out.recommended_label.reset();
    out.recommended_transform.reset();
    out.part_suspected = true;
    return out;
  }
  std::vector<VolumeFix> fix = part.rows;
  std::vector<std::size_t> changed = part.changed;
  if (out.status == Status::Flag && out.recommended_transform && out.recommended_label) {
    out.fix_whole_label = out.recommended_label;
    out.fix_whole_transform = out.recommended_transform;
    fix = compose_fixes(part.rows, uniform_fix(rows, *out.recommended_transform));
    out.reason = consistency.reason + "; then " + out.reason;
    // Every row turns now.
    changed.clear();
    for (std::size_t k = 0; k < rows; ++k)
      if (!is_identity_fix(fix[k], k)) changed.push_back(k);
  } else {
    out.reason = consistency.reason + "; the corrected table's own axes then fit the fibres best" +
                 (out.confidence ? " (confidence z = " + format_fixed(*out.confidence, 2) + ")" : "");
  }
  out.status = Status::Flag;
  out.fix = std::move(fix);
  out.fix_description = part.description;
  out.fix_changed = std::move(changed);
  out.recommended_label = "per-volume";
  out.recommended_transform.reset();
  out.recommended_kind = CandidateKind::Class;
  return out;
}

}  // namespace dirsieve
