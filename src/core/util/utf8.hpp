// UTF-8 well-formedness (no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dirsieve {

struct Utf8Step {
  bool valid = false;
  // The sequence's length when valid; otherwise the length of its longest well-formed prefix (at
  // least 1), which is treated as one bad unit.
  std::size_t length = 1;
};

// The sequence starting at text[i] (i < text.size()).
Utf8Step utf8_step(std::string_view text, std::size_t i);

bool is_valid_utf8(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD, for text written where UTF-8 is required.
std::string lossy_utf8(std::string_view text);

}  // namespace dirsieve
