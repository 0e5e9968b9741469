// Reading of NIfTI-1 single-file images (plain or gzip-compressed) into raw voxel bytes.
// Private to the volumes unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/util/page_memory.hpp"
#include "core/util/result.hpp"

namespace dirsieve::volumes_detail {

// The header fields the loaders use, in native byte order, exactly as stored.
struct NiftiHeader {
  std::array<std::int16_t, 8> dim{};
  std::array<float, 8> pixdim{};
  std::int16_t datatype = 0;
  float vox_offset = 0.0f;
  float scl_slope = 0.0f;
  float scl_inter = 0.0f;
  std::int16_t qform_code = 0;
  std::int16_t sform_code = 0;
  float quatern_b = 0.0f;
  float quatern_c = 0.0f;
  float quatern_d = 0.0f;
  float qoffset_x = 0.0f;
  float qoffset_y = 0.0f;
  float qoffset_z = 0.0f;
  std::array<float, 4> srow_x{};
  std::array<float, 4> srow_y{};
  std::array<float, 4> srow_z{};
};

// Voxel bytes as read from the file, in the file's byte order. Float32 images land in `floats`
// (so the conversion can work in place); every other type lands in `bytes`. In either storage the
// voxels start `offset` bytes in: a decompressed image keeps the bytes that precede its voxels in
// the stream, so that it is inflated into one buffer.
struct RawVoxels {
  std::uint64_t element_count = 0;
  std::size_t element_size = 0;
  bool byte_swapped = false;  // file byte order differs from the machine's
  PageBuffer bytes;
  std::vector<float> floats;
  std::size_t offset = 0;

  std::uint8_t* voxels() {
    return (bytes.data() != nullptr ? bytes.data() : reinterpret_cast<std::uint8_t*>(floats.data())) + offset;
  }
};

// How a gzip-compressed image is inflated.
enum class InflatePath {
  WholeBuffer,  // libdeflate into one buffer, with the streaming decoder for whatever it leaves undecided
  Streaming,    // zlib only, front to back
};

class InputStream;

// An opened image whose header has been read and validated; the voxel data is read on demand.
class NiftiFile {
 public:
  // Opens the file, reads and validates the header (magic, byte order, dimensions, data
  // type) and checks that the file can hold the voxel data it claims.
  static Result<NiftiFile> open(const std::string& path);

  NiftiFile(NiftiFile&&) noexcept;
  NiftiFile& operator=(NiftiFile&&) noexcept;
  ~NiftiFile();

  const NiftiHeader& header() const { return header_; }
  bool byte_swapped() const { return byte_swapped_; }
  std::uint64_t element_count() const { return element_count_; }
  std::size_t element_size() const { return element_size_; }

  // Reads all voxel bytes in one pass; may be called once. The inflate path is a choice for tests:
  // both give the same bytes for every file the streaming decoder accepts.
  Result<RawVoxels> read_voxels(InflatePath path = InflatePath::WholeBuffer);

 private:
  NiftiFile() = default;

  std::unique_ptr<InputStream> stream_;
  NiftiHeader header_;
  bool byte_swapped_ = false;
  std::uint64_t data_offset_ = 0;
  std::uint64_t element_count_ = 0;
  std::size_t element_size_ = 0;
};

// Bytes per element of a supported datatype code; 0 for codes the loaders cannot convert.
std::size_t element_size_of(int datatype);

}  // namespace dirsieve::volumes_detail
