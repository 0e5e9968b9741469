#include "core/util/json.hpp"

#include <cstdio>

#include "core/util/number_format.hpp"
#include "core/util/utf8.hpp"

namespace dirsieve {

JsonValue& JsonValue::add(std::string key, JsonValue value) {
  std::get<Object>(value_).emplace_back(std::move(key), std::move(value));
  return *this;
}

JsonValue& JsonValue::push(JsonValue value) {
  std::get<Array>(value_).push_back(std::move(value));
  return *this;
}

// Text reaching the writer is UTF-8 nearly always; bytes that are not (a file name read from a
// directory, say) become U+FFFD so that the document stays valid JSON.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const Utf8Step step = utf8_step(text, i);
      if (step.valid) {
        out.append(text.substr(i, step.length));
      } else {
        out += "\xEF\xBF\xBD";
      }
      i += step.length;
      continue;
    }
    const char ch = text[i++];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

void JsonValue::write_scalar(std::string& out) const {
  if (std::holds_alternative<std::nullptr_t>(value_)) {
    out += "null";
  } else if (auto b = std::get_if<bool>(&value_)) {
    out += *b ? "true" : "false";
  } else if (auto i = std::get_if<std::int64_t>(&value_)) {
    out += std::to_string(*i);
  } else if (auto u = std::get_if<std::uint64_t>(&value_)) {
    out += std::to_string(*u);
  } else if (auto d = std::get_if<double>(&value_)) {
    out += format_json_number(*d);
  } else if (auto s = std::get_if<std::string>(&value_)) {
    append_json_string(out, *s);
  }
}

void JsonValue::write_compact(std::string& out) const {
  if (auto arr = std::get_if<Array>(&value_)) {
    out += '[';
    for (std::size_t i = 0; i < arr->size(); ++i) {
      if (i) out += ',';
      (*arr)[i].write_compact(out);
    }
    out += ']';
  } else if (auto obj = std::get_if<Object>(&value_)) {
    out += '{';
    for (std::size_t i = 0; i < obj->size(); ++i) {
      if (i) out += ',';
      append_json_string(out, (*obj)[i].first);
      out += ':';
      (*obj)[i].second.write_compact(out);
    }
    out += '}';
  } else {
    write_scalar(out);
  }
}

void JsonValue::write_pretty(std::string& out, int depth) const {
  auto indent = [&out](int level) { out.append(static_cast<std::size_t>(level) * 2, ' '); };
  if (auto arr = std::get_if<Array>(&value_)) {
    if (arr->empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (std::size_t i = 0; i < arr->size(); ++i) {
      indent(depth + 1);
      (*arr)[i].write_pretty(out, depth + 1);
      out += i + 1 < arr->size() ? ",\n" : "\n";
    }
    indent(depth);
    out += ']';
  } else if (auto obj = std::get_if<Object>(&value_)) {
    if (obj->empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (std::size_t i = 0; i < obj->size(); ++i) {
      indent(depth + 1);
      append_json_string(out, (*obj)[i].first);
      out += ": ";
      (*obj)[i].second.write_pretty(out, depth + 1);
      out += i + 1 < obj->size() ? ",\n" : "\n";
    }
    indent(depth);
    out += '}';
  } else {
    write_scalar(out);
  }
}

std::string JsonValue::to_compact() const {
  std::string out;
  write_compact(out);
  return out;
}

std::string JsonValue::to_pretty() const {
  std::string out;
  write_pretty(out, 0);
  return out;
}

JsonValue json_vec3(const Vec3& v) {
  JsonValue arr = JsonValue::array();
  for (double x : v) arr.push(x);
  return arr;
}

JsonValue json_mat3(const Mat3& m) {
  JsonValue arr = JsonValue::array();
  for (const auto& row : m) arr.push(json_vec3(row));
  return arr;
}

}  // namespace dirsieve
