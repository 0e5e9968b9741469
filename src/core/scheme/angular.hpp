// Angular quality of each non-b0 shell: electrostatic energy, conditioning, near-duplicates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

struct DuplicatePair {
  std::size_t i = 0;
  std::size_t j = 0;
  double angle_deg = 0.0;
  bool antipodal = false;
};

struct AngularShell {
  double nominal_b = 0.0;
  std::uint64_t count = 0;
  double electrostatic_energy = 0.0;
  std::optional<double> condition_number;
  bool meets_dti_minimum = false;
  bool meets_dti_recommended = false;
  bool meets_csd_minimum = false;
  std::vector<DuplicatePair> duplicates;
};

struct AngularSummary {
  double duplicate_angle_deg = 5.0;
  std::vector<AngularShell> shells;
};

// Unit direction per volume: zero for b <= b0_threshold or a norm below machine epsilon.
std::vector<Vec3> unit_directions(const GradientTable& table, double b0_threshold);

AngularSummary analyze_angular(const GradientTable& table, double b0_threshold, double tolerance,
                               double duplicate_angle_deg);

JsonValue to_json(const AngularSummary& summary);

}  // namespace dirsieve
