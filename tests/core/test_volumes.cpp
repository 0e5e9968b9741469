// Loading of DWI and mask images from NIfTI-1 files written by the tests themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>
#include <unistd.h>
#include <zlib.h>

#include <nifti1_io.h>

#include "core/volumes/volume.hpp"

namespace {

namespace fs = std::filesystem;
using dirsieve::DwiVolume;
using dirsieve::ErrorKind;
using dirsieve::MaskVolume;

// A NIfTI-1 header with the given dimensions and type, unit voxels, no transform, no scaling.
nifti_1_header make_header(const std::vector<int>& dims, int datatype) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(dims.size());
  for (std::size_t i = 0; i < dims.size() && i < 7; ++i) h.dim[i + 1] = static_cast<short>(dims[i]);
  for (int i = 0; i < 8; ++i) h.pixdim[i] = 1.0f;
  h.datatype = static_cast<short>(datatype);
  h.vox_offset = 352.0f;
  std::memcpy(h.magic, "n+1", 4);
  return h;
}

template <class T>
std::string bytes_of(const std::vector<T>& values) {
  std::string out(values.size() * sizeof(T), '\0');
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

void reverse_elements(std::string& data, std::size_t width) {
  for (std::size_t i = 0; i + width <= data.size(); i += width) std::reverse(data.begin() + i, data.begin() + i + width);
}

// The file image: header (swapped when big_endian), 4 extension bytes, padding up to
// vox_offset, then the voxel bytes (given in native order, swapped per element as needed).
std::string encode(nifti_1_header h, std::string voxels, std::size_t width, bool big_endian = false) {
  std::size_t offset = h.vox_offset >= 352.0f ? static_cast<std::size_t>(h.vox_offset) : 352;
  if (big_endian) {
    swap_nifti_header(&h, 1);
    reverse_elements(voxels, width);
  }
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.resize(offset, '\0');
  return out + voxels;
}

std::string gzip(const std::string& data, int level = 6) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
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

class VolumesTest : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("dirsieve_volumes_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& contents) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  DwiVolume load_ok(const std::string& path) {
    auto result = dirsieve::load_dwi(path);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().display());
    return result.ok() ? std::move(result).value() : DwiVolume{};
  }

  std::string load_error(const std::string& path) {
    auto result = dirsieve::load_dwi(path);
    EXPECT_FALSE(result.ok());
    if (result.ok()) return "";
    EXPECT_EQ(result.error().kind(), ErrorKind::Nifti);
    return result.error().display();
  }

  std::vector<std::uint8_t> mask_ok(const std::string& path) {
    auto result = dirsieve::load_mask(path);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().display());
    if (!result.ok() || !result.value().has_value()) return {};
    return result.value()->flags;
  }

  fs::path dir_;
};

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// ---------------------------------------------------------------- data types and byte order

template <class T>
void check_type(VolumesTest& t, int datatype, const std::vector<T>& values, const std::vector<float>& expected,
                const std::string& tag) {
  for (bool big : {false, true}) {
    nifti_1_header h = make_header({static_cast<int>(values.size()), 1, 1}, datatype);
    std::string file = encode(h, bytes_of(values), sizeof(T), big);
    for (bool compressed : {false, true}) {
      std::string name = tag + (big ? "_be" : "_le") + (compressed ? ".nii.gz" : ".nii");
      DwiVolume v = t.load_ok(t.write(name, compressed ? gzip(file) : file));
      ASSERT_EQ(v.data.size(), expected.size()) << name;
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(same_bits(v.data[i], expected[i])) << name << " element " << i << ": " << v.data[i];
      }
    }
  }
}

