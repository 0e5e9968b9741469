#include "core/repair/frames.hpp"

#include <cmath>
#include <vector>

namespace dirsieve {

namespace {

double determinant(const Mat4& a) {
  return (a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0])) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

Mat3 fsl_map_for(double det) {
  Mat3 m = identity3();
  // NaN fails the comparison, so a NaN determinant keeps the identity.
  if (det > 0.0) m[0][0] = -1.0;
  return m;
}

// Voxel axes to world axes with the voxel sizes divided out.
Mat3 rotation_of(const Mat4& a) {
  double lengths[3];
  for (int c = 0; c < 3; ++c) {
    lengths[c] = std::sqrt((a[0][c] * a[0][c] + a[1][c] * a[1][c]) + a[2][c] * a[2][c]);
  }
  if (lengths[1] < 1e-9 || lengths[0] < 1e-9 || lengths[2] < 1e-9) return identity3();
  Mat3 r;
  for (int row = 0; row < 3; ++row)
    for (int c = 0; c < 3; ++c) r[row][c] = a[row][c] / lengths[c];
  return r;
}

bool divergent(double det, const Mat3& r) {
  if (!(det > 0.0)) return false;
  int negative_columns = 0;
  for (int c = 0; c < 3; ++c) {
    // Ties go to the later row.
    int winner = std::fabs(r[1][c]) >= std::fabs(r[0][c]) ? 1 : 0;
    if (std::fabs(r[2][c]) >= std::fabs(r[winner][c])) winner = 2;
    if (r[winner][c] < 0.0) ++negative_columns;
  }
  return negative_columns >= 2;
}

double sign_of(double det) {
  if (std::isnan(det)) return std::nan("");
  return std::signbit(det) ? -1.0 : 1.0;
}

Mat3 input_voxel_map(const FrameInfo& frame) {
  return frame.input_is_mrtrix ? transpose(frame.rotation) : frame.fsl_voxel_map;
}

}  // namespace

Mat3 frame_map(const Mat4& affine, bool grad_given) {
  if (grad_given) return transpose(rotation_of(affine));
  return fsl_map_for(determinant(affine));
}

FrameInfo analyse_frame(const Mat4& affine, bool grad_given) {
  const double det = determinant(affine);
  FrameInfo info;
  info.fsl_voxel_map = fsl_map_for(det);
  info.rotation = rotation_of(affine);
  info.affine_determinant_sign = sign_of(det);
  info.input_is_mrtrix = grad_given;
  info.frames_divergent = divergent(det, info.rotation);
  return info;
}

Mat3 fsl_emission_matrix(const FrameInfo& frame) { return multiply(frame.fsl_voxel_map, input_voxel_map(frame)); }

Mat3 world_emission_matrix(const FrameInfo& frame) { return multiply(frame.rotation, input_voxel_map(frame)); }

GradientTable apply_matrix(const GradientTable& table, const Mat3& m) {
  std::vector<Vec3> directions;
  directions.reserve(table.directions().size());
  for (const Vec3& g : table.directions()) {
    Vec3 out = apply(m, g);
    // No negative zero may reach a written file.
    for (double& component : out) {
      if (component == 0.0) component = 0.0;
    }
    directions.push_back(out);
  }
  auto made = GradientTable::make(std::move(directions), table.bvals());
  // Same lengths as a valid table, so this cannot fail.
  return made.ok() ? std::move(made).value() : table;
}

JsonValue to_json(const FrameInfo& frame, bool emitted_mrtrix) {
  JsonValue obj = JsonValue::object();
  obj.add("input_format", frame.input_is_mrtrix ? "mrtrix" : "fsl");
  obj.add("affine_determinant_sign", frame.affine_determinant_sign);
  obj.add("rotation", json_mat3(frame.rotation));
  obj.add("fsl_voxel_map", json_mat3(frame.fsl_voxel_map));
  obj.add("world_voxel_map", json_mat3(transpose(frame.rotation)));
  obj.add("frames_divergent", frame.frames_divergent);
  obj.add("emitted_fsl", true);
  obj.add("emitted_mrtrix", emitted_mrtrix);
  return obj;
}

}  // namespace dirsieve
