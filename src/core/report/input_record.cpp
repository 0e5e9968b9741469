#include "core/report/input_record.hpp"

#include "core/util/file_io.hpp"
#include "core/util/sha256.hpp"

namespace dirsieve {

Result<InputRecord> make_input_record(const std::string& path) {
  DS_TRY_ASSIGN(std::string bytes, read_file_bytes(path));
  return InputRecord{path, sha256_hex(bytes), bytes.size()};
}

JsonValue to_json(const InputRecord& record) {
  JsonValue obj = JsonValue::object();
  obj.add("path", record.path);
  obj.add("sha256", record.sha256);
  obj.add("bytes", record.bytes);
  return obj;
}

JsonValue to_json(const std::vector<InputRecord>& records) {
  JsonValue arr = JsonValue::array();
  for (const auto& record : records) arr.push(to_json(record));
  return arr;
}

}  // namespace dirsieve
