// The whole-buffer gzip decoder and the parallel float conversion, checked against zlib's output and
// against a plain element-by-element conversion on files and arrays the tests generate.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>
#include <unistd.h>
#include <zlib.h>

#include <nifti1_io.h>
#include <oneapi/tbb/task_arena.h>

#include "core/util/page_memory.hpp"
#include "core/volumes/convert.hpp"
#include "core/volumes/gzip_members.hpp"
#include "core/volumes/nifti_reader.hpp"
#include "core/volumes/volume.hpp"
#include "test_support.hpp"

namespace {

using dirsieve::volumes_detail::ConvertKernels;
using dirsieve::volumes_detail::InflatePath;
using dirsieve::volumes_detail::NiftiFile;
using dirsieve::volumes_detail::Scaling;

std::span<const std::uint8_t> bytes_view(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Raw deflate data of `data` written by zlib.
std::string deflate_raw(const std::string& data, int level) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, data.size()) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void put_le32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint32_t crc_of(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// One gzip member as RFC 1952 lays it out; `fields` adds the optional extra field, name, comment
// and header CRC.
std::string member(const std::string& data, bool fields = false, int level = 6) {
  std::string out = {'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', '\x00', '\x03'};
  if (fields) {
    out[3] = 0x02 | 0x04 | 0x08 | 0x10;
    out += std::string("\x04\x00" "ab\x00" "c", 6);
    out += std::string("dwi.nii\0", 8);
    out += std::string("written by a test\0", 18);
    const std::uint32_t crc = crc_of(out);
    out.push_back(static_cast<char>(crc & 0xff));
    out.push_back(static_cast<char>((crc >> 8) & 0xff));
  }
  out += deflate_raw(data, level);
  put_le32(out, crc_of(data));
  put_le32(out, static_cast<std::uint32_t>(data.size()));
  return out;
}

// Everything zlib's gzip reader makes of a file: the members' data, one after the other.
std::string zlib_gunzip(const std::string& file) {
  std::string out;
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 16 + MAX_WBITS), Z_OK);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data()));
  zs.avail_in = static_cast<uInt>(file.size());
  std::string chunk(1 << 16, '\0');
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(chunk.data());
    zs.avail_out = static_cast<uInt>(chunk.size());
    int rc = inflate(&zs, Z_NO_FLUSH);
    out.append(chunk.data(), chunk.size() - zs.avail_out);
    if (rc == Z_STREAM_END) {
      if (zs.avail_in == 0) break;
      EXPECT_EQ(inflateReset(&zs), Z_OK);
      continue;
    }
    EXPECT_EQ(rc, Z_OK);
    if (rc != Z_OK) break;
  }
  inflateEnd(&zs);
  return out;
}

std::string pseudo_random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  // Runs and repeats as well as noise, so that the data has matches for the compressor to find.
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((rng() % 4 == 0) ? rng() : (i / 7) % 251);
  return out;
}

bool inflates_to(const std::string& file, const std::string& expected) {
  std::vector<std::uint8_t> out(expected.size(), 0xAA);
  const bool ok = dirsieve::volumes_detail::inflate_gzip_members(bytes_view(file), out);
  return ok && std::memcmp(out.data(), expected.data(), expected.size()) == 0;
}

bool refused(const std::string& file, std::size_t out_size) {
  std::vector<std::uint8_t> out(out_size);
  return !dirsieve::volumes_detail::inflate_gzip_members(bytes_view(file), out);
}

// ---------------------------------------------------------------- the whole-buffer decoder

TEST(GzipMembers, SingleAndConcatenatedMembersMatchZlib) {
  const std::string data = pseudo_random_bytes(300000, 1);
  for (int level : {0, 1, 6, 9}) {
    const std::string single = member(data, false, level);
    EXPECT_EQ(zlib_gunzip(single), data);
    EXPECT_TRUE(inflates_to(single, data)) << "level " << level;
  }
  // Cuts anywhere, empty members, and header fields on some members.
  const std::string several = member(data.substr(0, 3)) + member("") + member(data.substr(3, 100000), true) +
                              member(data.substr(100003, 1), true, 0) + member(data.substr(100004));
  EXPECT_EQ(zlib_gunzip(several), data);
  EXPECT_TRUE(inflates_to(several, data));
  // What follows the member that completes the output is not read.
  EXPECT_TRUE(inflates_to(member(data) + member("more") + "not gzip", data));
  EXPECT_TRUE(inflates_to(member(data) + "\x1f", data));
}

