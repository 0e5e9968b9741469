// Number formatting shared by messages, gradient writers and the JSON writer.
#pragma once

#include <string>

namespace dirsieve {

// The shortest decimal digits that read back as the same double: value = 0.d1d2...dn x 10^(exponent+1),
// i.e. d1 stands at the decimal position `exponent` (d1.d2...dn x 10^exponent).
struct ShortestDigits {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros; "0" for zero
  int exponent = 0;
};

// Only for finite values.
ShortestDigits shortest_digits(double value);

// Shortest round-trip digits in plain notation, never an exponent, no trailing fractional zero:
// 1000 -> "1000", 0.5 -> "0.5", 1e-7 -> "0.0000001", -0.0 -> "-0"; NaN -> "NaN", infinities "inf"/"-inf".
std::string format_shortest_plain(double value);

// Fixed-point with `decimals` digits after the point, correctly rounded (ties to even on the exact value).
// Non-finite values are written "NaN", "inf" and "-inf".
std::string format_fixed(double value, int decimals);

// The report's number rule: null for non-finite, 0.0 / -0.0, plain notation for decimal exponents
// -5..15 (integral values end in ".0"), exponent notation otherwise (1e+16, 1.5e-7).
std::string format_json_number(double value);

}  // namespace dirsieve
