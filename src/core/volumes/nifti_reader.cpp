#include "core/volumes/nifti_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <nifti1_io.h>
#include <oneapi/tbb/task_group.h>

#include "core/util/page_memory.hpp"
#include "core/volumes/gzip_members.hpp"

namespace dirsieve::volumes_detail {

namespace {

constexpr std::size_t kHeaderSize = 348;
constexpr std::uint64_t kMinSingleFileOffset = 352;
// zlib counts its input in 32-bit units; the mapped file is handed over in pieces of this size.
constexpr std::size_t kInputChunk = std::size_t{1} << 30;
// The voxels of a decompressed image start on a cache line, whatever the header's offset.
constexpr std::size_t kVoxelAlignment = 64;
// Deflate cannot expand data by more than about 1032:1; a header claiming more voxel
// bytes than that bound allows is truncated or corrupt, and is rejected before allocating.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateSlack = std::uint64_t{1} << 16;

static_assert(sizeof(nifti_1_header) == kHeaderSize, "nifti_1_header must be the 348-byte on-disk layout");

CoreError os_failure(const char* what, int error_number) {
  return CoreError::nifti(std::string(what) + ": " + os_error_text(error_number));
}

std::int32_t swapped32(std::int32_t v) {
  return static_cast<std::int32_t>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
}

}  // namespace

// A file read front to back, either as stored or through a gzip decoder. A gzip file is mapped
// into memory: the whole-buffer decoder inflates it in one go, and the streaming decoder (zlib)
// reads the header from it and takes over whenever the whole-buffer decoder cannot decide.
class InputStream {
 public:
  static Result<std::unique_ptr<InputStream>> open(const std::string& path) {
    auto stream = std::make_unique<InputStream>();
    stream->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (stream->fd_ < 0) return os_failure("cannot open image file", errno);
    struct stat info {};
    if (::fstat(stream->fd_, &info) != 0) return os_failure("cannot read image file", errno);
    if (S_ISDIR(info.st_mode)) return os_failure("cannot read image file", EISDIR);
    if (!S_ISREG(info.st_mode)) return CoreError::nifti("cannot read image file: not a regular file");
    stream->file_size_ = static_cast<std::uint64_t>(info.st_size);

    // The content decides, not the name: a NIfTI-1 file starts with its header size field
    // (never 0x1f 0x8b), a gzip stream with that magic.
    unsigned char magic[2] = {0, 0};
    ssize_t got;
    do {
      got = ::pread(stream->fd_, magic, sizeof magic, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return os_failure("cannot read image file", errno);
    if (got == 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
      auto mapped = MappedFile::map(stream->fd_, stream->file_size_);
      if (!mapped) return CoreError::nifti(mapped.error().text());
      stream->mapped_ = std::move(mapped).value();
      DS_TRY(stream->start_inflate());
    }
    return stream;
  }

  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;
  ~InputStream() {
    if (inflating_) inflateEnd(&zs_);
    if (fd_ >= 0) ::close(fd_);
  }

  bool compressed() const { return inflating_; }
  std::uint64_t file_size() const { return file_size_; }
  // The whole gzip file; empty for a file read as stored.
  std::span<const std::uint8_t> compressed_bytes() const { return mapped_.bytes(); }

  // Reads up to n bytes; fewer only when the data ends first.
  Result<std::size_t> read(std::uint8_t* dst, std::size_t n) {
    return inflating_ ? read_compressed(dst, n) : read_plain(dst, n);
  }

  Result<std::size_t> skip(std::uint64_t n) {
    if (!inflating_) {
      std::uint64_t position = position_;
      std::uint64_t target = std::min(file_size_, position + n);
      if (::lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) return os_failure("cannot read image file", errno);
      position_ = target;
      return static_cast<std::size_t>(target - position);
    }
    std::uint8_t scratch[4096];
    std::uint64_t done = 0;
    while (done < n) {
      std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof scratch, n - done));
      DS_TRY_ASSIGN(std::size_t got, read_compressed(scratch, want));
      done += got;
      if (got < want) break;
    }
    return static_cast<std::size_t>(done);
  }

  // For gzip input: decodes to the end of the current member so that its length and CRC
  // are verified; any data past the image is discarded.
  Result<void> finish() {
    if (!inflating_) return {};
    std::uint8_t scratch[16384];
    while (!member_ended_) {
      if (zs_.avail_in == 0 && !input_eof_) DS_TRY(refill());
      if (zs_.avail_in == 0) {
        return CoreError::nifti("truncated gzip stream: the file ends before the end of the compressed data");
      }
      DS_TRY(inflate_step(scratch, sizeof scratch));
    }
    return {};
  }

