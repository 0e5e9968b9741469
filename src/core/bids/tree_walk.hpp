// The directory walk and the file-name rules shared by the module's batch discovery and the dataset
// discovery of the engine.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/result.hpp"

namespace dirsieve::bids_detail {

// The entry names of a directory, without "." and "..", in listing order.
Result<std::vector<std::string>> list_directory(const std::string& path);

bool is_existing_non_directory(const std::string& path);

// Whether the walk descends into a sub-directory of this name.
using DirectoryFilter = std::function<bool(std::string_view name)>;

// Every non-directory below `root` (links followed, each directory walked once at the first place
// it is reached in byte order), in path order. A root that is not a directory gives nothing; a
// directory that cannot be listed fails the walk with the platform text.
Result<std::vector<std::string>> collect_files(const std::string& root, const DirectoryFilter& descend);

bool ends_with(std::string_view text, std::string_view suffix);

// File names that discovery may look at at all: valid Unicode, more than one character, no
// AppleDouble "._" companion.
bool is_plain_name(std::string_view name);

// The stem of a DWI file name (".nii" or ".nii.gz" ending in "_dwi"), or nothing.
std::optional<std::string_view> dwi_stem(std::string_view name);

// The NIfTI files of a folder whose name holds "mask" (any case), in path order.
std::vector<std::string> mask_candidates(const std::string& dir_path);

// `stem_path` + "." + the first of the extensions that names an existing non-directory.
std::optional<std::string> first_existing_file(const std::string& stem_path, std::string_view ext_a,
                                               std::string_view ext_b);

// A file path split at its last "/": the folder ("/" for a file at the root), the text up to and
// including that "/" (file names of the same folder are built on it) and the name.
struct SplitPath {
  std::string dir;
  std::string prefix;
  std::string name;
};
std::optional<SplitPath> split_file_path(const std::string& path);

}  // namespace dirsieve::bids_detail
