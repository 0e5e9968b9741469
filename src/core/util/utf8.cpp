#include "core/util/utf8.hpp"

#include <cstdint>

namespace dirsieve {

Utf8Step utf8_step(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t lead = byte(i);
  if (lead < 0x80) return {true, 1};
  std::size_t needed = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 1};
  }
  std::size_t length = 1;
  for (std::size_t k = 0; k < needed; ++k) {
    if (i + length >= text.size()) return {false, length};
    const std::uint8_t next = byte(i + length);
    const std::uint8_t lo = k == 0 ? low : 0x80;
    const std::uint8_t hi = k == 0 ? high : 0xBF;
    if (next < lo || next > hi) return {false, length};
    ++length;
  }
  return {true, length};
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Step step = utf8_step(text, i);
    if (!step.valid) return false;
    i += step.length;
  }
  return true;
}

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Step step = utf8_step(text, i);
    if (step.valid) {
      out.append(text.substr(i, step.length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += step.length;
  }
  return out;
}

}  // namespace dirsieve