  InputStream() = default;

 private:
  Result<void> start_inflate() {
    std::memset(&zs_, 0, sizeof zs_);
    if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) return CoreError::nifti("cannot initialise the gzip decoder");
    inflating_ = true;
    return {};
  }

  Result<std::size_t> read_plain(std::uint8_t* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      std::size_t want = std::min<std::size_t>(n - done, std::size_t{1} << 30);
      ssize_t got = ::read(fd_, dst + done, want);
      if (got < 0) {
        if (errno == EINTR) continue;
        return os_failure("cannot read image file", errno);
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    position_ += done;
    return done;
  }

  Result<void> refill() {
    const std::span<const std::uint8_t> all = mapped_.bytes();
    const std::size_t piece = std::min(kInputChunk, all.size() - mapped_position_);
    if (piece == 0) input_eof_ = true;
    zs_.next_in = const_cast<Bytef*>(all.data() + mapped_position_);
    zs_.avail_in = static_cast<uInt>(piece);
    mapped_position_ += piece;
    return {};
  }

  // One decoding call with input available and room for output; returns the bytes produced.
  Result<std::size_t> inflate_step(std::uint8_t* dst, std::size_t n) {
    zs_.next_out = dst;
    zs_.avail_out = static_cast<uInt>(std::min<std::size_t>(n, std::size_t{1} << 30));
    uInt before = zs_.avail_out;
    int rc = ::inflate(&zs_, Z_NO_FLUSH);
    std::size_t produced = before - zs_.avail_out;
    switch (rc) {
      case Z_OK:
        return produced;
      case Z_STREAM_END:
        member_ended_ = true;
        return produced;
      case Z_BUF_ERROR:
        // Needs more input than is buffered; the caller refills.
        if (zs_.avail_in != 0) return CoreError::nifti("corrupt gzip stream");
        return produced;
      case Z_MEM_ERROR:
        return CoreError::nifti("out of memory while decompressing");
      default:
        return CoreError::nifti(std::string("corrupt gzip stream: ") +
                                (zs_.msg != nullptr ? zs_.msg : "invalid compressed data"));
    }
  }

  Result<std::size_t> read_compressed(std::uint8_t* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      if (zs_.avail_in == 0 && !input_eof_) DS_TRY(refill());
      if (zs_.avail_in == 0) break;  // end of file
      if (member_ended_) {
        // Concatenated gzip members continue the data; anything else ends it.
        if (zs_.next_in[0] != 0x1f) break;
        if (inflateReset(&zs_) != Z_OK) return CoreError::nifti("corrupt gzip stream");
        member_ended_ = false;
      }
      DS_TRY_ASSIGN(std::size_t got, inflate_step(dst + done, n - done));
      done += got;
    }
    return done;
  }

  int fd_ = -1;
  std::uint64_t file_size_ = 0;
  std::uint64_t position_ = 0;
  bool inflating_ = false;
  bool member_ended_ = false;
  bool input_eof_ = false;
  z_stream zs_{};
  MappedFile mapped_;
  std::size_t mapped_position_ = 0;
};

std::size_t element_size_of(int datatype) {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8:
      return 1;
    case DT_INT16:
    case DT_UINT16:
      return 2;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT32:
      return 4;
    case DT_FLOAT64:
    case DT_INT64:
    case DT_UINT64:
      return 8;
    default:
      return 0;
  }
}

