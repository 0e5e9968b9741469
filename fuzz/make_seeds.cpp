// Writes the seed corpora of the fuzz targets: small valid inputs of each format, made fresh by the build
// rather than kept as binaries in the tree. Usage: make_seeds <corpus root>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nifti1.h>

namespace fs = std::filesystem;

namespace {

void put(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::FILE* f = std::fopen((dir / name).c_str(), "wb");
  if (f == nullptr) {
    std::perror(name.c_str());
    std::exit(1);
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

template <class T>
std::string nifti_image(const std::vector<int>& dims, int datatype, const std::vector<T>& values,
                        int sform, int qform, float slope, float inter) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(dims.size());
  for (std::size_t i = 0; i < dims.size(); ++i) h.dim[i + 1] = static_cast<short>(dims[i]);
  h.datatype = static_cast<short>(datatype);
  h.bitpix = static_cast<short>(8 * sizeof(T));
  h.pixdim[0] = qform ? -1.0f : 1.0f;
  h.pixdim[1] = 2.0f;
  h.pixdim[2] = 2.0f;
  h.pixdim[3] = 2.5f;
  h.vox_offset = 352.0f;
  h.scl_slope = slope;
  h.scl_inter = inter;
  h.sform_code = static_cast<short>(sform);
  h.qform_code = static_cast<short>(qform);
  h.quatern_b = 0.0f;
  h.quatern_c = 0.7071068f;
  h.quatern_d = 0.0f;
  h.qoffset_x = -10.0f;
  h.srow_x[0] = -2.0f;
  h.srow_y[1] = 2.0f;
  h.srow_z[2] = 2.5f;
  h.srow_x[3] = 5.0f;
  std::memcpy(h.magic, "n+1", 4);
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(4, '\0');
  out.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
  return out;
}

template <class T>
std::vector<T> ramp(std::size_t n) {
  std::vector<T> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<T>(i % 7 + (i % 3 == 0 ? 0 : 100));
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus root>\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];

  const fs::path fsl = root / "fuzz_fsl_pair";
  put(fsl, "rows", std::string("0 1000 1000 2000\n") + '\0' + "0 1 0 0.5\n0 0 1 0.5\n0 0 0 0.7071\n");
  put(fsl, "columns", std::string("0\r\n1000\r\n3000\r\n") + '\0' + "0 0 0\r\n1 0 0\r\n\r\n0 1e0 -.5\r\n");
  put(fsl, "three", std::string("5 1e3 +995.5") + '\0' + "nan inf -infinity\n1 2 3\n\t4\xC2\xA0" "5 6\n");
  put(fsl, "empty", std::string(1, '\0'));

  const fs::path grad = root / "fuzz_grad";
  put(grad, "plain", "# comment\n0 0 0 0\n1 0 0 1000\n0 1 0 1000 extra words\n  # indented\n0 0 1 2000\n");
  put(grad, "crlf", "0.5\t0.5 0.7071 995.0000000001\r\n-0 1e-9 -1e-9 3000\r\n");

  // The first byte of a NIfTI seed selects the container in the target: 0 as stored, 1 gzip, 3 gzip
  // members shaped by the two bytes after it.
  const fs::path nii = root / "fuzz_nifti";
  auto with_mode = [](char mode, const std::string& body) { return std::string(1, mode) + body; };
  const auto dwi16 = nifti_image<std::int16_t>({2, 2, 2, 3}, DT_INT16, ramp<std::int16_t>(24), 1, 1, 2.0f, 10.0f);
  put(nii, "dwi_int16", with_mode(0, dwi16));
  put(nii, "dwi_int16_gz", with_mode(1, dwi16));
  put(nii, "dwi_float32_qform",
      with_mode(0, nifti_image<float>({3, 2, 2, 2}, DT_FLOAT32, ramp<float>(24), 0, 1, 0.0f, 0.0f)));
  put(nii, "dwi_float64_gz",
      with_mode(1, nifti_image<double>({2, 2, 1, 2}, DT_FLOAT64, ramp<double>(8), 0, 0, 1.0f, -1.0f)));
  put(nii, "mask_uint8", with_mode(0, nifti_image<std::uint8_t>({2, 2, 2}, DT_UINT8, ramp<std::uint8_t>(8), 0, 0, 1.0f, -1.0f)));
  // Mode 3: gzip members. Options byte: bits 0-1 members - 1, 2 header fields, 3 wrong length,
  // 4 wrong CRC, 5 truncation, 6 data after the image, 7 stored blocks; then the parameter byte.
  auto members = [&](std::uint8_t options, std::uint8_t parameter, const std::string& body) {
    return std::string(1, 3) + static_cast<char>(options) + static_cast<char>(parameter) + body;
  };
  put(nii, "dwi_int16_members", members(0x02, 50, dwi16));
  put(nii, "dwi_int16_header_cut", members(0x01, 40, dwi16));
  put(nii, "dwi_int16_fields", members(0x07, 90, dwi16));
  put(nii, "dwi_int16_after", members(0x40, 6, dwi16));
  put(nii, "dwi_int16_bad_length", members(0x09, 88, dwi16));
  put(nii, "dwi_int16_truncated", members(0x20, 3, dwi16));
  put(nii, "dwi_float64_stored",
      members(0x81, 88, nifti_image<double>({2, 2, 1, 2}, DT_FLOAT64, ramp<double>(8), 0, 0, 1.0f, -1.0f)));
  put(nii, "image_uint64_5d",
      with_mode(0, nifti_image<std::uint64_t>({2, 1, 1, 2, 2}, DT_UINT64, ramp<std::uint64_t>(8), 1, 0, 0.0f, 0.0f)));

  const fs::path sidecar = root / "fuzz_sidecar";
  put(sidecar, "full",
      "{\"PhaseEncodingDirection\": \"j-\", \"TotalReadoutTime\": 0.0512, \"MultibandAccelerationFactor\": 3,"
      " \"SliceTiming\": [0, 0.5, 1.0], \"Other\": {\"nested\": [true, null]}}");
  put(sidecar, "partial", "{\"TotalReadoutTime\": 1, \"PhaseEncodingDirection\": \"i\"}");
  put(sidecar, "duplicate", "{\"MultibandAccelerationFactor\": 2, \"MultibandAccelerationFactor\": 4}");
  put(sidecar, "array", "[1, 2, 3]");

  const fs::path json = root / "fuzz_json";
  static const char kString[] = "\x01\"quote\\ tab\t arrow \xE2\x86\x92 ctrl \x1f" " end";
  put(json, "string", std::string(kString, sizeof kString - 1));
  std::string doc;
  for (int i = 0; i < 64; ++i) doc.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
  put(json, "document", doc);
  std::string numbers(1, '\x06');
  const double samples[] = {1000.0, 0.1, 1e-5, 1e-6, 1e16, 2.2250738585072014e-308, -0.0, 123456789012345680000.0};
  for (double d : samples) numbers.append(reinterpret_cast<const char*>(&d), sizeof d);
  put(json, "numbers", numbers);
  return 0;
}
