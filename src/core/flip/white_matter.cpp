#include "core/flip/white_matter.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/util/number_format.hpp"

namespace dirsieve {

double otsu_threshold(const std::vector<double>& values) {
  const std::size_t n = values.size();
  if (n == 0) return 0.0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (double v : values) {
    if (std::isnan(v)) continue;
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  if (!(lo < hi)) return lo;

  const double scale = 256.0 / (hi - lo);
  std::array<std::uint64_t, 256> histogram{};
  for (double v : values) {
    const double position = (v - lo) * scale;
    std::size_t bin = 0;
    if (position >= 256.0) {
      bin = 255;
    } else if (position > 0.0) {  // negative and NaN positions stay in bin 0
      bin = static_cast<std::size_t>(position);
      if (bin > 255) bin = 255;
    }
    ++histogram[bin];
  }

  double total = 0.0;
  for (std::size_t t = 0; t < 256; ++t) total += static_cast<double>(t) * static_cast<double>(histogram[t]);

  std::uint64_t background = 0;
  double background_sum = 0.0;
  double best_score = -1.0;
  std::size_t best_bin = 0;
  for (std::size_t t = 0; t < 256; ++t) {
    background += histogram[t];
    if (background == 0) continue;
    const std::uint64_t foreground = n - background;
    if (foreground == 0) break;
    background_sum += static_cast<double>(t) * static_cast<double>(histogram[t]);
    const double wb = static_cast<double>(background);
    const double wf = static_cast<double>(foreground);
    const double mean_b = background_sum / wb;
    const double mean_f = (total - background_sum) / wf;
    const double diff = mean_b - mean_f;
    const double score = wb * wf * (diff * diff);
    if (score > best_score) {
      best_score = score;
      best_bin = t;
    }
  }
  return lo + (static_cast<double>(best_bin) + 0.5) / scale;
}

Result<FitAndSample> sample_white_matter(const DwiVolume& dwi, const GradientTable& table,
                                         const std::vector<std::size_t>& shell_indices,
                                         const MaskVolume* user_mask, const FlipOptions& options) {
  const double threshold = options.margin_threshold;
  if (!(std::isfinite(threshold) && threshold > 0.0 && threshold <= 1.0)) {
    return CoreError::bad_margin_threshold(threshold);
  }

  std::vector<std::size_t> b0_indices;
  const auto& bvals = table.bvals();
  for (std::size_t i = 0; i < bvals.size(); ++i)
    if (bvals[i] <= options.b0_threshold) b0_indices.push_back(i);

  DS_TRY_ASSIGN(TensorFit fit, fit_tensors(dwi, table, b0_indices, shell_indices, options.min_signal));
  const std::size_t n_voxels = fit.valid.size();

  WhiteMatterSample sample;
  if (user_mask != nullptr) {
    // The grid check belongs to the caller; a mismatched mask must still never be indexed past its end.
    if (user_mask->flags.size() != n_voxels) {
      return CoreError::mask_grid_mismatch(user_mask->flags.size(), n_voxels);
    }
    sample.mask = user_mask->flags;
    if (options.mask_is_brain) {
      for (std::size_t v = 0; v < n_voxels; ++v)
        sample.mask[v] &= (fit.valid[v] != 0) & (fit.fa[v] >= options.fa_threshold);
    }
  } else {
    const double otsu = otsu_threshold(fit.s0);
    sample.mask.assign(n_voxels, 0);
    std::uint8_t any = 0;
    for (std::size_t v = 0; v < n_voxels; ++v) {
      // Branch-free: whether FA passes is a coin toss voxel by voxel.
      const std::uint8_t in = (fit.valid[v] != 0) & (fit.fa[v] >= options.fa_threshold) & (fit.s0[v] >= otsu);
      sample.mask[v] = in;
      any |= in;
    }
    if (any == 0) {
      for (std::size_t v = 0; v < n_voxels; ++v)
        sample.mask[v] = (fit.valid[v] && fit.fa[v] >= options.fa_threshold) ? 1 : 0;
    }
  }

  std::uint64_t count = 0;
  std::uint64_t fa_count = 0;
  double fa_sum = 0.0;
  for (std::size_t v = 0; v < n_voxels; ++v) {
    if (!sample.mask[v]) continue;  // rare: the sample is a small part of the grid
    ++count;
    if (fit.valid[v]) {
      fa_sum += fit.fa[v];
      ++fa_count;
    }
  }
  if (count == 0) return CoreError::dti_fit("no WM voxels above the FA threshold");
  sample.n_wm_voxels = count;
  sample.mask_mean_fa = fa_count > 0 ? fa_sum / static_cast<double>(fa_count) : 0.0;

  return FitAndSample{std::move(fit), std::move(sample)};
}

std::optional<std::string> low_fa_note(double mask_mean_fa) {
  if (!(mask_mean_fa > 0.0 && mask_mean_fa < 0.3)) return std::nullopt;
  return "coherence mask mean FA " + format_fixed(mask_mean_fa, 2) +
         " is low (looks whole-brain) \xE2\x80\x94 flip-detection sensitivity is reduced; supply a WM mask "
         "(FA-thresholded) for a wider margin";
}

}  // namespace dirsieve