namespace {

CoreError inconsistent_dim(int value, int index, const char* reason) {
  return CoreError::nifti("Inconsistent value `" + std::to_string(value) + "` in header field dim[" +
                          std::to_string(index) + "] (" + reason + ")");
}

Result<void> validate_dims(const std::array<std::int16_t, 8>& dim) {
  int rank = dim[0];
  if (rank > 7) return inconsistent_dim(rank, 0, "must not be higher than 7");
  if (rank < 1) return inconsistent_dim(rank, 0, "must be positive");
  for (int i = 1; i <= rank; ++i) {
    if (dim[i] <= 0) return inconsistent_dim(dim[i], i, "must be positive");
  }
  return {};
}

Result<void> check_datatype(int datatype) {
  if (element_size_of(datatype) != 0) return {};
  switch (datatype) {
    case DT_COMPLEX64:
    case DT_COMPLEX128:
    case DT_COMPLEX256:
      return CoreError::nifti("Unsupported data type: complex images (datatype " + std::to_string(datatype) +
                              ") cannot be loaded as real values");
    case DT_RGB24:
    case DT_RGBA32:
      return CoreError::nifti("Unsupported data type: RGB images (datatype " + std::to_string(datatype) +
                              ") cannot be loaded as real values");
    default:
      return CoreError::nifti("Unsupported data type");
  }
}

NiftiHeader interpret(const nifti_1_header& h) {
  NiftiHeader out;
  std::copy(std::begin(h.dim), std::end(h.dim), out.dim.begin());
  std::copy(std::begin(h.pixdim), std::end(h.pixdim), out.pixdim.begin());
  out.datatype = h.datatype;
  out.vox_offset = h.vox_offset;
  out.scl_slope = h.scl_slope;
  out.scl_inter = h.scl_inter;
  out.qform_code = h.qform_code;
  out.sform_code = h.sform_code;
  out.quatern_b = h.quatern_b;
  out.quatern_c = h.quatern_c;
  out.quatern_d = h.quatern_d;
  out.qoffset_x = h.qoffset_x;
  out.qoffset_y = h.qoffset_y;
  out.qoffset_z = h.qoffset_z;
  std::copy(std::begin(h.srow_x), std::end(h.srow_x), out.srow_x.begin());
  std::copy(std::begin(h.srow_y), std::end(h.srow_y), out.srow_y.begin());
  std::copy(std::begin(h.srow_z), std::end(h.srow_z), out.srow_z.begin());
  return out;
}

}  // namespace

NiftiFile::NiftiFile(NiftiFile&&) noexcept = default;
NiftiFile& NiftiFile::operator=(NiftiFile&&) noexcept = default;
NiftiFile::~NiftiFile() = default;

Result<NiftiFile> NiftiFile::open(const std::string& path) {
  DS_TRY_ASSIGN(std::unique_ptr<InputStream> stream, InputStream::open(path));

  nifti_1_header raw;
  DS_TRY_ASSIGN(std::size_t got, stream->read(reinterpret_cast<std::uint8_t*>(&raw), kHeaderSize));
  if (got == 0) return CoreError::nifti("not a NIfTI-1 file: the file is empty");
  if (got < kHeaderSize) {
    return CoreError::nifti("not a NIfTI-1 file: it ends before the 348-byte header is complete");
  }

  bool swapped = false;
  if (raw.sizeof_hdr != static_cast<int>(kHeaderSize)) {
    if (swapped32(raw.sizeof_hdr) == static_cast<int>(kHeaderSize)) {
      swapped = true;
    } else if (raw.sizeof_hdr == 540 || swapped32(raw.sizeof_hdr) == 540) {
      return CoreError::nifti("NIfTI-2 images are not supported (only NIfTI-1)");
    } else {
      return CoreError::nifti("not a NIfTI-1 file: header size field is " + std::to_string(raw.sizeof_hdr) +
                              ", expected 348");
    }
  }
  if (std::memcmp(raw.magic, "ni1", 4) == 0) {
    return CoreError::nifti("separate header/image pairs (magic \"ni1\") are not supported; use a single .nii file");
  }
  if (std::memcmp(raw.magic, "n+1", 4) != 0) {
    return CoreError::nifti("not a NIfTI-1 file: magic is not \"n+1\"");
  }
  if (swapped) swap_nifti_header(&raw, 1);

  NiftiFile file;
  file.header_ = interpret(raw);
  file.byte_swapped_ = swapped;
  DS_TRY(validate_dims(file.header_.dim));
  DS_TRY(check_datatype(file.header_.datatype));
  file.element_size_ = element_size_of(file.header_.datatype);

  std::uint64_t count = 1;
  for (int i = 1; i <= file.header_.dim[0]; ++i) {
    if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(file.header_.dim[i]), &count)) {
      return CoreError::nifti("image dimensions are too large");
    }
  }
  std::uint64_t data_bytes = 0;
  if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(file.element_size_), &data_bytes) ||
      data_bytes > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
    return CoreError::nifti("image dimensions are too large");
  }
  file.element_count_ = count;

  // A single-file image keeps its voxels after the header and the 4 extension bytes; an
  // offset below that (0 is common in files from old tools) means "right after them".
  float stored_offset = file.header_.vox_offset;
  if (!(stored_offset >= static_cast<float>(kMinSingleFileOffset))) {
    file.data_offset_ = kMinSingleFileOffset;
  } else if (stored_offset > 9.0e15f) {
    return CoreError::nifti("invalid vox_offset in header");
  } else {
    file.data_offset_ = static_cast<std::uint64_t>(stored_offset);
  }

  std::uint64_t needed = file.data_offset_ + data_bytes;
  if (stream->compressed()) {
    std::uint64_t bound = stream->file_size() * kMaxInflateRatio + kInflateSlack;
    if (needed > bound) {
      return CoreError::nifti("truncated or corrupt file: the header claims " + std::to_string(data_bytes) +
                              " bytes of voxel data, more than a " + std::to_string(stream->file_size()) +
                              "-byte gzip file can hold");
    }
  } else if (needed > stream->file_size()) {
    return CoreError::nifti("truncated file: the header needs " + std::to_string(data_bytes) +
                            " bytes of voxel data from offset " + std::to_string(file.data_offset_) +
                            " but the file has " + std::to_string(stream->file_size()) + " bytes");
  }
  file.stream_ = std::move(stream);
  return file;
}

