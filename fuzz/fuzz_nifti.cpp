// load_dwi and load_mask on arbitrary files. The first input byte picks the container: even values write
// the rest as stored (a gzip stream among them is still detected by its magic), odd values gzip it first,
// so that header and voxel mutations also reach the decompressing path.
#include <cstdlib>
#include <string>
#include <zlib.h>

#include "core/volumes/volume.hpp"
#include "fuzz_input_file.hpp"

namespace {

std::string gzip(const std::uint8_t* data, std::size_t size) {
  z_stream zs{};
  if (deflateInit2(&zs, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool compress = (data[0] & 1) != 0;
  std::string path;
  if (compress) {
    path = dirsieve_fuzz::write_input(".nii.gz", gzip(data + 1, size - 1));
  } else {
    path = dirsieve_fuzz::write_input(".nii", data + 1, size - 1);
  }
  check_dwi(path);
  check_mask(path);
  return 0;
}
