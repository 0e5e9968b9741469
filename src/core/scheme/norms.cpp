#include "core/scheme/norms.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dirsieve {

NormStats compute_norm_stats(const GradientTable& table, double b0_threshold, double norm_tolerance) {
  NormStats stats;
  stats.tolerance = norm_tolerance;
  const std::vector<Vec3>& dirs = table.directions();
  const std::vector<double>& bvals = table.bvals();
  const std::size_t n = std::min(dirs.size(), bvals.size());

  const double nan = std::numeric_limits<double>::quiet_NaN();
  double lo = nan;
  double hi = nan;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(bvals[i] > b0_threshold)) continue;
    const Vec3& g = dirs[i];
    const double norm = std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]);
    ++stats.non_b0_count;
    if (std::fabs(norm - 1.0) > norm_tolerance) ++stats.non_unit_count;
    sum += norm;
    if (!std::isnan(norm)) {
      if (std::isnan(lo) || norm < lo) lo = norm;
      if (std::isnan(hi) || norm > hi) hi = norm;
    }
  }
  if (stats.non_b0_count == 0) return stats;
  const double count = static_cast<double>(stats.non_b0_count);
  stats.non_unit_fraction = static_cast<double>(stats.non_unit_count) / count;
  // With every norm NaN there is no smallest or largest one: the extremes stay NaN (null in JSON).
  stats.norm_min = lo;
  stats.norm_max = hi;
  stats.norm_mean = sum / count;
  return stats;
}

bool is_amplitude_encoded(const NormStats& stats) {
  return stats.non_b0_count > 0 && stats.non_unit_fraction > 0.5;
}

JsonValue to_json(const NormStats& stats) {
  return JsonValue::object()
      .add("non_b0_count", stats.non_b0_count)
      .add("non_unit_count", stats.non_unit_count)
      .add("non_unit_fraction", stats.non_unit_fraction)
      .add("norm_min", stats.norm_min)
      .add("norm_max", stats.norm_max)
      .add("norm_mean", stats.norm_mean)
      .add("tolerance", stats.tolerance);
}

}  // namespace dirsieve