Result<RawVoxels> NiftiFile::read_voxels(InflatePath path) {
  if (!stream_) return CoreError::nifti("image data already read");
  // The stream (and with it the mapped gzip file) is released on return, before the caller
  // allocates the float array.
  std::unique_ptr<InputStream> stream = std::move(stream_);

  RawVoxels voxels;
  voxels.element_count = element_count_;
  voxels.element_size = element_size_;
  voxels.byte_swapped = byte_swapped_;
  const std::size_t data_bytes = static_cast<std::size_t>(element_count_) * element_size_;
  // A compressed image is inflated from the start of the stream to the end of its voxels; the open
  // check bounds that by the file size. A plain file is read from the voxels on.
  const bool whole_buffer = stream->compressed();
  const std::size_t prefix = whole_buffer ? static_cast<std::size_t>(data_offset_) : 0;
  const std::size_t lead = whole_buffer ? (kVoxelAlignment - prefix % kVoxelAlignment) % kVoxelAlignment : 0;
  const std::size_t stored = prefix + data_bytes;
  if (header_.datatype == DT_FLOAT32) {
    try {
      const std::size_t floats = (stored + sizeof(float) - 1) / sizeof(float);
      voxels.floats.reserve(floats);
      advise_huge_pages(voxels.floats.data(), floats * sizeof(float));
      prefault(voxels.floats.data(), floats * sizeof(float));
      voxels.floats.resize(floats);
    } catch (const std::exception&) {
      return CoreError::nifti("out of memory: cannot hold " + std::to_string(data_bytes) + " bytes of voxel data");
    }
  } else {
    auto buffer = PageBuffer::allocate(lead + stored);
    if (!buffer) {
      return CoreError::nifti("out of memory: cannot hold " + std::to_string(data_bytes) + " bytes of voxel data");
    }
    voxels.bytes = std::move(buffer).value();
  }
  std::uint8_t* begin = voxels.bytes.data() != nullptr ? voxels.bytes.data() + lead
                                                       : reinterpret_cast<std::uint8_t*>(voxels.floats.data());
  voxels.offset = (voxels.bytes.data() != nullptr ? lead : 0) + prefix;

  if (whole_buffer && path == InflatePath::WholeBuffer) {
    // The inflater fills the fresh buffer from the front; another worker backs it with memory
    // from the back meanwhile, so that few of its pages are first touched by the inflater.
    tbb::task_group prefaulting;
    if (voxels.bytes.data() != nullptr) prefaulting.run([&] { prefault_backwards(begin, stored); });
    const bool inflated = inflate_gzip_members(stream->compressed_bytes(), std::span<std::uint8_t>(begin, stored));
    prefaulting.wait();
    if (inflated) return voxels;
  }

  // The streaming decoder reads plain files and settles every gzip file the whole-buffer decoder
  // left open: it accepts exactly what it always accepted, and names what is wrong with the rest.
  DS_TRY_ASSIGN(std::size_t skipped, stream->skip(data_offset_ - kHeaderSize));
  if (skipped < data_offset_ - kHeaderSize) {
    return CoreError::nifti("truncated file: it ends before the voxel data starts");
  }
  DS_TRY_ASSIGN(std::size_t got, stream->read(begin + prefix, data_bytes));
  if (got < data_bytes) {
    return CoreError::nifti(std::string(stream->compressed() ? "truncated gzip stream" : "truncated file") +
                            ": got " + std::to_string(got) + " of " + std::to_string(data_bytes) +
                            " bytes of voxel data");
  }
  DS_TRY(stream->finish());
  return voxels;
}

}  // namespace dirsieve::volumes_detail
