#include "core/gradients/grad_format.hpp"

#include <vector>

#include "core/gradients/fsl_format.hpp"
#include "core/gradients/text_scan.hpp"
#include "core/util/file_io.hpp"

namespace dirsieve {

Result<GradientTable> read_grad_file(const std::string& path) {
  DS_TRY_ASSIGN(std::string text, read_text_file(path));
  std::vector<Vec3> directions;
  std::vector<double> bvals;
  for (auto raw_line : split_lines(text)) {
    std::string_view line = trim_whitespace(raw_line);
    if (line.empty() || line.front() == '#') continue;
    auto tokens = tokenize(line);
    if (tokens.size() > 4) tokens.resize(4);
    double values[4];
    for (std::size_t k = 0; k < tokens.size(); ++k) {
      auto value = parse_number(tokens[k]);
      if (!value) return CoreError::parse(path, "invalid number: " + std::string(tokens[k]));
      values[k] = *value;
    }
    if (tokens.size() < 4) {
      return CoreError::parse(path, "expected 4 values per row, found " + std::to_string(tokens.size()));
    }
    directions.push_back({values[0], values[1], values[2]});
    bvals.push_back(values[3]);
  }
  return GradientTable::make(std::move(directions), std::move(bvals));
}

std::string format_grad_text(const GradientTable& table) {
  std::string text;
  const std::size_t n = std::min(table.directions().size(), table.bvals().size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto& g = table.directions()[i];
    text += format_direction_component(g[0]);
    text += ' ';
    text += format_direction_component(g[1]);
    text += ' ';
    text += format_direction_component(g[2]);
    text += ' ';
    text += format_bvalue(table.bvals()[i]);
    text += '\n';
  }
  return text;
}

Result<void> write_grad_file(const std::string& path, const GradientTable& table) {
  return write_whole_file(path, format_grad_text(table));
}

}  // namespace dirsieve
