#include "core/report/report.hpp"

#include <cstdio>
#include <ctime>

namespace dirsieve {

std::string utc_timestamp_now() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts {};
  if (gmtime_r(&now.tv_sec, &parts) == nullptr) return "";
  const long long year = static_cast<long long>(parts.tm_year) + 1900;
  if (year < 0 || year > 9999) return "";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02dT%02d:%02d:%02d", year, parts.tm_mon + 1, parts.tm_mday,
                parts.tm_hour, parts.tm_min, parts.tm_sec);
  std::string out = buffer;
  if (now.tv_nsec != 0) {
    std::snprintf(buffer, sizeof buffer, ".%09ld", static_cast<long>(now.tv_nsec));
    std::string fraction = buffer;
    while (fraction.back() == '0') fraction.pop_back();
    out += fraction;
  }
  out += 'Z';
  return out;
}

Report new_report(const GradientTable& table, std::vector<InputRecord> inputs) {
  Report report;
  report.timestamp = utc_timestamp_now();
  report.inputs = std::move(inputs);
  report.scheme = table;
  return report;
}

JsonValue to_json(const GradientTable& table) {
  JsonValue directions = JsonValue::array();
  for (const auto& g : table.directions()) directions.push(json_vec3(g));
  JsonValue obj = JsonValue::object();
  obj.add("directions", std::move(directions));
  obj.add("bvals", json_array_of(table.bvals()));
  return obj;
}

JsonValue report_json(const Report& report) {
  JsonValue obj = JsonValue::object();
  obj.add("schema_version", report.schema_version);
  obj.add("tool", report.tool);
  obj.add("tool_version", report.tool_version);
  obj.add("timestamp", report.timestamp);
  obj.add("status", status_name(report.status));
  obj.add("inputs", to_json(report.inputs));
  obj.add("scheme", to_json(report.scheme));
  if (report.shells) obj.add("shells", to_json(*report.shells));
  if (report.b0_drift) obj.add("b0_drift", to_json(*report.b0_drift));
  if (report.angular) obj.add("angular", to_json(*report.angular));
  if (report.flip) obj.add("flip", to_json(*report.flip));
  if (report.repair) obj.add("repair", to_json(*report.repair));
  if (report.norm_stats) obj.add("norm_stats", to_json(*report.norm_stats));
  obj.add("notes", json_array_of(report.notes));
  return obj;
}

std::string report_to_json(const Report& report) { return report_json(report).to_compact(); }

std::string report_to_pretty_json(const Report& report) { return report_json(report).to_pretty(); }

}  // namespace dirsieve
