#include "core/bids/path_text.hpp"

#include <cstddef>
#include <cstdint>

namespace dirsieve {

namespace {

struct Utf8Step {
  bool valid;
  std::size_t length;  // bytes consumed; for an invalid sequence its longest well-formed prefix (at least 1)
};

// Decodes one UTF-8 sequence at `i` following the well-formedness table of Unicode 3.9
// (no overlong forms, no surrogates, nothing above U+10FFFF).
Utf8Step decode_step(std::string_view text, std::size_t i) {
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

std::string_view component_at(std::string_view path, std::size_t& pos) {
  while (pos < path.size() && path[pos] == '/') ++pos;
  const std::size_t start = pos;
  while (pos < path.size() && path[pos] != '/') ++pos;
  return path.substr(start, pos - start);
}

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool path_less(std::string_view a, std::string_view b) {
  // An absolute path sorts before a relative one, as its root is a component of its own.
  const bool a_abs = !a.empty() && a.front() == '/';
  const bool b_abs = !b.empty() && b.front() == '/';
  if (a_abs != b_abs) return a_abs;
  std::size_t pa = 0;
  std::size_t pb = 0;
  for (;;) {
    const std::string_view ca = component_at(a, pa);
    const std::string_view cb = component_at(b, pb);
    if (ca.empty() || cb.empty()) return ca.empty() && !cb.empty();
    // string_view compares as unsigned bytes (char_traits<char>::compare uses memcmp semantics).
    const int order = ca.compare(cb);
    if (order != 0) return order < 0;
  }
}

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const Utf8Step step = decode_step(text, i);
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
