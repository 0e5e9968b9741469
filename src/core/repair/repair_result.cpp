#include "core/repair/repair_result.hpp"

namespace dirsieve {

JsonValue to_json(const RepairResult& result) {
  JsonValue obj = JsonValue::object();
  obj.add("matrix", json_mat3(result.matrix));
  obj.add("label", result.label);
  obj.add("outputs", json_array_of(result.outputs));
  return obj;
}

}  // namespace dirsieve