TEST_F(VolumesTest, EveryDatatypeInBothByteOrdersAndCompressions) {
  check_type<std::uint8_t>(*this, DT_UINT8, {0, 1, 200, 255}, {0, 1, 200, 255}, "u8");
  check_type<std::int8_t>(*this, DT_INT8, {0, -1, 127, -128}, {0, -1, 127, -128}, "i8");
  check_type<std::int16_t>(*this, DT_INT16, {5, -300, 32767, -32768}, {5, -300, 32767, -32768}, "i16");
  check_type<std::uint16_t>(*this, DT_UINT16, {5, 300, 65535, 1}, {5, 300, 65535, 1}, "u16");
  // 2^24 + 1 has no float32; 2^24 + 3 lies half-way and rounds to even.
  check_type<std::int32_t>(*this, DT_INT32, {-7, 16777217, 16777219, std::numeric_limits<std::int32_t>::min()},
                           {-7, 16777216.0f, 16777220.0f, -2147483648.0f}, "i32");
  check_type<std::uint32_t>(*this, DT_UINT32, {7, 4294967295u, 16777217u, 0}, {7, 4294967296.0f, 16777216.0f, 0},
                            "u32");
  check_type<std::int64_t>(*this, DT_INT64, {-9007199254740993LL, 42, std::numeric_limits<std::int64_t>::max(), 0},
                           {-9007199254740992.0f, 42, 9223372036854775808.0f, 0}, "i64");
  check_type<std::uint64_t>(*this, DT_UINT64, {std::numeric_limits<std::uint64_t>::max(), 3, 0, 1ull << 40},
                            {18446744073709551616.0f, 3, 0, 1099511627776.0f}, "u64");
  check_type<float>(*this, DT_FLOAT32, {1.5f, -0.0f, std::numeric_limits<float>::infinity(), 1e-40f},
                    {1.5f, -0.0f, std::numeric_limits<float>::infinity(), 1e-40f}, "f32");
  check_type<double>(*this, DT_FLOAT64, {0.1, -2.5, 1e300, 1.0000000596046448},
                     {0.1f, -2.5f, std::numeric_limits<float>::infinity(), 1.0f}, "f64");
}

TEST_F(VolumesTest, LongArraysConvertAcrossBlockBoundaries) {
  // 37 elements: whole blocks plus a tail, big-endian so the swap runs over both parts too.
  std::vector<std::int16_t> i16;
  std::vector<float> f32;
  std::vector<std::uint32_t> u32;
  for (int i = 0; i < 37; ++i) {
    i16.push_back(static_cast<std::int16_t>(i * 331 - 6000));
    f32.push_back(static_cast<float>(i) * 0.25f - 3.0f);
    u32.push_back(static_cast<std::uint32_t>(i) * 100003u);
  }
  struct Case {
    int datatype;
    std::string bytes;
    std::size_t width;
  };
  for (const Case& c : {Case{DT_INT16, bytes_of(i16), 2}, Case{DT_FLOAT32, bytes_of(f32), 4},
                        Case{DT_UINT32, bytes_of(u32), 4}}) {
    nifti_1_header h = make_header({37, 1, 1}, c.datatype);
    h.scl_slope = 2.0f;
    h.scl_inter = 1.0f;
    DwiVolume v = load_ok(write("long_" + std::to_string(c.datatype) + ".nii", encode(h, c.bytes, c.width, true)));
    ASSERT_EQ(v.data.size(), 37u);
    for (int i = 0; i < 37; ++i) {
      float raw = c.datatype == DT_INT16 ? static_cast<float>(i16[i])
                  : c.datatype == DT_FLOAT32 ? f32[i]
                                             : static_cast<float>(u32[i]);
      EXPECT_EQ(v.data[i], raw * 2.0f + 1.0f) << c.datatype << " at " << i;
    }
  }
}

TEST_F(VolumesTest, UnsupportedTypesAreRejected) {
  for (int code : {DT_FLOAT128, DT_BINARY, 3, 0}) {
    nifti_1_header h = make_header({2, 2, 2}, code);
    EXPECT_EQ(load_error(write("t" + std::to_string(code) + ".nii", encode(h, std::string(256, '\0'), 1))),
              "NIfTI error: Unsupported data type");
  }
  for (int code : {DT_COMPLEX64, DT_COMPLEX128, DT_RGB24, DT_RGBA32}) {
    nifti_1_header h = make_header({2, 2, 2}, code);
    std::string message = load_error(write("c" + std::to_string(code) + ".nii", encode(h, std::string(256, '\0'), 1)));
    EXPECT_EQ(message.rfind("NIfTI error: Unsupported data type: ", 0), 0u) << message;
    EXPECT_NE(message.find(code == DT_RGB24 || code == DT_RGBA32 ? "RGB" : "complex"), std::string::npos) << message;
  }
}

// ---------------------------------------------------------------- scaling

