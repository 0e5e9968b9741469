// load_dwi and load_mask on arbitrary files. The low two bits of the first input byte pick the
// container: 0 and 2 write the rest as stored (a gzip stream among them is still detected by its
// magic), 1 gzips it in one member, 3 writes gzip members under the control of the next two bytes
// (member count and split, optional header fields, damaged trailers, truncation, data after the
// image), so that header and voxel mutations also reach both decompressing paths. For every gzip
// file the whole-buffer decoder must agree with the streaming decoder: same bytes, or both fail.
#include <cstdlib>
#include <cstring>
#include <string>
#include <zlib.h>

#include "core/volumes/nifti_reader.hpp"
#include "core/volumes/volume.hpp"
#include "fuzz_input_file.hpp"

namespace {

using dirsieve::volumes_detail::InflatePath;
using dirsieve::volumes_detail::NiftiFile;
using dirsieve::volumes_detail::RawVoxels;

// Raw deflate data of `data` at the given level.
std::string deflate_raw(const std::uint8_t* data, std::size_t size, int level) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&zs, size) + 64, '\0');
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void put_le32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

struct MemberOptions {
  bool header_fields = false;  // FEXTRA, FNAME, FCOMMENT and FHCRC
  int level = 6;
  std::uint32_t crc_flip = 0;
  std::uint32_t size_delta = 0;
};

std::string gzip_member(const std::uint8_t* data, std::size_t size, const MemberOptions& o) {
  std::string out = {'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', '\x00', '\x03'};
  if (o.header_fields) {
    out[3] = 0x04 | 0x08 | 0x10 | 0x02;
    out += std::string("\x03\x00" "abc", 5);
    out += std::string("name.nii\0", 9);
    out += std::string("comment\0", 8);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
    out.push_back(static_cast<char>(crc & 0xff));
    out.push_back(static_cast<char>((crc >> 8) & 0xff));
  }
  out += deflate_raw(data, size, o.level);
  put_le32(out, static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size))) ^ o.crc_flip);
  put_le32(out, static_cast<std::uint32_t>(size) + o.size_delta);
  return out;
}

// Mode 3: options byte, parameter byte, then the uncompressed file.
std::string gzip_members(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return std::string(reinterpret_cast<const char*>(data), size);
  const std::uint8_t options = data[0];
  const std::uint8_t parameter = data[1];
  data += 2;
  size -= 2;
  const std::size_t members = 1 + (options & 3);
  MemberOptions o;
  o.header_fields = (options & 4) != 0;
  o.level = (options & 0x80) ? 0 : 1 + parameter % 9;
  // The first cut may fall inside the NIfTI header; the rest are even.
  std::size_t cuts[5] = {0};
  cuts[members] = size;
  if (members > 1) cuts[1] = std::min<std::size_t>(size, static_cast<std::size_t>(parameter) * 4);
  for (std::size_t m = 2; m < members; ++m) cuts[m] = cuts[1] + (size - cuts[1]) * (m - 1) / (members - 1);
  std::string out;
  for (std::size_t m = 0; m < members; ++m) {
    MemberOptions member = o;
    if (m + 1 == members) {
      member.size_delta = (options & 8) ? 1 : 0;
      member.crc_flip = (options & 16) ? 1 : 0;
    }
    out += gzip_member(data + cuts[m], cuts[m + 1] - cuts[m], member);
  }
  if (options & 0x40) {
    // Data after the image: another member, then bytes that are no member at all.
    static const std::uint8_t kTail[] = {1, 2, 3, 4, 5, 6, 7, 8};
    out += gzip_member(kTail, sizeof kTail, o);
    out += "junk";
  }
  if (options & 0x20) out.resize(out.size() - std::min<std::size_t>(out.size(), 1 + parameter % 16));
  return out;
}

void check_dwi(const std::string& path) {
  auto dwi = dirsieve::load_dwi(path);
  if (!dwi.ok()) {
    if (dwi.error().display().rfind("NIfTI error: ", 0) != 0) std::abort();
    return;
  }
  std::uint64_t count = 1;
  for (auto d : dwi->dims) count *= d;
  if (dwi->dims.empty() || dwi->dims.size() > 7 || dwi->data.size() != count) std::abort();
  if (dwi->volume_count != (dwi->dims.size() >= 4 ? dwi->dims[3] : 1)) std::abort();
  // Touch the last element through the logical index, as the consumers do.
  volatile float last = dwi->at(dwi->nx() - 1, dwi->ny() - 1, dwi->nz() - 1, dwi->volume_count - 1);
  (void)last;
}

void check_mask(const std::string& path) {
  auto mask = dirsieve::load_mask(path);
  if (!mask.ok()) {
    if (mask.error().display().rfind("NIfTI error: ", 0) != 0) std::abort();
    return;
  }
  if (!mask->has_value()) std::abort();
  for (auto flag : (*mask)->flags) {
    if (flag > 1) std::abort();
  }
}

// The raw voxel bytes by one inflate path, or an empty result when the file is refused.
bool read_raw(const std::string& path, InflatePath inflate, std::string& bytes) {
  auto file = NiftiFile::open(path);
  if (!file.ok()) return false;
  auto raw = file->read_voxels(inflate);
  if (!raw.ok()) return false;
  bytes.assign(reinterpret_cast<const char*>(raw->voxels()), raw->element_count * raw->element_size);
  return true;
}

void check_paths_agree(const std::string& path) {
  std::string whole, streamed;
  const bool whole_ok = read_raw(path, InflatePath::WholeBuffer, whole);
  const bool streamed_ok = read_raw(path, InflatePath::Streaming, streamed);
  if (whole_ok != streamed_ok || whole != streamed) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string path;
  switch (data[0] & 3) {
    case 1: {
      MemberOptions fast;
      fast.level = 1;
      path = dirsieve_fuzz::write_input(".nii.gz", gzip_member(data + 1, size - 1, fast));
      break;
    }
    case 3:
      path = dirsieve_fuzz::write_input(".nii.gz", gzip_members(data + 1, size - 1));
      break;
    default:
      path = dirsieve_fuzz::write_input(".nii", data + 1, size - 1);
      break;
  }
  check_dwi(path);
  check_mask(path);
  check_paths_agree(path);
  return 0;
}
