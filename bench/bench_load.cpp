// Load speed and peak memory of a gzip-compressed DWI.
//
// Writes a 96x96x60x65 int16 .nii.gz with smooth, slightly noisy content (so the gzip ratio
// is that of a real scan), then compares, in the same run, the time of `gzip -dc file >
// /dev/null` with the time of load_dwi on the same file, and measures the peak memory of a
// load in a fresh child process.
//
//   bench_load [--keep] [--repeats N] [--file PATH]
//
// --file loads an existing image instead of writing one. Exit status 0 when the load is
// within 1.3x of gzip -dc and its peak memory within 1.1x of raw image plus float array.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include <nifti1.h>

#include "core/util/clock.hpp"
#include "core/volumes/nifti_reader.hpp"
#include "core/volumes/volume.hpp"

extern char** environ;

namespace {

constexpr int kNx = 96, kNy = 96, kNz = 60, kNt = 65;

// Deterministic pseudo-random numbers (xorshift) for the noise.
struct Noise {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  double next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  }
};

bool write_test_image(const std::string& path) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = 4;
  h.dim[1] = kNx;
  h.dim[2] = kNy;
  h.dim[3] = kNz;
  h.dim[4] = kNt;
  for (int i = 5; i < 8; ++i) h.dim[i] = 1;
  h.datatype = DT_INT16;
  h.bitpix = 16;
  for (float& p : h.pixdim) p = 1.0f;
  h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = 2.5f;
  h.vox_offset = 352.0f;
  h.sform_code = 1;
  h.srow_x[0] = -2.5f;
  h.srow_y[1] = 2.5f;
  h.srow_z[2] = 2.5f;
  std::memcpy(h.magic, "n+1", 4);

  gzFile out = gzopen(path.c_str(), "wb6");
  if (out == nullptr) return false;
  char header[352] = {};
  std::memcpy(header, &h, sizeof h);
  bool ok = gzwrite(out, header, sizeof header) == static_cast<int>(sizeof header);

  // A head-shaped ellipsoid whose signal decays with b and direction, plus Rician-like noise.
  Noise noise;
  std::vector<std::int16_t> slice(static_cast<std::size_t>(kNx) * kNy);
  for (int t = 0; t < kNt && ok; ++t) {
    const double attenuation = t % 13 == 0 ? 1.0 : 0.35 + 0.25 * std::cos(0.7 * t);
    for (int z = 0; z < kNz && ok; ++z) {
      for (int y = 0; y < kNy; ++y) {
        for (int x = 0; x < kNx; ++x) {
          const double ex = (x - 47.5) / 40.0, ey = (y - 47.5) / 44.0, ez = (z - 29.5) / 27.0;
          const double r2 = ex * ex + ey * ey + ez * ez;
          double signal = 0.0;
          if (r2 < 1.0) {
            const double tissue = 900.0 + 300.0 * std::sin(0.15 * x) * std::cos(0.11 * y) + 200.0 * std::cos(0.2 * z);
            signal = tissue * attenuation * (1.0 - 0.3 * r2);
          }
          signal += 12.0 * (noise.next() + noise.next() - 1.0) + 20.0;
          slice[static_cast<std::size_t>(y) * kNx + x] = static_cast<std::int16_t>(std::lround(std::max(0.0, signal)));
        }
      }
      const int bytes = static_cast<int>(slice.size() * sizeof(std::int16_t));
      ok = gzwrite(out, slice.data(), static_cast<unsigned>(bytes)) == bytes;
    }
  }
  return gzclose(out) == Z_OK && ok;
}

double time_gzip_dc(const std::string& path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string arg0 = "gzip", arg1 = "-dc";
  std::string arg2 = path;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  dirsieve::Stopwatch clock;
  pid_t pid = 0;
  if (posix_spawnp(&pid, "gzip", &actions, nullptr, argv, environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1.0;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  double seconds = clock.seconds();
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1.0;
}

long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n + 1, nullptr, 10);
  }
  return -1;
}

// Child mode: one load in a fresh process; prints "<baseline KiB> <peak KiB> <float bytes>".
int child_main(const std::string& path) {
  long baseline = status_kib("VmRSS");
  auto volume = dirsieve::load_dwi(path);
  long peak = status_kib("VmHWM");
  if (!volume.ok()) {
    std::fprintf(stderr, "%s\n", volume.error().display().c_str());
    return 2;
  }
  std::printf("%ld %ld %zu\n", baseline, peak, volume->data.size() * sizeof(float));
  return 0;
}

