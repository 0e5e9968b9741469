// The FSL bvec/bval pair: strict reading and canonical writing.
#pragma once

#include <string>
#include <utility>

#include "core/gradients/table.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

// Reads and parses the bval file first, then the bvec file.
Result<GradientTable> read_fsl_pair(const std::string& bvec_path, const std::string& bval_path);

// The exact texts the writer produces: (bvec text, bval text).
std::pair<std::string, std::string> format_fsl_pair_text(const GradientTable& table);

// Writes the bvec file, then the bval file (create or truncate).
Result<void> write_fsl_pair(const std::string& bvec_path, const std::string& bval_path, const GradientTable& table);

// 6 decimals, correctly rounded; zero of either sign is 0.000000.
std::string format_direction_component(double value);
// Shortest round-trip plain decimal.
std::string format_bvalue(double value);

// Shared by the text readers: the whole file as validated UTF-8.
Result<std::string> read_text_file(const std::string& path);

}  // namespace dirsieve
