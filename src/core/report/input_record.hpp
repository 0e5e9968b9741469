#pragma once

#include <cstdint>
#include <string>

#include "core/util/json.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

struct InputRecord {
  std::string path;
  std::string sha256;
  std::uint64_t bytes = 0;
};

// Reads the whole file as raw bytes and hashes it.
Result<InputRecord> make_input_record(const std::string& path);

JsonValue to_json(const InputRecord& record);
JsonValue to_json(const std::vector<InputRecord>& records);

}  // namespace dirsieve
