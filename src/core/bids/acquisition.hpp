// What makes runs one acquisition, and the check that runs of one acquisition share one convention.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/json.hpp"
#include "core/util/matrix.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

// Sidecar facts (where present) and the image orientation of one run.
struct AcquisitionFacts {
  std::optional<std::string> manufacturer;                 // Manufacturer
  std::optional<std::string> model;                        // ManufacturersModelName
  std::optional<std::string> software_versions;            // SoftwareVersions
  std::optional<std::string> conversion_software;          // ConversionSoftware
  std::optional<std::string> conversion_software_version;  // ConversionSoftwareVersion
  std::optional<std::string> axis_codes;          // world direction of each voxel axis, e.g. "LAS"
  std::optional<std::string> slice_orientation;   // the third voxel axis: sagittal, coronal or axial
};

// The sidecar members above from one parsed sidecar object, overriding what `facts` already holds
// (inner levels of the BIDS inheritance override outer ones). Text is kept; other values as JSON text.
void merge_sidecar_facts(const std::string& sidecar_text, AcquisitionFacts& facts, std::string& error);

// Axis codes and slice orientation from an image affine; nothing for an axis without a direction.
void set_orientation(const Mat4& affine, AcquisitionFacts& facts);

JsonValue to_json(const AcquisitionFacts& facts);

// One run as the group check sees it.
struct GroupMember {
  AcquisitionFacts acquisition;
  std::vector<double> shell_b_values;  // nominal b of the non-b0 shells; empty when unknown
  std::string status;                  // PASS, WARN, FLAG or ERROR
  std::optional<double> confidence;
  std::optional<std::string> recommended_label;  // the fix on a FLAG
};

struct GroupRules {
  double min_confidence = 3.0;  // a PASS counts as confident from this z on (a FLAG always does)
  double b_rounding = 100.0;    // shells are compared rounded to this
};

struct GroupFinding {
  std::string group;  // the acquisition key text
  bool outlier = false;
  std::optional<std::string> group_label;     // the label the group's confident verdicts agree on
  std::optional<std::string> inferred_label;  // that label, for a run whose own verdict is not confident
};

// The acquisition key: the sidecar facts present, the rounded b-value set and the slice orientation.
std::string acquisition_key(const GroupMember& member, const GroupRules& rules);

// Runs with the same key form a group. A run's verdict, as a label, is its fix on a FLAG and "+x+y+z"
// (the table's own axes) on a PASS; the confident verdicts are every FLAG and each PASS with
// confidence >= min_confidence. When more than half of a group's confident verdicts share one label,
// that is the group's label: a confident run with another label is an outlier, and a run that was
// audited without a confident verdict gets the group's label as inferred.
std::vector<GroupFinding> check_acquisition_groups(const std::vector<GroupMember>& members,
                                                   const GroupRules& rules);

// Members from JSON text: an array of {"acquisition": {...}, "shells": [{"nominal_b", "is_b0"}...],
// "status", "confidence", "recommended_label"} (absent members: unknown).
Result<std::vector<GroupMember>> group_members_from_json(std::string_view text);

JsonValue to_json(const GroupFinding& finding);

}  // namespace dirsieve
