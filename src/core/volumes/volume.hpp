// DWI and mask images as loaded from NIfTI-1 files.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/util/matrix.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

struct DwiVolume {
  std::vector<std::uint64_t> dims;  // dim[1..dim[0]]
  std::uint64_t volume_count = 1;   // dim[4] when there are at least four dimensions
  Vec3 voxel_sizes{};               // pixdim[1..3], sign kept
  Mat4 affine{};                    // voxel (i, j, k, 1) -> world
  std::vector<float> data;          // file order: x fastest, then y, z, t, ...

  // Grid sizes; a missing dimension counts as 1.
  std::uint64_t nx() const { return dims.size() > 0 ? dims[0] : 1; }
  std::uint64_t ny() const { return dims.size() > 1 ? dims[1] : 1; }
  std::uint64_t nz() const { return dims.size() > 2 ? dims[2] : 1; }
  std::uint64_t grid_voxels() const { return nx() * ny() * nz(); }
  // Signal of voxel (x, y, z) in volume t of a 3-D or 4-D image.
  float at(std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t t) const {
    return data[((t * nz() + z) * ny() + y) * nx() + x];
  }
};

// One flag per voxel of the mask's own grid, voxel (x, y, z) at (x*ny + y)*nz + z (x slowest).
struct MaskVolume {
  std::vector<std::uint8_t> flags;
};

Result<DwiVolume> load_dwi(const std::string& path);
Result<std::optional<MaskVolume>> load_mask(const std::optional<std::string>& path);

struct TimedDwiLoad {
  DwiVolume volume;
  double decompress_seconds = 0.0;  // read, inflate, header interpretation
  double convert_seconds = 0.0;     // conversion of the voxel values to float32
};
Result<TimedDwiLoad> load_dwi_timed(const std::string& path);

// The grid of an image from its header alone: sizes along the three spatial axes and the affine.
struct ImageGrid {
  std::array<std::uint64_t, 3> dims{};
  Mat4 affine{};
};
Result<ImageGrid> read_image_grid(const std::string& path);

}  // namespace dirsieve
