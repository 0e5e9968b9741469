#include "core/gradients/validation.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <vector>

#include "core/gradients/fsl_format.hpp"
#include "core/gradients/text_scan.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

std::string plural(std::size_t n, std::string_view word) {
  return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

// Tokens per non-empty row; a grad file may carry '#' comment lines.
struct TextLayout {
  std::vector<std::size_t> row_sizes;
  std::size_t total = 0;

  bool uniform() const {
    for (std::size_t n : row_sizes)
      if (n != row_sizes.front()) return false;
    return !row_sizes.empty();
  }
  // The first row whose size differs from `expected`, 1-based, or 0.
  std::size_t first_row_not(std::size_t expected) const {
    for (std::size_t r = 0; r < row_sizes.size(); ++r)
      if (row_sizes[r] != expected) return r + 1;
    return 0;
  }
};

Result<TextLayout> read_layout(const std::string& path, std::string_view role, bool comments) {
  auto text = read_text_file(path);
  if (!text) return CoreError::invalid_input("cannot read " + std::string(role) + " " + path + ": " + text.error().display());
  TextLayout layout;
  for (auto raw : split_lines(*text)) {
    const std::string_view line = trim_whitespace(raw);
    if (line.empty() || (comments && line.front() == '#')) continue;
    const std::size_t n = tokenize(line).size();
    layout.row_sizes.push_back(n);
    layout.total += n;
  }
  return layout;
}

// "grad file F has 3 rows ...", "grad file F: row 2 has ...".
CoreError layout_error(std::string_view role, const std::string& path, const std::string& what) {
  const bool sentence = what.rfind("has ", 0) == 0;
  return CoreError::invalid_input(std::string(role) + " " + path + (sentence ? " " : ": ") + what);
}

// Directions a bvec file holds, or an error naming its shape.
Result<std::size_t> bvec_directions(const std::string& path, const TextLayout& layout) {
  const auto& rows = layout.row_sizes;
  if (rows.empty()) return layout_error("bvec file", path, "no directions (the file is empty)");
  if (rows.size() == 3 && layout.uniform()) return rows.front();
  if (layout.uniform() && rows.front() == 3) return rows.size();
  if (layout.uniform() && rows.front() == 4) {
    return layout_error("bvec file", path,
                        "has " + plural(rows.size(), "row") + " of 4 values, the layout of a four-column grad file "
                        "(x y z b); give it as --grad");
  }
  if (rows.size() == 1) {
    return layout_error("bvec file", path,
                        "has one row of " + plural(rows.front(), "value") + ", the layout of a bval file; a bvec file "
                        "has 3 rows (x, y, z) of one value per volume");
  }
  if (rows.size() == 3) {
    const std::size_t r = rows[1] != rows[0] ? 2 : 3;
    return layout_error("bvec file", path,
                        "row " + std::to_string(r) + " has " + plural(rows[r - 1], "value") + " but row 1 has " +
                            std::to_string(rows[0]) + "; a bvec file has 3 rows of one value per volume");
  }
  return layout_error("bvec file", path,
                      "has " + plural(rows.size(), "row") + " of " +
                          (layout.uniform() ? plural(rows.front(), "value") : std::string("unequal length")) +
                          "; a bvec file has 3 rows (x, y, z) of one value per volume, or one row of 3 per volume");
}

Result<std::size_t> bval_values(const std::string& path, const TextLayout& layout) {
  const auto& rows = layout.row_sizes;
  if (rows.empty()) return layout_error("bval file", path, "no b-values (the file is empty)");
  if (rows.size() == 1 || (layout.uniform() && rows.front() == 1)) return layout.total;
  if (rows.size() == 3 && layout.uniform()) {
    return layout_error("bval file", path,
                        "has 3 rows of " + plural(rows.front(), "value") + ", the layout of a bvec file; a bval file "
                        "has one row of b-values (were --bvec and --bval swapped?)");
  }
  return layout_error("bval file", path,
                      "has " + plural(rows.size(), "row") + "; a bval file has one row of b-values, one per volume");
}

Result<void> grad_layout(const std::string& path) {
  DS_TRY_ASSIGN(const TextLayout layout, read_layout(path, "grad file", true));
  const auto& rows = layout.row_sizes;
  if (rows.empty()) return layout_error("grad file", path, "no rows (the file is empty)");
  const std::size_t bad = layout.first_row_not(4);
  if (bad == 0) return {};
  if (rows.size() == 3 && layout.uniform()) {
    return layout_error("grad file", path,
                        "has 3 rows of " + plural(rows.front(), "value") + ", the layout of an FSL bvec file; give it "
                        "as --bvec with its --bval");
  }
  if (rows.size() == 1) {
    return layout_error("grad file", path,
                        "has one row of " + plural(rows.front(), "value") + ", the layout of an FSL bval file; a grad "
                        "file has one row of 4 values (x y z b) per volume");
  }
  return layout_error("grad file", path,
                      "row " + std::to_string(bad) + " has " + plural(rows[bad - 1], "value") +
                          "; a grad file has exactly 4 per row (x y z b)");
}

std::string number_text(double v) { return std::isnan(v) ? std::string("nan") : format_shortest_plain(v); }

}  // namespace