bool measure_peak(const char* self, const std::string& path, long& baseline_kib, long& peak_kib) {
  std::string command = std::string("'") + self + "' --child '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::size_t float_bytes = 0;
  int fields = std::fscanf(pipe, "%ld %ld %zu", &baseline_kib, &peak_kib, &float_bytes);
  return pclose(pipe) == 0 && fields == 3;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = false;
  int repeats = 7;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--child" && i + 1 < argc) return child_main(argv[i + 1]);
    if (arg == "--keep") {
      keep = true;
    } else if (arg == "--repeats" && i + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--file" && i + 1 < argc) {
      path = argv[++i];
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--keep] [--repeats N] [--file PATH]\n", argv[0]);
      return 2;
    }
  }

  std::string dir;
  if (path.empty()) {
    char pattern[] = "/tmp/dirsieve_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      return 2;
    }
    dir = pattern;
    path = dir + "/dwi.nii.gz";
    if (!write_test_image(path)) {
      std::fprintf(stderr, "could not write %s\n", path.c_str());
      return 2;
    }
  }

  auto probe = dirsieve::load_dwi_timed(path);  // also warms the page cache
  if (!probe.ok()) {
    std::fprintf(stderr, "load failed: %s\n", probe.error().display().c_str());
    return 2;
  }
  const dirsieve::DwiVolume& v = probe->volume;
  std::uint64_t elements = v.data.size();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::fseek(f, 0, SEEK_END);
  long compressed = std::ftell(f);
  std::fclose(f);
  std::printf("image: %s\n  dims", path.c_str());
  for (auto d : v.dims) std::printf(" %llu", static_cast<unsigned long long>(d));
  std::printf(", %ld bytes compressed\n", compressed);

  std::vector<double> gzip_times, load_times, decompress_times, convert_times;
  if (time_gzip_dc(path) < 0) {
    std::fprintf(stderr, "gzip -dc failed\n");
    return 2;
  }
  for (int r = 0; r < repeats; ++r) {
    gzip_times.push_back(time_gzip_dc(path));
    dirsieve::Stopwatch clock;
    auto load = dirsieve::load_dwi_timed(path);
    load_times.push_back(clock.seconds());
    if (!load.ok()) return 2;
    decompress_times.push_back(load->decompress_seconds);
    convert_times.push_back(load->convert_seconds);
  }
  const double gzip_median = median(gzip_times), load_median = median(load_times);
  const double ratio = load_median / gzip_median;
  std::printf("gzip -dc > /dev/null : median %.4f s, min %.4f s\n", gzip_median,
              *std::min_element(gzip_times.begin(), gzip_times.end()));
  std::printf("load_dwi             : median %.4f s, min %.4f s (decompress %.4f s, convert %.4f s)\n", load_median,
              *std::min_element(load_times.begin(), load_times.end()), median(decompress_times),
              median(convert_times));
  std::printf("ratio load/gzip      : %.3f (limit 1.30)\n", ratio);

  // Raw voxel bytes from the header's type, float array from the result.
  auto header = dirsieve::volumes_detail::NiftiFile::open(path);
  if (!header.ok()) return 2;
  const double raw_bytes = static_cast<double>(elements) * static_cast<double>(header->element_size());
  const double float_bytes = static_cast<double>(elements) * sizeof(float);
  long baseline_kib = 0, peak_kib = 0;
  bool peak_ok = measure_peak(argv[0], path, baseline_kib, peak_kib);
  const double used = static_cast<double>(peak_kib - baseline_kib) * 1024.0;
  const double limit = 1.1 * (raw_bytes + float_bytes);
  if (peak_ok) {
    std::printf("peak memory of a load: %.1f MiB above a %.1f MiB baseline (raw %.1f + float %.1f MiB; limit %.1f MiB)\n",
                used / 1048576.0, baseline_kib / 1024.0, raw_bytes / 1048576.0, float_bytes / 1048576.0,
                limit / 1048576.0);
  } else {
    std::printf("peak memory: measurement failed\n");
  }

  if (!keep && !dir.empty()) {
    std::remove(path.c_str());
    rmdir(dir.c_str());
  }
  const bool pass = ratio <= 1.3 && peak_ok && used <= limit;
  std::printf("%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}
