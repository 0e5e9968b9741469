// Whole-file reads and writes with platform errors turned into CoreError values.
#pragma once

#include <string>
#include <string_view>

#include "core/util/result.hpp"

namespace dirsieve {

// Reads the complete file as raw bytes.
Result<std::string> read_file_bytes(const std::string& path);

// Creates or truncates `path` and writes all of `contents`, retrying interrupted writes.
// Parent directories are never created.
Result<void> write_whole_file(const std::string& path, std::string_view contents);

// As write_whole_file, but refuses (with EEXIST) when the file appeared after it was found absent.
Result<void> write_new_file(const std::string& path, std::string_view contents);

// True when the path's metadata can be read, following symbolic links.
bool path_exists(const std::string& path);

// True when the path exists (following links) and is a directory.
bool is_directory(const std::string& path);

}  // namespace dirsieve
