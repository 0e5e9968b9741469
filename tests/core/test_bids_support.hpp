// Small dataset trees for the batch tests, built in a fresh temporary folder.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace dirsieve::testing {

inline const std::string kSharedData = "/work/shared/data";

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dirsieve-bids-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) root_ = buffer.data();
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // Writes a file (creating its folders) and returns its full path.
  std::string file(const std::string& relative, const std::string& contents = "") const {
    const std::string full = path(relative);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ec);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << contents;
    return full;
  }
  std::string dir(const std::string& relative) const {
    std::error_code ec;
    std::filesystem::create_directories(path(relative), ec);
    return path(relative);
  }
  // A symbolic link at `relative` pointing at `target` (taken as is).
  void link(const std::string& target, const std::string& relative) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path(relative)).parent_path(), ec);
    ASSERT_EQ(::symlink(target.c_str(), path(relative).c_str()), 0) << std::strerror(errno);
  }

 private:
  std::string root_;
};

// A single-file NIfTI-1 image of 32-bit floats: 348-byte header, 4 bytes of extension flags, data.
inline std::string nifti_float32(const std::vector<std::int16_t>& dims, const std::vector<float>& data,
                                 float voxel_size = 2.0f) {
  std::string bytes(352, '\0');
  auto put_i32 = [&](std::size_t at, std::int32_t v) { std::memcpy(&bytes[at], &v, 4); };
  auto put_i16 = [&](std::size_t at, std::int16_t v) { std::memcpy(&bytes[at], &v, 2); };
  auto put_f32 = [&](std::size_t at, float v) { std::memcpy(&bytes[at], &v, 4); };
  put_i32(0, 348);
  put_i16(40, static_cast<std::int16_t>(dims.size()));
  for (std::size_t i = 0; i < 7; ++i) put_i16(42 + 2 * i, i < dims.size() ? dims[i] : 1);
  put_i16(70, 16);  // float32
  put_i16(72, 32);
  put_f32(76, 1.0f);
  for (std::size_t i = 1; i < 8; ++i) put_f32(76 + 4 * i, i <= 3 ? voxel_size : 1.0f);
  put_f32(108, 352.0f);
  std::memcpy(&bytes[344], "n+1\0", 4);
  bytes.append(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(float));
  return bytes;
}

// While alive, the process cannot open another file descriptor, so listing any directory fails
// (with EMFILE) even for the superuser, whom permissions do not stop.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = 64;
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (;;) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      fds_.push_back(fd);
    }
  }
  ~DescriptorsExhausted() {
    for (const int fd : fds_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorsExhausted(const DescriptorsExhausted&) = delete;
  DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

 private:
  rlimit saved_{};
  std::vector<int> fds_;
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace dirsieve::testing
