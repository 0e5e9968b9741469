#include "core/pipeline/engine_inputs.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/gradients/validation.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

CoreError named(const std::string& role, const std::string& path, const CoreError& error) {
  return CoreError::invalid_input(role + " " + path + ": " + error.display());
}

std::string grid_text(const std::array<std::uint64_t, 3>& dims) {
  return std::to_string(dims[0]) + "\u00d7" + std::to_string(dims[1]) + "\u00d7" + std::to_string(dims[2]);
}

Vec3 world(const Mat4& a, double i, double j, double k) {
  Vec3 out;
  for (int r = 0; r < 3; ++r) out[r] = ((a[r][0] * i + a[r][1] * j) + a[r][2] * k) + a[r][3];
  return out;
}

}  // namespace

Result<void> check_requested_shell(const GradientTable& table, std::optional<double> shell, double b0_threshold,
                                   double tolerance) {
  if (!shell) return {};
  const std::vector<Shell> shells = cluster_shells(table.bvals(), b0_threshold, tolerance);
  std::string listed;
  for (const Shell& s : shells) {
    if (s.is_b0) continue;
    const double slack = tolerance * s.nominal_b;
    if (*shell >= s.min_b - slack && *shell <= s.max_b + slack) return {};
    listed += (listed.empty() ? "" : ", ") + std::string("b=") + format_fixed(s.nominal_b, 0);
  }
  if (listed.empty()) return CoreError::no_flip_shell();
  return CoreError::invalid_input("no shell at b=" + format_shortest_plain(*shell) + ": the table's non-b0 shells are " +
                                  listed + " (give --shell with one of them)");
}

Result<void> check_mask_grid(const DwiVolume& dwi, const std::string& dwi_path, const ImageGrid& mask,
                             const std::string& mask_path, const std::string& mask_role) {
  const std::array<std::uint64_t, 3> dwi_dims{dwi.nx(), dwi.ny(), dwi.nz()};
  if (mask.dims != dwi_dims) {
    return CoreError::invalid_input(mask_role + " " + mask_path + " is on a " + grid_text(mask.dims) +
                                    " grid, but the DWI " + dwi_path + " is on " + grid_text(dwi_dims));
  }
  double smallest = INFINITY;
  for (double s : dwi.voxel_sizes)
    if (std::fabs(s) > 0.0) smallest = std::min(smallest, std::fabs(s));
  const double tolerance = std::isfinite(smallest) ? kGridToleranceVoxels * smallest : 0.1;
  double worst = 0.0;
  for (int c = 0; c < 8; ++c) {
    const double i = (c & 1) ? static_cast<double>(dwi_dims[0] - 1) : 0.0;
    const double j = (c & 2) ? static_cast<double>(dwi_dims[1] - 1) : 0.0;
    const double k = (c & 4) ? static_cast<double>(dwi_dims[2] - 1) : 0.0;
    const Vec3 a = world(mask.affine, i, j, k);
    const Vec3 b = world(dwi.affine, i, j, k);
    const double d = std::sqrt(((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1])) +
                               (a[2] - b[2]) * (a[2] - b[2]));
    worst = std::isnan(d) ? INFINITY : std::max(worst, d);
  }
  if (worst > tolerance) {
    return CoreError::invalid_input(mask_role + " " + mask_path + " has the DWI's " + grid_text(dwi_dims) +
                                    " grid but lies elsewhere in the world: its affine puts a corner of the grid " +
                                    format_fixed(worst, 1) + " mm from where the DWI " + dwi_path +
                                    " has it (allowed " + format_fixed(tolerance, 2) + " mm)");
  }
  return {};
}

Result<EngineInputs> load_engine_inputs(const EngineInputPaths& paths, const AuditOptions& options) {
  // Every file is looked at before any is read, so a FIFO or a folder is refused at once.
  DS_TRY(check_input_file(paths.dwi, "DWI"));
  if (paths.mask) DS_TRY(check_input_file(*paths.mask, paths.mask_role));
  EngineInputs in;
  DS_TRY_ASSIGN(in.gradients, read_checked_gradient_inputs(paths.bvec, paths.bval, paths.grad));
  DS_TRY(check_requested_shell(in.gradients.table, options.shell, options.b0_threshold, options.tolerance));

  std::optional<ImageGrid> mask_grid;
  if (paths.mask) {
    auto grid = read_image_grid(*paths.mask);
    if (!grid) return named(paths.mask_role, *paths.mask, grid.error());
    mask_grid = *grid;
  }
  auto loaded = load_dwi_timed(paths.dwi);
  if (!loaded) return named("DWI", paths.dwi, loaded.error());
  in.dwi = std::move(loaded->volume);
  in.decompress_seconds = loaded->decompress_seconds;
  in.convert_seconds = loaded->convert_seconds;
  const std::string table_files = paths.grad ? "grad file " + *paths.grad : "bvec/bval files " + *paths.bvec + ", " + *paths.bval;
  if (in.gradients.table.size() != in.dwi.volume_count) {
    return CoreError::invalid_input("the " + table_files + " describe " + std::to_string(in.gradients.table.size()) +
                                    " volumes but the DWI " + paths.dwi + " has " +
                                    std::to_string(in.dwi.volume_count));
  }
  if (paths.mask) {
    DS_TRY(check_mask_grid(in.dwi, paths.dwi, *mask_grid, *paths.mask, paths.mask_role));
    auto mask = load_mask(paths.mask);
    if (!mask) return named(paths.mask_role, *paths.mask, mask.error());
    in.mask = std::move(*mask);
  }
  return in;
}

}  // namespace dirsieve
