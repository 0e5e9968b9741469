// GradientTable: per volume a direction (as read, not normalised) and a b-value, in file order.
#pragma once

#include <string_view>
#include <vector>

#include "core/util/matrix.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

enum class GradientFormat { Fsl, Mrtrix };

// "fsl" or "mrtrix".
std::string_view format_name(GradientFormat format);

class GradientTable {
 public:
  GradientTable() = default;

  // The only way to build a table: both sequences must have the same length.
  static Result<GradientTable> make(std::vector<Vec3> directions, std::vector<double> bvals);

  const std::vector<Vec3>& directions() const { return directions_; }
  const std::vector<double>& bvals() const { return bvals_; }
  std::size_t size() const { return bvals_.size(); }

 private:
  std::vector<Vec3> directions_;
  std::vector<double> bvals_;
};

}  // namespace dirsieve
