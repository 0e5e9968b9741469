// Reading everything one engine call needs, with every file checked first and every failure naming
// the file: the gradient table (layout, values, the requested shell), the DWI and the mask on its grid.
#pragma once

#include <optional>
#include <string>

#include "core/gradients/inputs.hpp"
#include "core/pipeline/options.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

struct EngineInputPaths {
  std::string dwi;
  std::optional<std::string> bvec;
  std::optional<std::string> bval;
  std::optional<std::string> grad;
  std::optional<std::string> mask;
  std::string mask_role = "mask";  // how messages name the mask ("mask", "white-matter mask")
};

struct EngineInputs {
  GradientInputs gradients;
  DwiVolume dwi;
  std::optional<MaskVolume> mask;
  double decompress_seconds = 0.0;
  double convert_seconds = 0.0;
};

// Largest distance, in mm, between where the mask's grid and the DWI's put a corner of the grid: a tenth
// of the smallest voxel size. Float32 headers round affines far below this; a mask from another grid or
// shifted by a fraction of a voxel is well above it.
inline constexpr double kGridToleranceVoxels = 0.1;

Result<EngineInputs> load_engine_inputs(const EngineInputPaths& paths, const AuditOptions& options);

// The requested working shell exists: a non-b0 shell whose b-values lie within the tolerance of it.
Result<void> check_requested_shell(const GradientTable& table, std::optional<double> shell, double b0_threshold,
                                   double tolerance);

// The mask lies on the DWI's grid: the same sizes and the same place in the world (see above).
Result<void> check_mask_grid(const DwiVolume& dwi, const std::string& dwi_path, const ImageGrid& mask,
                             const std::string& mask_path, const std::string& mask_role);

}  // namespace dirsieve
