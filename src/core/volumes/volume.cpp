#include "core/volumes/volume.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "core/util/clock.hpp"
#include "core/volumes/convert.hpp"
#include "core/volumes/nifti_reader.hpp"

namespace dirsieve {

namespace {

using volumes_detail::NiftiFile;
using volumes_detail::NiftiHeader;
using volumes_detail::RawVoxels;
using volumes_detail::Scaling;

Mat4 affine_from_header(const NiftiHeader& h) {
  Mat4 a{};
  a[3] = {0.0, 0.0, 0.0, 1.0};
  if (h.sform_code > 0) {
    for (int j = 0; j < 4; ++j) {
      a[0][j] = static_cast<double>(h.srow_x[j]);
      a[1][j] = static_cast<double>(h.srow_y[j]);
      a[2][j] = static_cast<double>(h.srow_z[j]);
    }
    return a;
  }
  const double dx = static_cast<double>(h.pixdim[1]);
  const double dy = static_cast<double>(h.pixdim[2]);
  const double dz = static_cast<double>(h.pixdim[3]);
  if (h.qform_code > 0) {
    const double b = static_cast<double>(h.quatern_b);
    const double c = static_cast<double>(h.quatern_c);
    const double d = static_cast<double>(h.quatern_d);
    const double a2 = std::max(0.0, 1.0 - ((b * b + c * c) + d * d));
    const double qa = std::sqrt(a2);
    const double r[3][3] = {
        {((qa * qa + b * b) - c * c) - d * d, 2.0 * (b * c - qa * d), 2.0 * (b * d + qa * c)},
        {2.0 * (b * c + qa * d), ((qa * qa + c * c) - b * b) - d * d, 2.0 * (c * d - qa * b)},
        {2.0 * (b * d - qa * c), 2.0 * (c * d + qa * b), ((qa * qa + d * d) - b * b) - c * c},
    };
    const double q = h.pixdim[0] < 0.0f ? -1.0 : 1.0;
    const double column_scale[3] = {dx, dy, q * dz};
    const double offset[3] = {static_cast<double>(h.qoffset_x), static_cast<double>(h.qoffset_y),
                              static_cast<double>(h.qoffset_z)};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) a[i][j] = r[i][j] * column_scale[j];
      a[i][3] = offset[i];
    }
    return a;
  }
  a[0][0] = dx;
  a[1][1] = dy;
  a[2][2] = dz;
  return a;
}

// Converts the first `count` elements of the raw voxels to float32 with the header's
// scaling; the raw bytes are released on return.
Result<std::vector<float>> to_floats(RawVoxels raw, const NiftiHeader& header, std::uint64_t count) {
  const Scaling scaling = volumes_detail::scaling_from_header(header.scl_slope, header.scl_inter);
  if (!raw.bytes) {  // float32 data was read straight into the float array
    auto* bytes = reinterpret_cast<std::uint8_t*>(raw.floats.data());
    if (raw.byte_swapped) volumes_detail::swap_bytes_in_place(bytes, count, raw.element_size);
    volumes_detail::scale_in_place(raw.floats.data(), count, scaling);
    if (count < raw.floats.size()) {
      raw.floats.resize(static_cast<std::size_t>(count));
      raw.floats.shrink_to_fit();
    }
    return std::move(raw.floats);
  }
  if (raw.byte_swapped) volumes_detail::swap_bytes_in_place(raw.bytes.get(), count, raw.element_size);
  std::vector<float> out;
  try {
    out.resize(static_cast<std::size_t>(count));
  } catch (const std::exception&) {
    return CoreError::nifti("out of memory: cannot hold " + std::to_string(count) + " float values");
  }
  volumes_detail::convert_to_float(header.datatype, raw.bytes.get(), count, out.data(), scaling);
  return out;
}

}  // namespace

Result<TimedDwiLoad> load_dwi_timed(const std::string& path) {
  Stopwatch decompress_clock;
  DS_TRY_ASSIGN(NiftiFile file, NiftiFile::open(path));
  DS_TRY_ASSIGN(RawVoxels raw, file.read_voxels());
  const NiftiHeader& header = file.header();

  TimedDwiLoad load;
  DwiVolume& volume = load.volume;
  const int rank = header.dim[0];
  volume.dims.reserve(static_cast<std::size_t>(rank));
  for (int i = 1; i <= rank; ++i) volume.dims.push_back(static_cast<std::uint64_t>(header.dim[i]));
  volume.volume_count = rank >= 4 ? volume.dims[3] : 1;
  volume.voxel_sizes = {static_cast<double>(header.pixdim[1]), static_cast<double>(header.pixdim[2]),
                        static_cast<double>(header.pixdim[3])};
  volume.affine = affine_from_header(header);
  load.decompress_seconds = decompress_clock.seconds();

  Stopwatch convert_clock;
  const std::uint64_t count = raw.element_count;
  DS_TRY_ASSIGN(volume.data, to_floats(std::move(raw), header, count));
  load.convert_seconds = convert_clock.seconds();
  return load;
}

Result<DwiVolume> load_dwi(const std::string& path) {
  DS_TRY_ASSIGN(TimedDwiLoad load, load_dwi_timed(path));
  return std::move(load.volume);
}

Result<std::optional<MaskVolume>> load_mask(const std::optional<std::string>& path) {
  if (!path.has_value()) return std::optional<MaskVolume>{};
  DS_TRY_ASSIGN(NiftiFile file, NiftiFile::open(*path));
  const NiftiHeader& header = file.header();
  const int rank = header.dim[0];
  if (rank != 3 && rank != 4) {
    return CoreError::nifti("a mask image must have 3 or 4 dimensions, not " + std::to_string(rank));
  }
  const std::uint64_t nx = static_cast<std::uint64_t>(header.dim[1]);
  const std::uint64_t ny = static_cast<std::uint64_t>(header.dim[2]);
  const std::uint64_t nz = static_cast<std::uint64_t>(header.dim[3]);
  const std::uint64_t grid = nx * ny * nz;

  DS_TRY_ASSIGN(RawVoxels raw, file.read_voxels());
  // Only the first volume of a 4-D mask is used.
  DS_TRY_ASSIGN(std::vector<float> values, to_floats(std::move(raw), header, grid));

  MaskVolume mask;
  try {
    mask.flags.resize(static_cast<std::size_t>(grid));
  } catch (const std::exception&) {
    return CoreError::nifti("out of memory: cannot hold the mask flags");
  }
  std::size_t index = 0;
  for (std::uint64_t x = 0; x < nx; ++x) {
    for (std::uint64_t y = 0; y < ny; ++y) {
      for (std::uint64_t z = 0; z < nz; ++z) {
        // NaN compares unequal to zero and so counts as set.
        mask.flags[index++] = values[(z * ny + y) * nx + x] != 0.0f ? 1 : 0;
      }
    }
  }
  return std::optional<MaskVolume>(std::move(mask));
}

Result<ImageGrid> read_image_grid(const std::string& path) {
  DS_TRY_ASSIGN(NiftiFile file, NiftiFile::open(path));
  const NiftiHeader& header = file.header();
  ImageGrid grid;
  for (int i = 0; i < 3; ++i) grid.dims[i] = header.dim[0] > i ? static_cast<std::uint64_t>(header.dim[i + 1]) : 1;
  grid.affine = affine_from_header(header);
  return grid;
}

}  // namespace dirsieve