float load_single_int16(VolumesTest& t, std::int16_t value, float slope, float inter, const std::string& name) {
  nifti_1_header h = make_header({1, 1, 1}, DT_INT16);
  h.scl_slope = slope;
  h.scl_inter = inter;
  DwiVolume v = t.load_ok(t.write(name, encode(h, bytes_of(std::vector<std::int16_t>{value}), 2)));
  return v.data.empty() ? -12345.0f : v.data[0];
}

TEST_F(VolumesTest, ScalingFollowsSlopeAndIntercept) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(load_single_int16(*this, 5, 2.0f, 10.0f, "a.nii"), 20.0f);
  EXPECT_EQ(load_single_int16(*this, 5, 0.0f, 10.0f, "b.nii"), 5.0f);
  // Non-finite scaling fields count as 0: a NaN slope leaves the data unscaled instead of
  // turning every voxel into NaN, a NaN intercept adds nothing.
  EXPECT_EQ(load_single_int16(*this, 5, nan, 10.0f, "c.nii"), 5.0f);
  EXPECT_EQ(load_single_int16(*this, 5, inf, 10.0f, "d.nii"), 5.0f);
  EXPECT_EQ(load_single_int16(*this, 5, -inf, 0.0f, "e.nii"), 5.0f);
  EXPECT_EQ(load_single_int16(*this, 5, 2.0f, nan, "f.nii"), 10.0f);
  EXPECT_EQ(load_single_int16(*this, 5, 2.0f, -inf, "g.nii"), 10.0f);
  // float32 arithmetic: 12 * 0.1f + 0.7f gives 1.9000001f; the same sum in double rounds to 1.9f.
  EXPECT_TRUE(same_bits(load_single_int16(*this, 12, 0.1f, 0.7f, "h.nii"), 1.9000001f));
  EXPECT_TRUE(same_bits(load_single_int16(*this, 5, 0.3f, 0.3f, "i.nii"), 1.8f));
}

TEST_F(VolumesTest, UnitScalingOfFloatDataIsStillApplied) {
  // v * 1 + 0 turns -0.0 into +0.0; a slope of 0 keeps the stored value.
  nifti_1_header h = make_header({2, 1, 1}, DT_FLOAT32);
  h.scl_slope = 1.0f;
  DwiVolume scaled = load_ok(write("s.nii", encode(h, bytes_of(std::vector<float>{-0.0f, 2.5f}), 4)));
  h.scl_slope = 0.0f;
  DwiVolume raw = load_ok(write("r.nii", encode(h, bytes_of(std::vector<float>{-0.0f, 2.5f}), 4)));
  ASSERT_EQ(scaled.data.size(), 2u);
  ASSERT_EQ(raw.data.size(), 2u);
  EXPECT_TRUE(same_bits(scaled.data[0], 0.0f));
  EXPECT_TRUE(same_bits(raw.data[0], -0.0f));
}

// ---------------------------------------------------------------- dimensions

TEST_F(VolumesTest, DimensionsVolumeCountAndVoxelSizes) {
  nifti_1_header h = make_header({2, 3, 4, 5}, DT_UINT8);
  h.pixdim[1] = 1.5f;
  h.pixdim[2] = -2.0f;  // sign kept
  h.pixdim[3] = 0.0f;   // taken as stored
  std::vector<std::uint8_t> values(120);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(i);
  DwiVolume v = load_ok(write("d4.nii", encode(h, bytes_of(values), 1)));
  EXPECT_EQ(v.dims, (std::vector<std::uint64_t>{2, 3, 4, 5}));
  EXPECT_EQ(v.volume_count, 5u);
  EXPECT_EQ(v.voxel_sizes, (dirsieve::Vec3{1.5, -2.0, 0.0}));
  // File order: x fastest, then y, z, t.
  EXPECT_EQ(v.at(1, 2, 3, 4), static_cast<float>(1 + 2 * (2 + 3 * (3 + 4 * 4))));

  DwiVolume v3 = load_ok(write("d3.nii", encode(make_header({2, 3, 4}, DT_UINT8), std::string(24, '\1'), 1)));
  EXPECT_EQ(v3.dims, (std::vector<std::uint64_t>{2, 3, 4}));
  EXPECT_EQ(v3.volume_count, 1u);

  DwiVolume v5 = load_ok(write("d5.nii", encode(make_header({1, 1, 1, 3, 2}, DT_UINT8), std::string(6, '\1'), 1)));
  EXPECT_EQ(v5.dims, (std::vector<std::uint64_t>{1, 1, 1, 3, 2}));
  EXPECT_EQ(v5.volume_count, 3u);
  EXPECT_EQ(v5.data.size(), 6u);
}