TEST(GzipMembers, AnythingUnsettledIsLeftToTheStreamingDecoder) {
  const std::string data = pseudo_random_bytes(50000, 2);
  const std::string good = member(data);
  const std::size_t n = data.size();

  // More data than the output holds, or less.
  EXPECT_TRUE(refused(good, n - 1));
  EXPECT_TRUE(refused(good, n + 1));
  EXPECT_TRUE(refused(member(data.substr(0, 100)) + "junk" + member(data.substr(100)), n));
  // Cut short in the header, the deflate data and the trailer.
  for (std::size_t keep : {std::size_t{0}, std::size_t{5}, good.size() / 2, good.size() - 5, good.size() - 1}) {
    EXPECT_TRUE(refused(good.substr(0, keep), n)) << keep;
  }
  const std::string fields = member(data, true);
  EXPECT_TRUE(refused(fields.substr(0, 20), n));
  // Damaged trailer: CRC, then length.
  for (std::size_t from_end : {8u, 1u}) {
    std::string bad = good;
    bad[bad.size() - from_end] ^= 0x01;
    EXPECT_TRUE(refused(bad, n)) << from_end;
  }
  // Damaged header: magic, method, reserved flags, header CRC.
  for (std::size_t at : {1u, 2u, 3u}) {
    std::string bad = good;
    bad[at] = static_cast<char>(at == 3 ? 0x20 : 0x07);
    EXPECT_TRUE(refused(bad, n)) << at;
  }
  std::string bad_header_crc = fields;
  bad_header_crc[fields.find("test") + 6] ^= 0x01;
  EXPECT_TRUE(refused(bad_header_crc, n));
  EXPECT_TRUE(inflates_to(fields, data));
  // Corrupt deflate data (a reserved block type).
  std::string bad_block = good;
  bad_block[10] = static_cast<char>(0x07);
  EXPECT_TRUE(refused(bad_block, n));
}

TEST(GzipMembers, MembersLongerThanFourGibibytes) {
  // A single member of 4 GiB + 64 MiB of zeros: its trailer holds the length mod 2^32. The deflate
  // data is 65 copies of one fully flushed 64 MiB run, so the file stays a few megabytes. Inflating
  // and checking 4 GiB takes several seconds, so the suite runs it on request only.
  if (std::getenv("DIRSIEVE_LARGE_TESTS") == nullptr) GTEST_SKIP() << "set DIRSIEVE_LARGE_TESTS=1 to run";
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || static_cast<double>(pages) * page < 8.0 * (1ull << 30)) GTEST_SKIP() << "needs 8 GiB free";
  constexpr std::size_t kRun = std::size_t{64} << 20;
  constexpr std::size_t kRuns = 65;
  const std::string zeros(kRun, '\0');
  z_stream zs{};
  ASSERT_EQ(deflateInit2(&zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  auto flush_run = [&](int mode, const std::string& input) {
    std::string out(deflateBound(&zs, input.size()) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_NE(deflate(&zs, mode), Z_STREAM_ERROR);
    out.resize(out.size() - zs.avail_out);
    return out;
  };
  const std::string first = flush_run(Z_FULL_FLUSH, zeros);
  const std::string again = flush_run(Z_FULL_FLUSH, zeros);
  ASSERT_EQ(first, again);  // a full flush forgets the history, so every run compresses alike
  const std::string last = flush_run(Z_FINISH, "");
  deflateEnd(&zs);

  std::string file = {'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', '\x00', '\x03'};
  for (std::size_t r = 0; r < kRuns; ++r) file += first;
  file += last;
  const uLong run_crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(kRun));
  uLong crc = run_crc;
  for (std::size_t r = 1; r < kRuns; ++r) crc = crc32_combine(crc, run_crc, static_cast<z_off_t>(kRun));
  put_le32(file, static_cast<std::uint32_t>(crc));
  put_le32(file, static_cast<std::uint32_t>(kRuns * kRun));  // 64 MiB: the length mod 2^32

  auto out = dirsieve::PageBuffer::allocate(kRuns * kRun);
  ASSERT_TRUE(out.ok());
  std::uint8_t* p = out->data();
  p[0] = p[kRuns * kRun - 1] = 0x55;
  EXPECT_TRUE(dirsieve::volumes_detail::inflate_gzip_members(bytes_view(file), {p, kRuns * kRun}));
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[kRuns * kRun - 1], 0);
  // A buffer 4 GiB shorter gets the same length mod 2^32 but is refused all the same.
  EXPECT_FALSE(dirsieve::volumes_detail::inflate_gzip_members(bytes_view(file), {p, kRun}));
}

