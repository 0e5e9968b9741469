// The four-column grad file (x, y, z, b per row).
#pragma once

#include <string>

#include "core/gradients/table.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

Result<GradientTable> read_grad_file(const std::string& path);
std::string format_grad_text(const GradientTable& table);
Result<void> write_grad_file(const std::string& path, const GradientTable& table);

}  // namespace dirsieve