Result<void> check_input_file(const std::string& path, std::string_view role) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return CoreError::invalid_input(std::string(role) + " not found: " + path);
    return CoreError::invalid_input("cannot read " + std::string(role) + " " + path + ": " + os_error_text(errno));
  }
  if (S_ISREG(st.st_mode)) return {};
  const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "not a file";
  return CoreError::invalid_input(std::string(role) + " " + path + " is " + kind + ", not a regular file");
}

Result<void> check_gradient_layout(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                                   const std::optional<std::string>& grad) {
  if (grad) {
    DS_TRY(check_input_file(*grad, "grad file"));
    return grad_layout(*grad);
  }
  if (!bvec || !bval) return {};
  DS_TRY(check_input_file(*bvec, "bvec file"));
  DS_TRY(check_input_file(*bval, "bval file"));
  DS_TRY_ASSIGN(const TextLayout bvec_layout, read_layout(*bvec, "bvec file", false));
  DS_TRY_ASSIGN(const TextLayout bval_layout, read_layout(*bval, "bval file", false));
  DS_TRY_ASSIGN(const std::size_t b_count, bval_values(*bval, bval_layout));
  // Three rows of four values hold four directions, but also three grad rows: the b-value count decides.
  const bool grad_like = bvec_layout.uniform() && bvec_layout.row_sizes.front() == 4 &&
                         bvec_layout.row_sizes.size() == b_count;
  if (grad_like && bvec_layout.row_sizes.size() != 3) {
    return layout_error("bvec file", *bvec,
                        "has " + plural(b_count, "row") + " of 4 values, the layout of a four-column grad file "
                        "(x y z b); give it as --grad");
  }
  DS_TRY_ASSIGN(const std::size_t directions, bvec_directions(*bvec, bvec_layout));
  if (directions != b_count) {
    return CoreError::invalid_input("bval file " + *bval + " has " + plural(b_count, "b-value") + " but bvec file " +
                                    *bvec + " has " + plural(directions, "direction") +
                                    (grad_like ? " (is it a four-column grad file? give it as --grad)" : ""));
  }
  return {};
}

Result<void> check_gradient_values(const GradientInputs& inputs) {
  const bool grad = inputs.format == GradientFormat::Mrtrix;
  const std::string bval_file = inputs.records.empty() ? std::string() : inputs.records.back().path;
  const std::string bvec_file = inputs.records.empty() ? std::string() : inputs.records.front().path;
  const auto& bvals = inputs.table.bvals();
  const auto& dirs = inputs.table.directions();
  const std::size_t n = bvals.size();

  std::size_t bad_b = 0, first_b = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(std::isfinite(bvals[i]) && bvals[i] >= 0.0)) {
      ++bad_b;
      if (first_b == n) first_b = i;
    }
  }
  if (bad_b > 0) {
    const std::string where = grad ? "grad file " + bval_file + ": row " + std::to_string(first_b + 1)
                                   : "bval file " + bval_file + ": value " + std::to_string(first_b + 1);
    return CoreError::invalid_input(where + " is b = " + number_text(bvals[first_b]) +
                                    "; b-values must be finite and not negative (" + std::to_string(bad_b) + " of " +
                                    plural(n, "volume") + ")");
  }

  std::size_t bad_g = 0, first_g = n;
  int axis = 0;
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    for (int a = 0; a < 3; ++a) {
      if (!std::isfinite(dirs[i][a])) {
        if (bad_g == 0) {
          first_g = i;
          axis = a;
        }
        ++bad_g;
        break;
      }
    }
  }
  if (bad_g > 0) {
    const char* name = axis == 0 ? "x" : axis == 1 ? "y" : "z";
    const std::string where = grad ? "grad file " + bvec_file + ": row " + std::to_string(first_g + 1)
                                   : "bvec file " + bvec_file + ": volume " + std::to_string(first_g + 1);
    return CoreError::invalid_input(where + " has a non-finite " + name + " component (" +
                                    number_text(dirs[first_g][axis]) + "); directions must be finite (" +
                                    std::to_string(bad_g) + " of " + plural(dirs.size(), "volume") + ")");
  }
  return {};
}

Result<GradientInputs> read_checked_gradient_inputs(const std::optional<std::string>& bvec,
                                                    const std::optional<std::string>& bval,
                                                    const std::optional<std::string>& grad) {
  DS_TRY(check_gradient_layout(bvec, bval, grad));
  DS_TRY_ASSIGN(GradientInputs inputs, resolve_gradient_inputs(bvec, bval, grad));
  DS_TRY(check_gradient_values(inputs));
  return inputs;
}

}  // namespace dirsieve