// ---------------------------------------------------------------- whole images

nifti_1_header make_header(const std::vector<int>& dims, int datatype, float vox_offset) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(dims.size());
  for (std::size_t i = 0; i < dims.size(); ++i) h.dim[i + 1] = static_cast<short>(dims[i]);
  for (int i = 0; i < 8; ++i) h.pixdim[i] = 1.0f;
  h.datatype = static_cast<short>(datatype);
  h.vox_offset = vox_offset;
  std::memcpy(h.magic, "n+1", 4);
  return h;
}

// An image file with `elements` voxels of `width` bytes of noise (NaNs and all), optionally with
// the header and voxels in the other byte order and with a scaling.
std::string image_file(int datatype, std::size_t width, std::size_t elements, float vox_offset, bool big_endian,
                       bool scaled, std::uint32_t seed) {
  nifti_1_header h = make_header({100, static_cast<int>(elements / 100), 1}, datatype, vox_offset);
  if (scaled) {
    h.scl_slope = 0.37f;
    h.scl_inter = -12.5f;
  }
  std::string voxels = pseudo_random_bytes(elements * width, seed);
  if (big_endian) swap_nifti_header(&h, 1);
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.resize(std::max<std::size_t>(352, static_cast<std::size_t>(vox_offset)), '\x05');
  out[348] = 0;
  return out + voxels;
}

std::vector<float> load_floats(const std::string& path) {
  auto v = dirsieve::load_dwi(path);
  EXPECT_TRUE(v.ok()) << path << ": " << (v.ok() ? "" : v.error().display());
  return v.ok() ? v->data : std::vector<float>{};
}

