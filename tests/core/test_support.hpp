// Shared helpers for the core tests: a temporary directory and small file writers.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace dirsieve::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dirsieve-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made != nullptr ? made : pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

  std::string write(const std::string& name, const std::string& contents) const {
    std::string p = file(name);
    std::ofstream out(p, std::ios::binary);
    out << contents;
    return p;
  }

 private:
  std::filesystem::path path_;
};

inline std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace dirsieve::testing
