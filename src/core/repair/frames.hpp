// The relation between the gradient table's frame and the image's voxel axes.
#pragma once

#include "core/gradients/table.hpp"
#include "core/util/json.hpp"
#include "core/util/matrix.hpp"

namespace dirsieve {

struct FrameInfo {
  Mat3 fsl_voxel_map = identity3();
  Mat3 rotation = identity3();
  double affine_determinant_sign = 1.0;
  bool input_is_mrtrix = false;
  bool frames_divergent = false;
};

// The map from the supplied table's axes onto the voxel axes.
Mat3 frame_map(const Mat4& affine, bool grad_given);
FrameInfo analyse_frame(const Mat4& affine, bool grad_given);
Mat3 fsl_emission_matrix(const FrameInfo& frame);
Mat3 world_emission_matrix(const FrameInfo& frame);
// Row n becomes M*g_n; components equal to zero are stored as +0.0.
GradientTable apply_matrix(const GradientTable& table, const Mat3& m);

JsonValue to_json(const FrameInfo& frame, bool emitted_mrtrix);

}  // namespace dirsieve
