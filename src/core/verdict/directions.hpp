// Whether the directions of a shell can determine a diffusion tensor at all.
#pragma once

#include <cstddef>
#include <vector>

#include "core/gradients/table.hpp"

namespace dirsieve {

struct DirectionSupport {
  // Directions of the shell that are pairwise more than `collinear_deg` apart as axes (g and -g are one
  // axis); directions shorter than 1e-6 are not counted.
  std::size_t distinct_axes = 0;
  // The six tensor coefficients are determined by those axes: the 6-column design of their squared and
  // cross products has full rank (relative singular value above 1e-8). Coplanar sets never do.
  bool determines_tensor = false;
};

DirectionSupport direction_support(const GradientTable& table, const std::vector<std::size_t>& indices,
                                   double collinear_deg);

}  // namespace dirsieve
