#include "core/gradients/fsl_format.hpp"

#include <vector>

#include "core/gradients/text_scan.hpp"
#include "core/util/file_io.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

CoreError invalid_number(const std::string& path, std::string_view token) {
  return CoreError::parse(path, "invalid number: " + std::string(token));
}

Result<std::vector<double>> parse_tokens(const std::string& path, const std::vector<std::string_view>& tokens) {
  std::vector<double> values;
  values.reserve(tokens.size());
  for (auto token : tokens) {
    auto value = parse_number(token);
    if (!value) return invalid_number(path, token);
    values.push_back(*value);
  }
  return values;
}

Result<std::vector<double>> read_bvals(const std::string& path) {
  DS_TRY_ASSIGN(std::string text, read_text_file(path));
  return parse_tokens(path, tokenize(text));
}

Result<std::vector<std::vector<double>>> read_bvec_rows(const std::string& path) {
  DS_TRY_ASSIGN(std::string text, read_text_file(path));
  std::vector<std::vector<double>> rows;
  for (auto line : split_lines(text)) {
    auto tokens = tokenize(line);
    if (tokens.empty()) continue;
    DS_TRY_ASSIGN(auto row, parse_tokens(path, tokens));
    rows.push_back(std::move(row));
  }
  return rows;
}

Result<std::vector<Vec3>> fit_directions(const std::string& bvec_path, const std::vector<std::vector<double>>& rows,
                                         std::size_t n) {
  std::vector<Vec3> directions;
  bool component_rows = rows.size() == 3;
  for (const auto& row : rows) component_rows = component_rows && row.size() == n;
  if (component_rows) {
    directions.resize(n);
    for (std::size_t i = 0; i < n; ++i) directions[i] = {rows[0][i], rows[1][i], rows[2][i]};
    return directions;
  }
  bool direction_rows = rows.size() == n;
  for (const auto& row : rows) direction_rows = direction_rows && row.size() == 3;
  if (direction_rows) {
    directions.reserve(n);
    for (const auto& row : rows) directions.push_back({row[0], row[1], row[2]});
    return directions;
  }
  return CoreError::parse(bvec_path, "bvec shape does not match the b-value count");
}

}  // namespace

Result<std::string> read_text_file(const std::string& path) {
  DS_TRY_ASSIGN(std::string bytes, read_file_bytes(path));
  if (!is_valid_utf8(bytes)) return CoreError::io("stream did not contain valid UTF-8");
  return bytes;
}

Result<GradientTable> read_fsl_pair(const std::string& bvec_path, const std::string& bval_path) {
  DS_TRY_ASSIGN(std::vector<double> bvals, read_bvals(bval_path));
  DS_TRY_ASSIGN(auto rows, read_bvec_rows(bvec_path));
  DS_TRY_ASSIGN(std::vector<Vec3> directions, fit_directions(bvec_path, rows, bvals.size()));
  return GradientTable::make(std::move(directions), std::move(bvals));
}

std::string format_direction_component(double value) {
  if (value == 0.0) return "0.000000";
  return format_fixed(value, 6);
}

std::string format_bvalue(double value) { return format_shortest_plain(value); }

std::pair<std::string, std::string> format_fsl_pair_text(const GradientTable& table) {
  std::string bvec;
  for (int axis = 0; axis < 3; ++axis) {
    bool first = true;
    for (const auto& direction : table.directions()) {
      if (!first) bvec += ' ';
      first = false;
      bvec += format_direction_component(direction[static_cast<std::size_t>(axis)]);
    }
    bvec += '\n';
  }
  std::string bval;
  bool first = true;
  for (double b : table.bvals()) {
    if (!first) bval += ' ';
    first = false;
    bval += format_bvalue(b);
  }
  bval += '\n';
  return {std::move(bvec), std::move(bval)};
}

Result<void> write_fsl_pair(const std::string& bvec_path, const std::string& bval_path, const GradientTable& table) {
  auto [bvec, bval] = format_fsl_pair_text(table);
  DS_TRY(write_whole_file(bvec_path, bvec));
  return write_whole_file(bval_path, bval);
}

}  // namespace dirsieve
