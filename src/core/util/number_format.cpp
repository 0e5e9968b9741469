#include "core/util/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace dirsieve {

ShortestDigits shortest_digits(double value) {
  ShortestDigits out;
  out.negative = std::signbit(value);
  if (value == 0.0) {
    out.digits = "0";
    return out;
  }
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  auto e_pos = text.find('e');
  std::string mantissa = text.substr(0, e_pos);
  out.exponent = std::atoi(text.c_str() + e_pos + 1);
  for (char c : mantissa) {
    if (c != '.') out.digits.push_back(c);
  }
  while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
  return out;
}

namespace {

std::string non_finite_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

// Plain notation of the digits; `force_fraction` appends ".0" to integral values.
std::string plain_notation(const ShortestDigits& d, bool force_fraction) {
  std::string out = d.negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.digits == "0") {
    out += force_fraction ? "0.0" : "0";
    return out;
  }
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += d.digits;
    return out;
  }
  const int integer_digits = d.exponent + 1;
  if (n <= integer_digits) {
    out += d.digits;
    out.append(static_cast<std::size_t>(integer_digits - n), '0');
    if (force_fraction) out += ".0";
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(integer_digits));
    out += '.';
    out += d.digits.substr(static_cast<std::size_t>(integer_digits));
  }
  return out;
}

}  // namespace

std::string format_shortest_plain(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  return plain_notation(shortest_digits(value), false);
}

std::string format_fixed(double value, int decimals) {
  if (!std::isfinite(value)) return non_finite_text(value);
  // glibc printf converts the exact binary value and rounds to nearest, ties to even.
  char buffer[512];
  int written = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  if (written >= 0 && static_cast<std::size_t>(written) < sizeof buffer) return std::string(buffer, written);
  std::string big(static_cast<std::size_t>(written) + 1, '\0');
  std::snprintf(big.data(), big.size(), "%.*f", decimals, value);
  big.resize(static_cast<std::size_t>(written));
  return big;
}

std::string format_json_number(double value) {
  if (!std::isfinite(value)) return "null";
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
  ShortestDigits d = shortest_digits(value);
  if (d.exponent >= -5 && d.exponent <= 15) return plain_notation(d, true);
  std::string out = d.negative ? "-" : "";
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += d.exponent < 0 ? '-' : '+';
  out += std::to_string(d.exponent < 0 ? -d.exponent : d.exponent);
  return out;
}

}  // namespace dirsieve
