// b0 signal drift through the acquisition.
#pragma once

#include <cstddef>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/json.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

struct B0Drift {
  std::vector<std::size_t> indices;
  std::vector<double> mean_signal;
  double slope = 0.0;
  double relative_drift = 0.0;
};

// Per-volume means run in parallel on the current task arena, one task per b0 volume.
B0Drift compute_b0_drift(const DwiVolume& dwi, const GradientTable& table, const MaskVolume* mask,
                         double b0_threshold);

JsonValue to_json(const B0Drift& drift);

}  // namespace dirsieve
