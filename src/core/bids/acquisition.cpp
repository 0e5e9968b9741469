#include "core/bids/acquisition.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

constexpr std::string_view kIdentityLabel = "+x+y+z";

std::optional<std::string> fact_text(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return std::nullopt;
  // Numbers, lists and objects keep their JSON spelling; invalid UTF-8 becomes U+FFFD.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One label per sign-equivalence class: g and -g are the same direction, so "-x+y+z" is "+x-y-z".
std::string canonical_label(const std::string& label) {
  if (label.size() != 6 || label[0] != '-') return label;
  std::string out = label;
  for (std::size_t i = 0; i < out.size(); i += 2) out[i] = out[i] == '-' ? '+' : '-';
  return out;
}

std::optional<std::string> verdict_label(const GroupMember& m) {
  if (m.status == "PASS") return std::string(kIdentityLabel);
  if (m.status == "FLAG" && m.recommended_label) return *m.recommended_label;
  return std::nullopt;
}

bool is_confident(const GroupMember& m, const GroupRules& rules) {
  if (m.status == "FLAG") return m.recommended_label.has_value();
  return m.status == "PASS" && m.confidence && *m.confidence >= rules.min_confidence;
}

void put_optional(JsonValue& object, const char* key, const std::optional<std::string>& value) {
  object.add(key, value ? JsonValue(*value) : JsonValue(nullptr));
}

std::optional<std::string> optional_text(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

void merge_sidecar_facts(const std::string& sidecar_text, AcquisitionFacts& facts, std::string& error) {
  const nlohmann::json doc = nlohmann::json::parse(sidecar_text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    error = "not valid JSON";
    return;
  }
  if (!doc.is_object()) {
    error = "not a JSON object";
    return;
  }
  const std::pair<const char*, std::optional<std::string> AcquisitionFacts::*> fields[] = {
      {"Manufacturer", &AcquisitionFacts::manufacturer},
      {"ManufacturersModelName", &AcquisitionFacts::model},
      {"SoftwareVersions", &AcquisitionFacts::software_versions},
      {"ConversionSoftware", &AcquisitionFacts::conversion_software},
      {"ConversionSoftwareVersion", &AcquisitionFacts::conversion_software_version},
  };
  for (const auto& [key, member] : fields) {
    const auto it = doc.find(key);
    if (it != doc.end()) facts.*member = fact_text(*it);
  }
}

void set_orientation(const Mat4& affine, AcquisitionFacts& facts) {
  static constexpr char kPositive[] = {'R', 'A', 'S'};
  static constexpr char kNegative[] = {'L', 'P', 'I'};
  static constexpr const char* kSliceNames[] = {"sagittal", "coronal", "axial"};
  std::string codes;
  int slice_axis = -1;
  for (int column = 0; column < 3; ++column) {
    int best = -1;
    double largest = 0.0;
    for (int row = 0; row < 3; ++row) {
      const double v = std::fabs(affine[row][column]);
      if (std::isfinite(v) && v > largest) {
        largest = v;
        best = row;
      }
    }
    if (best < 0) {
      facts.axis_codes.reset();
      facts.slice_orientation.reset();
      return;
    }
    codes.push_back(affine[best][column] > 0.0 ? kPositive[best] : kNegative[best]);
    if (column == 2) slice_axis = best;
  }
  facts.axis_codes = codes;
  facts.slice_orientation = kSliceNames[slice_axis];
}

JsonValue to_json(const AcquisitionFacts& facts) {
  JsonValue out = JsonValue::object();
  put_optional(out, "manufacturer", facts.manufacturer);
  put_optional(out, "model", facts.model);
  put_optional(out, "software_versions", facts.software_versions);
  put_optional(out, "conversion_software", facts.conversion_software);
  put_optional(out, "conversion_software_version", facts.conversion_software_version);
  put_optional(out, "axis_codes", facts.axis_codes);
  put_optional(out, "slice_orientation", facts.slice_orientation);
  return out;
}

std::string acquisition_key(const GroupMember& member, const GroupRules& rules) {
  const AcquisitionFacts& f = member.acquisition;
  std::vector<std::string> parts;
  const auto add = [&](const char* name, const std::optional<std::string>& value) {
    if (value) parts.push_back(std::string(name) + "=" + *value);
  };
  add("manufacturer", f.manufacturer);
  add("model", f.model);
  add("software", f.software_versions);
  std::optional<std::string> converter = f.conversion_software;
  if (converter && f.conversion_software_version) *converter += " " + *f.conversion_software_version;
  add("converter", converter);
  std::vector<double> shells;
  for (const double b : member.shell_b_values) {
    if (std::isfinite(b)) shells.push_back(std::round(b / rules.b_rounding) * rules.b_rounding);
  }
  std::sort(shells.begin(), shells.end());
  shells.erase(std::unique(shells.begin(), shells.end()), shells.end());
  std::string b_text;
  for (const double b : shells) b_text += (b_text.empty() ? "" : ",") + format_shortest_plain(b);
  parts.push_back("b=" + (b_text.empty() ? std::string("?") : b_text));
  parts.push_back("slices=" + f.slice_orientation.value_or("?"));
  std::string key;
  for (const std::string& part : parts) key += (key.empty() ? "" : "; ") + part;
  return key;
}

std::vector<GroupFinding> check_acquisition_groups(const std::vector<GroupMember>& members,
                                                   const GroupRules& rules) {
  std::vector<GroupFinding> findings(members.size());
  std::map<std::string, std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < members.size(); ++i) {
    findings[i].group = acquisition_key(members[i], rules);
    groups[findings[i].group].push_back(i);
  }
  for (const auto& [key, indices] : groups) {
    // Votes per class, with the label that first stood for the class.
    std::map<std::string, std::pair<std::size_t, std::string>> votes;
    std::size_t confident = 0;
    for (const std::size_t i : indices) {
      if (!is_confident(members[i], rules)) continue;
      ++confident;
      const std::string label = *verdict_label(members[i]);
      auto& vote = votes[canonical_label(label)];
      if (vote.first++ == 0) vote.second = label;
    }
    std::optional<std::string> group_class;
    std::optional<std::string> group_label;
    for (const auto& [cls, vote] : votes) {
      if (2 * vote.first > confident) {
        group_class = cls;
        group_label = vote.second;
      }
    }
    if (!group_label) continue;
    for (const std::size_t i : indices) {
      GroupFinding& finding = findings[i];
      finding.group_label = group_label;
      if (is_confident(members[i], rules)) {
        finding.outlier = canonical_label(*verdict_label(members[i])) != *group_class;
      } else if (members[i].status != "ERROR") {
        finding.inferred_label = group_label;
      }
    }
  }
  return findings;
}

Result<std::vector<GroupMember>> group_members_from_json(std::string_view text) {
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_array()) {
    return CoreError::invalid_input("group records must be a JSON array of objects");
  }
  std::vector<GroupMember> members;
  members.reserve(doc.size());
  for (const nlohmann::json& record : doc) {
    if (!record.is_object()) return CoreError::invalid_input("group records must be a JSON array of objects");
    GroupMember m;
    m.status = optional_text(record, "status").value_or("ERROR");
    m.recommended_label = optional_text(record, "recommended_label");
    if (const auto it = record.find("confidence"); it != record.end() && it->is_number()) {
      m.confidence = it->get<double>();
    }
    if (const auto it = record.find("acquisition"); it != record.end() && it->is_object()) {
      m.acquisition.manufacturer = optional_text(*it, "manufacturer");
      m.acquisition.model = optional_text(*it, "model");
      m.acquisition.software_versions = optional_text(*it, "software_versions");
      m.acquisition.conversion_software = optional_text(*it, "conversion_software");
      m.acquisition.conversion_software_version = optional_text(*it, "conversion_software_version");
      m.acquisition.axis_codes = optional_text(*it, "axis_codes");
      m.acquisition.slice_orientation = optional_text(*it, "slice_orientation");
    }
    if (const auto it = record.find("shells"); it != record.end() && it->is_array()) {
      for (const nlohmann::json& shell : *it) {
        if (!shell.is_object()) continue;
        const auto b = shell.find("nominal_b");
        const auto b0 = shell.find("is_b0");
        if (b == shell.end() || !b->is_number()) continue;
        if (b0 != shell.end() && b0->is_boolean() && b0->get<bool>()) continue;
        m.shell_b_values.push_back(b->get<double>());
      }
    }
    members.push_back(std::move(m));
  }
  return members;
}

JsonValue to_json(const GroupFinding& finding) {
  JsonValue out = JsonValue::object();
  out.add("group", finding.group);
  out.add("outlier", finding.outlier);
  put_optional(out, "group_label", finding.group_label);
  put_optional(out, "inferred_label", finding.inferred_label);
  return out;
}

}  // namespace dirsieve
