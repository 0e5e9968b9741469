#include "core/verdict/directions.hpp"

#include <cmath>
#include <numbers>

#include <Eigen/Dense>

namespace dirsieve {

DirectionSupport direction_support(const GradientTable& table, const std::vector<std::size_t>& indices,
                                   double collinear_deg) {
  const double cos_limit = std::cos(collinear_deg * std::numbers::pi / 180.0);
  std::vector<Vec3> axes;
  for (std::size_t i : indices) {
    if (i >= table.size()) continue;
    const Vec3& g = table.directions()[i];
    const double n = std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]);
    if (!(n > 1e-6) || !std::isfinite(n)) continue;
    const Vec3 u{g[0] / n, g[1] / n, g[2] / n};
    bool known = false;
    for (const Vec3& a : axes) {
      if (std::fabs((u[0] * a[0] + u[1] * a[1]) + u[2] * a[2]) >= cos_limit) {
        known = true;
        break;
      }
    }
    if (!known) axes.push_back(u);
  }

  DirectionSupport out;
  out.distinct_axes = axes.size();
  if (axes.size() >= 6) {
    Eigen::MatrixXd design(static_cast<Eigen::Index>(axes.size()), 6);
    for (std::size_t r = 0; r < axes.size(); ++r) {
      const Vec3& u = axes[r];
      const auto row = static_cast<Eigen::Index>(r);
      design(row, 0) = u[0] * u[0];
      design(row, 1) = u[1] * u[1];
      design(row, 2) = u[2] * u[2];
      design(row, 3) = 2.0 * u[0] * u[1];
      design(row, 4) = 2.0 * u[0] * u[2];
      design(row, 5) = 2.0 * u[1] * u[2];
    }
    const Eigen::VectorXd sv = Eigen::JacobiSVD<Eigen::MatrixXd>(design).singularValues();
    out.determines_tensor = sv(0) > 0.0 && sv(sv.size() - 1) / sv(0) > 1e-8;
  }
  return out;
}

}  // namespace dirsieve
