// The JSON writer on arbitrary documents: every compact and pretty text must parse, both to the same value,
// with every finite number read back bit for bit, every non-finite one as null and every string unchanged.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "core/bids/path_text.hpp"
#include "core/util/json.hpp"
#include "core/util/number_format.hpp"

namespace {

using dirsieve::JsonValue;
using nlohmann::json;

constexpr int kMaxDepth = 24;

void fail() { std::abort(); }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The expected parse result of what the writer makes of `text`: invalid UTF-8 comes back as U+FFFD,
// the same way the batch's own path replacement does it.
std::string expected_text(const std::string& text) { return dirsieve::lossy_utf8(text); }

// Builds a random document and, alongside, the value nlohmann should parse it back to.
JsonValue build(FuzzedDataProvider& in, int depth, json& expected, bool& strings_exact) {
  const int kind = in.ConsumeIntegralInRange<int>(0, depth >= kMaxDepth ? 5 : 7);
  switch (kind) {
    case 0:
      expected = nullptr;
      return JsonValue(nullptr);
    case 1: {
      bool b = in.ConsumeBool();
      expected = b;
      return JsonValue(b);
    }
    case 2: {
      auto i = in.ConsumeIntegral<std::int64_t>();
      expected = i;
      return JsonValue(i);
    }
    case 3: {
      auto u = in.ConsumeIntegral<std::uint64_t>();
      expected = u;
      return JsonValue(u);
    }
    case 4: {
      double d;
      auto bits = in.ConsumeIntegral<std::uint64_t>();
      std::memcpy(&d, &bits, sizeof d);
      if (std::isfinite(d)) {
        expected = d;
      } else {
        expected = nullptr;
      }
      return JsonValue(d);
    }
    case 5: {
      std::string s = in.ConsumeRandomLengthString(64);
      expected = expected_text(s);
      return JsonValue(s);
    }
    case 6: {
      JsonValue arr = JsonValue::array();
      expected = json::array();
      const int n = in.ConsumeIntegralInRange<int>(0, 6);
      for (int i = 0; i < n && in.remaining_bytes() > 0; ++i) {
        json item;
        arr.push(build(in, depth + 1, item, strings_exact));
        expected.push_back(std::move(item));
      }
      return arr;
    }
    default: {
      JsonValue obj = JsonValue::object();
      expected = json::array();  // members in order, as [key, value] pairs
      const int n = in.ConsumeIntegralInRange<int>(0, 6);
      for (int i = 0; i < n && in.remaining_bytes() > 0; ++i) {
        std::string key = in.ConsumeRandomLengthString(16);
        json item;
        obj.add(key, build(in, depth + 1, item, strings_exact));
        expected.push_back(json::array({expected_text(key), std::move(item)}));
      }
      return obj;
    }
  }
}

// Compares a parsed document (objects kept in member order) with the expectation built above.
bool matches(const nlohmann::ordered_json& got, const json& want, bool strings_exact) {
  if (want.is_null()) return got.is_null();
  if (want.is_boolean()) return got.is_boolean() && got.get<bool>() == want.get<bool>();
  if (want.is_number_integer() && want.is_number_unsigned()) {
    return got.is_number_unsigned() && got.get<std::uint64_t>() == want.get<std::uint64_t>();
  }
  if (want.is_number_integer()) {
    const auto w = want.get<std::int64_t>();
    if (w >= 0) return got.is_number_unsigned() && got.get<std::uint64_t>() == static_cast<std::uint64_t>(w);
    return got.is_number_integer() && got.get<std::int64_t>() == w;
  }
  if (want.is_number_float()) {
    return got.is_number_float() && same_bits(got.get<double>(), want.get<double>());
  }
  if (want.is_string()) return got.is_string() && (!strings_exact || got.get<std::string>() == want.get<std::string>());
  return false;
}

bool matches_tree(const nlohmann::ordered_json& got, const json& want, const JsonValue& built, bool strings_exact) {
  if (built.is_array()) {
    if (!got.is_array() || got.size() != want.size()) return false;
    for (std::size_t i = 0; i < want.size(); ++i) {
      if (!matches_tree(got[i], want[i], built.as_array()[i], strings_exact)) return false;
    }
    return true;
  }
  if (built.is_object()) {
    // nlohmann keeps one member per key; compare member by member only when the keys are distinct.
    if (!got.is_object()) return false;
    if (got.size() != want.size()) return true;
    std::size_t i = 0;
    for (auto it = got.begin(); it != got.end(); ++it, ++i) {
      if (strings_exact && it.key() != want[i][0].get<std::string>()) return false;
      if (!matches_tree(it.value(), want[i][1], built.as_object()[i].second, strings_exact)) return false;
    }
    return true;
  }
  return matches(got, want, strings_exact);
}

void check_number(double d) {
  const std::string text = dirsieve::format_json_number(d);
  if (!std::isfinite(d)) {
    if (text != "null") fail();
    return;
  }
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_number_float() || !same_bits(parsed.get<double>(), d)) fail();
  if (text.find_first_of(" \t\n") != std::string::npos) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    // The string writer alone, on the whole input.
    std::string text = in.ConsumeRemainingBytesAsString();
    std::string out;
    dirsieve::append_json_string(out, text);
    nlohmann::json parsed = nlohmann::json::parse(out, nullptr, false);
    if (!parsed.is_string()) fail();
    if (parsed.get<std::string>() != expected_text(text)) fail();
    return 0;
  }
  json expected;
  bool strings_exact = true;
  JsonValue doc = build(in, 0, expected, strings_exact);
  const std::string compact = doc.to_compact();
  const std::string pretty = doc.to_pretty();
  auto got_compact = nlohmann::ordered_json::parse(compact, nullptr, false);
  auto got_pretty = nlohmann::ordered_json::parse(pretty, nullptr, false);
  if (got_compact.is_discarded() || got_pretty.is_discarded()) fail();
  if (got_compact != got_pretty) fail();
  if (!pretty.empty() && pretty.back() == '\n') fail();
  if (!matches_tree(got_compact, expected, doc, strings_exact)) fail();
  // Any double, straight from the bytes that are left.
  while (in.remaining_bytes() >= 8) {
    auto bits = in.ConsumeIntegral<std::uint64_t>();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    check_number(d);
  }
  return 0;
}
