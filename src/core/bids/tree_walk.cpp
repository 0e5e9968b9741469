#include "core/bids/tree_walk.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include "core/bids/path_text.hpp"

namespace dirsieve::bids_detail {

namespace {

class DirHandle {
 public:
  explicit DirHandle(DIR* dir) : dir_(dir) {}
  ~DirHandle() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

bool stat_path(const std::string& path, struct stat& info) { return ::stat(path.c_str(), &info) == 0; }

using DirectoryId = std::pair<dev_t, ino_t>;

class Walker {
 public:
  explicit Walker(const DirectoryFilter& descend) : descend_(descend) {}

  std::vector<std::string> files;

  Result<void> walk(const std::string& dir_path) {
    struct stat info {};
    if (!stat_path(dir_path, info) || !S_ISDIR(info.st_mode)) return {};
    // Linked directories are followed; a directory already walked (a link cycle, or a second
    // link to the same folder) is not walked again.
    if (!visited_.insert(DirectoryId{info.st_dev, info.st_ino}).second) return {};
    DS_TRY_ASSIGN(std::vector<std::string> names, list_directory(dir_path));
    // Walking in byte order makes the first place a shared directory is reached the one that
    // comes first in path order, whatever order the file system lists entries in.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string child = join_path(dir_path, name);
      struct stat child_info {};
      if (stat_path(child, child_info) && S_ISDIR(child_info.st_mode)) {
        if (!descend_(name)) continue;
        DS_TRY(walk(child));
      } else {
        files.push_back(child);
      }
    }
    return {};
  }

 private:
  const DirectoryFilter& descend_;
  std::set<DirectoryId> visited_;
};

}  // namespace

Result<std::vector<std::string>> list_directory(const std::string& path) {
  DirHandle dir(::opendir(path.c_str()));
  if (dir.get() == nullptr) return CoreError::io_errno(errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return CoreError::io_errno(errno);
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

bool is_existing_non_directory(const std::string& path) {
  struct stat info {};
  return stat_path(path, info) && !S_ISDIR(info.st_mode);
}

Result<std::vector<std::string>> collect_files(const std::string& root, const DirectoryFilter& descend) {
  Walker walker(descend);
  DS_TRY(walker.walk(root));
  std::sort(walker.files.begin(), walker.files.end(),
            [](const std::string& a, const std::string& b) { return path_less(a, b); });
  return std::move(walker.files);
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool is_plain_name(std::string_view name) {
  if (!is_valid_utf8(name)) return false;
  std::size_t characters = 0;
  for (const char c : name) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
  }
  if (characters <= 1) return false;
  return name.substr(0, 2) != "._";
}

std::optional<std::string_view> dwi_stem(std::string_view name) {
  if (!is_plain_name(name)) return std::nullopt;
  std::string_view stem;
  if (ends_with(name, ".nii.gz")) {
    stem = name.substr(0, name.size() - 7);
  } else if (ends_with(name, ".nii")) {
    stem = name.substr(0, name.size() - 4);
  } else {
    return std::nullopt;
  }
  if (stem.size() < 4 || !ends_with(stem, "_dwi")) return std::nullopt;
  return stem;
}

namespace {

bool is_mask_name(std::string_view name) {
  if (!is_plain_name(name)) return false;
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded.find("mask") != std::string::npos && (ends_with(folded, ".nii") || ends_with(folded, ".nii.gz"));
}

}  // namespace

std::vector<std::string> mask_candidates(const std::string& dir_path) {
  std::vector<std::string> masks;
  auto names = list_directory(dir_path);
  if (!names.ok()) return masks;
  for (const std::string& name : names.value()) {
    if (!is_mask_name(name)) continue;
    const std::string path = join_path(dir_path, name);
    if (is_existing_non_directory(path)) masks.push_back(path);
  }
  std::sort(masks.begin(), masks.end(), [](const std::string& a, const std::string& b) { return path_less(a, b); });
  return masks;
}

std::optional<std::string> first_existing_file(const std::string& stem_path, std::string_view ext_a,
                                               std::string_view ext_b) {
  for (const std::string_view ext : {ext_a, ext_b}) {
    std::string candidate = stem_path + "." + std::string(ext);
    if (is_existing_non_directory(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<SplitPath> split_file_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  // A root given as "/" leaves an empty directory part.
  return SplitPath{slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(0, slash + 1),
                   path.substr(slash + 1)};
}

}  // namespace dirsieve::bids_detail
