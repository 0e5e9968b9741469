// The voxels the coherence score uses: the user's mask, or an automatic white-matter mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/flip/flip_options.hpp"
#include "core/flip/tensor_fit.hpp"

namespace dirsieve {

struct WhiteMatterSample {
  std::vector<std::uint8_t> mask;  // voxel order, 1 = sampled
  std::uint64_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
};

struct FitAndSample {
  TensorFit fit;
  WhiteMatterSample sample;
};

Result<FitAndSample> sample_white_matter(const DwiVolume& dwi, const GradientTable& table,
                                         const std::vector<std::size_t>& shell_indices,
                                         const MaskVolume* user_mask, const FlipOptions& options);

double otsu_threshold(const std::vector<double>& values);

// The low-FA note when 0 < mask_mean_fa < 0.3.
std::optional<std::string> low_fa_note(double mask_mean_fa);

}  // namespace dirsieve
