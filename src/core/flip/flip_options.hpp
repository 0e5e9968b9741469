#pragma once

#include "core/util/matrix.hpp"

namespace dirsieve {

// Settings of one flip detection.
struct FlipOptions {
  double b0_threshold = 50.0;
  double tolerance = 0.05;
  double min_signal = 1.0;
  double fa_threshold = 0.2;
  double step = 1.0;               // sampling distance in voxels
  double margin_threshold = 0.02;
  Mat3 frame_map = identity3();    // gradient-table axes -> voxel axes
  // The user's mask bounds the sample (a brain mask: valid voxels with FA >= fa_threshold inside it) instead
  // of being the sample itself (a white-matter mask, used as given).
  bool mask_is_brain = false;
};

}  // namespace dirsieve
