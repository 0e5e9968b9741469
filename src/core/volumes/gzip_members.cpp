#include "core/volumes/gzip_members.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>

#include <libdeflate.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <zlib.h>

namespace dirsieve::volumes_detail {

namespace {

constexpr std::uint8_t kFlagHeaderCrc = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kFlagReserved = 0xe0;
constexpr std::size_t kFixedHeader = 10;
constexpr std::size_t kTrailer = 8;

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The offset just past the member header at `at`, or 0 when it is malformed or cut short. The
// header is read exactly as zlib reads it (RFC 1952), including its optional CRC-16.
std::size_t member_header_end(std::span<const std::uint8_t> in, std::size_t at) {
  const std::size_t size = in.size();
  if (size - at < kFixedHeader) return 0;
  const std::uint8_t* h = in.data() + at;
  if (h[0] != 0x1f || h[1] != 0x8b || h[2] != 8 || (h[3] & kFlagReserved) != 0) return 0;
  const std::uint8_t flags = h[3];
  std::size_t pos = at + kFixedHeader;
  if (flags & kFlagExtra) {
    if (size - pos < 2) return 0;
    const std::size_t length = static_cast<std::size_t>(in[pos]) | static_cast<std::size_t>(in[pos + 1]) << 8;
    pos += 2;
    if (size - pos < length) return 0;
    pos += length;
  }
  for (std::uint8_t field : {kFlagName, kFlagComment}) {
    if ((flags & field) == 0) continue;
    while (pos < size && in[pos] != 0) ++pos;
    if (pos == size) return 0;
    ++pos;  // the terminating zero
  }
  if (flags & kFlagHeaderCrc) {
    if (size - pos < 2) return 0;
    const std::uint32_t crc = libdeflate_crc32(0, h, pos - at);
    const std::uint32_t stored = static_cast<std::uint32_t>(in[pos]) | static_cast<std::uint32_t>(in[pos + 1]) << 8;
    if ((crc & 0xffffu) != stored) return 0;
    pos += 2;
  }
  return pos;
}

// CRC-32 of a member's output. A large one is checked in pieces on the current arena's workers,
// whose CRCs are then chained.
std::uint32_t crc_of(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kMinPiece = std::size_t{4} << 20;
  constexpr std::size_t kMaxPieces = 64;
  const std::size_t pieces = std::min(kMaxPieces, size / kMinPiece);
  if (pieces < 2) return libdeflate_crc32(0, data, size);
  const std::size_t piece = size / pieces;  // the last piece also takes the remainder
  auto length_of = [&](std::size_t i) { return i + 1 == pieces ? size - i * piece : piece; };
  std::array<std::uint32_t, kMaxPieces> crcs{};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces, 1), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) crcs[i] = libdeflate_crc32(0, data + i * piece, length_of(i));
  });
  uLong crc = crcs[0];
  for (std::size_t i = 1; i < pieces; ++i) crc = crc32_combine(crc, crcs[i], static_cast<z_off_t>(length_of(i)));
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

bool inflate_gzip_members(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  std::size_t in_pos = 0;
  std::size_t out_pos = 0;
  for (;;) {
    const std::size_t data_start = member_header_end(in, in_pos);
    if (data_start == 0) return false;
    std::size_t consumed = 0;
    std::size_t produced = 0;
    // Each member is its own deflate stream: back-references cannot reach the previous member's
    // output, since the output window handed over starts at this member.
    const libdeflate_result rc =
        libdeflate_deflate_decompress_ex(decompressor.get(), in.data() + data_start, in.size() - data_start,
                                         out.data() + out_pos, out.size() - out_pos, &consumed, &produced);
    if (rc != LIBDEFLATE_SUCCESS) return false;
    const std::size_t trailer = data_start + consumed;
    if (in.size() - trailer < kTrailer) return false;
    const std::uint32_t crc = crc_of(out.data() + out_pos, produced);
    if (crc != le32(in.data() + trailer) || static_cast<std::uint32_t>(produced) != le32(in.data() + trailer + 4)) {
      return false;
    }
    out_pos += produced;
    in_pos = trailer + kTrailer;
    if (out_pos == out.size()) return true;
    // More data is needed: only another member can hold it.
    if (in_pos == in.size()) return false;
  }
}

}  // namespace dirsieve::volumes_detail