std::string raw_voxels(const std::string& path, InflatePath inflate) {
  auto file = NiftiFile::open(path);
  EXPECT_TRUE(file.ok());
  if (!file.ok()) return {};
  auto raw = file->read_voxels(inflate);
  EXPECT_TRUE(raw.ok()) << path << ": " << (raw.ok() ? "" : raw.error().display());
  if (!raw.ok()) return {};
  return std::string(reinterpret_cast<const char*>(raw->voxels()), raw->element_count * raw->element_size);
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(GzipImages, CompressedLoadsMatchThePlainFileAndZlibForEveryLayout) {
  dirsieve::testing::TempDir dir;
  struct Case {
    int datatype;
    std::size_t width;
    float vox_offset;
  };
  // More elements than one conversion stretch; float32 voxels at offsets that are and are not
  // multiples of 4, and one far past the header.
  const std::vector<Case> cases = {{DT_UINT8, 1, 352}, {DT_INT16, 2, 352},    {DT_UINT16, 2, 357},
                                   {DT_INT32, 4, 352}, {DT_FLOAT32, 4, 352},  {DT_FLOAT32, 4, 353},
                                   {DT_FLOAT32, 4, 70000}, {DT_FLOAT64, 8, 360}, {DT_UINT64, 8, 352}};
  const std::size_t elements = 140000;  // 100 x 1400
  std::uint32_t seed = 10;
  for (const Case& c : cases) {
    for (bool big : {false, true}) {
      const std::string tag = std::to_string(c.datatype) + "_" + std::to_string(static_cast<int>(c.vox_offset)) +
                              (big ? "_be" : "_le");
      const std::string file = image_file(c.datatype, c.width, elements, c.vox_offset, big, c.datatype != DT_INT32, ++seed);
      const std::string plain = dir.write(tag + ".nii", file);
      const std::size_t cut = 200 + seed % 300;  // inside the header for some cases
      const std::vector<std::pair<std::string, std::string>> packed = {
          {"single", member(file)},
          {"members", member(file.substr(0, cut)) + member("") + member(file.substr(cut, 70001), true) +
                          member(file.substr(cut + 70001))},
          {"stored", member(file, false, 0) + member("after the image")},
      };
      const std::vector<float> expected = load_floats(plain);
      ASSERT_EQ(expected.size(), elements) << tag;
      const std::string expected_raw = file.substr(file.size() - elements * c.width);
      for (const auto& [kind, bytes] : packed) {
        ASSERT_EQ(zlib_gunzip(bytes).substr(0, file.size()), file) << tag << " " << kind;
        const std::string path = dir.write(tag + "_" + kind + ".nii.gz", bytes);
        EXPECT_TRUE(same_bits(load_floats(path), expected)) << tag << " " << kind;
        EXPECT_EQ(raw_voxels(path, InflatePath::WholeBuffer), expected_raw) << tag << " " << kind;
        EXPECT_EQ(raw_voxels(path, InflatePath::Streaming), expected_raw) << tag << " " << kind;
        auto mask = dirsieve::load_mask(path);
        ASSERT_TRUE(mask.ok()) << tag << " " << kind;
        EXPECT_EQ(mask->value().flags.size(), elements) << tag << " " << kind;
      }
    }
  }
}

TEST(GzipImages, StreamsTheWholeBufferDecoderLeavesAreSettledAsBefore) {
  dirsieve::testing::TempDir dir;
  const std::string file = image_file(DT_INT16, 2, 4000, 352, false, false, 3);
  const std::string packed = member(file);
  const std::vector<float> expected = load_floats(dir.write("plain.nii", file));

  // Bytes after the voxels inside the last member: decoded to the member's end and checked.
  EXPECT_TRUE(same_bits(load_floats(dir.write("longer.nii.gz", member(file + "trailing"))), expected));
  // A wrong length in the trailer, and a second member that is not gzip.
  std::string bad_length = packed;
  bad_length[bad_length.size() - 4] ^= 0x01;
  auto wrong = dirsieve::load_dwi(dir.write("length.nii.gz", bad_length));
  ASSERT_FALSE(wrong.ok());
  EXPECT_NE(wrong.error().display().find("corrupt gzip stream"), std::string::npos) << wrong.error().display();
  auto junk = dirsieve::load_dwi(dir.write("junk.nii.gz", member(file.substr(0, 1000)) + "junk" +
                                                              member(file.substr(1000))));
  ASSERT_FALSE(junk.ok());
  EXPECT_NE(junk.error().display().find("truncated gzip stream"), std::string::npos) << junk.error().display();
  // The trailer of the last member cut off.
  auto cut = dirsieve::load_dwi(dir.write("cut.nii.gz", packed.substr(0, packed.size() - 3)));
  ASSERT_FALSE(cut.ok());
  EXPECT_NE(cut.error().display().find("truncated"), std::string::npos) << cut.error().display();
}

// ---------------------------------------------------------------- conversion

template <class T>
float reference(const std::uint8_t* p, bool swapped, const Scaling& s) {
  std::uint8_t b[sizeof(T)];
  std::memcpy(b, p, sizeof(T));
  if (swapped) std::reverse(b, b + sizeof(T));
  T v;
  std::memcpy(&v, b, sizeof(T));
  const float f = static_cast<float>(v);
  return s.enabled ? f * s.slope + s.inter : f;
}

float reference_of(int datatype, const std::uint8_t* p, bool swapped, const Scaling& s) {
  switch (datatype) {
    case DT_UINT8: return reference<std::uint8_t>(p, swapped, s);
    case DT_INT8: return reference<std::int8_t>(p, swapped, s);
    case DT_INT16: return reference<std::int16_t>(p, swapped, s);
    case DT_UINT16: return reference<std::uint16_t>(p, swapped, s);
    case DT_INT32: return reference<std::int32_t>(p, swapped, s);
    case DT_UINT32: return reference<std::uint32_t>(p, swapped, s);
    case DT_INT64: return reference<std::int64_t>(p, swapped, s);
    case DT_UINT64: return reference<std::uint64_t>(p, swapped, s);
    case DT_FLOAT32: return reference<float>(p, swapped, s);
    default: return reference<double>(p, swapped, s);
  }
}

TEST(VoxelConversion, EveryTypeMatchesElementByElementConversionOnEveryPath) {
  // Several stretches and a short last one, on one and on two workers, with both kernel sets.
  const std::size_t n = 2 * 65536 + 1000 + 13;
  const std::vector<Scaling> scalings = {Scaling{}, Scaling{true, 0.1f, 0.7f}, Scaling{true, -3.0f, 1e30f}};
  for (int datatype : {DT_UINT8, DT_INT8, DT_INT16, DT_UINT16, DT_INT32, DT_UINT32, DT_INT64, DT_UINT64,
                       DT_FLOAT32, DT_FLOAT64}) {
    const std::size_t width = dirsieve::volumes_detail::element_size_of(datatype);
    const std::string source = pseudo_random_bytes(n * width, static_cast<std::uint32_t>(datatype));
    for (bool swapped : {false, true}) {
      for (const Scaling& scaling : scalings) {
        std::vector<float> expected(n);
        for (std::size_t i = 0; i < n; ++i) {
          expected[i] = reference_of(datatype, reinterpret_cast<const std::uint8_t*>(source.data()) + i * width,
                                     swapped, scaling);
        }
        for (int threads : {1, 2}) {
          for (ConvertKernels kernels : {ConvertKernels::Widest, ConvertKernels::Baseline}) {
            std::vector<std::uint64_t> storage(n + 1);  // aligned for every width
            std::memcpy(storage.data(), source.data(), source.size());
            std::vector<float> out(n, -1.0f);
            tbb::task_arena(threads).execute([&] {
              dirsieve::volumes_detail::convert_to_float(datatype, reinterpret_cast<std::uint8_t*>(storage.data()),
                                                         swapped, n, out.data(), scaling, kernels);
            });
            EXPECT_TRUE(same_bits(out, expected))
                << "datatype " << datatype << (swapped ? " swapped" : "") << " slope " << scaling.slope
                << " threads " << threads << (kernels == ConvertKernels::Baseline ? " baseline" : "");
          }
        }
      }
    }
  }
}

TEST(VoxelConversion, FloatsMoveDownOverTheBytesBeforeThem) {
  const std::size_t n = 2 * 65536 + 10;  // the last stretch is shorter than most offsets
  const std::string values = pseudo_random_bytes(n * 4, 77);
  const Scaling scaled{true, 2.0f, -1.0f};
  for (std::size_t shift : {std::size_t{0}, std::size_t{4}, std::size_t{352}, std::size_t{353}, std::size_t{1001},
                            std::size_t{300000}}) {
    for (bool swapped : {false, true}) {
      for (const Scaling& scaling : {Scaling{}, scaled}) {
        std::vector<float> expected(n);
        for (std::size_t i = 0; i < n; ++i) {
          expected[i] = reference<float>(reinterpret_cast<const std::uint8_t*>(values.data()) + 4 * i, swapped, scaling);
        }
        for (ConvertKernels kernels : {ConvertKernels::Widest, ConvertKernels::Baseline}) {
          std::vector<float> data((shift + values.size() + 3) / 4, 0.0f);
          std::memset(data.data(), 0x77, shift);
          std::memcpy(reinterpret_cast<std::uint8_t*>(data.data()) + shift, values.data(), values.size());
          tbb::task_arena(2).execute([&] {
            dirsieve::volumes_detail::finish_floats_in_place(data.data(), shift, swapped, n, scaling, kernels);
          });
          data.resize(n);
          EXPECT_TRUE(same_bits(data, expected)) << "shift " << shift << (swapped ? " swapped" : "")
                                                 << (scaling.enabled ? " scaled" : "");
        }
      }
    }
  }
}

}  // namespace
