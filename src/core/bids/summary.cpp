#include "core/bids/summary.hpp"

#include <map>
#include <utility>

#include "core/bids/path_text.hpp"

namespace dirsieve {

namespace {

// Name-keyed documents list their members in ascending byte order of the keys.
JsonValue keyed_object(std::map<std::string, JsonValue> members) {
  JsonValue object = JsonValue::object();
  for (auto& [key, value] : members) object.add(key, std::move(value));
  return object;
}

}  // namespace

JsonValue run_results_json(const std::vector<RunResult>& results) {
  JsonValue array = JsonValue::array();
  for (const RunResult& run : results) {
    JsonValue object = JsonValue::object();
    // Path bytes that are not UTF-8 would make the document unreadable; they are shown replaced.
    object.add("dwi", lossy_utf8(run.dwi));
    object.add("name", lossy_utf8(run.name));
    object.add("status", status_name(run.status));
    array.push(std::move(object));
  }
  return array;
}

JsonValue dataset_summary_json(const std::string& root, const BatchOutcome& outcome) {
  std::map<std::string, JsonValue> members;
  members.emplace("bids_root", lossy_utf8(root));
  members.emplace("n_datasets", static_cast<std::uint64_t>(outcome.results.size()));
  members.emplace("results", run_results_json(outcome.results));
  members.emplace("status", status_name(outcome.status));
  members.emplace("tool", "dirsieve");
  return keyed_object(std::move(members));
}

std::string batch_call_summary(const BatchOutcome& outcome) {
  std::map<std::string, JsonValue> members;
  members.emplace("exit_code", outcome.status == Status::Warn ? 3 : 0);
  members.emplace("results", run_results_json(outcome.results));
  members.emplace("status", status_name(outcome.status));
  members.emplace("summary_path", lossy_utf8(outcome.summary_path));
  return keyed_object(std::move(members)).to_compact();
}

}  // namespace dirsieve
