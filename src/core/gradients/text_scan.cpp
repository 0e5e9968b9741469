#include "core/gradients/text_scan.hpp"

#include <cctype>
#include <cmath>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace dirsieve {

namespace {

// Decodes the code point starting at text[i] of valid UTF-8 and returns its byte length.
std::size_t decode_at(std::string_view text, std::size_t i, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  auto cont = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F); };
  if (b0 < 0xE0) {
    out = (static_cast<char32_t>(b0 & 0x1F) << 6) | cont(1);
    return 2;
  }
  if (b0 < 0xF0) {
    out = (static_cast<char32_t>(b0 & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    return 3;
  }
  out = (static_cast<char32_t>(b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
  return 4;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool matches_decimal_grammar(std::string_view s) {
  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == s.size();
}

locale_t c_numeric_locale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string_view> tokenize(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  std::size_t token_start = std::string_view::npos;
  while (i < text.size()) {
    char32_t cp;
    std::size_t len = decode_at(text, i, cp);
    if (is_unicode_whitespace(cp)) {
      if (token_start != std::string_view::npos) {
        tokens.push_back(text.substr(token_start, i - token_start));
        token_start = std::string_view::npos;
      }
    } else if (token_start == std::string_view::npos) {
      token_start = i;
    }
    i += len;
  }
  if (token_start != std::string_view::npos) tokens.push_back(text.substr(token_start));
  return tokens;
}

std::string_view trim_whitespace(std::string_view text) {
  auto tokens = tokenize(text);
  if (tokens.empty()) return {};
  const char* begin = tokens.front().data();
  const char* end = tokens.back().data() + tokens.back().size();
  return std::string_view(begin, static_cast<std::size_t>(end - begin));
}

std::optional<double> parse_number(std::string_view token) {
  std::string_view body = token;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (ascii_iequals(body, "inf") || ascii_iequals(body, "infinity")) {
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (ascii_iequals(body, "nan")) {
    double nan = std::strtod("nan", nullptr);
    return negative ? -nan : nan;
  }
  if (!matches_decimal_grammar(body)) return std::nullopt;
  std::string copy(token);
  // glibc strtod is correctly rounded and gives +-HUGE_VAL beyond the double range.
  return strtod_l(copy.c_str(), nullptr, c_numeric_locale());
}

}  // namespace dirsieve
