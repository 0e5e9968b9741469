// An ordered JSON document model and the system's own writer (number, string, compact, pretty rules).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/util/matrix.hpp"

namespace dirsieve {

class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Object = std::vector<std::pair<std::string, JsonValue>>;

  JsonValue() : value_(nullptr) {}
  JsonValue(std::nullptr_t) : value_(nullptr) {}
  JsonValue(bool b) : value_(b) {}
  JsonValue(double d) : value_(d) {}
  JsonValue(std::string s) : value_(std::move(s)) {}
  JsonValue(std::string_view s) : value_(std::string(s)) {}
  JsonValue(const char* s) : value_(std::string(s)) {}
  template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
  JsonValue(I i) {
    if constexpr (std::is_signed_v<I>) {
      value_ = static_cast<std::int64_t>(i);
    } else {
      value_ = static_cast<std::uint64_t>(i);
    }
  }

  static JsonValue array() { JsonValue v; v.value_ = Array{}; return v; }
  static JsonValue object() { JsonValue v; v.value_ = Object{}; return v; }

  // Appends a member to an object (declaration order is kept).
  JsonValue& add(std::string key, JsonValue value);
  // Appends an element to an array.
  JsonValue& push(JsonValue value);

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(value_); }
  bool is_object() const { return std::holds_alternative<Object>(value_); }
  bool is_array() const { return std::holds_alternative<Array>(value_); }
  const Object& as_object() const { return std::get<Object>(value_); }
  const Array& as_array() const { return std::get<Array>(value_); }

  // Calls `visitor` with the held alternative (nullptr_t, bool, int64, uint64, double, string, Array, Object).
  template <class Visitor>
  decltype(auto) visit(Visitor&& visitor) const {
    return std::visit(std::forward<Visitor>(visitor), value_);
  }

  std::string to_compact() const;
  // Two spaces per level, one member or element per line, no final newline.
  std::string to_pretty() const;

 private:
  void write_compact(std::string& out) const;
  void write_pretty(std::string& out, int depth) const;
  void write_scalar(std::string& out) const;

  std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Array, Object> value_;
};

void append_json_string(std::string& out, std::string_view text);

JsonValue json_vec3(const Vec3& v);
JsonValue json_mat3(const Mat3& m);
template <class T>
JsonValue json_array_of(const std::vector<T>& items) {
  JsonValue arr = JsonValue::array();
  for (const auto& item : items) arr.push(JsonValue(item));
  return arr;
}

}  // namespace dirsieve
