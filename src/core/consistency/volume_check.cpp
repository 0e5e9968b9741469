#include "core/consistency/volume_check.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/consistency/part_fix.hpp"
#include "core/consistency/screen.hpp"

namespace dirsieve {

namespace {

using V7 = Eigen::Matrix<double, 7, 1>;
using M7 = Eigen::Matrix<double, 7, 7>;

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return 0.5 * (lower + upper);
}

// Directions spread evenly over a hemisphere (a Fibonacci spiral), about 5 degrees apart.
const std::vector<Vec3>& hemisphere() {
  static const std::vector<Vec3> points = [] {
    constexpr int kCount = 800;
    std::vector<Vec3> out;
    const double golden = std::numbers::pi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < kCount; ++i) {
      const double z = 1.0 - (i + 0.5) / kCount;
      const double r = std::sqrt(1.0 - z * z);
      out.push_back({r * std::cos(golden * i), r * std::sin(golden * i), z});
    }
    return out;
  }();
  return points;
}

V7 row_vector(const DesignRow& x) {
  V7 v;
  for (int c = 0; c < 7; ++c) v(c) = x[static_cast<std::size_t>(c)];
  return v;
}

}  // namespace

std::string_view volume_state_name(VolumeState state) {
  switch (state) {
    case VolumeState::Fits:
      return "fits";
    case VolumeState::OtherDirection:
      return "fits another direction";
    case VolumeState::NoDirection:
      return "fits no direction";
  }
  return "fits";
}

std::vector<VolumeResidual> check_volumes(const Eigen::MatrixXd& s, const GradientTable& table, const VolumeRows& rows,
                                          const VolumeCheckSettings& settings) {
  std::vector<VolumeResidual> out;
  const std::size_t n = rows.volumes.size();
  const std::size_t n_b0 = rows.n_b0;
  if (n <= 7 || rows.dw_count() == 0 || static_cast<std::size_t>(s.rows()) != n) return out;
  double b_unit = 0.0;
  for (std::size_t r = n_b0; r < n; ++r) b_unit = std::max(b_unit, table.bvals()[rows.volumes[r]]);
  if (!(b_unit > 0.0)) return out;
  const std::vector<DesignRow> design = table_design(table, rows, b_unit);
  Eigen::MatrixXd x(static_cast<Eigen::Index>(n), 7);
  for (std::size_t r = 0; r < n; ++r)
    for (int c = 0; c < 7; ++c) x(static_cast<Eigen::Index>(r), c) = design[r][static_cast<std::size_t>(c)];

  // The fit's projection P = (X^T X)^+ X^T, the hat matrix H = X P and the residual maker I - H.
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(x, Eigen::ComputeThinU | Eigen::ComputeThinV);
  const Eigen::VectorXd sigma = svd.singularValues();
  Eigen::VectorXd inverse(sigma.size());
  const double cutoff = 1e-12 * std::max(1.0, sigma.maxCoeff());
  for (Eigen::Index i = 0; i < sigma.size(); ++i) inverse(i) = sigma(i) > cutoff ? 1.0 / sigma(i) : 0.0;
  const Eigen::MatrixXd p = svd.matrixV() * inverse.asDiagonal() * svd.matrixU().transpose();  // 7 x n
  const Eigen::MatrixXd h = x * p;
  const Eigen::MatrixXd e = Eigen::MatrixXd::Identity(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n)) - h;
  const Eigen::MatrixXd se = s * e;
  const Eigen::MatrixXd ese = e.transpose() * se;
  const Eigen::MatrixXd ps = p * s;
  const M7 psp = ps * p.transpose();
  const Eigen::MatrixXd pse = p * se;

  double dw_residual = 0.0;
  for (std::size_t r = n_b0; r < n; ++r) dw_residual += ese(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(r));

  std::vector<double> row_misfit;
  for (std::size_t r = n_b0; r < n; ++r) {
    const auto k = static_cast<Eigen::Index>(r);
    VolumeResidual vr;
    vr.volume = rows.volumes[r];
    vr.bval = table.bvals()[vr.volume];
    vr.share = dw_residual > 0.0 ? ese(k, k) / dw_residual : 0.0;
    out.push_back(vr);

    // Leave-one-out coefficients c(-k) = c - w e_k with w = G^+ x_k / (1 - h_kk); the prediction error of
    // row k for a direction u is sum over voxels of (y_k - x(u) . c(-k))^2, a quadratic form in x(u).
    const double leverage = h(k, k);
    const double keep = 1.0 - leverage;
    if (!(keep > 1e-9)) {
      row_misfit.push_back(0.0);
      continue;
    }
    const V7 xk = x.row(k).transpose();
    const V7 w = p.col(k) / keep;  // G^+ x_k is column k of P
    const double ye = se(k, k);
    const double ee = ese(k, k);
    const V7 yc = ps.col(k) - w * ye;
    const V7 ec = pse.col(k);
    const M7 cm = psp - w * ec.transpose() - ec * w.transpose() + (w * w.transpose()) * ee;
    const double yy = s(k, k);
    const auto misfit = [&](const V7& row) { return yy - 2.0 * row.dot(yc) + row.dot(cm * row); };
    out.back().misfit = misfit(xk);
    row_misfit.push_back(out.back().misfit);

    // The direction that fits best: a hemisphere grid, then the best point's neighbourhood more finely.
    const Vec3& g_row = table.directions()[vr.volume];
    double best = std::numeric_limits<double>::infinity();
    Vec3 best_u{0.0, 0.0, 1.0};
    for (const Vec3& u : hemisphere()) {
      const double f = misfit(row_vector(design_row(u, vr.bval, b_unit, false)));
      if (f < best) {
        best = f;
        best_u = u;
      }
    }
    for (double step : {0.04, 0.014, 0.005, 0.0017}) {
      bool moved = true;
      for (int round = 0; round < 8 && moved; ++round) {
        moved = false;
        for (int a = 0; a < 3; ++a) {
          for (double sign : {-1.0, 1.0}) {
            Vec3 u = best_u;
            u[a] += sign * step;
            const double len = std::sqrt((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
            for (double& c : u) c /= len;
            const double f = misfit(row_vector(design_row(u, vr.bval, b_unit, false)));
            if (f < best) {
              best = f;
              best_u = u;
              moved = true;
            }
          }
        }
      }
    }
    out.back().best_misfit = best;
    out.back().best_direction = best_u;
    out.back().best_angle_deg = axis_angle_deg(best_u, g_row);
  }

  const double typical = median(row_misfit);
  for (VolumeResidual& vr : out) {
    if (typical > 0.0) {
      vr.misfit /= typical;
      vr.best_misfit /= typical;
    }
    if (!(vr.misfit >= settings.outlier_factor)) continue;
    vr.state = vr.best_misfit <= settings.refit_factor && vr.best_angle_deg >= settings.min_angle_deg
                   ? VolumeState::OtherDirection
                   : VolumeState::NoDirection;
  }
  return out;
}

JsonValue to_json(const VolumeResidual& v) {
  JsonValue out = JsonValue::object();
  out.add("volume", v.volume);
  out.add("b", v.bval);
  out.add("share", v.share);
  out.add("misfit", v.misfit);
  out.add("best_misfit", v.best_misfit);
  out.add("best_angle_deg", v.best_angle_deg);
  out.add("state", volume_state_name(v.state));
  if (v.state == VolumeState::OtherDirection) out.add("best_direction", json_vec3(v.best_direction));
  return out;
}

}  // namespace dirsieve
