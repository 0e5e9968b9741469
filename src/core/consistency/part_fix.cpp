#include "core/consistency/part_fix.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include "core/util/number_format.hpp"

namespace dirsieve {

std::string_view part_kind_name(PartKind kind) {
  switch (kind) {
    case PartKind::ClassRun:
      return "axes of a run";
    case PartKind::RotationRun:
      return "rotation of a run";
    case PartKind::Shift:
      return "rows moved";
    case PartKind::BvalueSwap:
      return "b-values exchanged";
  }
  return "axes of a run";
}

GradientTable apply_fix(const GradientTable& table, const std::vector<VolumeFix>& rows) {
  std::vector<Vec3> directions = table.directions();
  std::vector<double> bvals = table.bvals();
  const std::size_t n = std::min(rows.size(), table.size());
  for (std::size_t k = 0; k < n; ++k) {
    const VolumeFix& f = rows[k];
    if (f.source >= table.size()) continue;
    Vec3 g = apply(f.matrix, table.directions()[f.source]);
    for (double& c : g)
      if (c == 0.0) c = 0.0;
    directions[k] = g;
    bvals[k] = f.b_scale * table.bvals()[k];
  }
  return GradientTable::make(std::move(directions), std::move(bvals)).value();
}

std::vector<VolumeFix> compose_fixes(const std::vector<VolumeFix>& first, const std::vector<VolumeFix>& second) {
  std::vector<VolumeFix> out(second.size());
  for (std::size_t k = 0; k < second.size(); ++k) {
    const VolumeFix& s = second[k];
    if (s.source >= first.size()) {
      out[k] = s;
      continue;
    }
    const VolumeFix& f = first[s.source];
    out[k].source = f.source;
    out[k].matrix = multiply(s.matrix, f.matrix);
    // The b-value of row k after `first` is first[k].b_scale * b_k.
    out[k].b_scale = s.b_scale * (k < first.size() ? first[k].b_scale : 1.0);
  }
  return out;
}

std::vector<VolumeFix> uniform_fix(std::size_t rows, const Mat3& matrix) {
  std::vector<VolumeFix> out(rows);
  for (std::size_t k = 0; k < rows; ++k) {
    out[k].source = k;
    out[k].matrix = matrix;
  }
  return out;
}

bool is_identity_fix(const VolumeFix& fix, std::size_t row) {
  return fix.source == row && fix.matrix == identity3() && fix.b_scale == 1.0;
}

std::string volume_ranges(const std::vector<std::size_t>& volumes) {
  std::string out;
  std::size_t i = 0;
  while (i < volumes.size()) {
    std::size_t j = i;
    while (j + 1 < volumes.size() && volumes[j + 1] == volumes[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(volumes[i]);
    if (j > i) out += (j == i + 1 ? ", " : "\xE2\x80\x93") + std::to_string(volumes[j]);
    i = j + 1;
  }
  return out;
}

std::string class_effect(const std::string& label, const Mat3& m) {
  static constexpr char kAxes[3] = {'x', 'y', 'z'};
  int perm[3];
  bool negative[3];
  for (int i = 0; i < 3; ++i) {
    perm[i] = 0;
    for (int j = 0; j < 3; ++j)
      if (m[i][j] != 0.0) perm[i] = j;
    negative[i] = m[i][perm[i]] < 0.0;
  }
  const bool straight = perm[0] == 0 && perm[1] == 1 && perm[2] == 2;
  if (straight) {
    // -M is the same class: name the fewer negated axes.
    int count = negative[0] + negative[1] + negative[2];
    const bool flip_all = count >= 2;
    std::vector<char> axes;
    for (int i = 0; i < 3; ++i)
      if (negative[i] != flip_all) axes.push_back(kAxes[i]);
    if (axes.size() == 1) return std::string(1, axes[0]) + " negated";
    if (axes.size() == 2) return std::string(1, axes[0]) + " and " + axes[1] + " negated";
  }
  int fixed = -1;
  for (int i = 0; i < 3; ++i)
    if (perm[i] == i) fixed = i;
  const bool swap = !straight && fixed >= 0;
  if (swap) {
    const int a = (fixed + 1) % 3, b = (fixed + 2) % 3;
    const int lo = std::min(a, b), hi = std::max(a, b);
    // A plain exchange, or its negation (the same class).
    const bool plain = !negative[0] && !negative[1] && !negative[2];
    const bool all = negative[0] && negative[1] && negative[2];
    if (plain || all) return std::string(1, kAxes[lo]) + " and " + kAxes[hi] + " swapped";
  }
  return "turned by " + label;
}

Mat3 rotation(const Vec3& axis, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return Mat3{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
               {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
               {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

double axis_angle_deg(const Vec3& a, const Vec3& b) {
  const double na = std::sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2]);
  const double nb = std::sqrt((b[0] * b[0] + b[1] * b[1]) + b[2] * b[2]);
  if (!(na > 0.0 && nb > 0.0)) return 0.0;
  const double c = std::fabs(((a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]) / (na * nb));
  return std::acos(std::min(1.0, c)) * 180.0 / std::numbers::pi;
}

void describe_fix(PartFix& fix) {
  const std::string part = "volumes " + volume_ranges(fix.changed);
  const std::string rest = "volumes " + volume_ranges(fix.reference);
  const std::string degree = "\xC2\xB0";
  switch (fix.kind) {
    case PartKind::ClassRun:
      fix.description = part + ": " + class_effect(fix.label, fix.matrix) + " relative to " + rest;
      break;
    case PartKind::RotationRun:
      fix.description = part + ": turned " + format_fixed(fix.angle_deg, 1) + degree + " about (" +
                        format_fixed(fix.axis[0], 2) + ", " + format_fixed(fix.axis[1], 2) + ", " +
                        format_fixed(fix.axis[2], 2) + ") relative to " + rest;
      break;
    case PartKind::Shift: {
      const int k = std::abs(fix.shift);
      fix.description = part + ": each direction is in the row " + std::to_string(k) +
                        (k == 1 ? " place " : " places ") + (fix.shift > 0 ? "later" : "earlier") +
                        " (the directions are moved by " + std::to_string(k) + (k == 1 ? " volume)" : " volumes)");
      break;
    }
    case PartKind::BvalueSwap:
      fix.description = part + ": the b-values of shells " + fix.label + " are exchanged";
      break;
  }
}

void fill_interior(PartFix& fix, const GradientTable& table, const std::vector<std::size_t>& dw_rows,
                   double resolution_deg) {
  if (fix.kind != PartKind::ClassRun && fix.kind != PartKind::RotationRun) return;
  std::optional<std::size_t> last;  // position in dw_rows of the last changed row
  for (std::size_t p = 0; p < dw_rows.size(); ++p) {
    const std::size_t v = dw_rows[p];
    const bool changed = std::binary_search(fix.changed.begin(), fix.changed.end(), v);
    if (!changed) {
      const Vec3& g = table.directions()[v];
      // A resolved row kept as it is closes the gap.
      if (axis_angle_deg(g, apply(fix.matrix, g)) >= resolution_deg) last.reset();
      continue;
    }
    if (last) {
      for (std::size_t q = *last + 1; q < p; ++q) fix.rows[dw_rows[q]].matrix = fix.matrix;
    }
    last = p;
  }
  // The rows it now changes (a direction the transform maps onto itself is not changed), and the rest.
  fix.changed.clear();
  fix.reference.clear();
  for (std::size_t v : dw_rows) {
    const Vec3& g = table.directions()[v];
    const bool moved = fix.rows[v].matrix != identity3() && axis_angle_deg(g, apply(fix.matrix, g)) >= 1e-3;
    (moved ? fix.changed : fix.reference).push_back(v);
  }
  std::sort(fix.changed.begin(), fix.changed.end());
  std::sort(fix.reference.begin(), fix.reference.end());
}

PartFix other_side(const PartFix& fix, const GradientTable& table, const std::vector<std::size_t>& dw_rows,
                   double resolution_deg) {
  if (fix.kind != PartKind::ClassRun && fix.kind != PartKind::RotationRun) return fix;
  PartFix out = fix;
  out.matrix = transpose(fix.matrix);
  out.rows = uniform_fix(table.size(), identity3());
  out.changed.clear();
  out.reference.clear();
  double turn_sum = 0.0;
  for (std::size_t v : dw_rows) {
    const bool was_changed = std::binary_search(fix.changed.begin(), fix.changed.end(), v);
    const Vec3& g = table.directions()[v];
    const double turn = axis_angle_deg(g, apply(out.matrix, g));
    if (!was_changed && turn >= resolution_deg) {
      out.rows[v].matrix = out.matrix;
      out.changed.push_back(v);
      turn_sum += turn;
    } else {
      out.reference.push_back(v);
    }
  }
  out.mean_turn_deg = out.changed.empty() ? 0.0 : turn_sum / static_cast<double>(out.changed.size());
  if (fix.kind == PartKind::ClassRun) {
    // The label of the inverse class.
    static constexpr char kAxes[3] = {'x', 'y', 'z'};
    std::string label;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        if (out.matrix[i][j] != 0.0) {
          label += out.matrix[i][j] < 0.0 ? '-' : '+';
          label += kAxes[j];
        }
    out.label = label;
  } else {
    out.axis = Vec3{-fix.axis[0], -fix.axis[1], -fix.axis[2]};
  }
  fill_interior(out, table, dw_rows, resolution_deg);
  describe_fix(out);
  return out;
}

JsonValue fix_rows_json(const std::vector<VolumeFix>& rows) {
  JsonValue out = JsonValue::array();
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (is_identity_fix(rows[k], k)) continue;
    JsonValue row = JsonValue::object();
    row.add("volume", k);
    row.add("source", rows[k].source);
    row.add("matrix", json_mat3(rows[k].matrix));
    row.add("b_scale", rows[k].b_scale);
    out.push(std::move(row));
  }
  return out;
}

JsonValue to_json(const PartFix& fix) {
  JsonValue out = JsonValue::object();
  out.add("kind", part_kind_name(fix.kind));
  out.add("description", fix.description);
  out.add("changed", json_array_of(fix.changed));
  out.add("reference", json_array_of(fix.reference));
  out.add("label", fix.label);
  out.add("matrix", json_mat3(fix.matrix));
  if (fix.kind == PartKind::RotationRun) {
    out.add("angle_deg", fix.angle_deg);
    out.add("axis", json_vec3(fix.axis));
  }
  if (fix.kind == PartKind::Shift) out.add("shift", fix.shift);
  out.add("mean_turn_deg", std::isfinite(fix.mean_turn_deg) ? JsonValue(fix.mean_turn_deg) : JsonValue(nullptr));
  out.add("rows", fix_rows_json(fix.rows));
  return out;
}

}  // namespace dirsieve
