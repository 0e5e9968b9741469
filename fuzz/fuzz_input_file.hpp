// Writes one fuzz input to a private file under /dev/shm (or TMPDIR) so the path-taking readers can see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

namespace dirsieve_fuzz {

inline std::string scratch_dir() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    return std::string(base) + "/dirsieve-fuzz-" + std::to_string(getpid());
  }();
  return dir;
}

// The file name is fixed per process and suffix, so every execution overwrites the previous input.
inline std::string write_input(std::string_view suffix, const std::uint8_t* data, std::size_t size) {
  static bool created = false;
  if (!created) {
    std::string command = "mkdir -p '" + scratch_dir() + "'";
    if (std::system(command.c_str()) != 0) std::abort();
    created = true;
  }
  std::string path = scratch_dir() + "/input" + std::string(suffix);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();
  return path;
}

inline std::string write_input(std::string_view suffix, std::string_view text) {
  return write_input(suffix, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace dirsieve_fuzz