TEST_F(VolumesTest, InconsistentDimensionsAreReported) {
  struct Case {
    std::vector<short> dim;  // dim[0..]
    std::string message;
  };
  const std::vector<Case> cases = {
      {{4, 96, 96, 0, 30}, "Inconsistent value `0` in header field dim[3] (must be positive)"},
      {{8, 1, 1, 1, 1, 1, 1, 1}, "Inconsistent value `8` in header field dim[0] (must not be higher than 7)"},
      {{0}, "Inconsistent value `0` in header field dim[0] (must be positive)"},
      {{-2, 4, 4}, "Inconsistent value `-2` in header field dim[0] (must be positive)"},
      // A negative size is rejected, not read as a huge unsigned one.
      {{3, 4, -5, 2}, "Inconsistent value `-5` in header field dim[2] (must be positive)"},
      // The first violation wins.
      {{4, 0, -1, 5, 0}, "Inconsistent value `0` in header field dim[1] (must be positive)"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    nifti_1_header h = make_header({1}, DT_INT16);
    for (int k = 0; k < 8; ++k) h.dim[k] = k < static_cast<int>(cases[i].dim.size()) ? cases[i].dim[k] : 1;
    std::string file = encode(h, std::string(64, '\0'), 2);
    EXPECT_EQ(load_error(write("dim" + std::to_string(i) + ".nii", file)), "NIfTI error: " + cases[i].message);
    EXPECT_EQ(load_error(write("dim" + std::to_string(i) + "_be.nii.gz", gzip(encode(h, {}, 2, true)))),
              "NIfTI error: " + cases[i].message);
  }
}

TEST_F(VolumesTest, HugeClaimedSizesFailWithoutAllocating) {
  // Four dimensions of 32767 int16 would need 2 PB.
  nifti_1_header h = make_header({32767, 32767, 32767, 32767}, DT_INT16);
  std::string file = encode(h, std::string(1000, '\0'), 2);
  EXPECT_NE(load_error(write("huge.nii", file)).find("truncated"), std::string::npos);
  EXPECT_NE(load_error(write("huge.nii.gz", gzip(file))).find("truncated"), std::string::npos);
  // Seven of them overflow 64 bits.
  nifti_1_header h7 = make_header({32767, 32767, 32767, 32767, 32767, 32767, 32767}, DT_FLOAT64);
  EXPECT_NE(load_error(write("overflow.nii", encode(h7, {}, 8))).find("too large"), std::string::npos);
  auto mask = dirsieve::load_mask(write("huge_mask.nii", file));
  EXPECT_FALSE(mask.ok());
}

// ---------------------------------------------------------------- affine

TEST_F(VolumesTest, AffinePrefersSformThenQformThenPixdim) {
  nifti_1_header h = make_header({1, 1, 1}, DT_UINT8);
  h.pixdim[1] = 2.0f;
  h.pixdim[2] = 3.0f;
  h.pixdim[3] = 4.0f;
  h.qform_code = 1;
  h.quatern_d = 1.0f;  // 180 degrees about z
  h.qoffset_x = 7.0f;
  h.qoffset_y = 8.0f;
  h.qoffset_z = 9.0f;
  const float sx[4] = {0.5f, 0.25f, 0.0f, -10.0f}, sy[4] = {0.0f, 1.5f, 0.0f, 20.0f}, sz[4] = {0.1f, 0.0f, 3.0f, 30.5f};
  std::memcpy(h.srow_x, sx, sizeof sx);
  std::memcpy(h.srow_y, sy, sizeof sy);
  std::memcpy(h.srow_z, sz, sizeof sz);
  const std::string one(1, '\0');

  h.sform_code = 2;
  dirsieve::Mat4 s = load_ok(write("s.nii", encode(h, one, 1))).affine;
  EXPECT_EQ(s[0], (std::array<double, 4>{0.5, 0.25, 0.0, -10.0}));
  EXPECT_EQ(s[1], (std::array<double, 4>{0.0, 1.5, 0.0, 20.0}));
  EXPECT_EQ(s[2], (std::array<double, 4>{static_cast<double>(0.1f), 0.0, 3.0, 30.5}));
  EXPECT_EQ(s[3], (std::array<double, 4>{0.0, 0.0, 0.0, 1.0}));

  h.sform_code = 0;
  dirsieve::Mat4 q = load_ok(write("q.nii", encode(h, one, 1))).affine;
  EXPECT_EQ(q[0], (std::array<double, 4>{-2.0, 0.0, 0.0, 7.0}));
  EXPECT_EQ(q[1], (std::array<double, 4>{0.0, -3.0, 0.0, 8.0}));
  EXPECT_EQ(q[2], (std::array<double, 4>{0.0, 0.0, 4.0, 9.0}));
  EXPECT_EQ(q[3], (std::array<double, 4>{0.0, 0.0, 0.0, 1.0}));

  h.qform_code = 0;
  h.pixdim[2] = -3.0f;
  dirsieve::Mat4 p = load_ok(write("p.nii", encode(h, one, 1))).affine;
  EXPECT_EQ(p[0], (std::array<double, 4>{2.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(p[1], (std::array<double, 4>{0.0, -3.0, 0.0, 0.0}));
  EXPECT_EQ(p[2], (std::array<double, 4>{0.0, 0.0, 4.0, 0.0}));
  EXPECT_EQ(p[3], (std::array<double, 4>{0.0, 0.0, 0.0, 1.0}));

  // Negative codes do not select a transform.
  h.sform_code = -1;
  h.qform_code = -1;
  EXPECT_EQ(load_ok(write("n.nii", encode(h, one, 1))).affine, p);
}

TEST_F(VolumesTest, QuaternionSignAndUnnormalisedComponents) {
  nifti_1_header h = make_header({1, 1, 1}, DT_UINT8);
  h.qform_code = 1;
  h.pixdim[0] = -1.0f;
  h.pixdim[1] = 2.0f;
  h.pixdim[2] = 2.0f;
  h.pixdim[3] = 3.0f;
  const std::string one(1, '\0');
  dirsieve::Mat4 a = load_ok(write("neg.nii", encode(h, one, 1))).affine;
  EXPECT_EQ(a[0], (std::array<double, 4>{2.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(a[1], (std::array<double, 4>{0.0, 2.0, 0.0, 0.0}));
  EXPECT_EQ(a[2], (std::array<double, 4>{0.0, 0.0, -3.0, 0.0}));

  h.pixdim[0] = 0.0f;  // counts as +1
  EXPECT_EQ(load_ok(write("zero.nii", encode(h, one, 1))).affine[2][2], 3.0);

  // b² + c² + d² > 1: a is clamped to 0 and the components are used as they are.
  h.pixdim[0] = 1.0f;
  h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = 1.0f;
  h.quatern_b = h.quatern_c = h.quatern_d = 0.75f;
  dirsieve::Mat4 u = load_ok(write("unnorm.nii", encode(h, one, 1))).affine;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_EQ(u[i][j], i == j ? -0.5625 : 1.125) << i << "," << j;
  }

  // A 90-degree rotation about x: b = c = 0 is not required, d = 0 here.
  h.quatern_b = static_cast<float>(std::sqrt(0.5));
  h.quatern_c = h.quatern_d = 0.0f;
  dirsieve::Mat4 r = load_ok(write("rot.nii", encode(h, one, 1))).affine;
  EXPECT_NEAR(r[0][0], 1.0, 1e-7);
  EXPECT_NEAR(r[1][2], -1.0, 1e-7);
  EXPECT_NEAR(r[2][1], 1.0, 1e-7);
  EXPECT_NEAR(r[1][1], 0.0, 1e-7);
  EXPECT_NEAR(r[2][2], 0.0, 1e-7);
}

// ---------------------------------------------------------------- file handling

TEST_F(VolumesTest, CompressedAndPlainFilesLoadIdentically) {
  nifti_1_header h = make_header({5, 4, 3, 2}, DT_INT16);
  h.sform_code = 1;
  h.srow_x[0] = -2.0f;
  h.srow_y[1] = 2.0f;
  h.srow_z[2] = 2.5f;
  h.srow_z[3] = -40.0f;
  h.pixdim[1] = 2.0f;
  h.scl_slope = 0.5f;
  h.scl_inter = -1.0f;
  std::vector<std::int16_t> values(120);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int16_t>(i * 37 % 101 - 50);
  std::string file = encode(h, bytes_of(values), 2, true);
  DwiVolume plain = load_ok(write("img.nii", file));
  DwiVolume packed = load_ok(write("img.nii.gz", gzip(file)));
  // Two gzip members concatenated, as written by some tools, form one stream.
  DwiVolume members = load_ok(write("members.nii.gz", gzip(file.substr(0, 500)) + gzip(file.substr(500))));
  for (const DwiVolume* other : {&packed, &members}) {
    EXPECT_EQ(plain.dims, other->dims);
    EXPECT_EQ(plain.volume_count, other->volume_count);
    EXPECT_EQ(plain.voxel_sizes, other->voxel_sizes);
    EXPECT_EQ(plain.affine, other->affine);
    ASSERT_EQ(plain.data.size(), other->data.size());
    EXPECT_EQ(std::memcmp(plain.data.data(), other->data.data(), plain.data.size() * sizeof(float)), 0);
  }
  EXPECT_EQ(plain.data[7], static_cast<float>(values[7]) * 0.5f - 1.0f);
  // The content decides whether to inflate, not the name.
  DwiVolume misnamed = load_ok(write("really_gzip.nii", gzip(file)));
  EXPECT_EQ(misnamed.data, plain.data);
  DwiVolume unpacked = load_ok(write("really_plain.nii.gz", file));
  EXPECT_EQ(unpacked.data, plain.data);
}

TEST_F(VolumesTest, VoxelOffsetAndExtensions) {
  nifti_1_header h = make_header({3, 1, 1}, DT_UINT8);
  h.vox_offset = 416.0f;
  std::string file = encode(h, std::string("\x01\x02\x03", 3), 1);
  file[348] = 1;  // extension flag; the extension bytes sit between 352 and 416
  for (std::size_t i = 352; i < 416; ++i) file[i] = static_cast<char>(0x7f);
  EXPECT_EQ(load_ok(write("ext.nii", file)).data, (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(load_ok(write("ext.nii.gz", gzip(file))).data, (std::vector<float>{1, 2, 3}));
  // An offset below 352 (0 in files of old tools) means the data follows the header.
  h.vox_offset = 0.0f;
  EXPECT_EQ(load_ok(write("zero.nii", encode(h, std::string("\x04\x05\x06", 3), 1))).data,
            (std::vector<float>{4, 5, 6}));
  // Extra bytes after the image are ignored.
  EXPECT_EQ(load_ok(write("tail.nii.gz", gzip(encode(h, std::string("\x04\x05\x06\x07\x08", 5), 1)))).data,
            (std::vector<float>{4, 5, 6}));
}

TEST_F(VolumesTest, DamagedAndForeignFilesFailCleanly) {
  nifti_1_header h = make_header({16, 16, 8, 4}, DT_INT16);
  std::vector<std::int16_t> values(16 * 16 * 8 * 4);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int16_t>((i * 7919) % 3000);
  const std::string file = encode(h, bytes_of(values), 2);
  const std::string packed = gzip(file);

  EXPECT_NE(load_error(write("short.nii", file.substr(0, file.size() - 1))).find("truncated"), std::string::npos);
  EXPECT_NE(load_error(write("half.nii.gz", packed.substr(0, packed.size() / 2))).find("truncated"),
            std::string::npos);
  // Everything but the 8-byte trailer: the data is complete but cannot be verified.
  EXPECT_NE(load_error(write("notrailer.nii.gz", packed.substr(0, packed.size() - 8))).find("truncated"),
            std::string::npos);
  std::string bad_crc = packed;
  bad_crc[bad_crc.size() - 6] ^= 0x55;
  EXPECT_NE(load_error(write("crc.nii.gz", bad_crc)).find("corrupt gzip"), std::string::npos);
  std::string garbled = packed;
  for (std::size_t i = 20; i < 60 && i < garbled.size(); ++i) garbled[i] = static_cast<char>(0xff);
  load_error(write("garbled.nii.gz", garbled));

  load_error(write("empty.nii", ""));
  load_error(write("headeronly.nii.gz", gzip(file.substr(0, 200))));
  load_error(write("gzmagic.nii.gz", std::string("\x1f\x8b", 2)));
  EXPECT_NE(load_error(write("text.nii", std::string(400, 'x'))).find("not a NIfTI-1 file"), std::string::npos);
  load_error((dir_ / "missing.nii").string());
  load_error(dir_.string());

  nifti_1_header two = h;
  two.sizeof_hdr = 540;
  EXPECT_NE(load_error(write("nifti2.nii", encode(two, bytes_of(values), 2))).find("NIfTI-2"), std::string::npos);
  nifti_1_header pair = h;
  std::memcpy(pair.magic, "ni1", 4);
  EXPECT_NE(load_error(write("pair.hdr", encode(pair, {}, 2))).find("header/image"), std::string::npos);
  nifti_1_header analyze = h;
  std::memset(analyze.magic, 0, 4);
  load_error(write("analyze.nii", encode(analyze, bytes_of(values), 2)));

  auto mask = dirsieve::load_mask(write("mask_half.nii.gz", packed.substr(0, packed.size() / 3)));
  ASSERT_FALSE(mask.ok());
  EXPECT_EQ(mask.error().kind(), ErrorKind::Nifti);
}

TEST_F(VolumesTest, TimedLoadMatchesPlainLoad) {
  nifti_1_header h = make_header({8, 8, 8, 3}, DT_UINT16);
  std::vector<std::uint16_t> values(8 * 8 * 8 * 3);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(i * 3);
  std::string path = write("timed.nii.gz", gzip(encode(h, bytes_of(values), 2)));
  auto timed = dirsieve::load_dwi_timed(path);
  ASSERT_TRUE(timed.ok());
  EXPECT_GE(timed->decompress_seconds, 0.0);
  EXPECT_GE(timed->convert_seconds, 0.0);
  EXPECT_EQ(timed->volume.data, load_ok(path).data);
  EXPECT_FALSE(dirsieve::load_dwi_timed(write("bad.nii", "nope")).ok());
}

// ---------------------------------------------------------------- masks

TEST_F(VolumesTest, MaskFlagsAndVoxelOrder) {
  EXPECT_FALSE(dirsieve::load_mask(std::nullopt).value().has_value());

  const float nan = std::numeric_limits<float>::quiet_NaN();
  nifti_1_header h = make_header({4, 1, 1}, DT_FLOAT32);
  EXPECT_EQ(mask_ok(write("f.nii", encode(h, bytes_of(std::vector<float>{0.0f, 0.5f, -1.0f, nan}), 4, true))),
            (std::vector<std::uint8_t>{0, 1, 1, 1}));
  h.scl_slope = nan;  // unscaled, not all-NaN (which would set every flag)
  EXPECT_EQ(mask_ok(write("g.nii", encode(h, bytes_of(std::vector<float>{0.0f, 0.5f, -0.0f, 0.0f}), 4))),
            (std::vector<std::uint8_t>{0, 1, 0, 0}));

  // Grid 2 x 3 x 4 in file order (x fastest); flags come out x slowest, z fastest.
  nifti_1_header g = make_header({2, 3, 4}, DT_UINT8);
  std::vector<std::uint8_t> grid(24, 0);
  grid[1 + 2 * (0 + 3 * 2)] = 1;  // voxel (1, 0, 2)
  grid[0 + 2 * (2 + 3 * 3)] = 9;  // voxel (0, 2, 3)
  std::vector<std::uint8_t> flags = mask_ok(write("grid.nii.gz", gzip(encode(g, bytes_of(grid), 1))));
  std::vector<std::uint8_t> expected(24, 0);
  expected[(1 * 3 + 0) * 4 + 2] = 1;
  expected[(0 * 3 + 2) * 4 + 3] = 1;
  EXPECT_EQ(flags, expected);
}

TEST_F(VolumesTest, FourDimensionalMaskUsesFirstVolume) {
  nifti_1_header h = make_header({2, 2, 1, 2}, DT_INT16);
  std::vector<std::int16_t> values = {0, 3, 0, 0, 1, 1, 1, 1};
  EXPECT_EQ(mask_ok(write("m4.nii", encode(h, bytes_of(values), 2))), (std::vector<std::uint8_t>{0, 0, 1, 0}));
  nifti_1_header f = make_header({2, 1, 1, 2}, DT_FLOAT32);
  EXPECT_EQ(mask_ok(write("m4f.nii", encode(f, bytes_of(std::vector<float>{0.0f, 2.0f, 5.0f, 5.0f}), 4, true))),
            (std::vector<std::uint8_t>{0, 1}));
}

TEST_F(VolumesTest, MaskScalingCanClearVoxels) {
  nifti_1_header h = make_header({3, 1, 1}, DT_UINT8);
  h.scl_slope = 1.0f;
  h.scl_inter = -1.0f;
  EXPECT_EQ(mask_ok(write("m.nii", encode(h, bytes_of(std::vector<std::uint8_t>{1, 2, 0}), 1))),
            (std::vector<std::uint8_t>{0, 1, 1}));
}

TEST_F(VolumesTest, MasksMustHaveThreeOrFourDimensions) {
  for (const std::vector<int>& dims : std::vector<std::vector<int>>{{4}, {2, 2}, {2, 2, 2, 2, 2}, {1, 1, 1, 1, 1, 1, 1}}) {
    nifti_1_header h = make_header(dims, DT_UINT8);
    auto result = dirsieve::load_mask(write("m" + std::to_string(dims.size()) + ".nii", encode(h, std::string(64, '\1'), 1)));
    ASSERT_FALSE(result.ok()) << dims.size();
    EXPECT_EQ(result.error().kind(), ErrorKind::Nifti);
    EXPECT_NE(result.error().display().find("3 or 4 dimensions"), std::string::npos);
  }
  // The same file is a valid (if odd) DWI.
  nifti_1_header h5 = make_header({2, 2, 2, 2, 2}, DT_UINT8);
  EXPECT_EQ(load_ok(write("d5.nii", encode(h5, std::string(32, '\1'), 1))).data.size(), 32u);
}

// ---------------------------------------------------------------- real files

double det3(const dirsieve::Mat4& a) {
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

TEST(VolumesRealFiles, SampleImagesLoad) {
  const std::string root = "/work/shared/data/nifti-samples/";
  if (!fs::exists(root)) GTEST_SKIP() << "sample data not present";
  struct Sample {
    std::string file;
    std::vector<std::uint64_t> dims;
    double det;
  };
  const std::vector<Sample> samples = {
      {"mrtrix3/b0.nii.gz", {87, 96, 11}, 15.625},
      {"nibabel/anatomical.nii", {33, 41, 25}, -8.0},
      {"nibabel/example4d.nii.gz", {128, 96, 24, 2}, -8.8},
      {"nibabel/functional.nii", {17, 21, 3, 20}, -128.0},
      {"nibabel/reoriented_anat_moved.nii", {21, 26, 22}, 64.0},
      {"nibabel/resampled_anat_moved.nii", {17, 21, 3}, -128.0},
      {"nibabel/standard.nii.gz", {4, 5, 7}, 6.0},
      {"nitest-balls1/T1.nii.gz", {80, 80, 10}, 36.548},
      {"sct/PAM50_atlas_00.nii.gz", {40, 40, 5}, -12.103},
  };
  for (const Sample& s : samples) {
    auto v = dirsieve::load_dwi(root + s.file);
    ASSERT_TRUE(v.ok()) << s.file << ": " << v.error().display();
    EXPECT_EQ(v->dims, s.dims) << s.file;
    std::uint64_t n = 1;
    for (auto d : s.dims) n *= d;
    EXPECT_EQ(v->data.size(), n) << s.file;
    EXPECT_NEAR(det3(v->affine), s.det, 2e-3 * std::abs(s.det)) << s.file;
    std::size_t nan_count = 0;
    for (float x : v->data) nan_count += std::isnan(x) ? 1 : 0;
    // The SPM reslice marks voxels outside the original field of view as NaN.
    EXPECT_EQ(nan_count, s.file == "nibabel/resampled_anat_moved.nii" ? 153u : 0u) << s.file;
  }
  auto two = dirsieve::load_dwi(root + "nibabel/example_nifti2.nii.gz");
  ASSERT_FALSE(two.ok());
  EXPECT_EQ(two.error().kind(), ErrorKind::Nifti);

  auto mask = dirsieve::load_mask(root + "nibabel/standard.nii.gz");
  ASSERT_TRUE(mask.ok()) << mask.error().display();
  EXPECT_EQ(mask->value().flags.size(), 140u);
  auto mask4 = dirsieve::load_mask(root + "nibabel/example4d.nii.gz");
  ASSERT_TRUE(mask4.ok());
  EXPECT_EQ(mask4->value().flags.size(), 128u * 96u * 24u);
}

}  // namespace
