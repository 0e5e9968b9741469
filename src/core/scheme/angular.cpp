#include "core/scheme/angular.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>
#include <Eigen/SVD>

#include "core/scheme/shells.hpp"

namespace dirsieve {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;
constexpr double kMinDistance = 1e-9;
constexpr double kMinSingularValue = 1e-9;

// Member directions of one shell as three contiguous coordinate arrays, so the pair loops stream.
struct ShellDirections {
  std::vector<double> x, y, z;
  std::vector<std::size_t> volume;
};

ShellDirections gather(const std::vector<Vec3>& units, const std::vector<std::size_t>& members) {
  ShellDirections d;
  d.x.reserve(members.size());
  d.y.reserve(members.size());
  d.z.reserve(members.size());
  for (std::size_t index : members) {
    const Vec3& u = index < units.size() ? units[index] : Vec3{0.0, 0.0, 0.0};
    d.x.push_back(u[0]);
    d.y.push_back(u[1]);
    d.z.push_back(u[2]);
  }
  d.volume = members;
  return d;
}

double electrostatic_energy(const ShellDirections& d) {
  const std::size_t n = d.x.size();
  double energy = 0.0;
  for (std::size_t p = 0; p < n; ++p) {
    const double px = d.x[p], py = d.y[p], pz = d.z[p];
    for (std::size_t q = p + 1; q < n; ++q) {
      const double mx = px - d.x[q], my = py - d.y[q], mz = pz - d.z[q];
      const double sx = px + d.x[q], sy = py + d.y[q], sz = pz + d.z[q];
      const double minus = std::sqrt((mx * mx + my * my) + mz * mz);
      const double plus = std::sqrt((sx * sx + sy * sy) + sz * sz);
      energy += 1.0 / std::max(minus, kMinDistance) + 1.0 / std::max(plus, kMinDistance);
    }
  }
  return energy;
}

std::optional<double> condition_number(const ShellDirections& d) {
  const std::size_t n = d.x.size();
  if (n < 6) return std::nullopt;
  Eigen::MatrixXd design(static_cast<Eigen::Index>(n), 6);
  for (std::size_t r = 0; r < n; ++r) {
    const double x = d.x[r], y = d.y[r], z = d.z[r];
    const auto row = static_cast<Eigen::Index>(r);
    design(row, 0) = x * x;
    design(row, 1) = y * y;
    design(row, 2) = z * z;
    design(row, 3) = 2.0 * x * y;
    design(row, 4) = 2.0 * x * z;
    design(row, 5) = 2.0 * y * z;
  }
  // A non-finite entry has no meaningful decomposition; it cannot pass the singular-value test anyway.
  if (!design.allFinite()) return std::nullopt;
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(design);
  const Eigen::VectorXd& sigma = svd.singularValues();
  const double largest = sigma(0);
  const double smallest = sigma(sigma.size() - 1);
  if (!(smallest > kMinSingularValue)) return std::nullopt;
  return largest / smallest;
}

std::vector<DuplicatePair> near_duplicates(const ShellDirections& d, double duplicate_angle_deg) {
  const double threshold = std::cos(duplicate_angle_deg * kDegToRad);
  const std::size_t n = d.x.size();
  std::vector<DuplicatePair> pairs;
  for (std::size_t p = 0; p < n; ++p) {
    const double px = d.x[p], py = d.y[p], pz = d.z[p];
    for (std::size_t q = p + 1; q < n; ++q) {
      const double dot = (px * d.x[q] + py * d.y[q]) + pz * d.z[q];
      const double m = std::min(std::fabs(dot), 1.0);
      if (m > threshold) {
        pairs.push_back(DuplicatePair{d.volume[p], d.volume[q], std::acos(m) * kRadToDeg, dot < 0.0});
      }
    }
  }
  return pairs;
}

}  // namespace

std::vector<Vec3> unit_directions(const GradientTable& table, double b0_threshold) {
  const std::vector<Vec3>& dirs = table.directions();
  const std::vector<double>& bvals = table.bvals();
  const std::size_t n = std::min(dirs.size(), bvals.size());
  std::vector<Vec3> units(n, Vec3{0.0, 0.0, 0.0});
  for (std::size_t i = 0; i < n; ++i) {
    if (bvals[i] <= b0_threshold) continue;
    const Vec3& g = dirs[i];
    const double norm = std::sqrt((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]);
    if (norm < std::numeric_limits<double>::epsilon()) continue;
    units[i] = Vec3{g[0] / norm, g[1] / norm, g[2] / norm};
  }
  return units;
}

AngularSummary analyze_angular(const GradientTable& table, double b0_threshold, double tolerance,
                               double duplicate_angle_deg) {
  AngularSummary summary;
  summary.duplicate_angle_deg = duplicate_angle_deg;
  const std::vector<Vec3> units = unit_directions(table, b0_threshold);
  for (const Shell& shell : cluster_shells(table.bvals(), b0_threshold, tolerance)) {
    if (shell.is_b0) continue;
    const ShellDirections d = gather(units, shell.indices);
    AngularShell out;
    out.nominal_b = shell.nominal_b;
    out.count = shell.count;
    out.electrostatic_energy = electrostatic_energy(d);
    out.condition_number = condition_number(d);
    out.meets_dti_minimum = shell.count > 5;
    out.meets_dti_recommended = shell.count > 29;
    out.meets_csd_minimum = shell.count > 44;
    out.duplicates = near_duplicates(d, duplicate_angle_deg);
    summary.shells.push_back(std::move(out));
  }
  return summary;
}

JsonValue to_json(const AngularSummary& summary) {
  JsonValue shells = JsonValue::array();
  for (const AngularShell& shell : summary.shells) {
    JsonValue duplicates = JsonValue::array();
    for (const DuplicatePair& pair : shell.duplicates) {
      duplicates.push(JsonValue::object()
                          .add("i", pair.i)
                          .add("j", pair.j)
                          .add("angle_deg", pair.angle_deg)
                          .add("antipodal", pair.antipodal));
    }
    JsonValue condition = shell.condition_number ? JsonValue(*shell.condition_number) : JsonValue(nullptr);
    shells.push(JsonValue::object()
                    .add("nominal_b", shell.nominal_b)
                    .add("count", shell.count)
                    .add("electrostatic_energy", shell.electrostatic_energy)
                    .add("condition_number", std::move(condition))
                    .add("meets_dti_minimum", shell.meets_dti_minimum)
                    .add("meets_dti_recommended", shell.meets_dti_recommended)
                    .add("meets_csd_minimum", shell.meets_csd_minimum)
                    .add("duplicates", std::move(duplicates)));
  }
  return JsonValue::object()
      .add("duplicate_angle_deg", summary.duplicate_angle_deg)
      .add("shells", std::move(shells));
}

}  // namespace dirsieve
