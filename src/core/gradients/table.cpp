#include "core/gradients/table.hpp"

namespace dirsieve {

std::string_view format_name(GradientFormat format) {
  return format == GradientFormat::Mrtrix ? "mrtrix" : "fsl";
}

Result<GradientTable> GradientTable::make(std::vector<Vec3> directions, std::vector<double> bvals) {
  if (directions.size() != bvals.size()) {
    return CoreError::gradient_table_mismatch(directions.size(), bvals.size());
  }
  GradientTable table;
  table.directions_ = std::move(directions);
  table.bvals_ = std::move(bvals);
  return table;
}

}  // namespace dirsieve
